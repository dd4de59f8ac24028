// Security descriptors and alternate data streams through the backup
// stream interface; small streams at once, large ones as copies of their own.
#include "security_streams.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "console.h"
#include "copy_engine.h"
#include "file_ops.h"
#include "heap_memory.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// No security descriptor comes near this; a larger size is a damaged header.
constexpr uint64_t kMaxSecuritySize = 1u << 20;
const wchar_t kNulDevice[] = L"\\\\.\\NUL";

// Null on failure. The source with read and system security access, the
// target with write, WRITE_DAC, WRITE_OWNER and system security access.
void* OpenSource(const wchar_t* path) {
    void* h = fileOps->Open(path, GENERIC_READ | ACCESS_SYSTEM_SECURITY, kShareAll, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_POSIX_SEMANTICS);
    return IsValidHandle(h) ? h : nullptr;
}

void* OpenTarget(const wchar_t* path) {
    void* h = fileOps->Open(path, GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY, kShareAll,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    return IsValidHandle(h) ? h : nullptr;
}

bool TargetIsNul(const wchar_t* targetPath) { return run.targetIsNul || lstrcmpiW(targetPath, kNulDevice) == 0; }

// Reads exactly bytes of the current stream; false when it ends early.
bool ReadFully(void* handle, uint8_t* buffer, uint64_t bytes, void** context) {
    uint64_t done = 0;
    while (done < bytes) {
        uint32_t chunk = static_cast<uint32_t>(bytes - done > 0x10000000 ? 0x10000000 : bytes - done);
        uint32_t got = 0;
        if (!fileOps->BackupRead(handle, buffer + done, chunk, &got, context)) return false;
        if (got == 0) {
            SetLastError(ERROR_HANDLE_EOF);
            return false;
        }
        done += got;
    }
    return true;
}

bool WriteFully(void* handle, const uint8_t* buffer, uint64_t bytes, void** context) {
    if (!handle) return true;   // the null device keeps nothing
    uint32_t written = 0;
    if (!fileOps->BackupWrite(handle, buffer, static_cast<uint32_t>(bytes), &written, context)) return false;
    if (written != bytes) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

// Past whatever is left of the current stream; false on a real failure.
bool SkipRest(void* handle, void** context) {
    SetLastError(0);
    uint64_t moved = 0;
    if (fileOps->BackupSeek(handle, 0x7FFFFFFFFFFFFFFFull, &moved, context)) return true;
    DWORD error = GetLastError();
    return error == 0 || error == ERROR_SEEK;
}

enum HeaderRead { kHeaderEnd, kHeaderRead, kHeaderBad };

// The next header and its name into buffer (kStreamHeaderBufferSize bytes).
HeaderRead NextHeader(void* handle, uint8_t* buffer, StreamHeader* header, void** context) {
    memset(buffer, 0, kStreamHeaderBufferSize);
    uint32_t got = 0;
    if (!fileOps->BackupRead(handle, buffer, kStreamHeaderSize, &got, context)) return kHeaderBad;
    if (got == 0) return kHeaderEnd;
    if (got != kStreamHeaderSize || !ParseStreamHeader(buffer, got, header)) return kHeaderBad;
    if (header->nameSize && !ReadFully(handle, buffer + kStreamHeaderSize, header->nameSize, context))
        return kHeaderBad;
    return kHeaderRead;
}

// A stream name is appended to a file's path: it must name a stream of
// that file (":name" or ":name:$DATA"), never another path.
bool IsStreamName(const wchar_t* name) {
    if (name[0] != L':' || name[1] == 0 || name[1] == L':') return false;
    return wcspbrk(name, L"\\/") == nullptr;
}

// path + stream name without ":$DATA", on the heap; null when too long.
wchar_t* StreamPath(const wchar_t* path, const wchar_t* name) {
    size_t length = wcslen(path) + wcslen(name);
    if (length >= static_cast<size_t>(kPathCapacity)) return nullptr;
    wchar_t* joined = static_cast<wchar_t*>(AllocZero((length + 1) * sizeof(wchar_t)));
    wcscpy(joined, path);
    wcscat(joined, name);
    StripDataSuffix(joined);
    return joined;
}

struct DeferredStream {
    wchar_t* source;
    wchar_t* target;
};

// The walk of the source's backup streams. False when any part
// failed; the walk stops at a failed content write or a damaged header.
bool CopyStreams(void* source, void* target, const wchar_t* sourcePath, const wchar_t* targetPath, bool toNul,
                 int securityFlag, int streamsFlag, DeferredStream* deferred, int* deferredCount) {
    uint8_t* header = static_cast<uint8_t*>(AllocZero(kStreamHeaderBufferSize));
    uint8_t* small = static_cast<uint8_t*>(AllocZero(kSmallStreamLimit));
    wchar_t* name = static_cast<wchar_t*>(AllocZero(kStreamHeaderBufferSize * sizeof(wchar_t)));
    void* readContext = nullptr;
    void* writeContext = nullptr;
    bool ok = true;
    bool tooMany = false;
    StreamHeader stream = {};
    HeaderRead next = NextHeader(source, header, &stream, &readContext);
    while (next == kHeaderRead) {
        size_t headerBytes = kStreamHeaderSize + stream.nameSize;
        if (stream.id == kStreamSecurity && securityFlag && !toNul) {
            if (stream.size > kMaxSecuritySize) {
                SetLastError(ERROR_INVALID_DATA);
                ok = false;
                break;
            }
            uint8_t* content = static_cast<uint8_t*>(AllocZero(static_cast<size_t>(stream.size) + 1));
            bool read = ReadFully(source, content, stream.size, &readContext);
            bool wroteHeader = read && WriteFully(target, header, headerBytes, &writeContext);
            bool wroteContent = wroteHeader && WriteFully(target, content, stream.size, &writeContext);
            FreeMemory(content);
            if (!wroteContent) {
                ok = false;
                if (read) break;   // a failed write ends the walk of this file's streams
            }
        } else if (stream.id == kStreamAlternateData && streamsFlag) {
            if (stream.size >= 1 && stream.size < kSmallStreamLimit) {
                bool read = ReadFully(source, small, stream.size, &readContext);
                if (!read ||
                    (!toNul && (!WriteFully(target, header, headerBytes, &writeContext) ||
                                !WriteFully(target, small, stream.size, &writeContext)))) {
                    ok = false;
                    if (read) break;
                }
            } else if (!StreamNameOf(header, headerBytes, stream, name, kStreamHeaderBufferSize) ||
                       !IsStreamName(name)) {
                ok = false;
            } else if (*deferredCount >= kMaxStreams) {
                tooMany = true;
            } else {
                wchar_t* from = StreamPath(sourcePath, name);
                wchar_t* to = StreamPath(toNul ? L"" : targetPath, name);
                if (toNul && to) {
                    FreeMemory(to);
                    to = DuplicateString(kNulDevice);
                }
                if (from && to) {
                    deferred[*deferredCount].source = from;
                    deferred[*deferredCount].target = to;
                    ++*deferredCount;
                } else {
                    FreeMemory(from);
                    FreeMemory(to);
                    ok = false;
                }
            }
        }
        if (!SkipRest(source, &readContext)) {
            ok = false;
            break;
        }
        next = NextHeader(source, header, &stream, &readContext);
    }
    if (next == kHeaderBad) ok = false;
    if (tooMany) {
        PrintName("more than 100 large streams -> not all copied of %S\n", SkipLongPrefix(sourcePath));
        ok = false;
    }
    DWORD error = GetLastError();
    fileOps->EndBackupRead(source, &readContext);
    if (target) fileOps->EndBackupWrite(target, &writeContext);
    FreeMemory(header);
    FreeMemory(small);
    FreeMemory(name);
    SetLastError(error);
    return ok;
}

int CopyBackupStreams(const wchar_t* sourcePath, const wchar_t* targetPath, int securityFlag, int streamsFlag) {
    const bool toNul = TargetIsNul(targetPath);
    uint32_t attributes = 0;
    bool readOnly = false;
    if (!toNul) {
        attributes = fileOps->GetAttributes(targetPath);
        if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            if (!fileOps->SetAttributes(targetPath, attributes & ~FILE_ATTRIBUTE_READONLY)) {
                PrintError("Error setting file attribute -> abort");
                return 0;
            }
            readOnly = true;
        }
    }
    // false when the attribute could not be given back, with that error
    auto restoreReadOnly = [&]() {
        if (!readOnly) return true;
        DWORD error = GetLastError();
        readOnly = false;
        if (!fileOps->SetAttributes(targetPath, attributes)) return false;
        SetLastError(error);
        return true;
    };
    void* source = OpenSource(sourcePath);
    if (!source) {
        restoreReadOnly();
        return 0;
    }
    void* target = nullptr;
    if (!toNul) {
        target = OpenTarget(targetPath);
        if (!target) {
            restoreReadOnly();
            DWORD error = GetLastError();
            fileOps->Close(source);
            SetLastError(error);
            return 0;
        }
    }
    DeferredStream* deferred = static_cast<DeferredStream*>(AllocZero(kMaxStreams * sizeof(DeferredStream)));
    int deferredCount = 0;
    bool ok = CopyStreams(source, target, sourcePath, targetPath, toNul, securityFlag, streamsFlag, deferred,
                          &deferredCount);
    DWORD error = GetLastError();
    fileOps->Close(source);
    CloseHandleOf(&target);
    for (int i = 0; i < deferredCount; ++i) {
        if (!CopyOneFile(deferred[i].source, 0, 0, deferred[i].target, nullptr, 1, nullptr)) {
            error = GetLastError();
            ok = false;
        }
        FreeMemory(deferred[i].source);
        FreeMemory(deferred[i].target);
    }
    // the large streams are opened for writing too, which read-only refuses
    SetLastError(error);
    if (!restoreReadOnly()) {
        error = GetLastError();
        ok = false;
    }
    FreeMemory(deferred);
    SetLastError(error);
    return ok ? 1 : 0;
}

}  // namespace

