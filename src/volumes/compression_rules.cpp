// The compression rules as plain decisions: no handles, no system calls.
#include <cstdint>
#include <cwchar>

#include "compression.h"

namespace {

// Already compressed formats and system files that must stay uncompressed.
const wchar_t* const kIncompressibleEndings[] = {
    L".GIF",  L".JPG",  L".JPEG", L".WEBP", L".AVI",  L".MPG",  L".MPEG", L".MPEG4",
    L".MP2",  L".MP3",  L".MP4",  L".FLV",  L".FLAC", L".OGG",  L".AAC",  L".AIFF",
    L".ASF",  L".WMA",  L".WMF",  L".MOV",  L".MKV",  L".WEBM", L".TS",   L".CAB",
    L".WIM",  L".ARC",  L".ARJ",  L".LZW",  L".RAR",  L".JAR",  L".ZIP",  L".ZIPX",
    L".7Z",   L".GZ",   L".Z",    L".VHD",  L".VHDX", L"hiberfil.sys", L"swapfile.sys",
    L"pagefile.sys", L"BOOTMGR", L"NTLDR", L"winload.exe",
};

wchar_t FoldAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

int EndsWithNoCase(const wchar_t* text, size_t length, const wchar_t* ending) {
    size_t endingLength = wcslen(ending);
    if (endingLength > length) return 0;
    const wchar_t* tail = text + length - endingLength;
    for (size_t i = 0; i < endingLength; ++i)
        if (FoldAscii(tail[i]) != FoldAscii(ending[i])) return 0;
    return 1;
}

}  // namespace

WofRequestRecord WofRecordFor(int algorithm) {
    WofRequestRecord record = {};
    record.wofVersion = 1;
    record.provider = 2;
    record.fileVersion = 1;
    record.algorithm = static_cast<uint32_t>(algorithm);
    record.flags = 0;
    return record;
}

const char* WofAlgorithmName(int code) {
    switch (code) {
        case 0: return "XPRESS4K";
        case 1: return "LZX";
        case 2: return "XPRESS8K";
        case 3: return "XPRESS16K";
        default: return "unk";
    }
}

int IsIncompressibleName(const wchar_t* name) {
    if (!name) return 0;
    size_t length = wcslen(name);
    for (const wchar_t* ending : kIncompressibleEndings)
        if (EndsWithNoCase(name, length, ending)) return 1;
    return 0;
}

int CompressionSaving(int sourceCompressed, int64_t size, int64_t sizeOnDisk, uint32_t targetCluster) {
    if (!sourceCompressed) return kSavingUndecided;
    return size - sizeOnDisk > static_cast<int64_t>(targetCluster) ? 1 : 0;
}

uint16_t NewCompressionFormat(int level, int saving, uint16_t s, uint16_t t, int incompressibleName) {
    switch (level) {
        case 0: return kCompressionNone;
        case 1: return (s != 0 && saving == 0) ? kCompressionNone : s;
        case 2:
            if (saving == 0) return kCompressionNone;
            if (saving == 1) return kCompressionDefault;
            return incompressibleName ? kCompressionNone : kCompressionDefault;
        case 3: return kCompressionDefault;
        default:
            // no level given: a new file keeps what its folder gives it unless that is pointless
            if (t == 0) return t;
            if (saving == 0 || incompressibleName) return kCompressionNone;
            return t;
    }
}

int ReductionPercent(int64_t size, int64_t sizeOnDisk) {
    if (size <= 0) return 0;
    int64_t saved = size - sizeOnDisk;
    if (size > INT64_MAX / 100) return static_cast<int>(saved / (size / 100));
    return static_cast<int>(saved * 100 / size);
}

int64_t RoundUpToCluster(int64_t bytes, uint32_t cluster) {
    if (cluster == 0 || bytes <= 0) return bytes;
    int64_t unit = cluster;
    return (bytes + unit - 1) / unit * unit;
}

int MayCompressExistingAtAll(const ExistingTargetFacts& f) {
    return (f.sourceCompressed && f.targetVolumeCompresses && f.level >= 1) ||
           (f.wofServiceRunning && (f.wofRequested || f.level >= 1) && !f.sourceCompressed);
}

int ShouldNtfsCompressExisting(const ExistingTargetFacts& f) {
    if (!f.sourceCompressed || !f.targetVolumeCompresses || f.level < 1) return 0;
    if (f.sourceOnDisk < 0 || f.sourceOnDisk >= f.sourceSize) return 0;
    int alreadyCompressed = f.targetOnDisk >= 0 && f.targetOnDisk < f.targetSize && f.targetFormat != 0;
    return !alreadyCompressed;
}

int MayWofCompressExisting(const ExistingTargetFacts& f) {
    if (!f.wofServiceRunning || !(f.wofRequested || f.level >= 1) || f.sourceCompressed) return 0;
    if (f.sourceOnDisk < 0 || f.targetOnDisk < 0 || f.sourceOnDisk >= f.sourceSize) return 0;
    return RoundUpToCluster(f.targetOnDisk, f.largestCluster) > RoundUpToCluster(f.sourceOnDisk, f.largestCluster);
}

int WofAlgorithmAfterCopy(int wofRequested, int requestedAlgorithm, int sourceWofBacked, int sourceAlgorithm) {
    if (sourceWofBacked) return sourceAlgorithm;
    // an algorithm of -1 is never sent: without -lzx/-xpressN only WOF-backed sources count
    if (wofRequested && requestedAlgorithm >= 0) return requestedAlgorithm;
    return -1;
}
