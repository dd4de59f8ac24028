#include "memory_file_system.h"

#include <algorithm>
#include <cwctype>

#include "run_state.h"

namespace qtxtest {

namespace {

const char* const kCallNames[] = {"any",        "open",         "read",          "write",        "seek",
                                  "set-end",    "size",         "flush",         "close",        "delete",
                                  "zero",       "link",         "info",          "set-times",    "sparse",
                                  "attributes", "set-attributes", "create-folder", "remove-folder", "move",
                                  "free-space", "on-disk-size", "find-first",    "find-next",
                                  "backup-read", "backup-seek", "backup-write", "take-ownership", "volume",
                                  "get-reparse", "set-reparse", "get-compression", "set-compression", "get-backing",
                                  "set-backing", "device-control"};

static_assert(sizeof kCallNames / sizeof *kCallNames == static_cast<size_t>(Call::Count), "a name for every call");

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(towupper(c));
    return text;
}

bool Matches(const wchar_t* mask, const wchar_t* name) {
    if (!*mask) return !*name;
    if (*mask == L'*') return Matches(mask + 1, name) || (*name && Matches(mask, name + 1));
    if (!*name) return false;
    return (*mask == L'?' || towupper(*mask) == towupper(*name)) && Matches(mask + 1, name + 1);
}

// value, with error as the last error
template <typename T = int>
T Fail(uint32_t error, T value = T()) {
    SetLastError(error);
    return value;
}

void* FailOpen(uint32_t error) { return Fail<void*>(error, INVALID_HANDLE_VALUE); }

// Size and FNV-1a hash: data of any bytes in a line of fields.
std::string Digest(const std::string& data) {
    uint64_t hash = 0xCBF29CE484222325ULL;
    for (unsigned char c : data) hash = (hash ^ c) * 0x100000001B3ULL;
    return std::to_string(data.size()) + ":" + std::to_string(hash);
}

constexpr uintptr_t kHandleBase = 0x5A000000;

// Copies n bytes that lie at offset at, as the fault alters them; the count it lets through.
// A fault picked by its call number shortens to half.
int64_t Altered(const Fault& f, int64_t at, int64_t n, char* to, const void* from) {
    if (f.effect == Fault::Effect::Short) n = f.nth ? n / 2 : std::max<int64_t>(0, std::min(n, f.from - at));
    if (n > 0) memcpy(to, from, static_cast<size_t>(n));
    for (int64_t i = std::max(at, f.from); f.effect == Fault::Effect::Flip && i < at + n && (f.to < 0 || i < f.to); ++i)
        to[i - at] ^= 0xFF;
    return n;
}

}  // namespace

const char* CallName(Call call) { return kCallNames[static_cast<int>(call)]; }

MemoryFileSystem::MemoryFileSystem() {
    nodes_[L"C:"].folder = true;
    nodes_[L"C:"].folderId = nextId_++;
}

MemoryFileSystem* MemoryFileSystem::installed = nullptr;

MemoryFileSystem::~MemoryFileSystem() {
    if (saved_) fileOps = saved_;
    if (installed == this) installed = nullptr;
}

void MemoryFileSystem::Install() {
    saved_ = fileOps;
    fileOps = this;
    installed = this;
}

int MemoryFileSystem::DeviceControl(void* handle, std::wstring* key) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    return h && !Failing(Call::Control, h->key) ? (*key = h->key, 1) : 0;
}

Fault& MemoryFileSystem::AddFault(Call call, const std::wstring& path, uint32_t error, bool persistent) {
    faults.push_back(Fault());
    Fault& f = faults.back();
    f.call = call, f.path = path, f.error = error, f.persistent = persistent;
    return f;
}

void MemoryFileSystem::ResetCounts() {
    std::fill(std::begin(counts), std::end(counts), 0);
    bytesWritten = 0;
}