// The one place where a failed security or stream copy is told and counted.
int CopySecurityAndStreams(const wchar_t* sourcePath, const wchar_t* targetPath, int securityFlag, int streamsFlag) {
    const int32_t countedBefore = run.failedCopies;
    if (CopyBackupStreams(sourcePath, targetPath, securityFlag, streamsFlag)) return 1;
    DWORD error = GetLastError();
    const char* what = securityFlag && streamsFlag ? "security and streams" : securityFlag ? "security" : "streams";
    char line[100];
    FormatText(line, sizeof line, "Error %s copying %s of %%S\n", ErrorName(error), what);
    PrintErrorName(line, SkipLongPrefix(sourcePath));
    // a stream copy that failed has counted its file already
    if (run.failedCopies == countedBefore) CountFailure();
    SetLastError(error);
    return 0;
}

int CopySecurity(const wchar_t* sourcePath, const wchar_t* targetPath) {
    return CopySecurityAndStreams(sourcePath, targetPath, 1, 0);
}

void ListStreams(const wchar_t* path, StreamList* list) {
    memset(list, 0, sizeof *list);
    void* handle = OpenSource(path);
    if (!handle) return;
    uint8_t* header = static_cast<uint8_t*>(AllocZero(kStreamHeaderBufferSize));
    wchar_t* name = static_cast<wchar_t*>(AllocZero(kStreamHeaderBufferSize * sizeof(wchar_t)));
    void* context = nullptr;
    bool ok = true;
    StreamHeader stream = {};
    HeaderRead next = NextHeader(handle, header, &stream, &context);
    while (next == kHeaderRead) {
        if (stream.id == kStreamAlternateData) {
            if (list->count >= static_cast<uint32_t>(kMaxStreams) ||
                !StreamNameOf(header, kStreamHeaderSize + stream.nameSize, stream, name, kStreamHeaderBufferSize) ||
                !IsStreamName(name)) {
                ok = false;
            } else {
                StripDataSuffix(name);
                list->names[list->count++] = DuplicateString(name);
            }
        }
        if (!SkipRest(handle, &context)) {
            ok = false;
            break;
        }
        next = NextHeader(handle, header, &stream, &context);
    }
    list->complete = ok && next == kHeaderEnd ? 1 : 0;
    fileOps->EndBackupRead(handle, &context);
    fileOps->Close(handle);
    FreeMemory(header);
    FreeMemory(name);
}

