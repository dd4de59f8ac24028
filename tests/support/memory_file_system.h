// A Windows volume in memory behind fileOps: files with their data, sizes,
// times, attributes, names (hard links), identity, named streams, security
// and reparse data, folders and the room left, and faults on demand.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "file_ops.h"

namespace qtxtest {

enum class Call {
    Any, Open, Read, Write, SetPointer, SetEnd, GetSize, Flush, Close, Delete, ZeroRange, Link, GetInfo,
    SetTimes, SetSparse, GetAttributes, SetAttributes, CreateFolder, RemoveFolder, Move, FreeSpace,
    CompressedSize, FindFirst, FindNext,
    // security and named streams
    BackupRead, BackupSeek, BackupWrite, TakeOwnership, Volume,
    // reparse points and names
    GetReparse, SetReparse,
    // compression
    GetCompression, SetCompression, GetBacking, SetBacking,
    Control,   // through the handle of a device this volume stands for
    Count
};
const char* CallName(Call call);
// The reparse data of a mount point (junction) to folder.
std::string JunctionTo(const std::wstring& folder);

// A call that fails: the nth call of its kind (Any counts every call), or
// with nth 0 every call on a path containing `path`, reads and writes only
// where they overlap [from, to). Once it fired, a persistent fault fails every
// later call on the same name; a transient one fires once.
struct Fault {
    Call call = Call::Any;
    int nth = 0;
    std::wstring path;
    int64_t from = 0, to = -1;
    uint32_t error = ERROR_ACCESS_DENIED;
    bool persistent = false;
    // Nonzero: fires only where it matches, at most this often (-1: always),
    // as a bad sector would; persistent does not apply.
    int times = 0;
    // Instead of failing, a read or write where it matches succeeds with only
    // the bytes before `from` (Short; half the bytes when picked by nth), or
    // with those in [from, to) inverted (Flip); once unless times says otherwise.
    enum class Effect { Fail, Short, Flip } effect = Effect::Fail;
    // what it hit
    int fired = 0;
    std::wstring hitPath;
    Call hitCall = Call::Any;
};

struct MemoryFile {
    std::string data;
    uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE;
    uint64_t times[3] = {};
    uint32_t links = 1;
    uint64_t id = 0;
    std::map<std::wstring, std::string> streams;   // upper-case ":name" -> data
    std::string security;
    std::string reparse;
};

class MemoryFileSystem : public FileOps {
public:
    MemoryFileSystem();
    ~MemoryFileSystem() override;
    // Puts itself in place of the system until destroyed.
    void Install();
    static MemoryFileSystem* installed;
    // A device (\\.\PhysicalDrive1) may be a file here; a control through its
    // handle: 0 when it fails (last error set), else 1 and the device's name.
    int DeviceControl(void* handle, std::wstring* key);

    // ---- the volume ----
    void AddFolder(const std::wstring& path);
    void AddFile(const std::wstring& path, const std::string& data, uint64_t lastWrite = 0x01D0000000000000ULL,
                 uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE);
    void AddLink(const std::wstring& newPath, const std::wstring& existingPath);
    // The folder at path takes the id of the folder at original, as a mount of it would show.
    void ShareFolderId(const std::wstring& path, const std::wstring& original);
    void SetFolderTime(const std::wstring& path, uint64_t lastWrite);
    bool Exists(const std::wstring& path);
    std::string Data(const std::wstring& path);   // "<missing>" when absent
    std::shared_ptr<MemoryFile> File(const std::wstring& path);
    // Every name below the drive, one line each: "folder|a<attributes>|t<time>" or
    // "<size>:<hash>|a<attributes>|t<time>|n<links>|s<stream>=<size>:<hash>...|sec<security>".
    std::map<std::wstring, std::string> Snapshot();
    int OpenHandles();
    int64_t capacity = 1LL << 30;
    // a folder that is the root of a volume of its own, as one mounted there
    std::wstring volumeFolder;
    uint64_t volumeSerial = 0x51A7;

