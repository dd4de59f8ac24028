// What a volume can do, from its file-system flags and name.
#pragma once
#include <cstdint>

struct VolumeCapabilities {
    int reparse, sparse, compression, streams, encryption, hardLinks;
};

VolumeCapabilities CapabilitiesFromFlags(uint32_t fileSystemFlags, uint32_t packedOsVersion);
// The largest file the named file system takes; fallback for any other name.
int64_t MaxFileSizeOfFileSystem(const wchar_t* fileSystemName, uint32_t clusterSize, int64_t fallback);
