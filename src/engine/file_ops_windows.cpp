// The file operations through the system.
#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>

#include "file_ops.h"
#include "heap_memory.h"
#include "paths.h"
#include "system_facts.h"
#include "transfer_state.h"

namespace {

class WindowsFileOps : public SystemFileOps {
public:
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition,
               uint32_t flags) override {
        return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    }
    int Read(void* handle, void* buffer, uint32_t length, uint32_t* done) override {
        DWORD n = 0;
        BOOL ok = ReadFile(handle, buffer, length, &n, nullptr);
        *done = n;
        return ok ? 1 : 0;
    }
    int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) override {
        DWORD n = 0;
        BOOL ok = WriteFile(handle, buffer, length, &n, nullptr);
        *done = n;
        if (ok && n != length) {
            // a short write without an error means the medium is full
            SetLastError(ERROR_DISK_FULL);
            return 0;
        }
        return ok ? 1 : 0;
    }
    int SetPointer(void* handle, int64_t distance, uint32_t method, int64_t* position) override {
        LARGE_INTEGER move, now;
        move.QuadPart = distance;
        if (!SetFilePointerEx(handle, move, &now, method)) return 0;
        if (position) *position = now.QuadPart;
        return 1;
    }
    int SetEnd(void* handle) override { return SetEndOfFile(handle) ? 1 : 0; }
    int SetEndAt(void* handle, int64_t size) override {
        FILE_END_OF_FILE_INFO end;
        end.EndOfFile.QuadPart = size;
        return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) ? 1 : 0;
    }
    int GetSize(void* handle, int64_t* size) override {
        LARGE_INTEGER value;
        if (!GetFileSizeEx(handle, &value)) return 0;
        *size = value.QuadPart;
        return 1;
    }
    int Flush(void* handle) override { return FlushFileBuffers(handle) ? 1 : 0; }
    int Close(void* handle) override { return CloseHandle(handle) ? 1 : 0; }
    int Delete(const wchar_t* path) override { return DeleteFileW(path) ? 1 : 0; }
    int CreateFolderForTimes(const wchar_t* path, void** handle) override;
    int ZeroRange(void* handle, int64_t from, int64_t to) override {
        FILE_ZERO_DATA_INFORMATION range;
        range.FileOffset.QuadPart = from;
        range.BeyondFinalZero.QuadPart = to;
        DWORD returned = 0;
        return DeviceIoControl(handle, FSCTL_SET_ZERO_DATA, &range, sizeof range, nullptr, 0, &returned, nullptr)
                   ? 1
                   : 0;
    }
};

WindowsFileOps windowsFileOps;

}  // namespace