    // ---- faults and counts ----
    std::vector<Fault> faults;
    // Adds a fault on every call of a kind on names containing path (every
    // name when empty); more fields can be set on the result before the run.
    Fault& AddFault(Call call, const std::wstring& path = L"", uint32_t error = ERROR_ACCESS_DENIED,
                bool persistent = false);
    int counts[static_cast<int>(Call::Count)] = {};
    std::vector<Call>* trace = nullptr;   // when set, every call's kind in order
    int64_t bytesWritten = 0;   // by Write
    std::vector<std::wstring> searches;   // every pattern FindFirst was given
    void ResetCounts();

    // ---- a crash ----
    // The volume stops dead at call number crashAt (counting every call): what
    // it held just before that call is kept, that call and every later one
    // fail, and the run is told to stop.
    int crashAt = 0;
    bool Crashed() const { return crashed_; }
    // Gives a fresh volume what this one held when it stopped, with no open handle.
    void CopyCrashedInto(MemoryFileSystem& other);

    // ---- FileOps ----
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) override;
    int Read(void* handle, void* buffer, uint32_t length, uint32_t* done) override;
    int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) override;
    int SetPointer(void* handle, int64_t distance, uint32_t method, int64_t* position) override;
    int SetEnd(void* handle) override;
    int GetSize(void* handle, int64_t* size) override;
    int Flush(void* handle) override;
    int Close(void* handle) override;
    int Delete(const wchar_t* path) override;
    int ZeroRange(void* handle, int64_t from, int64_t to) override;
    int Link(const wchar_t* newPath, const wchar_t* existingPath) override;
    int GetInfo(void* handle, FileInfo* info, int parts) override;
    int SetTimes(void* handle, const uint64_t* created, const uint64_t* accessed, const uint64_t* written) override;
    int SetSparse(void* handle) override;
    uint32_t GetAttributes(const wchar_t* path) override;
    int SetAttributes(const wchar_t* path, uint32_t attributes) override;
    int CreateFolder(const wchar_t* path) override;
    int RemoveFolder(const wchar_t* path) override;
    int Move(const wchar_t* from, const wchar_t* to, int replace) override;
    int MoveOpened(void* handle, const wchar_t* to, int replace) override;
    int FreeSpace(const wchar_t* folder, int64_t* total, int64_t* free) override;
    int CompressedSize(const wchar_t* path, int64_t* size) override;
    void* FindFirst(const wchar_t* pattern, FoundName* found) override;
    int FindNext(void* search, FoundName* found) override;
    void FindEnd(void* search) override;
    // ---- security and named streams (memory_file_system_streams.cpp) ----
    // Backup records of the security blob, the data and each named stream.
    int BackupRead(void* handle, uint8_t* buffer, uint32_t bytes, uint32_t* read, void** context) override;
    int BackupSeek(void* handle, uint64_t bytes, uint64_t* moved, void** context) override;
    int BackupWrite(void* handle, const uint8_t* buffer, uint32_t bytes, uint32_t* written, void** context) override;
    void EndBackupRead(void* handle, void** context) override;
    void EndBackupWrite(void* handle, void** context) override;
    int TakeOwnership(const wchar_t* path) override;   // the blob becomes kTakenSecurity
    int CreateFolderForTimes(const wchar_t* path, void** handle) override {
        return CreateFolderThenOpen(this, path, handle);
    }
    int WriteUnread(void* handle, int64_t bytes) override { return 0; }
    int ForeseeOpens(const wchar_t* const*, size_t, uint32_t, uint32_t, uint32_t, int) override { return 0; }
    void EndForesight() override {}
    // Each drive is fixed, its own volume, with named streams and ACLs.
    uint32_t DriveType(const wchar_t* root) override;
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override;
    int VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* fileSystem, uint32_t capacity) override;
    static constexpr const char* kTakenSecurity = "owner=Administrators";
    // A descriptor holding this denies what a new name needs: Link to its file fails.
    static constexpr const char* kDeniesNames = "deny=write-attributes";

    // ---- reparse points and the names of a file (memory_file_system_links.cpp) ----
    // Makes the file or folder at path a link with these data. A folder link
    // holds nothing of its own: listing or removing it never reaches what it names.
    void AddReparse(const std::wstring& path, const std::string& data);
    std::string Reparse(const std::wstring& path);   // "" when none
    int GetReparse(void* handle, uint8_t* buffer, size_t capacity, size_t* size) override;
    int SetReparse(void* handle, const uint8_t* data, size_t size) override;
    // A folder link (junction) at path leading to target: opened, searched
    // and named through, it is target; removed, it goes itself.
    void AddFolderLink(const std::wstring& path, const std::wstring& target);
    // The drive (as "M:") is a volume mounted at folder: the same folders
    // under two names, the drive's being where they really lie.
    void MountAt(const std::wstring& drive, const std::wstring& folder);
    int FinalPath(void* handle, wchar_t* out, uint32_t capacity) override;
    int MountHolders(const wchar_t* root, wchar_t* out, uint32_t capacity) override;
    // A file goes as by Delete, a folder or link as by RemoveFolder, with their faults.
    int RemoveOpened(void* handle) override;
    // Runs before each call (not within itself): a test changes the volume
    // between two steps of the program with it.
    std::function<void(Call call, const std::wstring& key)> beforeCall;

    // ---- compression (memory_file_system_compression.cpp) ----
    // NTFS format of a file or folder; algorithm of a file's overlay backing, -1 for none.
    uint16_t& Format(const std::wstring& path) { return formats_[Key(path)]; }
    int& Backing(const std::wstring& path) { return backing_.emplace(Key(path), -1).first->second; }
    int GetCompression(void* handle, uint16_t* format) override;
    int SetCompression(void* handle, uint16_t format) override;
    int GetExternalBacking(void* handle, void* record, uint32_t size) override;
    int SetExternalBacking(void* handle, const void* record, uint32_t size) override;
    // Bytes on disk of a file taking `plain` uncompressed: half its clusters when compressed.
    int64_t OnDisk(const std::wstring& key, int64_t plain);
    std::map<std::wstring, uint16_t> formats_;   // by Key(path)
    std::map<std::wstring, int> backing_;

