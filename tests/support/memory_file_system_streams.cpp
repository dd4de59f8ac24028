#include <algorithm>
#include <cstring>

#include "memory_file_system.h"
#include "security_streams.h"

namespace qtxtest {
namespace {

// Reading: every record of a file and where each record's content lies;
// writing: the bytes not yet a whole record.
struct Walk {
    std::string bytes;
    size_t at = 0;
    std::vector<std::pair<size_t, size_t>> contents;
    void Add(uint32_t id, const std::wstring& name, const std::string& content) {
        uint8_t head[kStreamHeaderSize];
        BuildStreamHeader({id, 0, content.size(), static_cast<uint32_t>(name.size() * 2)}, head);
        bytes.append(reinterpret_cast<char*>(head), sizeof head);
        for (wchar_t c : name) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        contents.push_back({bytes.size(), bytes.size() + content.size()});
        bytes += content;
    }
};

int Refuse(uint32_t error) { return SetLastError(error), 0; }

}  // namespace

int MemoryFileSystem::BackupRead(void* handle, uint8_t* buffer, uint32_t bytes, uint32_t* read, void** context) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    *read = 0;
    Handle* h = Find(handle);
    if (!h || Failing(Call::BackupRead, h->key)) return 0;
    Walk* w = static_cast<Walk*>(*context);
    if (!w && (*context = w = new Walk) && h->file) {
        if (!h->file->security.empty()) w->Add(kStreamSecurity, L"", h->file->security);
        w->Add(kStreamData, L"", h->file->data);
        for (auto& s : h->file->streams) w->Add(kStreamAlternateData, s.first + L":$DATA", s.second);
    }
    *read = static_cast<uint32_t>(std::min<size_t>(bytes, w->bytes.size() - w->at));
    memcpy(buffer, w->bytes.data() + w->at, *read);
    w->at += *read;
    return 1;
}

int MemoryFileSystem::BackupSeek(void* handle, uint64_t bytes, uint64_t* moved, void** context) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    *moved = 0;
    Handle* h = Find(handle);
    Walk* w = static_cast<Walk*>(*context);
    if (!h || Failing(Call::BackupSeek, h->key) || !w) return 0;
    for (auto& c : w->contents)
        if (w->at >= c.first && w->at < c.second) *moved = std::min<uint64_t>(bytes, c.second - w->at);
    w->at += static_cast<size_t>(*moved);
    return *moved == bytes ? 1 : Refuse(ERROR_SEEK);
}

int MemoryFileSystem::BackupWrite(void* handle, const uint8_t* buffer, uint32_t bytes, uint32_t* written,
                                  void** context) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    *written = 0;
    Handle* h = Find(handle);
    if (!h || Failing(Call::BackupWrite, h->key)) return 0;
    if (!(h->access & GENERIC_WRITE)) return Refuse(ERROR_ACCESS_DENIED);
    Walk* w = static_cast<Walk*>(*context);
    if (!w) *context = w = new Walk;
    w->bytes.append(reinterpret_cast<const char*>(buffer), bytes);
    StreamHeader head;
    while (ParseStreamHeader(reinterpret_cast<const uint8_t*>(w->bytes.data()), w->bytes.size(), &head) &&
           w->bytes.size() >= kStreamHeaderSize + head.nameSize + head.size) {
        std::string content = w->bytes.substr(kStreamHeaderSize + head.nameSize, static_cast<size_t>(head.size));
        std::wstring name(head.nameSize / 2, L'\0'), stream;
        memcpy(&name[0], w->bytes.data() + kStreamHeaderSize, head.nameSize);
        Key(L"C:\\F" + name, &stream);
        if (h->file && head.id == kStreamSecurity) h->file->security = content;
        if (h->file && head.id == kStreamAlternateData && !stream.empty()) h->file->streams[stream] = content;
        w->bytes.erase(0, kStreamHeaderSize + head.nameSize + content.size());
    }
    *written = bytes;
    return 1;
}

void MemoryFileSystem::EndBackupRead(void*, void** context) { delete static_cast<Walk*>(*context), *context = nullptr; }
void MemoryFileSystem::EndBackupWrite(void* handle, void** context) { EndBackupRead(handle, context); }

int MemoryFileSystem::TakeOwnership(const wchar_t* path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto it = nodes_.find(Key(path));
    if (Failing(Call::TakeOwnership, Key(path))) return 0;
    if (it == nodes_.end()) return Refuse(ERROR_FILE_NOT_FOUND);
    if (it->second.file) it->second.file->security = kTakenSecurity;
    return 1;
}

// A drive is there when its root folder is: C: always, others once added.
uint32_t MemoryFileSystem::DriveType(const wchar_t* root) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring key = Key(root);
    return Failing(Call::Volume, key) || key.size() != 2 || !nodes_.count(key) ? DRIVE_NO_ROOT_DIR : DRIVE_FIXED;
}
int MemoryFileSystem::VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    std::wstring key = Key(path), drive = key.substr(0, 2);
    if (Failing(Call::Volume, key)) return 0;
    std::wstring mounted = volumeFolder.empty() ? L"" : Key(volumeFolder);
    if (!mounted.empty() && (key == mounted || key.compare(0, mounted.size() + 1, mounted + L"\\") == 0))
        return volumeFolder.size() + 2 > capacity ? Refuse(ERROR_FILENAME_EXCED_RANGE)
                                                   : (wcscpy(out, (volumeFolder + L"\\").c_str()), 1);
    if (drive.size() < 2 || drive[1] != L':' || !nodes_.count(drive)) return Refuse(ERROR_PATH_NOT_FOUND);
    return capacity < 4 ? Refuse(ERROR_FILENAME_EXCED_RANGE) : (wcscpy(out, (drive + L"\\").c_str()), 1);
}
int MemoryFileSystem::VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* fileSystem, uint32_t capacity) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (Failing(Call::Volume, Key(root))) return 0;
    *flags = FILE_CASE_PRESERVED_NAMES | FILE_PERSISTENT_ACLS | FILE_NAMED_STREAMS;
    if (fileSystem) lstrcpynW(fileSystem, L"NTFS", capacity);
    bool mounted = !volumeFolder.empty() && Key(root) == Key(volumeFolder);
    return (Key(root).size() == 2 || mounted) && nodes_.count(Key(root)) ? 1 : Refuse(ERROR_DIR_NOT_ROOT);
}

}  // namespace qtxtest
