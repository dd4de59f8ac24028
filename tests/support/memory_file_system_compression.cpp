#include <cstring>

#include "compression.h"
#include "memory_file_system.h"

namespace qtxtest {

int MemoryFileSystem::GetCompression(void* handle, uint16_t* format) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    return h && !Failing(Call::GetCompression, h->key) ? (*format = formats_[h->key], 1) : 0;
}

int MemoryFileSystem::SetCompression(void* handle, uint16_t format) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    return h && !Failing(Call::SetCompression, h->key) ? (formats_[h->key] = format, 1) : 0;
}

int MemoryFileSystem::GetExternalBacking(void* handle, void* record, uint32_t size) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::GetBacking, h->key)) return 0;
    if (Backing(h->key) < 0) return SetLastError(342), 0;   // not backed
    WofRequestRecord answer = WofRecordFor(Backing(h->key));
    memcpy(record, &answer, size < sizeof answer ? size : sizeof answer);
    return 1;
}

int MemoryFileSystem::SetExternalBacking(void* handle, const void* record, uint32_t) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Handle* h = Find(handle);
    if (!h || Failing(Call::SetBacking, h->key)) return 0;
    Backing(h->key) = static_cast<int>(static_cast<const WofRequestRecord*>(record)->algorithm);
    return 1;
}

int64_t MemoryFileSystem::OnDisk(const std::wstring& key, int64_t plain) {
    bool compressed = (formats_.count(key) && formats_[key]) || Backing(key) >= 0;
    return compressed ? (plain / 2 + 4095) / 4096 * 4096 : plain;
}

}  // namespace qtxtest
