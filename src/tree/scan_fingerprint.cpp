// Fingerprints of file contents: CRC-64 of three samples or of the whole file.
#include <windows.h>

#include "block_copy.h"
#include "console.h"
#include "crc64.h"
#include "file_ops.h"
#include "paths.h"
#include "read_recovery.h"
#include "run_state.h"
#include "scan.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

int hashIndex = 0;

// Each computation takes the other buffer than the one before, so the two that
// run at once never share one. Without the run's buffers it brings its own.
uint8_t* TakeBuffer(bool* own) {
    EnterHashLock();
    hashIndex ^= 1;
    uint8_t* buffer = hashBuffers[hashIndex];
    LeaveHashLock();
    *own = buffer == nullptr;
    if (*own)
        buffer = static_cast<uint8_t*>(VirtualAlloc(nullptr, kFingerprintPiece, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    return buffer;
}

void ReportPath(const char* what, const wchar_t* path) {
    PrintW(L"Error %S %S", LastErrorName(), what);
    PrintNameW(L"'%s'\n", SkipLongPrefix(path));
}

void* OpenForFingerprint(const wchar_t* path, bool uncached) {
    return fileOps->Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                         uncached ? FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN : 0);
}

bool Stopped() { return run.stopRequested != 0; }

// Reads one piece at the handle's position; -1 on failure.
int64_t ReadPiece(void* file, uint8_t* buffer, int64_t length) {
    uint32_t read = 0;
    if (!fileOps->Read(file, buffer, static_cast<uint32_t>(length), &read)) return -1;
    return read;
}

uint64_t SampledCrc(void* file, const wchar_t* path, int64_t size, int64_t sample, uint8_t* buffer, uint32_t* error) {
    const int64_t piece = sample < kFingerprintPiece ? sample : kFingerprintPiece;
    uint64_t crc = kCrc64Start;
    for (int region = 0; region < 3; ++region) {
        int64_t position = SampleRegionStart(size, sample, region);
        if (!fileOps->SetPointer(file, position, FILE_BEGIN, nullptr)) {
            *error = GetLastError();
            return 0;
        }
        for (int64_t done = 0; done < sample && position < size;) {
            if (Stopped()) {
                *error = ERROR_OPERATION_ABORTED;
                return 0;
            }
            int64_t read = ReadPiece(file, buffer, piece);
            if (read <= 0) {
                // a read error, or a file that got shorter: not the file that was listed
                *error = read < 0 ? GetLastError() : ERROR_HANDLE_EOF;
                if (read < 0) ReportPath("reading ", path);
                return 0;
            }
            crc = Crc64Update(crc, buffer, static_cast<size_t>(read));
            done += read;
            position += read;
        }
    }
    return crc;
}

uint64_t WholeCrc(void* file, const wchar_t* path, int64_t size, uint8_t* buffer, uint32_t* error) {
    uint64_t crc = kCrc64Start;
    int64_t total = 0;
    int failures = 0;
    for (;;) {
        if (Stopped()) {
            *error = ERROR_OPERATION_ABORTED;
            return 0;
        }
        int64_t read = ReadPiece(file, buffer, kFingerprintPiece);
        if (read < 0) {
            *error = GetLastError();
            ReportPath("reading ", path);
            if (++failures >= 2) return 0;
            recoveryPause(5000);
            continue;
        }
        if (read == 0) break;
        crc = Crc64Update(crc, buffer, static_cast<size_t>(read));
        total += read;
    }
    if (total != size) {
        *error = ERROR_HANDLE_EOF;
        return 0;
    }
    *error = 0;
    return crc;
}

}  // namespace

int UsesWholeFile(int64_t size, int64_t sampleSize) { return !(sampleSize < size / 4); }

int64_t SampleRegionStart(int64_t size, int64_t sampleSize, int region) {
    if (region <= 0) return 0;
    int64_t start = region == 1 ? (size - sampleSize) / 2 : size - sampleSize;
    if (start < 0) start = 0;
    return (start + 4095) & ~static_cast<int64_t>(4095);
}

uint64_t Fingerprint(const wchar_t* path, int64_t size, int64_t sampleSize, uint32_t* error) {
    uint32_t ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    const bool whole = UsesWholeFile(size, sampleSize) != 0;
    void* file = OpenForFingerprint(path, whole || sampleSize >= kFingerprintPiece);
    if (!IsValidHandle(file) && whole) {
        DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_NOT_READY) {
            ReportPath("opening ", path);
            recoveryPause(10000);
            file = OpenForFingerprint(path, true);
        }
    }
    if (!IsValidHandle(file)) {
        *error = GetLastError();
        if (!whole) ReportPath("opening ", path);
        return 0;
    }
    bool own = false;
    uint8_t* buffer = TakeBuffer(&own);
    uint64_t crc = 0;
    if (!buffer)
        *error = ERROR_NOT_ENOUGH_MEMORY;
    else
        crc = whole ? WholeCrc(file, path, size, buffer, error) : SampledCrc(file, path, size, sampleSize, buffer, error);
    if (own && buffer) VirtualFree(buffer, 0, MEM_RELEASE);
    fileOps->Close(file);
    if (*error) return 0;
    crc = Crc64Finish(crc);
    return crc ? crc : 1;
}
