// Backup stream headers (the WIN32_STREAM_ID layout), without system handles.
#include <windows.h>

#include <cwchar>

#include "security_streams.h"

namespace {

uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void Write32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

int ParseStreamHeader(const uint8_t* data, size_t size, StreamHeader* header) {
    if (!data || !header || size < kStreamHeaderSize) {
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    header->id = Read32(data);
    header->attributes = Read32(data + 4);
    header->size = static_cast<uint64_t>(Read32(data + 8)) | (static_cast<uint64_t>(Read32(data + 12)) << 32);
    header->nameSize = Read32(data + 16);
    if (header->nameSize % 2 || header->nameSize > kStreamHeaderBufferSize - kStreamHeaderSize) {
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    return 1;
}

void BuildStreamHeader(const StreamHeader& header, uint8_t* out) {
    Write32(out, header.id);
    Write32(out + 4, header.attributes);
    Write32(out + 8, static_cast<uint32_t>(header.size));
    Write32(out + 12, static_cast<uint32_t>(header.size >> 32));
    Write32(out + 16, header.nameSize);
}

int StreamNameOf(const uint8_t* data, size_t size, const StreamHeader& header, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    out[0] = 0;
    size_t chars = header.nameSize / 2;
    if (header.nameSize % 2 || size < kStreamHeaderSize || header.nameSize > size - kStreamHeaderSize ||
        chars >= capacity) {
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    const uint8_t* name = data + kStreamHeaderSize;
    for (size_t i = 0; i < chars; ++i) out[i] = static_cast<wchar_t>(name[2 * i] | (name[2 * i + 1] << 8));
    out[chars] = 0;
    return 1;
}

void StripDataSuffix(wchar_t* text) {
    if (!text) return;
    size_t length = wcslen(text);
    if (length > 6 && wcscmp(text + length - 6, L":$DATA") == 0) text[length - 6] = 0;
}