std::wstring MemoryFileSystem::Key(const std::wstring& path, std::wstring* stream) {
    std::wstring key = path;
    if (key.compare(0, 4, L"\\\\?\\") == 0) key.erase(0, 4);
    while (key.size() > 2 && key.back() == L'\\') key.pop_back();
    key = Upper(key);
    size_t colon = key.find(L':', 2);
    std::wstring name;
    if (colon != std::wstring::npos) {
        name = key.substr(colon);
        key.erase(colon);
        if (name.size() > 6 && name.compare(name.size() - 6, 6, L":$DATA") == 0) name.erase(name.size() - 6);
        if (name == L":") name.clear();
    }
    if (stream) *stream = name;
    if (folderLinks_.empty() && mounts_.empty()) return key;
    // what lies below a link is where the link leads; the link itself stays
    size_t cut = key.rfind(L'\\');
    if (cut == std::wstring::npos || key.size() <= 2) return Follow(key);
    return Follow(key.substr(0, cut)) + key.substr(cut);
}

std::wstring MemoryFileSystem::Follow(std::wstring key) {
    // a few steps cover any chain a test builds, and end a loop of links
    for (int step = 0; step < 16; ++step) {
        bool changed = false;
        for (auto& [from, to] : mounts_)
            if (key == from || key.compare(0, from.size() + 1, from + L"\\") == 0) {
                key = to + key.substr(from.size());
                changed = true;
            }
        for (auto& [from, to] : folderLinks_)
            if (key == from || key.compare(0, from.size() + 1, from + L"\\") == 0) {
                key = to + key.substr(from.size());
                changed = true;
            }
        if (!changed) break;
    }
    return key;
}

bool MemoryFileSystem::Pinned(const std::wstring& key) {
    for (auto& [id, h] : handles_)
        if (!h.file && !(h.share & FILE_SHARE_DELETE) && h.key == key) return true;
    return false;
}

std::wstring MemoryFileSystem::ParentKey(const std::wstring& key) {
    size_t slash = key.rfind(L'\\');
    return slash == std::wstring::npos ? L"" : key.substr(0, slash);
}

bool MemoryFileSystem::Failing(Call call, const std::wstring& key, int64_t at, int64_t length, Fault** altered) {
    if (beforeCall && !inHook_) {
        inHook_ = true;
        beforeCall(call, key);
        inHook_ = false;
    }
    int total = ++counts[0];
    int ofKind = ++counts[static_cast<int>(call)];
    if (trace) trace->push_back(call);
    if (crashAt && total == crashAt) StopDead();
    if (crashed_) {
        SetLastError(ERROR_NOT_READY);
        return true;
    }
    for (Fault& f : faults) {
        bool changes = f.effect != Fault::Effect::Fail;
        if (changes && !altered) continue;
        bool kind = f.call == Call::Any || f.call == call;
        bool where = kind && (f.path.empty() || key.find(Upper(f.path)) != std::wstring::npos) &&
                     (f.to < 0 || ((call == Call::Read || call == Call::Write) && at < f.to && at + length > f.from));
        bool hit;
        if (f.nth && !f.fired) {
            hit = kind && (f.call == Call::Any ? total : ofKind) == f.nth;
        } else if (f.times || changes) {
            if (f.nth) continue;
            hit = where && (f.times < 0 || f.fired < std::max(f.times, 1));
        } else if (f.fired && f.persistent && !f.hitPath.empty()) {
            hit = key == f.hitPath;
        } else if (f.nth) {
            continue;
        } else {
            hit = where && !(f.fired && !f.persistent);
        }
        if (!hit) continue;
        if (!f.fired) {
            f.hitPath = key;
            f.hitCall = call;
        }
        ++f.fired;
        if (changes) {
            *altered = &f;
            continue;
        }
        SetLastError(f.error);
        return true;
    }
    return false;
}

void MemoryFileSystem::StopDead() {
    crashed_ = true;
    // files are copied so that nothing the run does later reaches them; names of one file stay one file
    std::map<MemoryFile*, std::shared_ptr<MemoryFile>> copies;
    crashedNodes_ = nodes_;
    for (auto& item : crashedNodes_) {
        std::shared_ptr<MemoryFile>& file = item.second.file;
        if (file) file = copies.emplace(file.get(), std::make_shared<MemoryFile>(*file)).first->second;
    }
    crashedNextId_ = nextId_;
    run.stopRequested = run.aborted = 1;
}

