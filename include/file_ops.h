// The file system as the copy sees it: files, folders, names and the room on
// a volume. The real implementation calls the system; tests put a double in
// its place to model a volume in memory and to fail chosen calls. Every
// operation returns nonzero for success and 0 for failure with the system
// error as the thread's last error (Open returns INVALID_HANDLE_VALUE,
// FindFirst null, GetAttributes kNoAttributes).
#pragma once
#include <cstddef>
#include <cstdint>

// One name returned by a folder search.
struct FoundName {
    uint32_t attributes;
    int64_t size;
    uint64_t lastWrite;
    uint64_t creation, lastAccess;
    uint64_t fileId;   // the file index where the search had it, 0 when unknown
    wchar_t name[260];
};

// What an open handle tells about its file.
struct FileInfo {
    int64_t size;
    int64_t allocated;
    uint32_t attributes;
    uint32_t links;
    uint64_t volumeSerial;
    uint64_t fileIndex;
    uint64_t fileIdHigh;   // the upper half of a 128-bit id, 0 where the system has 64 bits
    uint64_t times[3];   // creation, last access, last write
};

constexpr int kInfoIdentity = 1;
constexpr int kInfoNoTimes = 2;

class FileOps {
public:
    virtual ~FileOps() = default;
    virtual void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t flags) = 0;
    virtual int Read(void* handle, void* buffer, uint32_t length, uint32_t* done) = 0;
    virtual int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) = 0;
    // method: 0 begin, 1 current, 2 end
    virtual int SetPointer(void* handle, int64_t distance, uint32_t method, int64_t* position) = 0;
    virtual int SetEnd(void* handle) = 0;
    // Ends the file at size without moving the pointer there, which an
    // unbuffered handle could only do to a sector boundary.
    virtual int SetEndAt(void* handle, int64_t size) { return SetPointer(handle, size, 0, nullptr) && SetEnd(handle); }
    virtual int GetSize(void* handle, int64_t* size) = 0;
    virtual int Flush(void* handle) = 0;
    virtual int Close(void* handle) = 0;
    virtual int Delete(const wchar_t* path) = 0;
    // FSCTL_SET_ZERO_DATA over [from, to)
    virtual int ZeroRange(void* handle, int64_t from, int64_t to) = 0;

    // The calls below have the system's behaviour by default, so a double
    // overrides only what it models.

    // CreateHardLinkW: newPath becomes one more name of existingPath's file
    virtual int Link(const wchar_t* newPath, const wchar_t* existingPath);
    // Size, links, identity and times through a handle. parts: kInfoIdentity
    // adds the volume serial and file index (some systems answer them slowly);
    // kInfoNoTimes leaves out times and attributes, one query less.
    virtual int GetInfo(void* handle, FileInfo* info, int parts);
    // Null pointers leave that time as it is.
    virtual int SetTimes(void* handle, const uint64_t* created, const uint64_t* accessed, const uint64_t* written);
    virtual int SetSparse(void* handle);
    virtual uint32_t GetAttributes(const wchar_t* path);
    virtual int SetAttributes(const wchar_t* path, uint32_t attributes);
    virtual int CreateFolder(const wchar_t* path);
    // Creates a folder and keeps it open to give it its times after its
    // content: 1 when it was made; *handle may still be invalid.
    virtual int CreateFolderForTimes(const wchar_t* path, void** handle);
    // Removes an empty folder, or a folder link itself.
    virtual int RemoveFolder(const wchar_t* path);
    virtual int Move(const wchar_t* from, const wchar_t* to, int replace);
    // The room of the volume holding folder (null: the current one).
    virtual int FreeSpace(const wchar_t* folder, int64_t* total, int64_t* free);
    // The bytes the file takes on its volume.
    virtual int CompressedSize(const wchar_t* path, int64_t* size);
    virtual void* FindFirst(const wchar_t* pattern, FoundName* found);
    virtual int FindNext(void* search, FoundName* found);
    virtual void FindEnd(void* search);

    // ---- security and named streams ----
    // Defined in src/tree/security_streams.cpp. The backup stream calls on a
    // handle from Open with FILE_FLAG_BACKUP_SEMANTICS; *context starts null
    // and is given back to the End call, which clears it.
    virtual int BackupRead(void* handle, uint8_t* buffer, uint32_t bytes, uint32_t* read, void** context);
    // Skips forward within the current stream; fails with ERROR_SEEK at its end.
    virtual int BackupSeek(void* handle, uint64_t bytes, uint64_t* moved, void** context);
    virtual int BackupWrite(void* handle, const uint8_t* buffer, uint32_t bytes, uint32_t* written, void** context);
    virtual void EndBackupRead(void* handle, void** context);
    virtual void EndBackupWrite(void* handle, void** context);
    // Gives the Administrators group the file and a new access list.
    virtual int TakeOwnership(const wchar_t* path);

    // ---- volume facts (defined in src/app/path_volumes.cpp) ----
    virtual uint32_t DriveType(const wchar_t* root);                                    // GetDriveTypeW
    virtual int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity);   // GetVolumePathNameW
    // GetVolumeInformationW; fileSystem (may be null) gets the file system's name.
    virtual int VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* fileSystem, uint32_t capacity);

    // ---- reparse points and the names of a file ----
    // The reparse data of what handle names (opened with
    // FILE_FLAG_OPEN_REPARSE_POINT); *size gets their length.
    virtual int GetReparse(void* handle, uint8_t* buffer, size_t capacity, size_t* size);
    virtual int SetReparse(void* handle, const uint8_t* data, size_t size);

    // ---- where a file really lies, and removal through a handle (src/tree/real_location.cpp) ----
    // GetFinalPathNameByHandleW: the path of what handle names, links and
    // substitutions resolved, in its drive-letter form ("\\?\C:\...").
    virtual int FinalPath(void* handle, wchar_t* out, uint32_t capacity);
    // The folders that hold a folder at which the volume with this root is
    // mounted: a list of paths each ending in its zero, closed by an empty one.
    // 0 when it is mounted at no folder.
    virtual int MountHolders(const wchar_t* root, wchar_t* out, uint32_t capacity);
    // Writes: the object of a handle opened with DELETE access goes when the
    // handle is closed (FileDispositionInfo); a folder must be empty. A link
    // opened with FILE_FLAG_OPEN_REPARSE_POINT goes itself.
    virtual int RemoveOpened(void* handle);

    // ---- compression ----
    // The NTFS compression format of a file or folder (0 none, 1 default, 2 LZNT1).
    virtual int GetCompression(void* handle, uint16_t* format);
    virtual int SetCompression(void* handle, uint16_t format);
    // The overlay filter's backing record (WofRequestRecord) of a file.
    virtual int GetExternalBacking(void* handle, void* record, uint32_t size);
    virtual int SetExternalBacking(void* handle, const void* record, uint32_t size);
};

FileOps* RealFileOps();
// The operations in use; only test code swaps this pointer.
extern FileOps* fileOps;

// Current position of a handle through fileOps; -1 on failure.
int64_t CurrentPosition(void* handle);
// Closes a handle through fileOps when it is open and clears the variable.
void CloseHandleOf(void** handle);
// Size, link count and index of a path through a handle opened with no access.
int ProbePath(const wchar_t* path, int64_t* size, uint32_t* links, uint64_t* index);
