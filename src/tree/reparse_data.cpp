// Reparse data buffers and the path arithmetic of link targets, without
// system handles. Data are little-endian as the file system returns them.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "reparse_points.h"

namespace {

constexpr size_t kMountPointNamesAt = 16;
constexpr size_t kSymbolicLinkNamesAt = 20;
constexpr DWORD kInvalidReparseData = 4392;   // ERROR_INVALID_REPARSE_DATA

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void Write16(uint8_t* p, size_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}
void Write32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

// Copies one name out of the path buffer; the name must lie inside it.
bool TakeName(const uint8_t* pathBuffer, size_t pathBytes, size_t offset, size_t length, wchar_t* out,
              size_t* outLength) {
    if (length % 2 || offset > pathBytes || length > pathBytes - offset) return false;
    size_t chars = length / 2;
    if (chars > kMaxReparseNameChars) return false;
    for (size_t i = 0; i < chars; ++i) out[i] = static_cast<wchar_t>(Read16(pathBuffer + offset + 2 * i));
    out[chars] = 0;
    *outLength = chars;
    return true;
}

// Ordinal upper case of one UTF-16 unit.
wchar_t Upper(wchar_t c) {
    return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
}

// Skips a leading "\\?\" or "\??\"; "\\?\UNC\" counts as "\\" (returned in *unc).
const wchar_t* Body(const wchar_t* path, bool* unc) {
    *unc = false;
    if ((path[0] == L'\\' && (path[1] == L'\\' || path[1] == L'?') && path[2] == L'?' && path[3] == L'\\')) {
        path += 4;
        if (Upper(path[0]) == L'U' && Upper(path[1]) == L'N' && Upper(path[2]) == L'C' && path[3] == L'\\') {
            *unc = true;
            return path + 4;
        }
        return path;
    }
    if (path[0] == L'\\' && path[1] == L'\\') {
        *unc = true;
        return path + 2;
    }
    return path;
}

bool Append(wchar_t* out, size_t capacity, size_t* length, const wchar_t* text, size_t count) {
    if (*length + count >= capacity) return false;
    memcpy(out + *length, text, count * sizeof(wchar_t));
    *length += count;
    out[*length] = 0;
    return true;
}

}  // namespace

uint32_t ReparseTagOf(const uint8_t* data, size_t size) { return data && size >= 4 ? Read32(data) : 0; }

const char* ReparseLabel(uint32_t tag) {
    if (tag == kTagMountPoint) return "mount point";
    if (tag == kTagSymbolicLink) return "symlink";
    return "reparse point";
}

int ParseReparseData(const uint8_t* data, size_t size, ReparseNames* names) {
    if (!data || !names || size < kReparseHeaderSize) return Fail(kInvalidReparseData);
    uint32_t tag = Read32(data);
    size_t dataLength = Read16(data + 4);
    if (tag != kTagMountPoint && tag != kTagSymbolicLink) return Fail(ERROR_NOT_A_REPARSE_POINT);
    size_t namesAt = tag == kTagMountPoint ? kMountPointNamesAt : kSymbolicLinkNamesAt;
    size_t total = kReparseHeaderSize + dataLength;
    if (total > size || total < namesAt) return Fail(kInvalidReparseData);
    const uint8_t* fields = data + kReparseHeaderSize;
    const uint8_t* pathBuffer = data + namesAt;
    size_t pathBytes = total - namesAt;
    names->tag = tag;
    names->flags = tag == kTagSymbolicLink ? Read32(fields + 8) : 0;
    if (!TakeName(pathBuffer, pathBytes, Read16(fields), Read16(fields + 2), names->substitute,
                  &names->substituteLength) ||
        !TakeName(pathBuffer, pathBytes, Read16(fields + 4), Read16(fields + 6), names->print, &names->printLength) ||
        names->substituteLength == 0)
        return Fail(kInvalidReparseData);
    return 1;
}