void MemoryFileSystem::CopyCrashedInto(MemoryFileSystem& other) {
    std::lock_guard<std::recursive_mutex> hold(other.lock_);
    other.nodes_ = crashedNodes_;
    other.nextId_ = crashedNextId_;
    other.volumeFolder = volumeFolder;
    other.ResetCounts();
}

MemoryFileSystem::Handle* MemoryFileSystem::Find(void* handle) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles_.end() ? Fail<Handle*>(ERROR_INVALID_HANDLE) : &it->second;
}

int64_t MemoryFileSystem::Used() {
    std::vector<MemoryFile*> seen;
    int64_t used = 0;
    for (auto& item : nodes_) {
        MemoryFile* file = item.second.file.get();
        if (!file || std::find(seen.begin(), seen.end(), file) != seen.end()) continue;
        seen.push_back(file);
        used += static_cast<int64_t>(file->data.size());
        for (auto& stream : file->streams) used += static_cast<int64_t>(stream.second.size());
    }
    return used;
}

void MemoryFileSystem::AddFolder(const std::wstring& path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring plain = path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
    while (plain.size() > 2 && plain.back() == L'\\') plain.pop_back();
    std::wstring key = Key(plain);
    size_t slash = plain.rfind(L'\\');
    if (key.size() > 2 && slash != std::wstring::npos) AddFolder(plain.substr(0, slash));
    Node& node = nodes_[key];
    if (!node.folder) node.folderId = nextId_++;
    node.folder = true;
    node.name = plain.substr(slash == std::wstring::npos ? 0 : slash + 1);
}

void MemoryFileSystem::AddFile(const std::wstring& path, const std::string& data, uint64_t lastWrite,
                               uint32_t attributes) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring key = Key(path);
    AddFolder(path.substr(0, path.rfind(L'\\')));
    Node& node = nodes_[key];
    node.name = path.substr(path.rfind(L'\\') + 1);
    node.file = std::make_shared<MemoryFile>();
    node.file->data = data;
    node.file->attributes = attributes;
    node.file->times[0] = node.file->times[1] = node.file->times[2] = lastWrite;
    node.file->id = nextId_++;
}

void MemoryFileSystem::AddLink(const std::wstring& newPath, const std::wstring& existingPath) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    AddFolder(newPath.substr(0, newPath.rfind(L'\\')));
    Link(newPath.c_str(), existingPath.c_str());
    ResetCounts();
}

bool MemoryFileSystem::Exists(const std::wstring& path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    return nodes_.count(Key(path)) != 0;
}

std::shared_ptr<MemoryFile> MemoryFileSystem::File(const std::wstring& path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto it = nodes_.find(Key(path));
    return it == nodes_.end() ? nullptr : it->second.file;
}

std::string MemoryFileSystem::Data(const std::wstring& path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring stream;
    auto it = nodes_.find(Key(path, &stream));
    if (it == nodes_.end() || !it->second.file) return "<missing>";
    if (stream.empty()) return it->second.file->data;
    auto s = it->second.file->streams.find(stream);
    return s == it->second.file->streams.end() ? "<missing>" : s->second;
}

std::map<std::wstring, std::string> MemoryFileSystem::Snapshot() {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::map<std::wstring, std::string> all;
    for (auto& item : nodes_) {
        const Node& node = item.second;
        std::string line;
        if (node.folder) {
            line = "folder|a" + std::to_string(node.folderAttributes) + "|t" + std::to_string(node.folderTimes[2]);
        } else {
            const MemoryFile& f = *node.file;
            line = Digest(f.data) + "|a" + std::to_string(f.attributes & ~FILE_ATTRIBUTE_ARCHIVE) + "|t" +
                   std::to_string(f.times[2]) + "|n" + std::to_string(f.links);
            for (auto& s : f.streams) line += "|s" + std::string(s.first.begin(), s.first.end()) + "=" + Digest(s.second);
            line += "|sec" + f.security;
        }
        all[item.first] = line;
    }
    return all;
}

int MemoryFileSystem::OpenHandles() {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    return static_cast<int>(handles_.size());
}

