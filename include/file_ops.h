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
constexpr int kInfoIndexOnly = 4;   // the file index alone; the rest is left unset

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

    // Every call is pure: a class in place of the system (the double, the dry
    // run's overlay) must decide about each one, so no call added later can
    // reach the system through it unnoticed.

    // CreateHardLinkW: newPath becomes one more name of existingPath's file
    virtual int Link(const wchar_t* newPath, const wchar_t* existingPath) = 0;
    // Size, links, identity and times through a handle. parts: kInfoIdentity
    // adds the volume serial and file index (some systems answer them slowly);
    // kInfoNoTimes leaves out times and attributes, one query less;
    // kInfoIndexOnly asks the file index alone, where the system answers it fastest.
    virtual int GetInfo(void* handle, FileInfo* info, int parts) = 0;
    // Null pointers leave that time as it is.
    virtual int SetTimes(void* handle, const uint64_t* created, const uint64_t* accessed, const uint64_t* written) = 0;
    virtual int SetSparse(void* handle) = 0;
    virtual uint32_t GetAttributes(const wchar_t* path) = 0;
    virtual int SetAttributes(const wchar_t* path, uint32_t attributes) = 0;
    virtual int CreateFolder(const wchar_t* path) = 0;
    // Creates a folder and keeps it open to give it its times after its
    // content: 1 when it was made; *handle may still be invalid.
    virtual int CreateFolderForTimes(const wchar_t* path, void** handle) = 0;
    // Removes an empty folder, or a folder link itself.
    virtual int RemoveFolder(const wchar_t* path) = 0;
    virtual int Move(const wchar_t* from, const wchar_t* to, int replace) = 0;
    // Renames the file of a handle opened with DELETE access to `to`, which
    // the handle then names: one call where Move opens, renames and closes.
    virtual int MoveOpened(void* handle, const wchar_t* to, int replace) = 0;
    // The room of the volume holding folder (null: the current one).
    virtual int FreeSpace(const wchar_t* folder, int64_t* total, int64_t* free) = 0;
    // The bytes the file takes on its volume.
    virtual int CompressedSize(const wchar_t* path, int64_t* size) = 0;
    virtual void* FindFirst(const wchar_t* pattern, FoundName* found) = 0;
    virtual int FindNext(void* search, FoundName* found) = 0;
    virtual void FindEnd(void* search) = 0;

    // ---- security and named streams ----
    // The system's are in src/tree/security_streams.cpp. The backup stream calls on a
    // handle from Open with FILE_FLAG_BACKUP_SEMANTICS; *context starts null
    // and is given back to the End call, which clears it.
    virtual int BackupRead(void* handle, uint8_t* buffer, uint32_t bytes, uint32_t* read, void** context) = 0;
    // Skips forward within the current stream; fails with ERROR_SEEK at its end.
    virtual int BackupSeek(void* handle, uint64_t bytes, uint64_t* moved, void** context) = 0;
    virtual int BackupWrite(void* handle, const uint8_t* buffer, uint32_t bytes, uint32_t* written, void** context) = 0;
    virtual void EndBackupRead(void* handle, void** context) = 0;
    virtual void EndBackupWrite(void* handle, void** context) = 0;
    // Gives the Administrators group the file and a new access list.
    virtual int TakeOwnership(const wchar_t* path) = 0;

    // ---- volume facts (the system's are in src/app/path_volumes.cpp) ----
    virtual uint32_t DriveType(const wchar_t* root) = 0;                                    // GetDriveTypeW
    virtual int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) = 0;   // GetVolumePathNameW
    // GetVolumeInformationW; fileSystem (may be null) gets the file system's name.
    virtual int VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* fileSystem, uint32_t capacity) = 0;

    // ---- reparse points and the names of a file ----
    // The reparse data of what handle names (opened with
    // FILE_FLAG_OPEN_REPARSE_POINT); *size gets their length.
    virtual int GetReparse(void* handle, uint8_t* buffer, size_t capacity, size_t* size) = 0;
    virtual int SetReparse(void* handle, const uint8_t* data, size_t size) = 0;

    // ---- where a file really lies, and removal through a handle (the system's in src/tree/real_location.cpp) ----
    // GetFinalPathNameByHandleW: the path of what handle names, links and
    // substitutions resolved, in its drive-letter form ("\\?\C:\...").
    virtual int FinalPath(void* handle, wchar_t* out, uint32_t capacity) = 0;
    // The folders that hold a folder at which the volume with this root is
    // mounted: a list of paths each ending in its zero, closed by an empty one.
    // 0 when it is mounted at no folder.
    virtual int MountHolders(const wchar_t* root, wchar_t* out, uint32_t capacity) = 0;
    // Writes: the object of a handle opened with DELETE access goes when the
    // handle is closed (FileDispositionInfo); a folder must be empty. A link
    // opened with FILE_FLAG_OPEN_REPARSE_POINT goes itself.
    virtual int RemoveOpened(void* handle) = 0;

    // ---- compression ----
    // The NTFS compression format of a file or folder (0 none, 1 default, 2 LZNT1).
    virtual int GetCompression(void* handle, uint16_t* format) = 0;
    virtual int SetCompression(void* handle, uint16_t format) = 0;
    // The overlay filter's backing record (WofRequestRecord) of a file.
    virtual int GetExternalBacking(void* handle, void* record, uint32_t size) = 0;
    virtual int SetExternalBacking(void* handle, const void* record, uint32_t size) = 0;

    // ---- the block loop's seam ----
    // Takes `bytes` of the source as written at the handle's position (a null
    // handle: the null device) without their being read: 1 on a volume that
    // only records what a run would do, 0 on one that holds data, where the
    // copy must move them itself.
    virtual int WriteUnread(void* handle, int64_t bytes) = 0;

    // ---- opening ahead ----
    // The walk names, in the order it will open them, the files of each
    // folder it enters that its copy opens for reading first (none, for a
    // folder without such files), with how they will be opened and the
    // GetInfo parts then asked. A volume that answers slowly may open them
    // early; the others return 0, which null paths ask before any list is
    // made. Each list stands until EndForesight.
    virtual int ForeseeOpens(const wchar_t* const* paths, size_t count, uint32_t access, uint32_t share,
                             uint32_t flags, int parts) = 0;
    // The walk leaves the folder of the last list: what was opened for it and not taken is closed.
    virtual void EndForesight() = 0;
};