size_t BuildReparseData(const ReparseNames& names, uint8_t* out, size_t capacity) {
    if (names.tag != kTagMountPoint && names.tag != kTagSymbolicLink) return Fail(ERROR_NOT_A_REPARSE_POINT);
    size_t substituteBytes = names.substituteLength * 2;
    size_t printBytes = names.printLength * 2;
    size_t namesAt = names.tag == kTagMountPoint ? kMountPointNamesAt : kSymbolicLinkNamesAt;
    if (names.substituteLength > kMaxReparseNameChars || names.printLength > kMaxReparseNameChars)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    size_t total = namesAt + substituteBytes + printBytes;
    if (!out || total > capacity || total > kMaxReparseDataSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memset(out, 0, total);
    Write32(out, names.tag);
    Write16(out + 4, total - kReparseHeaderSize);
    uint8_t* fields = out + kReparseHeaderSize;
    size_t substituteAt = names.tag == kTagMountPoint ? 0 : printBytes;
    size_t printAt = names.tag == kTagMountPoint ? substituteBytes : 0;
    Write16(fields, substituteAt);
    Write16(fields + 2, substituteBytes);
    Write16(fields + 4, printAt);
    Write16(fields + 6, printBytes);
    if (names.tag == kTagSymbolicLink) Write32(fields + 8, names.flags);
    uint8_t* pathBuffer = out + namesAt;
    for (size_t i = 0; i < names.substituteLength; ++i) Write16(pathBuffer + substituteAt + 2 * i, names.substitute[i]);
    for (size_t i = 0; i < names.printLength; ++i) Write16(pathBuffer + printAt + 2 * i, names.print[i]);
    return total;
}

size_t FolderPrefixLength(const wchar_t* path, const wchar_t* folder) {
    if (!path || !folder) return 0;
    bool pathUnc, folderUnc;
    const wchar_t* p = Body(path, &pathUnc);
    const wchar_t* f = Body(folder, &folderUnc);
    size_t folderLength = wcslen(f);
    while (folderLength > 0 && f[folderLength - 1] == L'\\') --folderLength;
    if (folderLength == 0 || pathUnc != folderUnc) return 0;
    size_t pathLength = wcslen(p);
    if (pathLength < folderLength) return 0;
    for (size_t i = 0; i < folderLength; ++i)
        if (Upper(p[i]) != Upper(f[i])) return 0;
    if (p[folderLength] != 0 && p[folderLength] != L'\\') return 0;
    return static_cast<size_t>(p - path) + folderLength;
}

int RebasePath(const wchar_t* path, const wchar_t* oldFolder, const wchar_t* newFolder, wchar_t* out,
               size_t capacity) {
    size_t taken = FolderPrefixLength(path, oldFolder);
    if (!taken || !newFolder || !out || capacity == 0) return Fail(ERROR_PATH_NOT_FOUND);
    size_t newLength = wcslen(newFolder);
    while (newLength > 0 && newFolder[newLength - 1] == L'\\') --newLength;
    size_t length = 0;
    out[0] = 0;
    const wchar_t* rest = path + taken;
    if (!Append(out, capacity, &length, newFolder, newLength) || !Append(out, capacity, &length, rest, wcslen(rest))) {
        out[0] = 0;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return 1;
}

int ResolveRelativeLink(const wchar_t* linkPath, const wchar_t* relative, wchar_t* out, size_t capacity) {
    if (!linkPath || !relative || !out || capacity == 0) return Fail(ERROR_INVALID_PARAMETER);
    out[0] = 0;
    const wchar_t* lastSlash = wcsrchr(linkPath, L'\\');
    if (!lastSlash) return Fail(ERROR_INVALID_PARAMETER);
    // the root part ("\\?\C:\", "C:\") is never climbed above
    bool unc;
    const wchar_t* body = Body(linkPath, &unc);
    size_t rootLength = static_cast<size_t>(body - linkPath);
    if (unc) {
        // server and share are part of the root
        const wchar_t* server = wcschr(body, L'\\');
        const wchar_t* share = server ? wcschr(server + 1, L'\\') : nullptr;
        rootLength = share ? static_cast<size_t>(share - linkPath) + 1 : wcslen(linkPath);
    } else if (body[0] && body[1] == L':') {
        rootLength += body[2] == L'\\' ? 3 : 2;
    }
    size_t folderLength = static_cast<size_t>(lastSlash - linkPath) + 1;
    if (folderLength < rootLength) folderLength = rootLength;
    size_t length = 0;
    if (!Append(out, capacity, &length, linkPath, folderLength)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (out[length - 1] != L'\\' && !Append(out, capacity, &length, L"\\", 1)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    size_t floor = rootLength < length ? rootLength : length;
    if (floor && out[floor - 1] != L'\\') floor = length;
    const wchar_t* part = relative;
    // a relative name that starts at the root of the link's drive
    if (*part == L'\\') {
        length = floor;
        out[length] = 0;
        while (*part == L'\\') ++part;
    }
    while (*part) {
        const wchar_t* end = wcschr(part, L'\\');
        size_t partLength = end ? static_cast<size_t>(end - part) : wcslen(part);
        if (partLength == 1 && part[0] == L'.') {
        } else if (partLength == 2 && part[0] == L'.' && part[1] == L'.') {
            if (length > floor) {
                length -= 1;   // the separator behind the last component
                while (length > floor && out[length - 1] != L'\\') --length;
                out[length] = 0;
            }
        } else if (partLength) {
            if (!Append(out, capacity, &length, part, partLength) || !Append(out, capacity, &length, L"\\", 1)) {
                out[0] = 0;
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            }
        }
        part += partLength;
        while (*part == L'\\') ++part;
    }
    if (length > floor && out[length - 1] == L'\\') out[--length] = 0;
    return 1;
}

int RepointNames(const ReparseNames& in, const wchar_t* sourceRoot, const wchar_t* targetRoot, ReparseNames* out) {
    out->tag = in.tag;
    out->flags = in.flags;
    wchar_t* work = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (kMaxReparseNameChars + 1) * sizeof(wchar_t)));
    if (!work) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    bool unc;
    const wchar_t* targetBody = Body(targetRoot, &unc);
    int ok = 0;
    // the substitute name: "\??\" + the target root's body + the rest
    if (RebasePath(in.substitute, sourceRoot, targetBody, work, kMaxReparseNameChars + 1)) {
        size_t length = 0;
        out->substitute[0] = 0;
        if (Append(out->substitute, kMaxReparseNameChars + 1, &length, unc ? L"\\??\\UNC\\" : L"\\??\\", unc ? 8 : 4) &&
            Append(out->substitute, kMaxReparseNameChars + 1, &length, work, wcslen(work))) {
            out->substituteLength = length;
            ok = 1;
        }
    }
    if (ok) {
        // a print name keeps the plain display form: "C:\..." or "\\server\..."
        if (in.printLength && RebasePath(in.print, sourceRoot, targetBody, work, kMaxReparseNameChars + 1)) {
            size_t length = 0;
            out->print[0] = 0;
            if ((unc && !Append(out->print, kMaxReparseNameChars + 1, &length, L"\\\\", 2)) ||
                !Append(out->print, kMaxReparseNameChars + 1, &length, work, wcslen(work)))
                ok = 0;
            out->printLength = length;
        } else {
            memcpy(out->print, in.print, (in.printLength + 1) * sizeof(wchar_t));
            out->printLength = in.printLength;
        }
    }
    HeapFree(GetProcessHeap(), 0, work);
    if (!ok) return Fail(ERROR_INSUFFICIENT_BUFFER);
    return 1;
}