void FreeStreamList(StreamList* list) {
    for (uint32_t i = 0; i < list->count; ++i) FreeMemory(list->names[i]);
    memset(list, 0, sizeof *list);
}

int RemoveSurplusStreams(const wchar_t* sourcePath, const wchar_t* targetPath) {
    if (TargetIsNul(targetPath)) return 0;
    StreamList* source = static_cast<StreamList*>(AllocZero(sizeof(StreamList)));
    StreamList* target = static_cast<StreamList*>(AllocZero(sizeof(StreamList)));
    ListStreams(sourcePath, source);
    // a stream missing from a partial listing is not missing from the source
    if (!source->complete) {
        PrintName("incomplete stream listing -> no stream clean-up in %S\n", SkipLongPrefix(targetPath));
    } else {
        ListStreams(targetPath, target);
        for (uint32_t i = 0; i < target->count; ++i) {
            bool kept = false;
            for (uint32_t j = 0; j < source->count && !kept; ++j) kept = wcscmp(target->names[i], source->names[j]) == 0;
            if (kept) continue;
            wchar_t* path = StreamPath(targetPath, target->names[i]);
            if (!path) continue;
            if (fileOps->Delete(path)) {
                if (!options.quiet) PrintName("delete stream %S\n", SkipLongPrefix(path));
            } else {
                ReportFailure(GetLastError(), "deleting stream", path);
            }
            FreeMemory(path);
        }
    }
    FreeStreamList(source);
    FreeStreamList(target);
    FreeMemory(source);
    FreeMemory(target);
    return 1;
}

