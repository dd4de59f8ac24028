// WOF compression: the overlay filter's service, requests on files and the
// compression of a copied target.
#include <windows.h>

#include "compression.h"
#include "console.h"
#include "file_ops.h"
#include "options.h"
#include "run_state.h"
#include "system_facts.h"
#include "text_format.h"

namespace {

constexpr uint32_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

int WofCompress(const wchar_t* path, int algorithm) {
    void* handle = OpenExisting(path, GENERIC_READ, kShareAll, 0);
    if (!handle) return 0;
    WofRequestRecord record = WofRecordFor(algorithm);
    int result = fileOps->SetExternalBacking(handle, &record, sizeof record);
    CloseKeepingError(handle);
    return result;
}

int WofAlgorithmOf(void* handle, int* algorithm) {
    WofRequestRecord record = WofRecordFor(-1);
    if (!handle || handle == INVALID_HANDLE_VALUE ||
        !fileOps->GetExternalBacking(handle, &record, sizeof record))
        return 0;
    *algorithm = static_cast<int>(record.algorithm);
    return 1;
}

int WofAlgorithmOfPath(const wchar_t* path, int* algorithm) {
    void* handle = OpenExisting(path, FILE_READ_ATTRIBUTES, kShareAll, 0);
    if (!handle) return 0;
    int result = WofAlgorithmOf(handle, algorithm);
    CloseKeepingError(handle);
    return result;
}

int WofServiceRunning() {
    uint32_t state = 0;
    // Windows 8.1 and older ship the filter as an add-on under another name
    if (!ServiceState(L"Wof", &state) &&
        !(osVersion.major == 6 && ServiceState(L"WofAdk", &state)))
        return 0;
    return state == kServiceRunning;
}

void WofServiceCheck() {
    run.wofAvailable = WofServiceRunning();
    if (!options.wof) return;
    if (!run.wofAvailable) {
        Print("Error: LZX compession requires Windows 10\n");
        options.wof = 0;
    } else {
        // WOF files are never NTFS-compressed as well
        options.compression = 0;
    }
}

int WofCompressAfterCopy(const wchar_t* sourcePath, const wchar_t* targetPath, int sourceCompressed, int64_t size) {
    int sourceAlgorithm = -1;
    int backed = 0;
    if (options.mirror && options.compression >= 1 && !sourceCompressed)
        backed = WofAlgorithmOfPath(sourcePath, &sourceAlgorithm);
    int algorithm = WofAlgorithmAfterCopy(options.wof, options.wofAlgorithm, backed, sourceAlgorithm);
    if (algorithm < 0) return 0;
    if (backed) {
        int64_t sourceSize = 0, sourceOnDisk = 0;
        if (SizesOf(sourcePath, nullptr, &sourceSize, &sourceOnDisk) && sourceOnDisk >= sourceSize) {
            if (!options.quiet) Print(" skipping %s compression (uncompressible)", WofAlgorithmName(algorithm));
            return 0;
        }
    }
    if (!options.quiet) Print(" performing %s compression...", WofAlgorithmName(algorithm));
    if (WofCompress(targetPath, algorithm)) {
        if (!options.quiet) Print(" OK, reduced by %i percent\n", ReductionPercent(size, CompressedSizeOf(targetPath)));
        return 1;
    }
    DWORD error = GetLastError();
    if (!options.quiet) {
        if (error == kErrorCompressionNotBeneficial)
            Print(" not compressible\n");
        else
            Print(" failed: %s\n", ErrorName(error));
    }
    SetLastError(error);
    return 0;
}