void* MemoryFileSystem::Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                             uint32_t flags) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring stream;
    std::wstring key = Key(path, &stream);
    if (!(flags & FILE_FLAG_OPEN_REPARSE_POINT)) key = Follow(key);
    if (Failing(Call::Open, key)) return INVALID_HANDLE_VALUE;
    auto parent = nodes_.find(ParentKey(key));
    if (parent == nodes_.end() || !parent->second.folder) return FailOpen(ERROR_PATH_NOT_FOUND);
    auto it = nodes_.find(key);
    bool writing = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
    if (it != nodes_.end() && it->second.folder) {
        if (!stream.empty() || !(flags & FILE_FLAG_BACKUP_SEMANTICS) || disposition == CREATE_NEW)
            return FailOpen(ERROR_ACCESS_DENIED);
        void* folder = NewHandle(key, nullptr, nullptr, access);
        Find(folder)->share = share;
        return folder;
    }
    bool exists = it != nodes_.end() && (stream.empty() || it->second.file->streams.count(stream));
    if (exists && disposition == CREATE_NEW) return FailOpen(ERROR_FILE_EXISTS);
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) return FailOpen(ERROR_FILE_NOT_FOUND);
    if (it != nodes_.end() && writing && (it->second.file->attributes & FILE_ATTRIBUTE_READONLY))
        return FailOpen(ERROR_ACCESS_DENIED);
    if (it == nodes_.end()) {
        if (!stream.empty()) return FailOpen(ERROR_FILE_NOT_FOUND);
        Node& node = nodes_[key];
        std::wstring name = path;
        node.name = name.substr(name.rfind(L'\\') + 1);
        node.file = std::make_shared<MemoryFile>();
        node.file->id = nextId_++;
        uint32_t attributes = flags & 0xFFFF & ~FILE_ATTRIBUTE_NORMAL;
        node.file->attributes = attributes | FILE_ATTRIBUTE_ARCHIVE;
        it = nodes_.find(key);
    }
    MemoryFile* file = it->second.file.get();
    std::string* data = stream.empty() ? &file->data : &file->streams[stream];
    if (exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) data->clear();
    void* handle = NewHandle(key, it->second.file, data, access);
    SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0);
    return handle;
}

void* MemoryFileSystem::NewHandle(const std::wstring& key, std::shared_ptr<MemoryFile> file, std::string* data,
                                  uint32_t access) {
    uintptr_t value = kHandleBase + 8 * nextHandle_++;
    handles_[value] = Handle{key, std::move(file), data, 0, access};
    return reinterpret_cast<void*>(value);
}

int MemoryFileSystem::Read(void* handle, void* buffer, uint32_t length, uint32_t* done) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    *done = 0;
    Handle* h = Find(handle);
    if (!h) return 0;
    Fault* altered = nullptr;
    if (Failing(Call::Read, h->key, h->position, length, &altered)) return 0;
    if (!h->data) return Fail(ERROR_ACCESS_DENIED);
    int64_t size = static_cast<int64_t>(h->data->size());
    int64_t n = h->position >= size ? 0 : std::min<int64_t>(length, size - h->position);
    if (altered) n = Altered(*altered, h->position, n, static_cast<char*>(buffer), h->data->data() + h->position);
    else if (n > 0) memcpy(buffer, h->data->data() + h->position, static_cast<size_t>(n));
    h->position += n;
    *done = static_cast<uint32_t>(n);
    return 1;
}

int MemoryFileSystem::Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    *done = 0;
    Handle* h = Find(handle);
    if (!h) return 0;
    Fault* altered = nullptr;
    if (Failing(Call::Write, h->key, h->position, length, &altered)) return 0;
    if (!h->data || !(h->access & (GENERIC_WRITE | FILE_WRITE_DATA))) return Fail(ERROR_ACCESS_DENIED);
    std::string changed;
    if (altered) {
        changed.resize(length);
        length = static_cast<uint32_t>(Altered(*altered, h->position, length, &changed[0], buffer));
        buffer = changed.data();
    }
    int64_t end = h->position + length;
    int64_t growth = end - static_cast<int64_t>(h->data->size());
    if (growth > 0 && Used() + growth > capacity) return Fail(ERROR_DISK_FULL);
    if (growth > 0) h->data->resize(static_cast<size_t>(end));
    memcpy(&(*h->data)[static_cast<size_t>(h->position)], buffer, length);
    h->position = end;
    *done = length;
    bytesWritten += length;
    return 1;
}