int ForceDeleteFile(const wchar_t* path) {
    uint32_t attributes = fileOps->GetAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        fileOps->SetAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (fileOps->Delete(path)) return 1;
    fileOps->TakeOwnership(path);
    return fileOps->Delete(path);
}

int SystemFileOps::BackupRead(void* handle, uint8_t* buffer, uint32_t bytes, uint32_t* read, void** context) {
    DWORD got = 0;
    BOOL ok = ::BackupRead(handle, buffer, bytes, &got, FALSE, TRUE, context);
    *read = got;
    return ok ? 1 : 0;
}

int SystemFileOps::BackupSeek(void* handle, uint64_t bytes, uint64_t* moved, void** context) {
    DWORD low = 0, high = 0;
    BOOL ok = ::BackupSeek(handle, static_cast<DWORD>(bytes), static_cast<DWORD>(bytes >> 32), &low, &high, context);
    *moved = (static_cast<uint64_t>(high) << 32) | low;
    return ok ? 1 : 0;
}

int SystemFileOps::BackupWrite(void* handle, const uint8_t* buffer, uint32_t bytes, uint32_t* written, void** context) {
    DWORD put = 0;
    BOOL ok = ::BackupWrite(handle, const_cast<uint8_t*>(buffer), bytes, &put, FALSE, TRUE, context);
    *written = put;
    return ok ? 1 : 0;
}

void SystemFileOps::EndBackupRead(void* handle, void** context) {
    DWORD got = 0;
    if (*context) ::BackupRead(handle, nullptr, 0, &got, TRUE, TRUE, context);
    *context = nullptr;
}

void SystemFileOps::EndBackupWrite(void* handle, void** context) {
    DWORD put = 0;
    if (*context) ::BackupWrite(handle, nullptr, 0, &put, TRUE, TRUE, context);
    *context = nullptr;
}

int SystemFileOps::TakeOwnership(const wchar_t* path) { return ::TakeOwnership(path); }
