// The dry run's overlay of the file system. It keeps what the run changed,
// by path, and answers every read from the volume below as so changed; calls
// that would change a volume are recorded and announced, never passed down.
// Handles it hands out for writing are its own: a write on any other handle
// fails, so nothing it does not know can reach the volume.
#include "dry_run_overlay.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <string>
#include <vector>

#include "console.h"
#include "folder_listing.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

const char* const kActionNames[kDryActionCount] = {"copy",          "overwrite",     "skip",
                                                   "delete file",   "delete folder", "create folder",
                                                   "link",          "re-use",        "remove source"};

constexpr uint32_t kDataWrite = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr uint32_t kAnyWrite = kDataWrite | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr uint64_t kMadeIndex = 1ULL << 62;   // identities of files the run made, apart from real ones

// Upper case, without the long-path prefix and trailing backslashes.
std::wstring Key(const wchar_t* path) {
    std::wstring key;
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0)
        key = std::wstring(L"\\\\") + (path + 8);
    else
        key = SkipLongPrefix(path);
    while (key.size() > 3 && key.back() == L'\\') key.pop_back();
    if (key.size() == 3 && key.back() == L'\\' && key[1] != L':') key.pop_back();
    if (!key.empty()) CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    return key;
}

std::wstring ParentOf(const std::wstring& key) {
    if (key.size() <= 3 && key.size() >= 2 && key[1] == L':') return std::wstring();   // a drive's root
    size_t slash = key.rfind(L'\\');
    if (slash == std::wstring::npos || slash < 2) return std::wstring();
    return key.substr(0, slash == 2 && key[1] == L':' ? 3 : slash);
}

bool IsBelow(const std::wstring& key, const std::wstring& folder) {
    if (folder.empty() || key.size() <= folder.size() || key.compare(0, folder.size(), folder) != 0) return false;
    return folder.back() == L'\\' || key[folder.size()] == L'\\';
}

// A named stream is part of its file: its copy is no action of its own.
bool IsStream(const std::wstring& key) { return key.find(L':', 2) != std::wstring::npos; }

enum class State { Original, Made, Absent };

// What the run did to one name. An original keeps the volume's facts except
// those it set; a made one has only the facts the run gave it.
struct Entry {
    State state = State::Original;
    bool folder = false;
    bool existed = false;   // the name was there before the run
    bool attributesSet = false;
    uint32_t attributes = 0;
    int64_t size = 0;
    uint64_t index = 0;
};

struct Opened {
    std::wstring key;
    std::wstring path;   // as the caller named it
    void* below = nullptr;   // the volume's own file, for reads, when there is one
    bool own = false;        // the handle is the overlay's, not the volume's
    bool deferred = false;   // below is opened at the first read that needs it
    uint32_t flags = 0;
    uint32_t attributes = 0;   // a deferred folder's facts, from its parent's listing
    uint64_t times[3] = {};
    int64_t position = 0;
    bool announced = false;   // its writes count towards the bytes
    // a file opened ahead answers what was asked of it then; below is opened
    // only for more
    bool foreseen = false;
    int parts = 0;
    FileInfo answers = {};
    FileInfo identity = {};
    bool identityKnown = false;
};

struct Search {
    std::vector<FoundName> names;
    size_t next = 0;
    uint32_t endError = ERROR_NO_MORE_FILES;
};

struct Pending {
    std::wstring key;
    std::wstring shown;
    DryAction action = kDryActionCount;
    int64_t bytes = 0;
};

class Lock {
public:
    explicit Lock(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
    ~Lock() { LeaveCriticalSection(section_); }

private:
    CRITICAL_SECTION* section_;
};

int Fail(uint32_t error) {
    SetLastError(error);
    return 0;
}

class Overlay final : public DryRunOverlay {
public:
    Overlay(FileOps* below, int quiet) : below_(below), quiet_(quiet) {
        InitializeCriticalSection(&section_);
        InitializeCriticalSection(&aheadSection_);
        InitializeConditionVariable(&aheadChanged_);
    }
    ~Overlay() override {
        StopAhead();
        DeleteCriticalSection(&aheadSection_);
        DeleteCriticalSection(&section_);
    }

    // ---- announcements ----
    void Skip(const wchar_t* path, const char* reason) override {
        Lock lock(&section_);
        Emit();
        ++counts_.actions[kDrySkip];
        if (!quiet_) PrintLine("skip", reason, path);
    }
    void ExpectReuse(const wchar_t* path) override {
        Lock lock(&section_);
        reuse_ = Key(path);
    }
    DryRunCounts Finish() override {
        StopAhead();
        Lock lock(&section_);
        Emit();
        return counts_;
    }

    FileOps* Below() override { return below_; }