int MemoryFileSystem::SetPointer(void* handle, int64_t distance, uint32_t method, int64_t* position) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::SetPointer, h->key)) return 0;
    int64_t base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? h->position
                                                                      : static_cast<int64_t>(h->data ? h->data->size() : 0);
    if (base + distance < 0) return Fail(ERROR_NEGATIVE_SEEK);
    h->position = base + distance;
    if (position) *position = h->position;
    return 1;
}

int MemoryFileSystem::SetEnd(void* handle) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::SetEnd, h->key)) return 0;
    if (!h->data || !(h->access & (GENERIC_WRITE | FILE_WRITE_DATA))) return Fail(ERROR_ACCESS_DENIED);
    int64_t growth = h->position - static_cast<int64_t>(h->data->size());
    if (growth > 0 && Used() + growth > capacity) return Fail(ERROR_DISK_FULL);
    h->data->resize(static_cast<size_t>(h->position));
    return 1;
}

int MemoryFileSystem::GetSize(void* handle, int64_t* size) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::GetSize, h->key)) return 0;
    *size = h->data ? static_cast<int64_t>(h->data->size()) : 0;
    return 1;
}

int MemoryFileSystem::Flush(void* handle) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    return h && !Failing(Call::Flush, h->key) ? 1 : 0;
}

int MemoryFileSystem::Close(void* handle) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h) return 0;
    // a handle is gone even when its close reports an error
    bool failed = Failing(Call::Close, h->key);
    handles_.erase(reinterpret_cast<uintptr_t>(handle));
    return failed ? 0 : 1;
}

int MemoryFileSystem::Delete(const wchar_t* path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring stream;
    std::wstring key = Key(path, &stream);
    if (Failing(Call::Delete, key)) return 0;
    auto it = nodes_.find(key);
    if (it == nodes_.end()) return Fail(nodes_.count(ParentKey(key)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    if (it->second.folder) return Fail(ERROR_ACCESS_DENIED);
    MemoryFile& file = *it->second.file;
    if (!stream.empty()) return file.streams.erase(stream) ? 1 : Fail(ERROR_FILE_NOT_FOUND);
    if (file.attributes & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
    --file.links;
    nodes_.erase(it);
    return 1;
}

int MemoryFileSystem::ZeroRange(void* handle, int64_t from, int64_t to) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::ZeroRange, h->key)) return 0;
    if (!h->data) return Fail(ERROR_ACCESS_DENIED);
    for (int64_t i = from; i < to && i < static_cast<int64_t>(h->data->size()); ++i) (*h->data)[i] = 0;
    return 1;
}

int MemoryFileSystem::Link(const wchar_t* newPath, const wchar_t* existingPath) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring key = Key(newPath);
    if (Failing(Call::Link, key)) return 0;
    auto existing = nodes_.find(Key(existingPath));
    if (existing == nodes_.end()) return Fail(ERROR_FILE_NOT_FOUND);
    if (existing->second.folder || existing->second.file->security.find(kDeniesNames) != std::string::npos)
        return Fail(ERROR_ACCESS_DENIED);
    if (nodes_.count(key)) return Fail(ERROR_ALREADY_EXISTS);
    auto parent = nodes_.find(ParentKey(key));
    if (parent == nodes_.end() || !parent->second.folder) return Fail(ERROR_PATH_NOT_FOUND);
    std::shared_ptr<MemoryFile> file = existing->second.file;
    Node& node = nodes_[key];
    std::wstring name = newPath;
    node.name = name.substr(name.rfind(L'\\') + 1);
    node.file = file;
    ++file->links;
    return 1;
}

int MemoryFileSystem::GetInfo(void* handle, FileInfo* info, int parts) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::GetInfo, h->key)) return 0;
    *info = FileInfo();
    info->volumeSerial = volumeSerial;
    if (!h->file) {
        Node& node = nodes_[h->key];
        info->attributes = node.folderAttributes;
        std::copy(node.folderTimes, node.folderTimes + 3, info->times);
        info->links = 1;
        info->fileIndex = node.folderId;
        return 1;
    }
    info->size = static_cast<int64_t>(h->data->size());
    info->allocated = OnDisk(h->key, (info->size + 4095) / 4096 * 4096);
    info->links = h->file->links;
    info->fileIndex = h->file->id;
    if (parts & kInfoNoTimes) return 1;
    info->attributes = h->file->attributes;
    std::copy(h->file->times, h->file->times + 3, info->times);
    return 1;
}

