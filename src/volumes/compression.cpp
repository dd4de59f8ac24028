// NTFS compression, sizes on disk and allocation of targets, and the
// compression steps the copy engine and the run driver call.
#include <windows.h>

#include "compression.h"
#include "console.h"
#include "file_ops.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"

namespace {

constexpr uint32_t kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr uint32_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int IsOpen(void* handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

const wchar_t* LastComponent(const wchar_t* path) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

int64_t Saved(int64_t before, int64_t after) { return before > after ? before - after : 0; }

}  // namespace

void* OpenExisting(const wchar_t* path, uint32_t access, uint32_t share, uint32_t flags) {
    void* handle = fileOps->Open(path, access, share, OPEN_EXISTING, flags);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

void CloseKeepingError(void* handle) {
    DWORD error = GetLastError();
    fileOps->Close(handle);
    SetLastError(error);
}

uint16_t CompressionOf(void* handle) {
    uint16_t format = 0;
    if (!IsOpen(handle) || !fileOps->GetCompression(handle, &format)) return 0;
    return format;
}

uint16_t CompressionOfPath(const wchar_t* path) {
    void* handle = OpenExisting(path, FILE_READ_ATTRIBUTES, kShareReadWrite, 0);
    if (!handle) return 0;
    uint16_t format = CompressionOf(handle);
    CloseKeepingError(handle);
    return format;
}

int SetCompression(void* handle, uint16_t format) {
    if (!IsOpen(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return fileOps->SetCompression(handle, format);
}

int CompressIfUncompressed(const wchar_t* path) {
    void* handle = OpenExisting(path, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, 0);
    if (!handle) return 0;
    uint16_t format = 0;
    int result = fileOps->GetCompression(handle, &format) && format == 0 &&
                 fileOps->SetCompression(handle, kCompressionDefault);
    CloseKeepingError(handle);
    return result;
}

uint16_t FolderCompressionOf(const wchar_t* folder) {
    void* handle = OpenExisting(folder, GENERIC_READ, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
    if (!handle) return 0;
    uint16_t format = CompressionOf(handle);
    CloseKeepingError(handle);
    return format;
}

int SetFolderCompression(const wchar_t* folder, uint16_t format) {
    void* handle =
        OpenExisting(folder, GENERIC_READ | GENERIC_WRITE, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
    if (!handle) return 0;
    int result = fileOps->SetCompression(handle, format);
    CloseKeepingError(handle);
    return result;
}

int64_t CompressedSizeOf(const wchar_t* path) {
    int64_t size = 0;
    return fileOps->CompressedSize(path, &size) ? size : 0;
}

int SizesOf(const wchar_t* path, void* handle, int64_t* size, int64_t* sizeOnDisk) {
    *size = *sizeOnDisk = kSizeNotMeasurable;
    void* own = nullptr;
    if (!IsOpen(handle)) {
        own = OpenExisting(path, 0, kShareReadWrite, 0);
        if (!own) return 0;
        handle = own;
    }
    FileInfo info;
    int result = fileOps->GetInfo(handle, &info, kInfoNoTimes);
    if (own) CloseKeepingError(own);
    if (!result) return 0;
    *size = info.size;
    *sizeOnDisk = info.allocated;
    return 1;
}

int PreallocateTarget(void* handle, int64_t allocationSize, int64_t startPosition) {
    if (!IsOpen(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // clusters allocated now would stay uncompressed in a compressed file
    if (run.targetCaps.compression && CompressionOf(handle) != 0) return 1;
    int ok = fileOps->SetPointer(handle, allocationSize, FILE_BEGIN, nullptr) && fileOps->SetEnd(handle);
    DWORD error = GetLastError();
    if (!fileOps->SetPointer(handle, startPosition, FILE_BEGIN, nullptr)) return 0;
    SetLastError(error);
    return ok;
}

int ApplyNtfsCompression(void* sourceHandle, void* targetHandle, const wchar_t* sourcePath, int sourceCompressed,
                         int64_t sourceSize, int64_t sourceOnDisk) {
    if (!run.targetCaps.compression || !IsOpen(targetHandle)) return 0;
    int saving = CompressionSaving(sourceCompressed, sourceSize, sourceOnDisk, run.targetCluster);
    uint16_t s = CompressionOf(sourceHandle);
    uint16_t t = CompressionOf(targetHandle);
    uint16_t n = NewCompressionFormat(options.compression, saving, s, t, IsIncompressibleName(sourcePath));
    // formats differ only in name when both compress (LZNT1 is what the default gives)
    if ((n != 0) == (t != 0)) return 0;
    // nothing is written yet: drop a preallocation so that the clusters follow the new state
    fileOps->SetEnd(targetHandle);
    if (!fileOps->SetCompression(targetHandle, n)) {
        PrintError("Error %s setting compression of the copy of %S\n", LastErrorName(), SkipLongPrefix(sourcePath));
        return 0;
    }
    if (sourceOnDisk > kLargeCompressedFile)
        Print("Warning: Compressing large files may lead to ERROR_DISK_LIMITATION caused by to many NTFS chunks!\n");
    return 1;
}

namespace {

// What the switches and volumes say, before any size is read.
ExistingTargetFacts SwitchFacts(int sourceCompressed) {
    ExistingTargetFacts facts = {};
    facts.level = options.compression;
    facts.wofRequested = options.wof;
    facts.wofServiceRunning = run.wofAvailable;
    facts.targetVolumeCompresses = run.targetCaps.compression;
    facts.sourceCompressed = sourceCompressed;
    facts.largestCluster = run.largestCluster;
    return facts;
}

}  // namespace

int MayCompressExisting(int sourceCompressed) { return MayCompressExistingAtAll(SwitchFacts(sourceCompressed)); }

int CompressExistingTarget(const wchar_t* sourcePath, const wchar_t* targetPath, int sourceCompressed) {
    ExistingTargetFacts facts = SwitchFacts(sourceCompressed);
    if (!MayCompressExistingAtAll(facts)) return 0;
    if (!SizesOf(sourcePath, nullptr, &facts.sourceSize, &facts.sourceOnDisk)) return 0;
    if (!SizesOf(targetPath, nullptr, &facts.targetSize, &facts.targetOnDisk)) return 0;
    const wchar_t* name = LastComponent(targetPath);

    if (facts.sourceCompressed && facts.targetVolumeCompresses && facts.level >= 1)
        facts.targetFormat = CompressionOfPath(targetPath);
    if (ShouldNtfsCompressExisting(facts)) {
        if (!CompressIfUncompressed(targetPath)) return 0;
        if (!options.quiet) PrintNameW(L"\r%s already exists -> NTFS compressed\n", name);
        int64_t size = 0, onDisk = 0;
        if (SizesOf(targetPath, nullptr, &size, &onDisk)) run.ntfsSavedBytes += Saved(facts.targetOnDisk, onDisk);
        ++run.ntfsCompressedCount;
        return 1;
    }

    if (MayWofCompressExisting(facts)) {
        int sourceAlgorithm = -1, targetAlgorithm = -1;
        int backed = WofAlgorithmOfPath(sourcePath, &sourceAlgorithm);
        int algorithm = WofAlgorithmAfterCopy(options.wof, options.wofAlgorithm, backed, sourceAlgorithm);
        if (algorithm < 0 || WofAlgorithmOfPath(targetPath, &targetAlgorithm)) return 0;
        if (!WofCompress(targetPath, algorithm)) return 0;
        if (!options.quiet) PrintNameW(L"\r%s already exists -> WOF compressed\n", name);
        int64_t size = 0, onDisk = 0;
        if (SizesOf(targetPath, nullptr, &size, &onDisk)) run.wofSavedBytes += Saved(facts.targetOnDisk, onDisk);
        ++run.wofCompressedCount;
        return 1;
    }
    return 0;
}

int ApplyFolderCompressionLevel(const wchar_t* sourceFolder, const wchar_t* targetFolder, int level) {
    switch (level) {
        case 0: return SetFolderCompression(targetFolder, kCompressionNone);
        case 1: return SetFolderCompression(targetFolder, FolderCompressionOf(sourceFolder));
        case 2: return SetFolderCompression(targetFolder, kCompressionDefault);
        default: return 1;   // -c3 and no level leave the folder as created
    }
}