// The system's calls. Outside this interface stay only calls that write
// nothing and that no test needs to fail:
//   - the console, standard output and standard error (src/console), and the
//     out-of-memory message of src/app/heap_memory.cpp;
//   - name forms that read no volume: GetFullPathNameW (run_checks.cpp),
//     GetTempPathW (run_driver.cpp);
//   - GetLongPathNameW (folder_identity.cpp): it reads the long names of the
//     folders on a path, no more; tests write their paths in long form;
//   - the state of the overlay filter's service (compression_windows.cpp):
//     a service, no file;
//   - handles of threads, events and the process token (scan, walk, io_workers,
//     privileges): no file behind them;
//   - ShellExecuteW of the error log at the end (run_summary.cpp): it opens
//     the user's editor, which writes nothing of the run's;
//   - raw disks and volumes go through DeviceSystem (devices.h), an interface
//     of their own that a dry run overlays in the same way.
class SystemFileOps : public FileOps {
public:
    int Link(const wchar_t* newPath, const wchar_t* existingPath) override;
    int GetInfo(void* handle, FileInfo* info, int parts) override;
    int SetTimes(void* handle, const uint64_t* created, const uint64_t* accessed, const uint64_t* written) override;
    int SetSparse(void* handle) override;
    uint32_t GetAttributes(const wchar_t* path) override;
    int SetAttributes(const wchar_t* path, uint32_t attributes) override;
    int CreateFolder(const wchar_t* path) override;
    int CreateFolderForTimes(const wchar_t* path, void** handle) override;
    int RemoveFolder(const wchar_t* path) override;
    int Move(const wchar_t* from, const wchar_t* to, int replace) override;
    int MoveOpened(void* handle, const wchar_t* to, int replace) override;
    int FreeSpace(const wchar_t* folder, int64_t* total, int64_t* free) override;
    int CompressedSize(const wchar_t* path, int64_t* size) override;
    void* FindFirst(const wchar_t* pattern, FoundName* found) override;
    int FindNext(void* search, FoundName* found) override;
    void FindEnd(void* search) override;
    int BackupRead(void* handle, uint8_t* buffer, uint32_t bytes, uint32_t* read, void** context) override;
    int BackupSeek(void* handle, uint64_t bytes, uint64_t* moved, void** context) override;
    int BackupWrite(void* handle, const uint8_t* buffer, uint32_t bytes, uint32_t* written, void** context) override;
    void EndBackupRead(void* handle, void** context) override;
    void EndBackupWrite(void* handle, void** context) override;
    int TakeOwnership(const wchar_t* path) override;
    uint32_t DriveType(const wchar_t* root) override;
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override;
    int VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* fileSystem, uint32_t capacity) override;
    int GetReparse(void* handle, uint8_t* buffer, size_t capacity, size_t* size) override;
    int SetReparse(void* handle, const uint8_t* data, size_t size) override;
    int GetCompression(void* handle, uint16_t* format) override;
    int SetCompression(void* handle, uint16_t format) override;
    int GetExternalBacking(void* handle, void* record, uint32_t size) override;
    int SetExternalBacking(void* handle, const void* record, uint32_t size) override;
    int FinalPath(void* handle, wchar_t* out, uint32_t capacity) override;
    int MountHolders(const wchar_t* root, wchar_t* out, uint32_t capacity) override;
    int RemoveOpened(void* handle) override;
    int WriteUnread(void* handle, int64_t bytes) override { return 0; }
    int ForeseeOpens(const wchar_t* const*, size_t, uint32_t, uint32_t, uint32_t, int) override { return 0; }
    void EndForesight() override {}
};

// CreateFolderForTimes through the interface's own calls: the folder, then a
// handle to set its times.
int CreateFolderThenOpen(FileOps* ops, const wchar_t* path, void** handle);

// The operations in use; only test code swaps this pointer.
extern FileOps* fileOps;

// Current position of a handle through fileOps; -1 on failure.
int64_t CurrentPosition(void* handle);
// Closes a handle through fileOps when it is open and clears the variable.
void CloseHandleOf(void** handle);
// Size, link count and index of a path through a handle opened with no access.
int ProbePath(const wchar_t* path, int64_t* size, uint32_t* links, uint64_t* index);