int MemoryFileSystem::SetTimes(void* handle, const uint64_t* created, const uint64_t* accessed,
                               const uint64_t* written) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::SetTimes, h->key)) return 0;
    uint64_t* times = h->file ? h->file->times : nodes_[h->key].folderTimes;
    if (created) times[0] = *created;
    if (accessed) times[1] = *accessed;
    if (written) times[2] = *written;
    return 1;
}

int MemoryFileSystem::SetSparse(void* handle) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::SetSparse, h->key)) return 0;
    if (h->file) h->file->attributes |= FILE_ATTRIBUTE_SPARSE_FILE;
    return 1;
}

uint32_t MemoryFileSystem::GetAttributes(const wchar_t* path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring stream;
    std::wstring key = Key(path, &stream);
    if (Failing(Call::GetAttributes, key)) return INVALID_FILE_ATTRIBUTES;
    auto it = nodes_.find(key);
    if (it == nodes_.end() || (!stream.empty() && !it->second.file->streams.count(stream)))
        return Fail<uint32_t>(nodes_.count(ParentKey(key)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    if (it->second.folder) return it->second.folderAttributes;
    uint32_t attributes = it->second.file->attributes;
    if (!it->second.file->reparse.empty()) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

int MemoryFileSystem::SetAttributes(const wchar_t* path, uint32_t attributes) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring key = Key(path);
    if (Failing(Call::SetAttributes, key)) return 0;
    auto it = nodes_.find(key);
    if (it == nodes_.end()) return Fail(ERROR_FILE_NOT_FOUND);
    uint32_t kept = attributes & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                   FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_COMPRESSED);
    if (it->second.folder) {
        it->second.folderAttributes =
            kept | FILE_ATTRIBUTE_DIRECTORY | (it->second.folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    } else {
        uint32_t& now = it->second.file->attributes;
        now = kept | (now & (FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_COMPRESSED));
    }
    return 1;
}

int MemoryFileSystem::CreateFolder(const wchar_t* path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring key = Key(path);
    if (Failing(Call::CreateFolder, key)) return 0;
    if (nodes_.count(key)) return Fail(ERROR_ALREADY_EXISTS);
    auto parent = nodes_.find(ParentKey(key));
    if (parent == nodes_.end() || !parent->second.folder) return Fail(ERROR_PATH_NOT_FOUND);
    Node& node = nodes_[key];
    std::wstring name = path;
    while (!name.empty() && name.back() == L'\\') name.pop_back();
    node.name = name.substr(name.rfind(L'\\') + 1);
    node.folder = true;
    node.folderId = nextId_++;
    return 1;
}

int MemoryFileSystem::RemoveFolder(const wchar_t* path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring key = Key(path);
    if (Failing(Call::RemoveFolder, key)) return 0;
    auto it = nodes_.find(key);
    if (it == nodes_.end()) return Fail(ERROR_FILE_NOT_FOUND);
    if (!it->second.folder) return Fail(ERROR_DIRECTORY);
    if (Pinned(key)) return Fail(ERROR_SHARING_VIOLATION);
    return EraseEmptyFolder(key);
}

int MemoryFileSystem::EraseEmptyFolder(const std::wstring& key) {
    auto it = nodes_.find(key);
    auto next = std::next(it);
    if (next != nodes_.end() && next->first.compare(0, key.size() + 1, key + L"\\") == 0)
        return Fail(ERROR_DIR_NOT_EMPTY);
    nodes_.erase(it);
    folderLinks_.erase(key);
    return 1;
}

int MemoryFileSystem::Move(const wchar_t* from, const wchar_t* to, int replace) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring source = Key(from);
    if (Failing(Call::Move, source)) return 0;
    if (Pinned(source)) return Fail(ERROR_SHARING_VIOLATION);
    return MoveKey(source, to, replace);
}

int MemoryFileSystem::MoveOpened(void* handle, const wchar_t* to, int replace) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h) return 0;
    std::wstring source = h->key;
    if (Failing(Call::Move, source)) return 0;
    if (!(h->access & DELETE)) return Fail(ERROR_ACCESS_DENIED);
    std::wstring target = Key(to);
    if (!MoveKey(source, to, replace)) return 0;
    for (auto& [id, other] : handles_)
        if (other.key == source) other.key = target;
    return 1;
}

