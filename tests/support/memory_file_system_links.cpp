// Reparse data of files and folders in the in-memory volume.
#include "memory_file_system.h"

#include "reparse_points.h"

namespace qtxtest {

std::string JunctionTo(const std::wstring& folder) {
    auto names = std::make_unique<ReparseNames>();
    names->tag = kTagMountPoint;
    std::wstring substitute = L"\\??\\" + folder;
    names->substituteLength = substitute.size();
    wcscpy(names->substitute, substitute.c_str());
    std::string data(kMaxReparseDataSize, '\0');
    data.resize(BuildReparseData(*names, reinterpret_cast<uint8_t*>(&data[0]), data.size()));
    return data;
}

void MemoryFileSystem::AddReparse(const std::wstring& path, const std::string& data) {
    void* handle = Open(path.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
    if (handle != INVALID_HANDLE_VALUE) {
        SetReparse(handle, reinterpret_cast<const uint8_t*>(data.data()), data.size());
        Close(handle);
    }
    ResetCounts();
}

std::string MemoryFileSystem::Reparse(const std::wstring& path) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto it = nodes_.find(Key(path));
    return it == nodes_.end() || !it->second.file ? "" : it->second.file->reparse;
}

int MemoryFileSystem::GetReparse(void* handle, uint8_t* buffer, size_t capacity, size_t* size) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    *size = 0;
    Handle* h = Find(handle);
    if (!h || Failing(Call::GetReparse, h->key)) return 0;
    MemoryFile* holder = h->file ? h->file.get() : nodes_[h->key].file.get();
    if (!holder || holder->reparse.empty()) {
        SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return 0;
    }
    if (holder->reparse.size() > capacity) {
        SetLastError(ERROR_MORE_DATA);
        return 0;
    }
    memcpy(buffer, holder->reparse.data(), holder->reparse.size());
    *size = holder->reparse.size();
    return 1;
}

int MemoryFileSystem::SetReparse(void* handle, const uint8_t* data, size_t size) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::SetReparse, h->key)) return 0;
    if (!(h->access & (GENERIC_WRITE | FILE_WRITE_DATA))) return SetLastError(ERROR_ACCESS_DENIED), 0;
    if (size < 8) return SetLastError(ERROR_INVALID_REPARSE_DATA), 0;
    Node& node = nodes_[h->key];
    if (node.folder) {
        // as the system: a folder becomes a link only while empty
        auto next = std::next(nodes_.find(h->key));
        if (next != nodes_.end() && next->first.compare(0, h->key.size() + 1, h->key + L"\\") == 0)
            return SetLastError(ERROR_DIR_NOT_EMPTY), 0;
        if (!node.file) node.file = std::make_shared<MemoryFile>();
        node.folderAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    MemoryFile* holder = h->file ? h->file.get() : node.file.get();
    holder->reparse.assign(reinterpret_cast<const char*>(data), size);
    return 1;
}

}  // namespace qtxtest