    // ---- reads, answered as the run has changed the volume ----
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) override {
        Lock lock(&section_);
        std::wstring key = Key(path);
        bool creates = disposition != OPEN_EXISTING;
        if (!(access & kAnyWrite) && !creates && !Touched(key)) {
            bool listed = false;
            void* ahead = TakeAhead(key, access, share, flags, &listed);
            if (ahead) return ahead;
            void* handle = below_->Open(path, access, share, disposition, flags);
            // the thread closes it too, as it would have had it opened it
            if (listed && IsValidHandle(handle)) closeLater_.insert(handle);
            return handle;
        }
        if (IsDevicePath(path)) return OpenDevice(path, key, access, flags);
        std::wstring file = IsStream(key) ? key.substr(0, key.find(L':', 2)) : key;
        Entry* entry = nullptr;
        int present = Present(file, &entry);
        bool made = present && entry && entry->state == State::Made;
        if (!(access & kAnyWrite) && !creates && present && !made) return below_->Open(path, access, share, disposition, flags);
        if (!present && (!creates || IsStream(key))) return NoHandle(ERROR_FILE_NOT_FOUND);
        if (present && disposition == CREATE_NEW) return NoHandle(ERROR_FILE_EXISTS);
        if (!present && !Present(ParentOf(file), nullptr)) return NoHandle(ERROR_PATH_NOT_FOUND);
        Opened opened;
        opened.key = key;
        opened.path = path;
        if (present && !made) {
            // reads of an existing file come from the volume, as a -u comparison needs
            opened.flags = flags & (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
            // a folder opened for its times alone, as the walk stamps it, has them in its parent's listing
            const Named* listed = nullptr;
            if (!(access & ~(FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE)) && disposition == OPEN_EXISTING &&
                !IsStream(key) && IsFolder(file, entry) && (listed = ListedName(file)) != nullptr) {
                opened.deferred = true;
                opened.attributes = listed->attributes;
                for (int i = 0; i < 3; ++i) opened.times[i] = listed->times[i];
            } else {
                OpenBelow(&opened);
            }
        }
        bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        // a stream goes with its file, and times, attributes or security are no new content
        bool folder = present && IsFolder(file, entry);
        if (folder && truncates) {
            if (opened.below) below_->Close(opened.below);
            return NoHandle(ERROR_ACCESS_DENIED);
        }
        // the error log is no part of the copy, and a run that writes none has none
        bool log = run.logPath[0] && file == Key(run.logPath);
        bool newContent = !log && !IsStream(key) && !folder && (!present || (access & kDataWrite) || truncates);
        if (newContent && made) {
            // the run's own file opened again: no new action
            if (truncates) entry->size = 0;
            opened.announced = pending_.key == file;
        } else if (newContent) {
            bool wasFile = present != 0;
            int64_t size = wasFile && !truncates ? SizeOf(opened.below) : 0;
            uint32_t attributes = wasFile ? Attributes(path, file, entry) : (flags & 0xFFFF);
            Entry& now = Make(file);
            now.size = size;
            now.attributes = attributes ? attributes : FILE_ATTRIBUTE_ARCHIVE;
            Announce(file, path, wasFile ? kDryOverwrite : kDryCopy, true);
            opened.announced = true;
        }
        opened.own = !opened.below;
        void* handle = opened.below ? opened.below : reinterpret_cast<void*>(new char);
        opened_[handle] = opened;
        return handle;
    }
    int Read(void* handle, void* buffer, uint32_t length, uint32_t* done) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return below_->Read(handle, buffer, length, done);
        *done = 0;
        if (!BelowOf(mine)) return mine->foreseen ? 0 : 1;
        // the volume's data up to the length the run left the file
        int64_t left = SizeOfKey(mine->key) - mine->position;
        if (left <= 0) return 1;
        if (static_cast<int64_t>(length) > left) length = static_cast<uint32_t>(left);
        if (!below_->SetPointer(mine->below, mine->position, FILE_BEGIN, nullptr)) return 0;
        int ok = below_->Read(mine->below, buffer, length, done);
        mine->position += *done;
        return ok;
    }
    int SetPointer(void* handle, int64_t distance, uint32_t method, int64_t* position) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return below_->SetPointer(handle, distance, method, position);
        int64_t base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? mine->position : SizeOfKey(mine->key);
        if (base + distance < 0) return Fail(ERROR_NEGATIVE_SEEK);
        mine->position = base + distance;
        if (position) *position = mine->position;
        return 1;
    }
    int GetSize(void* handle, int64_t* size) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return below_->GetSize(handle, size);
        *size = SizeOfKey(mine->key);
        return 1;
    }
    int Close(void* handle) override {
        Lock lock(&section_);
        if (closeLater_.erase(handle)) return CloseAhead(handle);
        auto found = opened_.find(handle);
        if (found == opened_.end()) return below_->Close(handle);
        void* real = found->second.below;
        bool own = found->second.own;
        opened_.erase(found);
        int closed = real ? below_->Close(real) : 1;
        if (own) delete reinterpret_cast<char*>(handle);
        return closed;
    }
    int GetInfo(void* handle, FileInfo* info, int parts) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return below_->GetInfo(handle, info, parts);
        if (mine->foreseen && parts == mine->parts) {
            *info = mine->answers;
            return 1;
        }
        if (mine->foreseen && parts == (mine->parts | kInfoIdentity) && mine->identityKnown) {
            *info = mine->identity;
            return 1;
        }
        if (mine->deferred && !mine->foreseen && !(parts & (kInfoIdentity | kInfoIndexOnly))) {
            *info = FileInfo();
            info->attributes = mine->attributes;
            info->links = 1;
            for (int i = 0; i < 3; ++i) info->times[i] = mine->times[i];
        } else if (BelowOf(mine) && !below_->GetInfo(mine->below, info, parts)) {
            return 0;
        } else if (!mine->below) {
            // a file the thread saw may have gone since: that is the answer
            if (mine->foreseen) return 0;
            *info = FileInfo();
        }
        Entry* entry = nullptr;
        if (Present(mine->key, &entry) && entry) {
            if (entry->state == State::Made) {
                info->size = info->allocated = entry->folder ? 0 : entry->size;
                info->links = 1;
                info->fileIndex = entry->index;
                info->fileIdHigh = 0;
            }
            if (entry->attributesSet) info->attributes = entry->attributes | (entry->folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
        }
        return 1;
    }
    uint32_t GetAttributes(const wchar_t* path) override {
        Lock lock(&section_);
        std::wstring key = Key(path);
        if (!Touched(key)) return BelowAttributes(key, path);
        Entry* entry = nullptr;
        if (!Present(key, &entry)) {
            SetLastError(Present(ParentOf(key), nullptr) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
            return INVALID_FILE_ATTRIBUTES;
        }
        if (entry && entry->attributesSet) return entry->attributes | (entry->folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
        return BelowAttributes(key, path);
    }
    // A folder the run made is not on the volume: the room is that of the
    // nearest folder above it that is.
    int FreeSpace(const wchar_t* folder, int64_t* total, int64_t* free) override {
        Lock lock(&section_);
        if (!folder || !Touched(Key(folder))) return below_->FreeSpace(folder, total, free);
        for (std::wstring key = Key(folder); !key.empty(); key = ParentOf(key)) {
            if (BelowAttributes(key) == INVALID_FILE_ATTRIBUTES) continue;
            std::wstring path = LongPathOf(key);
            if (path.back() != L'\\') path += L'\\';
            return below_->FreeSpace(path.c_str(), total, free);
        }
        return below_->FreeSpace(folder, total, free);
    }
    int CompressedSize(const wchar_t* path, int64_t* size) override {
        Lock lock(&section_);
        std::wstring key = Key(path);
        Entry* entry = nullptr;
        if (!Present(key, &entry)) return Fail(ERROR_FILE_NOT_FOUND);
        if (entry && entry->state == State::Made) {
            *size = entry->size;
            return 1;
        }
        return below_->CompressedSize(path, size);
    }
    void* FindFirst(const wchar_t* pattern, FoundName* found) override {
        Lock lock(&section_);
        std::wstring key = Key(pattern);
        std::wstring folder = ParentOf(key);
        if (!Touched(key) && !TouchedBelow(folder)) {
            void* search = below_->FindFirst(pattern, found);
            if (!search) return search;
            Listing& listing = passed_[search];
            listing.whole = key.size() > 2 && key.compare(key.size() - 2, 2, L"\\*") == 0;
            if (listing.whole) {
                listing.folder = folder;
                Learn(&listing, *found);
            }
            return search;
        }
        Entry* entry = nullptr;
        if (!Present(folder, &entry) || !IsFolder(folder, entry)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return nullptr;
        }
        Search* search = new Search;
        const wchar_t* mask = pattern + wcslen(pattern);
        while (mask > pattern && mask[-1] != L'\\') --mask;
        if (!entry || entry->state != State::Made) CollectBelow(pattern, folder, search);
        for (auto it = changed_.upper_bound(folder); it != changed_.end() && IsBelow(it->first, folder); ++it) {
            if (it->second.state != State::Made || ParentOf(it->first) != folder) continue;
            const wchar_t* name = it->first.c_str() + it->first.rfind(L'\\') + 1;
            if (!MatchMask(name, mask) || Listed(*search, name)) continue;
            FoundName made = {};
            made.attributes = it->second.attributes | (it->second.folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
            made.size = it->second.folder ? 0 : it->second.size;
            made.fileId = it->second.index;
            lstrcpynW(made.name, name, 260);
            search->names.push_back(made);
        }
        if (search->names.empty()) {
            SetLastError(search->endError == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : search->endError);
            delete search;
            return nullptr;
        }
        *found = search->names[search->next++];
        return search;
    }
    int FindNext(void* search, FoundName* found) override {
        Lock lock(&section_);
        auto passed = passed_.find(search);
        if (passed != passed_.end()) {
            if (below_->FindNext(search, found)) {
                Learn(&passed->second, *found);
                return 1;
            }
            uint32_t error = GetLastError();
            if (error == ERROR_NO_MORE_FILES && passed->second.whole) Keep(&passed->second);
            SetLastError(error);
            return 0;
        }
        Search* mine = static_cast<Search*>(search);
        if (mine->next >= mine->names.size()) return Fail(mine->endError);
        *found = mine->names[mine->next++];
        return 1;
    }
    void FindEnd(void* search) override {
        Lock lock(&section_);
        if (passed_.erase(search)) {
            below_->FindEnd(search);
            return;
        }
        delete static_cast<Search*>(search);
    }
    int BackupRead(void* handle, uint8_t* buffer, uint32_t bytes, uint32_t* read, void** context) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (mine && !BelowOf(mine)) {
            *read = 0;
            return mine->foreseen ? 0 : 1;
        }
        return below_->BackupRead(mine ? BelowOf(mine) : handle, buffer, bytes, read, context);
    }
    int BackupSeek(void* handle, uint64_t bytes, uint64_t* moved, void** context) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (mine && !BelowOf(mine)) return Fail(ERROR_SEEK);
        return below_->BackupSeek(mine ? BelowOf(mine) : handle, bytes, moved, context);
    }
    void EndBackupRead(void* handle, void** context) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (mine && !BelowOf(mine)) {
            *context = nullptr;
            return;
        }
        below_->EndBackupRead(mine ? BelowOf(mine) : handle, context);
    }
    uint32_t DriveType(const wchar_t* root) override { return below_->DriveType(root); }
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override {
        return below_->VolumePathName(path, out, capacity);
    }
    int VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* fileSystem, uint32_t capacity) override {
        return below_->VolumeFlags(root, flags, fileSystem, capacity);
    }
    int GetReparse(void* handle, uint8_t* buffer, size_t capacity, size_t* size) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (mine && !BelowOf(mine)) return Fail(ERROR_NOT_A_REPARSE_POINT);
        return below_->GetReparse(mine ? BelowOf(mine) : handle, buffer, capacity, size);
    }
    // A file the run made lies where it was made; others where the volume says.
    int FinalPath(void* handle, wchar_t* out, uint32_t capacity) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return below_->FinalPath(handle, out, capacity);
        if (BelowOf(mine)) return below_->FinalPath(mine->below, out, capacity);
        std::wstring path = mine->path;
        if (path.size() >= capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
        wcscpy(out, path.c_str());
        return 1;
    }
    int MountHolders(const wchar_t* root, wchar_t* out, uint32_t capacity) override {
        return below_->MountHolders(root, out, capacity);
    }
    int GetCompression(void* handle, uint16_t* format) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        // a file the thread asked says it from its listing, without opening it again
        if (mine && mine->foreseen && !mine->below) {
            uint32_t attributes = BelowAttributes(mine->key, mine->path.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
            *format = (attributes & FILE_ATTRIBUTE_COMPRESSED) ? COMPRESSION_FORMAT_LZNT1 : COMPRESSION_FORMAT_NONE;
            return 1;
        }
        if (mine && !BelowOf(mine)) {
            *format = 0;
            return 1;
        }
        return below_->GetCompression(mine ? BelowOf(mine) : handle, format);
    }
    int GetExternalBacking(void* handle, void* record, uint32_t size) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (mine && !BelowOf(mine)) return Fail(ERROR_INVALID_FUNCTION);
        return below_->GetExternalBacking(mine ? BelowOf(mine) : handle, record, size);
    }

    // ---- writes, recorded ----
    int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) override {
        Lock lock(&section_);
        *done = 0;
        if (!Wrote(handle, length)) return 0;
        *done = length;
        return 1;
    }
    // Without a handle: the null device, which takes the copy and keeps nothing.
    int WriteUnread(void* handle, int64_t bytes) override {
        Lock lock(&section_);
        if (handle || !run.targetIsNul) return Wrote(handle, bytes);
        Announce(Key(run.targetPath), run.targetPath, kDryCopy, false);
        return 1;
    }
    int SetEnd(void* handle) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return Fail(ERROR_ACCESS_DENIED);
        Entry* entry = nullptr;
        if (Present(mine->key, &entry) && entry && entry->state == State::Made) entry->size = mine->position;
        return 1;
    }
    int Flush(void* handle) override {
        Lock lock(&section_);
        return Mine(handle) ? 1 : Fail(ERROR_ACCESS_DENIED);
    }
    int ZeroRange(void* handle, int64_t from, int64_t to) override { return Flush(handle); }
    int SetTimes(void* handle, const uint64_t*, const uint64_t*, const uint64_t*) override { return Flush(handle); }
    int SetSparse(void* handle) override { return Flush(handle); }
    int SetCompression(void* handle, uint16_t format) override { return Flush(handle); }
    int SetExternalBacking(void* handle, const void* record, uint32_t size) override { return Flush(handle); }
    int BackupWrite(void* handle, const uint8_t* buffer, uint32_t bytes, uint32_t* written, void** context) override {
        *written = bytes;
        return Flush(handle);
    }
    void EndBackupWrite(void* handle, void** context) override { *context = nullptr; }
    int SetReparse(void* handle, const uint8_t* data, size_t size) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return Fail(ERROR_ACCESS_DENIED);
        Entry& entry = Record(mine->key);
        if (!entry.attributesSet) entry.attributes = FILE_ATTRIBUTE_NORMAL;
        entry.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        entry.attributesSet = true;
        // a file or folder made to carry a link is the link
        if (pending_.key == mine->key && pending_.action != kDryRemoveSource) pending_.action = kDryLink;
        return 1;
    }
    int SetAttributes(const wchar_t* path, uint32_t attributes) override {
        Lock lock(&section_);
        std::wstring key = Key(path);
        Entry* entry = nullptr;
        if (!Present(key, &entry)) return Fail(ERROR_FILE_NOT_FOUND);
        bool folder = IsFolder(key, entry);
        Entry& changed = Record(key);
        changed.folder = folder;
        changed.attributes = attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
        changed.attributesSet = true;
        return 1;
    }
    int TakeOwnership(const wchar_t* path) override { return Exists(path); }
    int Delete(const wchar_t* path) override {
        Lock lock(&section_);
        std::wstring key = Key(path);
        Entry* entry = nullptr;
        if (IsStream(key)) return Present(key.substr(0, key.find(L':', 2)), nullptr) ? 1 : Fail(ERROR_FILE_NOT_FOUND);
        if (!Present(key, &entry)) return Fail(ERROR_FILE_NOT_FOUND);
        if (IsFolder(key, entry)) return Fail(ERROR_ACCESS_DENIED);
        if (Attributes(path, key, entry) & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
        Remove(key, path, kDryDeleteFile);
        return 1;
    }
    int RemoveOpened(void* handle) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return Fail(ERROR_ACCESS_DENIED);
        std::wstring key = mine->key;
        std::wstring path = mine->path;
        Entry* entry = nullptr;
        if (!Present(key, &entry)) return Fail(ERROR_FILE_NOT_FOUND);
        bool folder = IsFolder(key, entry);
        if (folder && !(Attributes(path.c_str(), key, entry) & FILE_ATTRIBUTE_REPARSE_POINT) && !Empty(path.c_str(), key))
            return Fail(ERROR_DIR_NOT_EMPTY);
        Remove(key, path.c_str(), folder ? kDryDeleteFolder : kDryDeleteFile);
        return 1;
    }
    int RemoveFolder(const wchar_t* path) override {
        Lock lock(&section_);
        std::wstring key = Key(path);
        Entry* entry = nullptr;
        if (!Present(key, &entry)) return Fail(ERROR_FILE_NOT_FOUND);
        if (!IsFolder(key, entry)) return Fail(ERROR_DIRECTORY);
        // a folder link goes as it is; a folder only when nothing is left in it
        if (!(Attributes(path, key, entry) & FILE_ATTRIBUTE_REPARSE_POINT) && !Empty(path, key))
            return Fail(ERROR_DIR_NOT_EMPTY);
        Remove(key, path, kDryDeleteFolder);
        return 1;
    }
    int CreateFolder(const wchar_t* path) override {
        Lock lock(&section_);
        std::wstring key = Key(path);
        if (Present(key, nullptr)) return Fail(ERROR_ALREADY_EXISTS);
        if (!Present(ParentOf(key), nullptr)) return Fail(ERROR_PATH_NOT_FOUND);
        Entry& made = Make(key);
        made.folder = true;
        made.attributes = FILE_ATTRIBUTE_DIRECTORY;
        Announce(key, path, kDryCreateFolder, false);
        return 1;
    }
    int CreateFolderForTimes(const wchar_t* path, void** handle) override {
        return CreateFolderThenOpen(this, path, handle);
    }
    int Link(const wchar_t* newPath, const wchar_t* existingPath) override {
        Lock lock(&section_);
        std::wstring key = Key(newPath), existing = Key(existingPath);
        Entry* original = nullptr;
        if (!Present(existing, &original) || IsFolder(existing, original)) return Fail(ERROR_FILE_NOT_FOUND);
        if (Present(key, nullptr)) return Fail(ERROR_ALREADY_EXISTS);
        if (!Present(ParentOf(key), nullptr)) return Fail(ERROR_PATH_NOT_FOUND);
        Entry facts = FactsOf(existingPath, existing, original);
        Entry& made = Make(key);
        made.size = facts.size;
        made.attributes = facts.attributes;
        made.index = facts.index;
        Announce(key, newPath, reuse_ == key ? kDryReuse : kDryLink, false);
        reuse_.clear();
        return 1;
    }
    int Move(const wchar_t* from, const wchar_t* to, int replace) override {
        Lock lock(&section_);
        std::wstring source = Key(from), target = Key(to);
        Entry* entry = nullptr;
        if (!Present(source, &entry)) return Fail(ERROR_FILE_NOT_FOUND);
        Entry* there = nullptr;
        int occupied = Present(target, &there);
        if (occupied && !replace) return Fail(ERROR_ALREADY_EXISTS);
        if (!Present(ParentOf(target), nullptr)) return Fail(ERROR_PATH_NOT_FOUND);
        Entry moved = FactsOf(from, source, entry);
        bool replacesOriginal = occupied && (!there || there->existed);
        if (pending_.key == source) {
            // what the run made under one name is announced under the name it ends with
            pending_.key = target;
            pending_.shown = Shown(to);
            if (pending_.action == kDryCopy && replacesOriginal) pending_.action = kDryOverwrite;
            Entry& gone = Record(source);
            gone.state = State::Absent;
            gone.attributesSet = false;
        } else {
            Remove(source, from, moved.folder ? kDryDeleteFolder : kDryDeleteFile);
            Announce(target, to, replacesOriginal ? kDryOverwrite : kDryCopy, true);
        }
        Entry& now = Make(target);
        now.folder = moved.folder;
        now.size = moved.size;
        now.attributes = moved.attributes;
        now.index = moved.index;
        return 1;
    }
    int MoveOpened(void* handle, const wchar_t* to, int replace) override {
        Lock lock(&section_);
        Opened* mine = Mine(handle);
        if (!mine) return Fail(ERROR_ACCESS_DENIED);
        std::wstring from = mine->path;
        if (!Move(from.c_str(), to, replace)) return 0;
        mine->key = Key(to);
        mine->path = to;
        return 1;
    }

    // ---- opening ahead ----
    // Each file a dry run copies is opened only to learn its size and links,
    // and a volume that answers slowly makes that the whole cost of the run.
    // A thread opens the walk's next files, asks them and closes them again
    // while the run deals with the current one; the run gets a handle of the
    // overlay's that answers what the thread learnt, and opens the file
    // itself only to read it.
    int ForeseeOpens(const wchar_t* const* paths, size_t count, uint32_t access, uint32_t share, uint32_t flags,
                     int parts) override {
        if (access & kAnyWrite) return 0;
        if (!paths) return 1;
        Lock lock(&section_);
        auto list = std::make_unique<AheadList>();
        list->access = access;
        list->share = share;
        list->flags = flags;
        list->parts = parts;
        for (size_t i = 0; i < count; ++i) {
            auto file = std::make_shared<AheadFile>();
            file->path = paths[i];
            file->key = Key(paths[i]);
            // a name the list has already is opened once
            if (!list->index.emplace(file->key, list->files.size()).second) continue;
            list->files.push_back(std::move(file));
        }
        Lock ahead(&aheadSection_);
        lists_.push_back(std::move(list));
        if (!worker_ && count) worker_ = CreateThread(nullptr, 0, WorkAheadThread, this, 0, nullptr);
        WakeAllConditionVariable(&aheadChanged_);
        return 1;
    }
    void EndForesight() override {
        Lock lock(&section_);
        Lock ahead(&aheadSection_);
        if (lists_.empty()) return;
        DropAhead(*lists_.back());
        lists_.pop_back();
        WakeAllConditionVariable(&aheadChanged_);
    }