int MemoryFileSystem::MoveKey(const std::wstring& source, const wchar_t* to, int replace) {
    std::wstring target = Key(to);
    auto it = nodes_.find(source);
    if (it == nodes_.end()) return Fail(ERROR_FILE_NOT_FOUND);
    auto parent = nodes_.find(ParentKey(target));
    if (parent == nodes_.end() || !parent->second.folder) return Fail(ERROR_PATH_NOT_FOUND);
    auto present = nodes_.find(target);
    if (present != nodes_.end() && present != it) {
        if (!replace) return Fail(ERROR_ALREADY_EXISTS);
        if (present->second.folder || it->second.folder) return Fail(ERROR_ACCESS_DENIED);
        if (present->second.file->attributes & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
        --present->second.file->links;
        nodes_.erase(present);
    }
    std::vector<std::pair<std::wstring, Node>> moved;
    for (auto i = nodes_.begin(); i != nodes_.end();) {
        if (i->first == source || i->first.compare(0, source.size() + 1, source + L"\\") == 0) {
            moved.push_back({target + i->first.substr(source.size()), i->second});
            i = nodes_.erase(i);
        } else {
            ++i;
        }
    }
    std::wstring name = to;
    for (auto& item : moved) nodes_[item.first] = item.second;
    nodes_[target].name = name.substr(name.rfind(L'\\') + 1);
    return 1;
}

int MemoryFileSystem::FreeSpace(const wchar_t* folder, int64_t* total, int64_t* free) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (Failing(Call::FreeSpace, folder ? Key(folder) : L"")) return 0;
    // as the system's, only of a folder that is there
    auto it = folder ? nodes_.find(Key(folder)) : nodes_.end();
    if (folder && (it == nodes_.end() || !it->second.folder)) return Fail(ERROR_PATH_NOT_FOUND);
    *total = capacity;
    *free = capacity - Used();
    return 1;
}

int MemoryFileSystem::CompressedSize(const wchar_t* path, int64_t* size) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring key = Key(path);
    if (Failing(Call::CompressedSize, key)) return 0;
    auto it = nodes_.find(key);
    if (it == nodes_.end() || it->second.folder) return Fail(ERROR_FILE_NOT_FOUND);
    *size = OnDisk(key, static_cast<int64_t>(it->second.file->data.size()));
    return 1;
}

void MemoryFileSystem::SetFolderTime(const std::wstring& path, uint64_t lastWrite) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    uint64_t* times = nodes_[Key(path)].folderTimes;
    times[0] = times[1] = times[2] = lastWrite;
}

void MemoryFileSystem::ShareFolderId(const std::wstring& path, const std::wstring& original) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    nodes_[Key(path)].folderId = nodes_[Key(original)].folderId;
}

FoundName MemoryFileSystem::Describe(const std::wstring& key, const Node& node) {
    FoundName found = {};
    if (node.folder) {
        found.attributes = node.folderAttributes;
        found.creation = node.folderTimes[0];
        found.lastAccess = node.folderTimes[1];
        found.lastWrite = node.folderTimes[2];
        found.fileId = node.folderId;
    } else {
        found.attributes = node.file->attributes ? node.file->attributes : FILE_ATTRIBUTE_NORMAL;
        if (!node.file->reparse.empty()) found.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        found.size = static_cast<int64_t>(node.file->data.size());
        found.creation = node.file->times[0];
        found.lastAccess = node.file->times[1];
        found.lastWrite = node.file->times[2];
        found.fileId = node.file->id;
    }
    lstrcpynW(found.name, node.name.c_str(), 260);
    return found;
}