private:
    struct Node {
        std::wstring name;   // as created
        bool folder = false;
        uint32_t folderAttributes = FILE_ATTRIBUTE_DIRECTORY;
        uint64_t folderTimes[3] = {};
        uint64_t folderId = 0;
        std::shared_ptr<MemoryFile> file;
    };
    struct Handle {
        std::wstring key;
        std::shared_ptr<MemoryFile> file;   // null for a folder
        std::string* data;                  // the file's or a stream's bytes
        int64_t position = 0;
        uint32_t access = 0;
        uint32_t share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    };
    // A folder held open without shared deletion cannot be moved or removed by name.
    bool Pinned(const std::wstring& key);
    int MoveKey(const std::wstring& source, const wchar_t* to, int replace);
    // Removes an existing folder's node unless something lies below it.
    int EraseEmptyFolder(const std::wstring& key);
    struct Search {
        std::wstring key;
        std::vector<FoundName> names;
        size_t next = 0;
    };
    std::recursive_mutex lock_;
    std::map<std::wstring, Node> nodes_;   // upper-case path without long prefix or trailing backslash
    std::map<uintptr_t, Handle> handles_;
    uintptr_t nextHandle_ = 1;
    uint64_t nextId_ = 1;
    FileOps* saved_ = nullptr;
    bool crashed_ = false;
    std::map<std::wstring, Node> crashedNodes_;
    uint64_t crashedNextId_ = 0;
    void StopDead();

    // The node a path names: what lies below a folder link or a drive mounted
    // at a folder is found where it really is; a link itself is not followed.
    std::wstring Key(const std::wstring& path, std::wstring* stream = nullptr);
    std::wstring Follow(std::wstring key);
    std::map<std::wstring, std::wstring> folderLinks_;   // link key -> the key it leads to
    std::map<std::wstring, std::wstring> mounts_;        // drive ("M:") -> the folder key it is mounted at
    bool inHook_ = false;
    static std::wstring ParentKey(const std::wstring& key);
    bool Failing(Call call, const std::wstring& key, int64_t at = 0, int64_t length = 0, Fault** altered = nullptr);
    Handle* Find(void* handle);
    void* NewHandle(const std::wstring& key, std::shared_ptr<MemoryFile> file, std::string* data, uint32_t access);
    int64_t Used();
    FoundName Describe(const std::wstring& key, const Node& node);
};

}  // namespace qtxtest
