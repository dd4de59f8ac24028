// Volume capabilities and file-size limits by file system.
#include "volume_capabilities.h"

#include <windows.h>

#include <cwchar>

VolumeCapabilities CapabilitiesFromFlags(uint32_t flags, uint32_t packedOsVersion) {
    VolumeCapabilities caps;
    caps.reparse = (flags & 0x80) != 0;
    caps.sparse = (flags & 0x40) != 0;
    caps.compression = (flags & 0x10) != 0;
    caps.streams = (flags & 0x40000) != 0;
    caps.encryption = (flags & 0x20000) != 0;
    // older systems do not report hard links; reparse support stands in for NTFS there
    caps.hardLinks = packedOsVersion >= 0x601 ? (flags & 0x400000) != 0 : caps.reparse;
    return caps;
}

int64_t MaxFileSizeOfFileSystem(const wchar_t* name, uint32_t cluster, int64_t fallback) {
    if (wcsncmp(name, L"FAT", 3) == 0) return 0xFFFFFFFELL;
    if (_wcsicmp(name, L"exFAT") == 0) return static_cast<int64_t>(cluster) * 0xFFFFFFF5LL;
    if (wcscmp(name, L"NTFS") == 0) return static_cast<int64_t>(cluster) * 0xFFFFFFFFLL;
    if (wcscmp(name, L"ReFS") == 0) return 0x3FFFFFFFF0000LL;
    return fallback;
}