namespace {

uint64_t ToUInt64(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME ToFileTime(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

void TakeFound(const WIN32_FIND_DATAW& data, FoundName* found) {
    found->attributes = data.dwFileAttributes;
    found->size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    found->lastWrite = ToUInt64(data.ftLastWriteTime);
    found->creation = ToUInt64(data.ftCreationTime);
    found->lastAccess = ToUInt64(data.ftLastAccessTime);
    found->fileId = 0;
    lstrcpynW(found->name, data.cFileName, 260);
}

// A whole folder is listed through its handle, which also gives each entry's
// file index: the walk needs no open of its own per sub-folder to know it.
// Any other pattern, or a folder the handle cannot list, goes through the
// system's search, which also gives the errors callers expect.
constexpr DWORD kListingBytes = 64 * 1024;

struct FolderSearch {
    HANDLE handle;   // the folder's handle, or the system's search handle
    bool bySystem;
    DWORD offset;    // of the next entry in the buffer; kListingBytes when none is left
    alignas(8) unsigned char buffer[kListingBytes];
};

bool TakeNextEntry(FolderSearch* search, FoundName* found) {
    if (search->offset >= kListingBytes) return false;
    const FILE_ID_BOTH_DIR_INFO* entry =
        reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(search->buffer + search->offset);
    found->attributes = entry->FileAttributes;
    found->size = entry->EndOfFile.QuadPart;
    found->lastWrite = static_cast<uint64_t>(entry->LastWriteTime.QuadPart);
    found->creation = static_cast<uint64_t>(entry->CreationTime.QuadPart);
    found->lastAccess = static_cast<uint64_t>(entry->LastAccessTime.QuadPart);
    found->fileId = static_cast<uint64_t>(entry->FileId.QuadPart);
    size_t length = entry->FileNameLength / sizeof(wchar_t);
    if (length > 259) length = 259;
    memcpy(found->name, entry->FileName, length * sizeof(wchar_t));
    found->name[length] = 0;
    DWORD next = entry->NextEntryOffset;
    search->offset = next ? search->offset + next : kListingBytes;
    return true;
}

// Fills the buffer with the next entries; false at the end or on failure.
bool FillEntries(FolderSearch* search, bool restart) {
    search->offset = kListingBytes;
    if (!GetFileInformationByHandleEx(search->handle,
                                      restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                                      search->buffer, kListingBytes))
        return false;
    search->offset = 0;
    return true;
}

// "folder\*" as the folder's path with its backslash; null for any other pattern.
wchar_t* WholeFolderOf(const wchar_t* pattern) {
    size_t length = wcsnlen(pattern, 32768);
    if (length < 3 || length >= 32768 || pattern[length - 1] != L'*' || pattern[length - 2] != L'\\') return nullptr;
    wchar_t* folder = static_cast<wchar_t*>(AllocZero(length * sizeof(wchar_t)));
    if (folder) memcpy(folder, pattern, (length - 1) * sizeof(wchar_t));
    return folder;
}

FolderSearch* ListByHandle(const wchar_t* pattern) {
    wchar_t* folder = WholeFolderOf(pattern);
    if (!folder) return nullptr;
    HANDLE handle = CreateFileW(folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FreeMemory(folder);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    FolderSearch* search = static_cast<FolderSearch*>(AllocZero(sizeof(FolderSearch)));
    if (!search) {
        CloseHandle(handle);
        return nullptr;
    }
    search->handle = handle;
    if (!FillEntries(search, true)) {
        CloseHandle(handle);
        FreeMemory(search);
        return nullptr;
    }
    return search;
}

}  // namespace

int SystemFileOps::Link(const wchar_t* newPath, const wchar_t* existingPath) {
    return CreateHardLinkW(newPath, existingPath, nullptr) ? 1 : 0;
}

namespace {

struct IoStatus {
    void* status;
    uintptr_t information;
};
typedef LONG(__stdcall* QueryInformationFile)(HANDLE, IoStatus*, void*, ULONG, int);
constexpr int kFileInternalInformation = 6;

int ReadIndexOnly(void* handle, FileInfo* info) {
    static QueryInformationFile query = reinterpret_cast<QueryInformationFile>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    IoStatus status = {};
    uint64_t index = 0;
    if (!query || query(handle, &status, &index, sizeof index, kFileInternalInformation) < 0) {
        // the full record has it too, and its failure carries the system's own error
        BY_HANDLE_FILE_INFORMATION full;
        if (!GetFileInformationByHandle(handle, &full)) return 0;
        index = (static_cast<uint64_t>(full.nFileIndexHigh) << 32) | full.nFileIndexLow;
    }
    info->volumeSerial = 0;
    info->fileIndex = index;
    info->fileIdHigh = 0;
    return 1;
}

}  // namespace

int SystemFileOps::GetInfo(void* handle, FileInfo* info, int parts) {
    if (parts & kInfoIndexOnly) return ReadIndexOnly(handle, info);
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard;
    if ((!(parts & kInfoNoTimes) && !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
        return 0;
    info->size = standard.EndOfFile.QuadPart;
    info->allocated = standard.AllocationSize.QuadPart;
    info->links = standard.NumberOfLinks;
    info->attributes = basic.FileAttributes;
    info->times[0] = static_cast<uint64_t>(basic.CreationTime.QuadPart);
    info->times[1] = static_cast<uint64_t>(basic.LastAccessTime.QuadPart);
    info->times[2] = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
    info->volumeSerial = 0;
    info->fileIndex = 0;
    info->fileIdHigh = 0;
    if (!(parts & kInfoIdentity)) return 1;
    // the 128-bit id where the system has it; the 64-bit index is not unique on ReFS
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        info->volumeSerial = id.VolumeSerialNumber;
        memcpy(&info->fileIndex, id.FileId.Identifier, 8);
        memcpy(&info->fileIdHigh, id.FileId.Identifier + 8, 8);
        return 1;
    }
    BY_HANDLE_FILE_INFORMATION full;
    if (!GetFileInformationByHandle(handle, &full)) return 0;
    info->volumeSerial = full.dwVolumeSerialNumber;
    info->fileIndex = (static_cast<uint64_t>(full.nFileIndexHigh) << 32) | full.nFileIndexLow;
    return 1;
}

int SystemFileOps::SetTimes(void* handle, const uint64_t* created, const uint64_t* accessed, const uint64_t* written) {
    FILETIME c = ToFileTime(created ? *created : 0), a = ToFileTime(accessed ? *accessed : 0),
             w = ToFileTime(written ? *written : 0);
    return SetFileTime(handle, created ? &c : nullptr, accessed ? &a : nullptr, written ? &w : nullptr) ? 1 : 0;
}

int SystemFileOps::SetSparse(void* handle) {
    DWORD returned = 0;
    return DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) ? 1 : 0;
}

uint32_t SystemFileOps::GetAttributes(const wchar_t* path) { return GetFileAttributesW(path); }

int SystemFileOps::SetAttributes(const wchar_t* path, uint32_t attributes) {
    return SetFileAttributesW(path, attributes) ? 1 : 0;
}

int SystemFileOps::CreateFolder(const wchar_t* path) { return CreateDirectoryW(path, nullptr) ? 1 : 0; }

int CreateFolderThenOpen(FileOps* ops, const wchar_t* path, void** handle) {
    *handle = INVALID_HANDLE_VALUE;
    if (!ops->CreateFolder(path)) return 0;
    *handle = ops->Open(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    return 1;
}

int SystemFileOps::CreateFolderForTimes(const wchar_t* path, void** handle) {
    return CreateFolderThenOpen(this, path, handle);
}

int SystemFileOps::RemoveFolder(const wchar_t* path) { return RemoveDirectoryW(path) ? 1 : 0; }

int SystemFileOps::Move(const wchar_t* from, const wchar_t* to, int replace) {
    return MoveFileExW(from, to, replace ? MOVEFILE_REPLACE_EXISTING : 0) ? 1 : 0;
}

namespace {

typedef LONG(__stdcall* SetInformationFile)(HANDLE, IoStatus*, void*, ULONG, int);
typedef ULONG(__stdcall* StatusToError)(LONG);
constexpr int kFileRenameInformation = 10;

}  // namespace

int SystemFileOps::MoveOpened(void* handle, const wchar_t* to, int replace) {
    static HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    static SetInformationFile set = reinterpret_cast<SetInformationFile>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")));
    static StatusToError toError = reinterpret_cast<StatusToError>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    if (!set || !toError) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    // the kernel takes the new name in its own form, which kernel32 would not convert
    const size_t capacity = wcsnlen(to, 32768) + 8;   // room for the kernel's head
    const size_t head = offsetof(FILE_RENAME_INFO, FileName);
    FILE_RENAME_INFO* rename = static_cast<FILE_RENAME_INFO*>(AllocZero(head + capacity * sizeof(wchar_t)));
    if (!rename) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    int moved = 0;
    if (KernelPathOf(to, rename->FileName, capacity)) {
        size_t length = wcslen(rename->FileName);
        rename->ReplaceIfExists = replace ? TRUE : FALSE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
        IoStatus status = {};
        LONG result = set(handle, &status, rename, static_cast<ULONG>(head + (length + 1) * sizeof(wchar_t)),
                          kFileRenameInformation);
        moved = result >= 0;
        if (!moved) SetLastError(toError(result));
    }
    DWORD error = GetLastError();
    FreeMemory(rename);
    SetLastError(error);
    return moved;
}

int SystemFileOps::FreeSpace(const wchar_t* folder, int64_t* total, int64_t* free) {
    ULARGE_INTEGER available, all, unused;
    if (!GetDiskFreeSpaceExW(folder, &available, &all, &unused)) return 0;
    *total = static_cast<int64_t>(all.QuadPart);
    *free = static_cast<int64_t>(unused.QuadPart);
    return 1;
}

int SystemFileOps::CompressedSize(const wchar_t* path, int64_t* size) {
    DWORD high = 0;
    DWORD low = GetCompressedFileSizeW(path, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
    *size = (static_cast<int64_t>(high) << 32) | low;
    return 1;
}

void* SystemFileOps::FindFirst(const wchar_t* pattern, FoundName* found) {
    FolderSearch* listed = ListByHandle(pattern);
    if (listed) {
        TakeNextEntry(listed, found);
        return listed;
    }
    WIN32_FIND_DATAW data;
    HANDLE search;
    if (osVersion.packed >= 0x601)
        search = FindFirstFileExW(pattern, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                  FIND_FIRST_EX_LARGE_FETCH);
    else
        search = FindFirstFileExW(pattern, FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND)
        search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) return nullptr;
    FolderSearch* wrapped = static_cast<FolderSearch*>(AllocZero(sizeof(FolderSearch)));
    if (!wrapped) {
        FindClose(search);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    wrapped->handle = search;
    wrapped->bySystem = true;
    TakeFound(data, found);
    return wrapped;
}

int SystemFileOps::FindNext(void* handle, FoundName* found) {
    FolderSearch* search = static_cast<FolderSearch*>(handle);
    if (search->bySystem) {
        WIN32_FIND_DATAW data;
        if (!FindNextFileW(search->handle, &data)) return 0;
        TakeFound(data, found);
        return 1;
    }
    if (TakeNextEntry(search, found)) return 1;
    if (!FillEntries(search, false)) return 0;   // ERROR_NO_MORE_FILES at the end, as the system's search
    return TakeNextEntry(search, found) ? 1 : 0;
}

void SystemFileOps::FindEnd(void* handle) {
    FolderSearch* search = static_cast<FolderSearch*>(handle);
    if (search->bySystem)
        FindClose(search->handle);
    else
        CloseHandle(search->handle);
    FreeMemory(search);
}

namespace {

struct NtName {
    USHORT length;
    USHORT capacity;
    wchar_t* buffer;
};
struct NtObject {
    ULONG size;
    HANDLE root;
    NtName* name;
    ULONG attributes;
    void* security;
    void* quality;
};
struct NtIoStatus {
    void* status;
    ULONG_PTR information;
};
typedef BOOLEAN(NTAPI* DosToNtName)(const wchar_t*, NtName*, wchar_t**, void*);
typedef void(NTAPI* FreeNtName)(NtName*);
typedef ULONG(NTAPI* StatusToError)(LONG);
typedef LONG(NTAPI* CreateNtFile)(HANDLE*, ACCESS_MASK, NtObject*, NtIoStatus*, LARGE_INTEGER*, ULONG, ULONG, ULONG,
                                  ULONG, void*, ULONG);

}  // namespace

// One call makes the folder and opens it: the system's CreateDirectoryW
// closes its handle, and setting the times later would open it again.
int WindowsFileOps::CreateFolderForTimes(const wchar_t* path, void** handle) {
    static HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    static auto toNtName =
        reinterpret_cast<DosToNtName>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDosPathNameToNtPathName_U")));
    static auto freeName =
        reinterpret_cast<FreeNtName>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlFreeUnicodeString")));
    static auto toError =
        reinterpret_cast<StatusToError>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    static auto create = reinterpret_cast<CreateNtFile>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
    if (!toNtName || !freeName || !toError || !create) return SystemFileOps::CreateFolderForTimes(path, handle);
    *handle = INVALID_HANDLE_VALUE;
    size_t length = wcsnlen(path, 32768);
    if (length == 0 || length >= 32768) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    wchar_t* folder = static_cast<wchar_t*>(AllocZero((length + 1) * sizeof(wchar_t)));
    memcpy(folder, path, length * sizeof(wchar_t));
    while (length > 1 && folder[length - 1] == L'\\' && folder[length - 2] != L':') folder[--length] = 0;
    NtName name = {};
    BOOLEAN converted = toNtName(folder, &name, nullptr, nullptr);
    FreeMemory(folder);
    if (!converted) return SystemFileOps::CreateFolderForTimes(path, handle);
    constexpr ULONG kCaseInsensitive = 0x40, kCreate = 2;
    constexpr ULONG kDirectory = 0x1, kSynchronous = 0x20, kForBackup = 0x4000;
    NtObject object = {sizeof(NtObject), nullptr, &name, kCaseInsensitive, nullptr, nullptr};
    NtIoStatus status = {};
    HANDLE made = INVALID_HANDLE_VALUE;
    LONG result = create(&made, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, &object, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kCreate,
                         kDirectory | kSynchronous | kForBackup, nullptr, 0);
    freeName(&name);
    if (result < 0) {
        SetLastError(toError(result));
        return 0;
    }
    *handle = made;
    return 1;
}

FileOps* fileOps = &windowsFileOps;

int64_t CurrentPosition(void* handle) {
    int64_t position = 0;
    if (!fileOps->SetPointer(handle, 0, FILE_CURRENT, &position)) return -1;
    return position;
}

void CloseHandleOf(void** handle) {
    if (IsValidHandle(*handle)) {
        DWORD error = GetLastError();
        fileOps->Close(*handle);
        SetLastError(error);
    }
    *handle = nullptr;
}

int ProbePath(const wchar_t* path, int64_t* size, uint32_t* links, uint64_t* index) {
    void* handle = fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS);
    if (!IsValidHandle(handle)) return 0;
    FileInfo info;
    int ok = fileOps->GetInfo(handle, &info, index != nullptr);
    DWORD error = GetLastError();
    fileOps->Close(handle);
    if (!ok) {
        SetLastError(error);
        return 0;
    }
    if (size) *size = info.size;
    if (links) *links = info.links;
    if (index) *index = info.fileIndex;
    return 1;
}
