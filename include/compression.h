// NTFS and WOF compression, sparse targets and the allocation of target files.
#pragma once
#include <cstdint>

constexpr uint32_t kFsctlGetCompression = 0x9003C;
constexpr uint32_t kFsctlSetCompression = 0x9C040;
constexpr uint32_t kFsctlSetExternalBacking = 0x9030C;
constexpr uint32_t kFsctlGetExternalBacking = 0x90310;
constexpr uint32_t kFsctlSetSparse = 0x900C4;
constexpr uint16_t kCompressionNone = 0;
constexpr uint16_t kCompressionDefault = 1;
constexpr uint32_t kErrorCompressionNotBeneficial = 344;
constexpr uint32_t kServiceRunning = 4;
constexpr int64_t kSizeNotMeasurable = -2;
constexpr int64_t kLargeCompressedFile = 0x8C0000000LL;   // 35 GiB

// WOF_EXTERNAL_INFO followed by FILE_PROVIDER_EXTERNAL_INFO_V1.
struct WofRequestRecord {
    uint32_t wofVersion;     // 1
    uint32_t provider;       // 2, the file provider
    uint32_t fileVersion;    // 1
    uint32_t algorithm;
    uint32_t flags;          // 0
};
static_assert(sizeof(WofRequestRecord) == 20, "the system expects 20 bytes");

// ---- Rules without handles.
constexpr int kSavingUndecided = -1;

WofRequestRecord WofRecordFor(int algorithm);
const char* WofAlgorithmName(int code);
// 1 when the name ends with a known compressed format or names a system file.
int IsIncompressibleName(const wchar_t* name);
// Whether an NTFS-compressed source saves more than one target cluster;
// kSavingUndecided when the source is not compressed.
int CompressionSaving(int sourceCompressed, int64_t size, int64_t sizeOnDisk, uint32_t targetCluster);
// The format a new target gets for the -c level (-1 for none given), from the
// source's format s, the target's format t and the saving value.
uint16_t NewCompressionFormat(int level, int saving, uint16_t s, uint16_t t, int incompressibleName);
// (size - sizeOnDisk) * 100 / size; 0 for an empty file.
int ReductionPercent(int64_t size, int64_t sizeOnDisk);
int64_t RoundUpToCluster(int64_t bytes, uint32_t cluster);

// Mirror mode, existing target that is kept: what may be done to it.
struct ExistingTargetFacts {
    int level;                  // -c level
    int wofRequested;           // -lzx, -xpressN
    int wofServiceRunning;
    int targetVolumeCompresses;
    int sourceCompressed;       // NTFS
    int64_t sourceSize, sourceOnDisk;
    int64_t targetSize, targetOnDisk;
    uint16_t targetFormat;      // NTFS format of the target
    uint32_t largestCluster;
};
// 0 when the switches and volumes leave no way to compress an existing target,
// whatever its sizes: then they need not be read.
int MayCompressExistingAtAll(const ExistingTargetFacts& facts);
// 1 when the target should be NTFS-compressed.
int ShouldNtfsCompressExisting(const ExistingTargetFacts& facts);
// 1 when the WOF step may look at the source's and target's WOF state.
int MayWofCompressExisting(const ExistingTargetFacts& facts);

// WOF after a copy: the algorithm to use, or -1 for nothing to do.
int WofAlgorithmAfterCopy(int wofRequested, int requestedAlgorithm, int sourceWofBacked, int sourceAlgorithm);

// An existing file or folder opened through fileOps; nullptr when the open fails.
void* OpenExisting(const wchar_t* path, uint32_t access, uint32_t share, uint32_t flags);
// Closes through fileOps with the thread's last error kept.
void CloseKeepingError(void* handle);

// ---- NTFS compression.
uint16_t CompressionOf(void* handle);
uint16_t CompressionOfPath(const wchar_t* path);
int SetCompression(void* handle, uint16_t format);
int CompressIfUncompressed(const wchar_t* path);
uint16_t FolderCompressionOf(const wchar_t* folder);
int SetFolderCompression(const wchar_t* folder, uint16_t format);

// ---- WOF.
int WofCompress(const wchar_t* path, int algorithm);
int WofAlgorithmOf(void* handle, int* algorithm);
int WofAlgorithmOfPath(const wchar_t* path, int* algorithm);
int WofServiceRunning();
// The current state of a service from the service manager; 0 when it cannot be asked.
int ServiceState(const wchar_t* name, uint32_t* state);
// After the options are read: asks for the service once, keeps the answer
// and settles -lzx/-xpressN against -c.
void WofServiceCheck();

// ---- Sizes.
// Size and size on disk of a file, through handle when it is open.
int SizesOf(const wchar_t* path, void* handle, int64_t* size, int64_t* sizeOnDisk);
// GetCompressedFileSizeW; 0 on error.
int64_t CompressedSizeOf(const wchar_t* path);

// ---- What the copy engine and the run driver call.

// Gives a new target its length before the data is written and leaves the
// pointer at startPosition. Only the end of file moves: the valid data length
// stays where written data ends, so ranges never written (zero blocks skipped
// by -sz, an interrupted copy that is kept) read as zeros, never as stale disk
// content. A target that is already compressed is left alone.
int PreallocateTarget(void* handle, int64_t allocationSize, int64_t startPosition);
// Brings a new target's NTFS compression in line with the -c level; 1 when it
// changed the state.
int ApplyNtfsCompression(void* sourceHandle, void* targetHandle, const wchar_t* sourcePath, int sourceCompressed,
                         int64_t sourceSize, int64_t sourceOnDisk);
// Mirror mode, existing target kept: compresses it like the source and prints
// what was done; 1 when it compressed it, 0 (nothing printed) otherwise.
int CompressExistingTarget(const wchar_t* sourcePath, const wchar_t* targetPath, int sourceCompressed);
// 0 when CompressExistingTarget would surely do nothing for such a source.
int MayCompressExisting(int sourceCompressed);
// WOF compression of a copied target; prints its outcome. 1 when it compressed.
int WofCompressAfterCopy(const wchar_t* sourcePath, const wchar_t* targetPath, int sourceCompressed, int64_t size);
// A target folder created at start gets the compression the -c level asks for.
int ApplyFolderCompressionLevel(const wchar_t* sourceFolder, const wchar_t* targetFolder, int level);