void* MemoryFileSystem::FindFirst(const wchar_t* pattern, FoundName* found) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring whole = pattern;
    searches.push_back(whole);
    size_t slash = whole.rfind(L'\\');
    std::wstring mask = slash == std::wstring::npos ? whole : whole.substr(slash + 1);
    std::wstring folder = Key(slash == std::wstring::npos ? L"" : whole.substr(0, slash));
    if (Failing(Call::FindFirst, folder)) return nullptr;
    // a search goes through what the folder's name leads to when it starts
    folder = Follow(Key(slash == std::wstring::npos ? L"" : whole.substr(0, slash)));
    auto it = nodes_.find(folder);
    if (it == nodes_.end() || !it->second.folder) return Fail<void*>(ERROR_PATH_NOT_FOUND);
    Search* search = new Search;
    search->key = folder;
    if (folder.size() > 2) {
        for (const wchar_t* dot : {L".", L".."}) {
            FoundName name = Describe(folder, it->second);
            wcscpy(name.name, dot);
            if (Matches(mask.c_str(), dot)) search->names.push_back(name);
        }
    }
    for (auto child = std::next(it); child != nodes_.end(); ++child) {
        if (child->first.compare(0, folder.size() + 1, folder + L"\\") != 0) break;
        if (child->first.find(L'\\', folder.size() + 1) != std::wstring::npos) continue;
        if (Matches(mask.c_str(), child->second.name.c_str())) search->names.push_back(Describe(child->first, child->second));
    }
    if (search->names.empty()) {
        delete search;
        return Fail<void*>(ERROR_FILE_NOT_FOUND);
    }
    *found = search->names[0];
    search->next = 1;
    return search;
}

int MemoryFileSystem::FindNext(void* handle, FoundName* found) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Search* search = static_cast<Search*>(handle);
    if (Failing(Call::FindNext, search->key)) return 0;
    if (search->next >= search->names.size()) return Fail(ERROR_NO_MORE_FILES);
    *found = search->names[search->next++];
    return 1;
}

void MemoryFileSystem::FindEnd(void* handle) { delete static_cast<Search*>(handle); }

void MemoryFileSystem::AddFolderLink(const std::wstring& path, const std::wstring& target) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    AddFolder(path);
    std::wstring key = Key(path);
    nodes_[key].folderAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    folderLinks_[key] = Key(target);
}

void MemoryFileSystem::MountAt(const std::wstring& drive, const std::wstring& folder) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    mounts_[Upper(drive)] = Key(folder);
}

int MemoryFileSystem::FinalPath(void* handle, wchar_t* out, uint32_t capacity) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::GetInfo, h->key)) return 0;
    std::wstring path = h->key;
    // a volume's folders are named by its own drive, as the system names them
    for (auto& [drive, folder] : mounts_)
        if (path == folder || path.compare(0, folder.size() + 1, folder + L"\\") == 0)
            path = drive + path.substr(folder.size());
    path = L"\\\\?\\" + path + (path.size() == 2 ? L"\\" : L"");
    if (path.size() + 1 > capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
    wcscpy(out, path.c_str());
    return 1;
}

int MemoryFileSystem::MountHolders(const wchar_t* root, wchar_t* out, uint32_t capacity) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring drive = root;
    if (drive.compare(0, 4, L"\\\\?\\") == 0) drive.erase(0, 4);
    while (!drive.empty() && drive.back() == L'\\') drive.pop_back();
    auto it = mounts_.find(Upper(drive));
    if (it == mounts_.end()) return Fail(ERROR_NOT_FOUND);
    std::wstring holder = ParentKey(it->second) + L"\\";
    if (holder.size() + 2 > capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
    wcscpy(out, holder.c_str());
    out[holder.size() + 1] = 0;
    return 1;
}

int MemoryFileSystem::RemoveOpened(void* handle) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h) return 0;
    std::wstring key = h->key;
    auto it = nodes_.find(key);
    if (it == nodes_.end()) return Fail(ERROR_FILE_NOT_FOUND);
    if (!(h->access & DELETE)) return Fail(ERROR_ACCESS_DENIED);
    if (it->second.folder) {
        return Failing(Call::RemoveFolder, key) ? 0 : EraseEmptyFolder(key);
    }
    if (Failing(Call::Delete, key)) return 0;
    if (it->second.file->attributes & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED);
    --it->second.file->links;
    nodes_.erase(it);
    return 1;
}

}  // namespace qtxtest