private:
    enum class Stage { Waiting, Opening, Opened, Taken };
    struct AheadFile {
        std::wstring path;
        std::wstring key;
        Stage stage = Stage::Waiting;
        bool known = false;       // opened and asked
        uint32_t error = 0;       // why it could not be opened; 0 when it was
        FileInfo info = {};
        FileInfo identity = {};
        bool identityKnown = false;
    };
    struct AheadList {
        std::vector<std::shared_ptr<AheadFile>> files;
        std::unordered_map<std::wstring, size_t> index;
        uint32_t access = 0, share = 0, flags = 0;
        int parts = 0;
        size_t asked = 0;   // the run's next file
    };
    // How far ahead of the run the thread asks.
    static constexpr size_t kLead = 8;
    // How many of the run's handles may wait for the thread to close them.
    static constexpr size_t kClosesHeld = 32;

    static DWORD WINAPI WorkAheadThread(void* self) {
        static_cast<Overlay*>(self)->WorkAhead();
        return 0;
    }
    void WorkAhead() {
        EnterCriticalSection(&aheadSection_);
        for (;;) {
            // opening comes first, as the run waits for it; closing when there is nothing to open
            AheadList* list = nullptr;
            std::shared_ptr<AheadFile> file =
                stopping_ || toClose_.size() >= kClosesHeld ? nullptr : NextAhead(&list);
            if (!file && !toClose_.empty()) {
                void* handle = toClose_.back();
                toClose_.pop_back();
                LeaveCriticalSection(&aheadSection_);
                below_->Close(handle);
                EnterCriticalSection(&aheadSection_);
                continue;
            }
            if (!file) {
                if (stopping_) break;
                SleepConditionVariableCS(&aheadChanged_, &aheadSection_, INFINITE);
                continue;
            }
            file->stage = Stage::Opening;
            const uint32_t access = list->access, share = list->share, flags = list->flags;
            const int parts = list->parts;
            LeaveCriticalSection(&aheadSection_);
            FileInfo info = {}, identity = {};
            bool identityKnown = false;
            void* handle = below_->Open(file->path.c_str(), access, share, OPEN_EXISTING, flags);
            const bool opened = IsValidHandle(handle);
            uint32_t error = opened ? 0 : GetLastError() ? GetLastError() : ERROR_OPEN_FAILED;
            bool known = opened && below_->GetInfo(handle, &info, parts);
            if (known && info.links >= 2) identityKnown = below_->GetInfo(handle, &identity, parts | kInfoIdentity) != 0;
            if (opened) below_->Close(handle);
            EnterCriticalSection(&aheadSection_);
            file->known = known;
            file->error = error;
            file->info = info;
            file->identity = identity;
            file->identityKnown = identityKnown;
            file->stage = Stage::Opened;
            WakeAllConditionVariable(&aheadChanged_);
        }
        LeaveCriticalSection(&aheadSection_);
    }
    // The thread's next file. In the folder the walk is in, the run opens
    // every other file itself and the thread the rest, so that neither waits
    // on the other for each file; the folders around it wait for the walk to
    // come back from this one, and the thread asks theirs in turn.
    std::shared_ptr<AheadFile> NextAhead(AheadList** from) {
        for (auto it = lists_.rbegin(); it != lists_.rend(); ++it) {
            AheadList& list = **it;
            bool current = it == lists_.rbegin();
            size_t until = std::min(list.files.size(), list.asked + 2 * kLead);
            for (size_t i = current ? list.asked | 1 : list.asked; i < until; i += current ? 2 : 1) {
                if (list.files[i]->stage != Stage::Waiting) continue;
                *from = &list;
                return list.files[i];
            }
        }
        return nullptr;
    }
    // The overlay's handle for key, answering what the thread learnt;
    // INVALID_HANDLE_VALUE with the error when the thread could not open it;
    // null when the run is to open it itself. *listed: key is on the list of
    // the folder the walk is in, so opened as the thread would.
    void* TakeAhead(const std::wstring& key, uint32_t access, uint32_t share, uint32_t flags, bool* listed) {
        Lock lock(&aheadSection_);
        if (lists_.empty()) return nullptr;
        AheadList& list = *lists_.back();
        auto found = list.index.find(key);
        if (found == list.index.end() || list.access != access || list.share != share || list.flags != flags)
            return nullptr;
        *listed = true;
        // what the run passed by it will not ask for
        for (size_t i = list.asked; i < found->second; ++i) Pass(list.files[i].get());
        list.asked = std::max(list.asked, found->second + 1);
        AheadFile& file = *list.files[found->second];
        while (file.stage == Stage::Opening) SleepConditionVariableCS(&aheadChanged_, &aheadSection_, INFINITE);
        void* handle = nullptr;
        if (file.stage == Stage::Opened && file.known) {
            Opened opened;
            opened.key = key;
            opened.path = file.path;
            opened.own = opened.deferred = opened.foreseen = true;
            opened.flags = flags & (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
            opened.parts = list.parts;
            opened.answers = file.info;
            opened.identity = file.identity;
            opened.identityKnown = file.identityKnown;
            handle = new char;
            opened_[handle] = opened;
        } else if (file.stage == Stage::Opened && file.error) {
            handle = INVALID_HANDLE_VALUE;
            SetLastError(file.error);
        }
        file.stage = Stage::Taken;
        WakeAllConditionVariable(&aheadChanged_);
        return handle;
    }
    // A file of a list no longer to be taken.
    static void Pass(AheadFile* file) {
        if (file->stage != Stage::Opening) file->stage = Stage::Taken;
    }
    // The thread closes what the run is done with, unless it has stopped.
    int CloseAhead(void* handle) {
        EnterCriticalSection(&aheadSection_);
        bool queued = worker_ && !stopping_;
        if (queued) {
            toClose_.push_back(handle);
            WakeAllConditionVariable(&aheadChanged_);
        }
        LeaveCriticalSection(&aheadSection_);
        return queued ? 1 : below_->Close(handle);
    }
    void DropAhead(AheadList& list) {
        for (auto& file : list.files) Pass(file.get());
    }
    // Closes what was opened ahead and ends the thread.
    void StopAhead() {
        EnterCriticalSection(&aheadSection_);
        for (auto& list : lists_) DropAhead(*list);
        lists_.clear();
        stopping_ = true;
        HANDLE worker = worker_;
        WakeAllConditionVariable(&aheadChanged_);
        LeaveCriticalSection(&aheadSection_);
        if (!worker) return;
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
        EnterCriticalSection(&aheadSection_);
        worker_ = nullptr;
        LeaveCriticalSection(&aheadSection_);
    }

    FileOps* below_;
    int quiet_;
    CRITICAL_SECTION section_;
    std::map<std::wstring, Entry> changed_;
    static constexpr size_t kUntouchedKept = 4;
    std::wstring untouchedFolders_[kUntouchedKept];   // no key of changed_ is one of these folders or above it
    size_t nextUntouched_ = 0;
    struct Asked {
        uint32_t attributes;
        uint32_t error;
    };
    std::unordered_map<std::wstring, Asked> belowAttributes_;
    std::map<void*, Opened> opened_;
    struct Named {
        uint32_t attributes;
        uint64_t times[3];
    };
    // A search handed through to the volume, and what it found when it lists a whole folder.
    struct Listing {
        bool whole = false;
        std::wstring folder;
        std::unordered_map<std::wstring, Named> names;   // upper case
    };
    std::map<void*, Listing> passed_;
    // The last whole folders listed; the walk asks about their names soon after.
    std::map<std::wstring, std::unordered_map<std::wstring, Named>> listed_;
    std::vector<std::wstring> listedOrder_;
    uint64_t lastIndex_ = 0;
    std::wstring reuse_;
    Pending pending_;
    DryRunCounts counts_ = {};
    CRITICAL_SECTION aheadSection_;   // after section_ where both are held
    CONDITION_VARIABLE aheadChanged_;
    HANDLE worker_ = nullptr;
    bool stopping_ = false;
    std::vector<std::unique_ptr<AheadList>> lists_;   // one for each folder the walk is in, innermost last
    std::vector<void*> toClose_;
    std::unordered_set<void*> closeLater_;   // the run's own handles to files on a list

    Opened* Mine(void* handle) {
        auto found = opened_.find(handle);
        return found == opened_.end() ? nullptr : &found->second;
    }
    // The run's record of key, made on first use with what the volume has there.
    Entry& Record(const std::wstring& key) {
        auto found = changed_.find(key);
        if (found != changed_.end()) return found->second;
        bool existed = Present(key, nullptr) != 0;
        for (std::wstring& known : untouchedFolders_)
            if (known == key || IsBelow(known, key)) known.clear();
        Entry& entry = changed_[key];
        entry.existed = existed;
        return entry;
    }
    // key as a name the run made: a file unless the caller says otherwise.
    Entry& Make(const std::wstring& key) {
        Entry& entry = Record(key);
        bool existed = entry.existed;
        entry = Entry();
        entry.existed = existed;
        entry.state = State::Made;
        entry.attributesSet = true;
        entry.index = kMadeIndex | ++lastIndex_;
        return entry;
    }
    // A device is opened for reading only: its sizes and reads stay as they
    // are, and what would be written is one copy of its path.
    void* OpenDevice(const wchar_t* path, const std::wstring& key, uint32_t access, uint32_t flags) {
        uint32_t keep = flags & ~(FILE_FLAG_WRITE_THROUGH | FILE_FLAG_DELETE_ON_CLOSE);
        void* real = below_->Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, keep);
        if (!IsValidHandle(real)) return real;
        Opened opened;
        opened.key = key;
        opened.path = path;
        opened.below = real;
        opened.announced = (access & kDataWrite) != 0;
        if (opened.announced) Announce(key, path, kDryCopy, false);
        opened_[real] = opened;
        return real;
    }
    static void* NoHandle(uint32_t error) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }

    // Whether the run changed no folder from this one up. The walk asks about
    // the names of a source and a target folder, then of the next ones: the
    // last folders found so stay known until the run changes one of them or
    // one above.
    bool Untouched(const std::wstring& folder) {
        if (folder.empty()) return true;
        for (const std::wstring& known : untouchedFolders_)
            if (known == folder) return true;
        for (std::wstring at = folder; !at.empty(); at = ParentOf(at))
            if (changed_.count(at)) return false;
        untouchedFolders_[nextUntouched_++ % kUntouchedKept] = folder;
        return true;
    }
    // Whether the run changed key or a folder above it.
    bool Touched(const std::wstring& key) {
        return !changed_.empty() && (changed_.count(key) || !Untouched(ParentOf(key)));
    }
    bool TouchedBelow(const std::wstring& folder) {
        auto it = changed_.upper_bound(folder);
        return it != changed_.end() && IsBelow(it->first, folder);
    }

    // 1 when key is there as the run left it; *entry the run's record of it, if any.
    int Present(const std::wstring& key, Entry** entry) {
        if (entry) *entry = nullptr;
        if (key.empty()) return 0;
        // a stream is there with its file
        if (IsStream(key)) return Present(key.substr(0, key.find(L':', 2)), entry);
        auto found = changed_.find(key);
        if (found != changed_.end()) {
            if (entry) *entry = &found->second;
            return found->second.state != State::Absent;
        }
        // below a folder the run removed or made, only what it made is there
        std::wstring folder = ParentOf(key);
        if (!Untouched(folder)) {
            for (std::wstring at = folder; !at.empty(); at = ParentOf(at)) {
                auto above = changed_.find(at);
                if (above != changed_.end() && above->second.state != State::Original) return 0;
            }
        }
        return BelowAttributes(key) != INVALID_FILE_ATTRIBUTES;
    }
    // The volume below does not change while the run lasts, so what it said
    // of a name holds to the end: each name is asked once. Only answers that
    // last are kept; a failure such as a sharing violation is asked again.
    // path: the name as the caller gave it, when there is one.
    uint32_t BelowAttributes(const std::wstring& key, const wchar_t* path = nullptr) {
        auto known = belowAttributes_.find(key);
        if (known != belowAttributes_.end()) {
            if (known->second.attributes == INVALID_FILE_ATTRIBUTES) SetLastError(known->second.error);
            return known->second.attributes;
        }
        auto folder = listed_.find(ParentOf(key));
        size_t slash = key.rfind(L'\\');
        // A listing shows no short name (the system makes them all with a
        // tilde) and none with the trailing dot or space a path may carry.
        if (folder != listed_.end() && slash != std::wstring::npos && key.find(L'~', slash) == std::wstring::npos &&
            key.back() != L'.' && key.back() != L' ' && !IsStream(key)) {
            auto name = folder->second.find(key.substr(slash + 1));
            if (name != folder->second.end()) return name->second.attributes;
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_FILE_ATTRIBUTES;
        }
        uint32_t attributes = below_->GetAttributes(path ? path : LongPathOf(key).c_str());
        uint32_t error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
        if (!error || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            belowAttributes_[key] = {attributes, error};
        return attributes;
    }
    // What the listing of key's folder showed of it; null when none is kept.
    const Named* ListedName(const std::wstring& key) {
        auto folder = listed_.find(ParentOf(key));
        if (folder == listed_.end()) return nullptr;
        auto name = folder->second.find(key.substr(key.rfind(L'\\') + 1));
        return name == folder->second.end() ? nullptr : &name->second;
    }
    void OpenBelow(Opened* opened) {
        uint32_t all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        const wchar_t* path = opened->path.c_str();
        void* real = below_->Open(path, GENERIC_READ | READ_CONTROL, all, OPEN_EXISTING, opened->flags);
        if (!IsValidHandle(real)) real = below_->Open(path, FILE_READ_ATTRIBUTES, all, OPEN_EXISTING, opened->flags);
        if (IsValidHandle(real)) opened->below = real;
    }
    void* BelowOf(Opened* opened) {
        if (opened->deferred) {
            opened->deferred = false;
            OpenBelow(opened);
        }
        return opened->below;
    }
    static constexpr size_t kListingsKept = 64;
    static constexpr size_t kNamesKept = 65536;   // per folder; a larger one is asked name by name
    void Learn(Listing* listing, const FoundName& found) {
        if (!listing->whole || IsDotName(found.name)) return;
        if (listing->names.size() >= kNamesKept) {
            listing->whole = false;
            listing->names.clear();
            return;
        }
        std::wstring name = found.name;
        if (!name.empty()) CharUpperBuffW(&name[0], static_cast<DWORD>(name.size()));
        listing->names[name] = {found.attributes, {found.creation, found.lastAccess, found.lastWrite}};
    }
    void Keep(Listing* listing) {
        if (!listed_.count(listing->folder)) listedOrder_.push_back(listing->folder);
        listed_[listing->folder] = std::move(listing->names);
        listing->whole = false;
        if (listedOrder_.size() > kListingsKept) {
            listed_.erase(listedOrder_.front());
            listedOrder_.erase(listedOrder_.begin());
        }
    }
    static std::wstring LongPathOf(const std::wstring& key) {
        // a device (\\.\X) names no share
        if (key.compare(0, 4, L"\\\\.\\") == 0 || key.compare(0, 4, L"\\\\?\\") == 0) return key;
        if (key.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + key.substr(2);
        return key.size() >= 2 && key[1] == L':' ? L"\\\\?\\" + key : key;
    }
    bool IsFolder(const std::wstring& key, Entry* entry) {
        if (entry && entry->state == State::Made) return entry->folder;
        uint32_t attributes = BelowAttributes(key);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    uint32_t Attributes(const wchar_t* path, const std::wstring& key, Entry* entry) {
        if (entry && entry->attributesSet) return entry->attributes;
        return BelowAttributes(key, path);
    }
    int Exists(const wchar_t* path) {
        Lock lock(&section_);
        return Present(Key(path), nullptr) ? 1 : Fail(ERROR_FILE_NOT_FOUND);
    }
    int64_t SizeOf(void* real) {
        int64_t size = 0;
        if (real && below_->GetSize(real, &size)) return size;
        return 0;
    }
    int64_t SizeOfKey(const std::wstring& key) {
        auto found = changed_.find(key);
        if (found != changed_.end() && found->second.state == State::Made) return found->second.size;
        int64_t foreseen = 0;
        for (auto& opened : opened_) {
            if (opened.second.key != key) continue;
            if (opened.second.below) return SizeOf(opened.second.below);
            if (opened.second.foreseen) foreseen = opened.second.answers.size;
        }
        return foreseen;
    }
    // The facts a name carries when the run moves or links it.
    Entry FactsOf(const wchar_t* path, const std::wstring& key, Entry* entry) {
        if (entry && entry->state == State::Made) return *entry;
        Entry facts;
        facts.folder = IsFolder(key, entry);
        facts.attributes = Attributes(path, key, entry);
        facts.attributesSet = true;
        void* real = below_->Open(LongPathOf(key).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS);
        FileInfo info;
        if (IsValidHandle(real)) {
            if (below_->GetInfo(real, &info, kInfoIdentity)) {
                facts.size = info.size;
                facts.index = info.fileIndex;
            }
            below_->Close(real);
        }
        return facts;
    }
    bool Wrote(void* handle, int64_t bytes) {
        Opened* mine = Mine(handle);
        if (!mine) return Fail(ERROR_ACCESS_DENIED) != 0;
        mine->position += bytes;
        Entry* entry = nullptr;
        if (Present(mine->key, &entry) && entry && entry->state == State::Made && entry->size < mine->position)
            entry->size = mine->position;
        if (mine->announced && pending_.key == mine->key) pending_.bytes += bytes;
        return true;
    }
    void CollectBelow(const wchar_t* pattern, const std::wstring& folder, Search* search) {
        FoundName name;
        void* below = below_->FindFirst(pattern, &name);
        if (!below) {
            uint32_t error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES) search->endError = error;
            return;
        }
        do {
            if (IsDotName(name.name)) {
                search->names.push_back(name);
                continue;
            }
            std::wstring key = folder + (folder.back() == L'\\' ? L"" : L"\\") + name.name;
            CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
            auto found = changed_.find(key);
            if (found != changed_.end()) {
                if (found->second.state == State::Absent) continue;
                if (found->second.state == State::Made) {
                    // replaced: its facts are the run's
                    name.attributes = found->second.attributes | (found->second.folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
                    name.size = found->second.size;
                } else if (found->second.attributesSet) {
                    name.attributes = found->second.attributes | (name.attributes & FILE_ATTRIBUTE_DIRECTORY);
                }
            }
            search->names.push_back(name);
        } while (below_->FindNext(below, &name));
        uint32_t error = GetLastError();
        if (error != ERROR_NO_MORE_FILES) search->endError = error;
        below_->FindEnd(below);
    }
    static bool IsDotName(const wchar_t* name) {
        return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
    }
    static bool Listed(const Search& search, const wchar_t* upperName) {
        for (const FoundName& name : search.names)
            if (_wcsicmp(name.name, upperName) == 0) return true;
        return false;
    }
    bool Empty(const wchar_t* path, const std::wstring& key) {
        std::wstring pattern = LongPathOf(key) + L"\\*";
        FoundName name;
        void* search = FindFirst(pattern.c_str(), &name);
        if (!search) return true;
        bool empty = true;
        do empty = IsDotName(name.name);
        while (empty && FindNext(search, &name));
        FindEnd(search);
        return empty;
    }

    bool InSource(const std::wstring& key) {
        if (run.singleSource) return key == Key(run.sourceName[0] ? run.sourceName : run.sourcePath);
        std::wstring root = Key(run.sourceFolder);
        return key == root || IsBelow(key, root);
    }
    // A name the run made and removes again leaves nothing to announce.
    void Remove(const std::wstring& key, const wchar_t* path, DryAction action) {
        Entry& entry = Record(key);
        bool existed = entry.existed;
        entry = Entry();
        entry.existed = existed;
        entry.state = State::Absent;
        if (pending_.key == key) pending_ = Pending();
        if (existed) Announce(key, path, InSource(key) ? kDryRemoveSource : action, false);
    }
    // The action becomes the pending one: a file removed and then made again
    // under the same name is announced once, as the overwrite it amounts to.
    void Announce(const std::wstring& key, const wchar_t* path, DryAction action, bool makesFile) {
        if (key == Key(run.logPath) || IsStream(key)) return;
        if (pending_.key == key) {
            if (pending_.action == kDryDeleteFile && makesFile) {
                pending_.action = action == kDryCopy ? kDryOverwrite : action;
                return;
            }
            if (pending_.action == kDryDeleteFile && (action == kDryLink || action == kDryReuse)) {
                pending_.action = action;
                return;
            }
            if (pending_.action == action) return;
        }
        Emit();
        pending_.key = key;
        pending_.shown = Shown(path);
        pending_.action = action;
        pending_.bytes = 0;
    }
    void Emit(const std::wstring& except = std::wstring()) {
        if (pending_.action == kDryActionCount || pending_.key == except) return;
        ++counts_.actions[pending_.action];
        if (pending_.action == kDryCopy || pending_.action == kDryOverwrite) counts_.bytes += pending_.bytes;
        PrintLine(kActionNames[pending_.action], nullptr, pending_.shown.c_str());
        pending_ = Pending();
    }
    static std::wstring Shown(const wchar_t* path) {
        static wchar_t shown[kPathCapacity];
        ShownActionPath(path, shown);
        return shown;
    }
    void PrintLine(const char* action, const char* reason, const wchar_t* path) {
        char format[160];
        if (reason)
            FormatText(format, sizeof format, "%s (%s): %%S\n", action, reason);
        else
            FormatText(format, sizeof format, "%s: %%S\n", action);
        static wchar_t shown[kPathCapacity];
        ShownActionPath(path, shown);
        // the path goes in as an argument, never as part of the format
        PrintName(format, shown);
    }
};

}  // namespace

void ShownActionPath(const wchar_t* path, wchar_t* out) {
    lstrcpynW(out, SkipLongPrefix(path), kPathCapacity);
    size_t length = wcslen(out);
    if (length > 3 && out[length - 1] == L'\\') out[length - 1] = 0;
}

DryRunOverlay* MakeDryRunOverlay(FileOps* below, int quiet) { return new Overlay(below, quiet); }
