// Compression rules and steps against a stand-in for a system with NTFS
// compression and the overlay filter, plus preallocation of a real file.
#include "compression.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fake_device_system.h"
#include "options.h"
#include "run_state.h"
#include "system_facts.h"

using namespace qtxtest;

namespace {

struct FakeFile {
    int64_t size = 0;
    int64_t onDisk = 0;
    uint16_t format = 0;
    int wofAlgorithm = -1;          // -1: not backed
    int64_t onDiskAfterCompress = -1;
    uint32_t openError = 0;
    uint32_t setCompressionError = 0;
    uint32_t wofError = 0;
    uint32_t endOfFileError = 0;
};

struct FakeCompressionSystem : CompressionSystem {
    std::map<std::wstring, FakeFile> files;
    std::map<std::wstring, uint32_t> services;
    std::vector<std::string> log;
    std::vector<WofRequestRecord> wofRequests;
    bool noInfoByHandle = false;
    int64_t pointer = 0;
    int openHandles = 0;
    std::vector<std::wstring> handleNames;

    FakeFile* Of(void* handle) {
        size_t index = reinterpret_cast<size_t>(handle) - 1;
        return index < handleNames.size() ? &files[handleNames[index]] : nullptr;
    }
    std::string NameOf(void* handle) {
        size_t index = reinterpret_cast<size_t>(handle) - 1;
        return index < handleNames.size() ? Narrow(handleNames[index]) : "?";
    }
    void* Open(const wchar_t* path, uint32_t, uint32_t, uint32_t) override {
        auto found = files.find(path);
        if (found == files.end() || found->second.openError) {
            SetLastError(found == files.end() ? ERROR_FILE_NOT_FOUND : found->second.openError);
            return nullptr;
        }
        handleNames.push_back(path);
        ++openHandles;
        return reinterpret_cast<void*>(handleNames.size());
    }
    void Close(void*) override { --openHandles; }
    int GetCompression(void* handle, uint16_t* format) override {
        FakeFile* file = Of(handle);
        if (!file) return 0;
        *format = file->format;
        return 1;
    }
    int SetCompression(void* handle, uint16_t format) override {
        FakeFile* file = Of(handle);
        log.push_back("compress " + NameOf(handle) + " " + std::to_string(format));
        if (file->setCompressionError) {
            SetLastError(file->setCompressionError);
            return 0;
        }
        file->format = format;
        if (format && file->onDiskAfterCompress >= 0) file->onDisk = file->onDiskAfterCompress;
        return 1;
    }
    int SetExternalBacking(void* handle, const void* record, uint32_t size) override {
        FakeFile* file = Of(handle);
        EXPECT_EQ(20u, size);
        WofRequestRecord request;
        memcpy(&request, record, sizeof request);
        wofRequests.push_back(request);
        log.push_back("wof " + NameOf(handle) + " " + std::to_string(static_cast<int>(request.algorithm)));
        if (file->wofError) {
            SetLastError(file->wofError);
            return 0;
        }
        file->wofAlgorithm = static_cast<int>(request.algorithm);
        if (file->onDiskAfterCompress >= 0) file->onDisk = file->onDiskAfterCompress;
        return 1;
    }
    int GetExternalBacking(void* handle, void* record, uint32_t size) override {
        FakeFile* file = Of(handle);
        if (!file || file->wofAlgorithm < 0) {
            SetLastError(342);   // not externally backed
            return 0;
        }
        WofRequestRecord answer = WofRecordFor(file->wofAlgorithm);
        memcpy(record, &answer, size < sizeof answer ? size : sizeof answer);
        return 1;
    }
    int StandardInfo(void* handle, int64_t* size, int64_t* sizeOnDisk) override {
        if (noInfoByHandle) return -1;
        FakeFile* file = Of(handle);
        *size = file->size;
        *sizeOnDisk = file->onDisk;
        return 1;
    }
    int64_t Length(void* handle, int) override { return Of(handle)->size; }
    int64_t CompressedFileSize(const wchar_t* path) override {
        auto found = files.find(path);
        return found == files.end() ? 0 : found->second.onDisk;
    }
    int SetPointer(void* handle, int64_t position) override {
        log.push_back("pointer " + std::to_string(position));
        pointer = position;
        return 1;
    }
    int SetEndOfFile(void* handle) override {
        FakeFile* file = Of(handle);
        log.push_back("end " + std::to_string(pointer));
        if (file->endOfFileError) {
            SetLastError(file->endOfFileError);
            return 0;
        }
        file->size = pointer;
        return 1;
    }
    int ServiceState(const wchar_t* name, uint32_t* state) override {
        auto found = services.find(name);
        if (found == services.end()) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return 0;
        }
        *state = found->second;
        return 1;
    }
};

class CompressionTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedSystem_ = compressionSystem;
        compressionSystem = &fake;
        savedOptions_ = options;
        savedOs_ = osVersion;
        savedRun_ = {run.targetCaps.compression, run.wofAvailable, run.targetCluster, run.largestCluster,
                     run.ntfsCompressedCount, run.ntfsSavedBytes, run.wofCompressedCount, run.wofSavedBytes};
        options = Options();
        run.targetCaps.compression = 1;
        run.wofAvailable = 0;
        run.targetCluster = run.largestCluster = 4096;
        run.ntfsCompressedCount = run.ntfsSavedBytes = run.wofCompressedCount = run.wofSavedBytes = 0;
        osVersion.major = 10;
    }
    void TearDown() override {
        EXPECT_EQ(0, fake.openHandles) << "every handle opened is closed";
        compressionSystem = savedSystem_;
        options = savedOptions_;
        osVersion = savedOs_;
        run.targetCaps.compression = static_cast<int>(savedRun_[0]);
        run.wofAvailable = static_cast<int>(savedRun_[1]);
        run.targetCluster = static_cast<uint32_t>(savedRun_[2]);
        run.largestCluster = static_cast<uint32_t>(savedRun_[3]);
        run.ntfsCompressedCount = savedRun_[4];
        run.ntfsSavedBytes = savedRun_[5];
        run.wofCompressedCount = savedRun_[6];
        run.wofSavedBytes = savedRun_[7];
    }
    void* OpenFake(const wchar_t* path) {
        void* handle = fake.Open(path, 0, 0, 0);
        fake.openHandles--;   // held by the test, not by the code under test
        return handle;
    }

    FakeCompressionSystem fake;
    CapturedOutput output;

private:
    CompressionSystem* savedSystem_;
    Options savedOptions_;
    OsVersion savedOs_;
    std::vector<int64_t> savedRun_;
};

TEST(CompressionRules, NoCompressionNameList) {
    for (const wchar_t* name : {L"movie.MKV", L"Archive.zip", L"pagefile.sys", L"C:\\BOOTMGR", L"notes.TS", L"x.z",
                                L"backup.tar.gz", L"photo.jpeg", L"a.Mpeg4", L"disk.vhdx", L"song.flac",
                                L"C:\\Windows\\System32\\winload.exe", L"D:\\hiberfil.sys", L"swapfile.SYS", L"NTLDR",
                                L"clip.webm", L"pic.GIF", L"setup.cab", L"x.7z"})
        EXPECT_TRUE(IsIncompressibleName(name)) << Narrow(name);
    for (const wchar_t* name : {L"data.zip.txt", L"a.txt", L"readme", L"movie.mkv2", L"zipfile", L"notes.tsx",
                                L"winload.ex", L"", L"Z"})
        EXPECT_FALSE(IsIncompressibleName(name)) << Narrow(name);
    EXPECT_FALSE(IsIncompressibleName(nullptr));
}

TEST(CompressionRules, WofNamesRecordAndReduction) {
    EXPECT_STREQ("XPRESS4K", WofAlgorithmName(0));
    EXPECT_STREQ("LZX", WofAlgorithmName(1));
    EXPECT_STREQ("XPRESS8K", WofAlgorithmName(2));
    EXPECT_STREQ("XPRESS16K", WofAlgorithmName(3));
    EXPECT_STREQ("unk", WofAlgorithmName(4));
    EXPECT_STREQ("unk", WofAlgorithmName(-1));
    WofRequestRecord record = WofRecordFor(2);
    uint32_t words[5];
    memcpy(words, &record, sizeof words);
    EXPECT_EQ(1u, words[0]);
    EXPECT_EQ(2u, words[1]);
    EXPECT_EQ(1u, words[2]);
    EXPECT_EQ(2u, words[3]);
    EXPECT_EQ(0u, words[4]);

    EXPECT_EQ(60, ReductionPercent(10000, 4000));
    EXPECT_EQ(-22, ReductionPercent(10000, 12288));   // signed: a file may grow
    EXPECT_EQ(0, ReductionPercent(0, 4096));          // empty file: no division
    EXPECT_EQ(75, ReductionPercent(4000000000000000000LL, 1000000000000000000LL));

    // the source's algorithm wins; without -lzx/-xpressN only a WOF-backed source counts
    EXPECT_EQ(2, WofAlgorithmAfterCopy(1, 1, 1, 2));
    EXPECT_EQ(1, WofAlgorithmAfterCopy(1, 1, 0, -1));
    EXPECT_EQ(-1, WofAlgorithmAfterCopy(0, -1, 0, -1));
    EXPECT_EQ(-1, WofAlgorithmAfterCopy(1, -1, 0, -1));
}

TEST(CompressionRules, SavingAndLevelTable) {
    // saving: more than one target cluster
    EXPECT_EQ(kSavingUndecided, CompressionSaving(0, 100000, 4096, 4096));
    EXPECT_EQ(0, CompressionSaving(1, 8192, 4096, 4096));
    EXPECT_EQ(1, CompressionSaving(1, 8193, 4096, 4096));
    EXPECT_EQ(0, CompressionSaving(1, 4096, 8192, 4096));

    const int u = kSavingUndecided;
    // none given: keep an uncompressed target; undo pointless inherited compression
    EXPECT_EQ(0, NewCompressionFormat(-1, u, 0, 0, 1));
    EXPECT_EQ(0, NewCompressionFormat(-1, 1, 2, 0, 0));
    EXPECT_EQ(0, NewCompressionFormat(-1, u, 0, 2, 1));   // b.mp3 in a compressed folder
    EXPECT_EQ(2, NewCompressionFormat(-1, u, 0, 2, 0));   // b.txt keeps it
    EXPECT_EQ(0, NewCompressionFormat(-1, 0, 2, 2, 0));
    EXPECT_EQ(0, NewCompressionFormat(-1, 1, 2, 2, 1));
    EXPECT_EQ(2, NewCompressionFormat(-1, 1, 2, 2, 0));
    // -c0
    EXPECT_EQ(0, NewCompressionFormat(0, 1, 2, 2, 0));
    // -c1: the source's state, not without saving
    EXPECT_EQ(2, NewCompressionFormat(1, 1, 2, 0, 1));
    EXPECT_EQ(0, NewCompressionFormat(1, 0, 2, 2, 0));
    EXPECT_EQ(0, NewCompressionFormat(1, u, 0, 2, 0));
    // -c2
    EXPECT_EQ(1, NewCompressionFormat(2, u, 0, 0, 0));   // a.txt
    EXPECT_EQ(0, NewCompressionFormat(2, u, 0, 2, 1));   // a.jpg
    EXPECT_EQ(1, NewCompressionFormat(2, 1, 2, 0, 1));
    EXPECT_EQ(0, NewCompressionFormat(2, 0, 2, 2, 0));
    // -c3
    EXPECT_EQ(1, NewCompressionFormat(3, 0, 0, 0, 1));
}

TEST(CompressionRules, ExistingTargetDecisions) {
    ExistingTargetFacts f = {};
    f.level = 1;
    f.targetVolumeCompresses = 1;
    f.sourceCompressed = 1;
    f.sourceSize = 100000, f.sourceOnDisk = 40960;
    f.targetSize = 100000, f.targetOnDisk = 102400;
    f.largestCluster = 4096;
    EXPECT_TRUE(ShouldNtfsCompressExisting(f));
    ExistingTargetFacts g = f;
    g.targetOnDisk = 50000, g.targetFormat = 2;   // already compressed
    EXPECT_FALSE(ShouldNtfsCompressExisting(g));
    g = f, g.level = 0;
    EXPECT_FALSE(ShouldNtfsCompressExisting(g));
    g = f, g.sourceOnDisk = 100000;   // the source saves nothing
    EXPECT_FALSE(ShouldNtfsCompressExisting(g));
    g = f, g.targetVolumeCompresses = 0;
    EXPECT_FALSE(ShouldNtfsCompressExisting(g));
    EXPECT_FALSE(MayWofCompressExisting(f)) << "an NTFS-compressed source is never WOF-backed";

    f.sourceCompressed = 0;
    f.wofServiceRunning = 1;
    EXPECT_TRUE(MayWofCompressExisting(f));
    g = f, g.wofServiceRunning = 0;
    EXPECT_FALSE(MayWofCompressExisting(g));
    g = f, g.level = -1;
    EXPECT_FALSE(MayWofCompressExisting(g));
    g.wofRequested = 1;
    EXPECT_TRUE(MayWofCompressExisting(g));
    // sizes on disk compare in whole clusters of the larger volume cluster
    g = f, g.sourceOnDisk = 4096, g.targetOnDisk = 4097;
    EXPECT_TRUE(MayWofCompressExisting(g));
    g = f, g.sourceOnDisk = 3000, g.targetOnDisk = 4000;
    EXPECT_FALSE(MayWofCompressExisting(g));
    g.largestCluster = 1024;
    EXPECT_TRUE(MayWofCompressExisting(g));
}

TEST_F(CompressionTest, NewTargetFollowsTheLevel) {
    fake.files[L"S\\a.jpg"] = {};
    fake.files[L"T\\a.jpg"].format = 2;   // inherited from its folder
    void* source = OpenFake(L"S\\a.jpg");
    void* target = OpenFake(L"T\\a.jpg");
    options.compression = 2;
    fake.pointer = 0;
    EXPECT_EQ(1, ApplyNtfsCompression(source, target, L"S\\a.jpg", 0, 5000, 8192));
    ASSERT_EQ(2u, fake.log.size());
    EXPECT_EQ("end 0", fake.log[0]) << "the preallocation is dropped before the state changes";
    EXPECT_EQ("compress T\\a.jpg 0", fake.log[1]);

    // both compress (LZNT1 and the default): no request
    fake.log.clear();
    fake.files[L"S\\b.txt"] = {};
    fake.files[L"T\\b.txt"].format = 2;
    EXPECT_EQ(0, ApplyNtfsCompression(OpenFake(L"S\\b.txt"), OpenFake(L"T\\b.txt"), L"S\\b.txt", 0, 5000, 8192));
    EXPECT_TRUE(fake.log.empty());

    // -c1 copies the source's format when it saves; a volume without compression is left alone
    options.compression = 1;
    fake.files[L"S\\c.dat"].format = 2;
    fake.files[L"T\\c.dat"] = {};
    EXPECT_EQ(1, ApplyNtfsCompression(OpenFake(L"S\\c.dat"), OpenFake(L"T\\c.dat"), L"S\\c.dat", 1, 100000, 40960));
    EXPECT_EQ(2, fake.files[L"T\\c.dat"].format);
    run.targetCaps.compression = 0;
    fake.files[L"T\\c.dat"].format = 0;
    EXPECT_EQ(0, ApplyNtfsCompression(OpenFake(L"S\\c.dat"), OpenFake(L"T\\c.dat"), L"S\\c.dat", 1, 100000, 40960));
    EXPECT_EQ(0, fake.files[L"T\\c.dat"].format);
    run.targetCaps.compression = 1;

    // failure is reported with its number; a large source warns after success
    options.compression = 3;
    fake.files[L"T\\d.dat"].setCompressionError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, ApplyNtfsCompression(nullptr, OpenFake(L"T\\d.dat"), L"S\\d.dat", 0, 10, 4096));
    EXPECT_EQ("Error 5 setting compression\n", output.errors());
    EXPECT_EQ("", output.text());
    fake.files[L"T\\e.dat"] = {};
    EXPECT_EQ(1, ApplyNtfsCompression(nullptr, OpenFake(L"T\\e.dat"), L"S\\e.dat", 0, kLargeCompressedFile + 1,
                                      kLargeCompressedFile + 1));
    EXPECT_EQ("Warning: Compressing large files may lead to ERROR_DISK_LIMITATION caused by to many NTFS chunks!\n",
              output.text());
}

TEST_F(CompressionTest, PreallocationMovesOnlyTheEndAndReturnsToTheStart) {
    fake.files[L"T\\new.bin"] = {};
    void* target = OpenFake(L"T\\new.bin");
    EXPECT_EQ(1, PreallocateTarget(target, 1000000, 8192));
    EXPECT_EQ(1000000, fake.files[L"T\\new.bin"].size);
    EXPECT_EQ(8192, fake.pointer);

    fake.log.clear();
    fake.files[L"T\\fail.bin"].endOfFileError = ERROR_DISK_FULL;
    EXPECT_EQ(0, PreallocateTarget(OpenFake(L"T\\fail.bin"), 1000000, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
    EXPECT_EQ(0, fake.pointer) << "the pointer returns also after a failure";

    fake.log.clear();
    fake.files[L"T\\packed.bin"].format = 2;
    EXPECT_EQ(1, PreallocateTarget(OpenFake(L"T\\packed.bin"), 1000000, 0));
    EXPECT_TRUE(fake.log.empty()) << "a compressed target gets no uncompressed clusters";
}

TEST_F(CompressionTest, WofServiceByVersion) {
    EXPECT_EQ(0, WofServiceRunning());
    fake.services[L"WofAdk"] = kServiceRunning;
    EXPECT_EQ(0, WofServiceRunning()) << "WofAdk is the name only on Windows 6.x";
    osVersion.major = 6;
    EXPECT_EQ(1, WofServiceRunning());
    fake.services[L"Wof"] = 1;   // stopped
    EXPECT_EQ(0, WofServiceRunning());
    osVersion.major = 10;
    fake.services[L"Wof"] = kServiceRunning;
    EXPECT_EQ(1, WofServiceRunning());

    // -lzx with the service: -c gives way
    options.wof = 1, options.wofAlgorithm = 1, options.compression = 2;
    WofServiceCheck();
    EXPECT_EQ(1, run.wofAvailable);
    EXPECT_EQ(1, options.wof);
    EXPECT_EQ(0, options.compression);
    EXPECT_EQ("", output.text());

    // without it: the message, then a plain copy
    fake.services.clear();
    options.wof = 1, options.compression = 2;
    WofServiceCheck();
    EXPECT_EQ(0, run.wofAvailable);
    EXPECT_EQ(0, options.wof);
    EXPECT_EQ(2, options.compression);
    EXPECT_EQ("Error: LZX compession requires Windows 10\n", output.text());
}

TEST_F(CompressionTest, WofAfterTheCopy) {
    fake.files[L"S\\f.txt"] = {};
    fake.files[L"T\\f.txt"].size = 10000;
    fake.files[L"T\\f.txt"].onDisk = 12288;
    fake.files[L"T\\f.txt"].onDiskAfterCompress = 4000;

    // nothing requested, no mirror: no request at all
    EXPECT_EQ(0, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_TRUE(fake.log.empty());

    options.wof = 1, options.wofAlgorithm = 1;
    EXPECT_EQ(1, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_EQ(" performing LZX compression... OK, reduced by 60 percent\n", output.text());
    ASSERT_EQ(1u, fake.wofRequests.size());
    EXPECT_EQ(1u, fake.wofRequests[0].algorithm);
    EXPECT_EQ(2u, fake.wofRequests[0].provider);

    output.Clear();
    fake.files[L"T\\f.txt"].wofError = kErrorCompressionNotBeneficial;
    EXPECT_EQ(0, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_EQ(" performing LZX compression... not compressible\n", output.text());
    output.Clear();
    fake.files[L"T\\f.txt"].wofError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_EQ(" performing LZX compression... failed: ACCESS_DENIED\n", output.text());
    output.Clear();
    options.quiet = 1;
    EXPECT_EQ(0, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_EQ("", output.text());
    options.quiet = 0;

    // mirror with -c1: a WOF-backed source passes its own algorithm on
    options.wof = 0, options.wofAlgorithm = -1, options.mirror = 1, options.compression = 1;
    fake.files[L"T\\f.txt"].wofError = 0;
    fake.files[L"S\\f.txt"] = {};
    fake.files[L"S\\f.txt"].wofAlgorithm = 2;
    fake.files[L"S\\f.txt"].size = 10000, fake.files[L"S\\f.txt"].onDisk = 4096;
    EXPECT_EQ(1, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_EQ(" performing XPRESS8K compression... OK, reduced by 60 percent\n", output.text());
    EXPECT_EQ(2u, fake.wofRequests.back().algorithm);
    // ... unless it saves nothing; an NTFS-compressed source is not asked
    output.Clear();
    size_t requests = fake.wofRequests.size();
    fake.files[L"S\\f.txt"].onDisk = 12288;
    EXPECT_EQ(0, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_EQ(" skipping XPRESS8K compression (uncompressible)", output.text());
    EXPECT_EQ(0, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 1, 10000));
    EXPECT_EQ(requests, fake.wofRequests.size());
}

TEST_F(CompressionTest, ExistingTargetsInMirrorMode) {
    options.mirror = 1, options.compression = 1;
    FakeFile source;
    source.size = 100000, source.onDisk = 40960, source.format = 2;
    FakeFile target;
    target.size = 100000, target.onDisk = 102400, target.onDiskAfterCompress = 45056;
    fake.files[L"S\\n.txt"] = source;
    fake.files[L"T\\n.txt"] = target;
    EXPECT_EQ(1, CompressExistingTarget(L"S\\n.txt", L"T\\n.txt", 1));
    EXPECT_EQ("n.txt already exists -> NTFS compressed\n", output.text());
    EXPECT_EQ(1, fake.files[L"T\\n.txt"].format);
    EXPECT_EQ(1, run.ntfsCompressedCount);
    EXPECT_EQ(102400 - 45056, run.ntfsSavedBytes);
    // a second pass finds it compressed
    output.Clear();
    EXPECT_EQ(0, CompressExistingTarget(L"S\\n.txt", L"T\\n.txt", 1));
    EXPECT_EQ(1, run.ntfsCompressedCount);
    EXPECT_EQ("", output.text());
    // -c0 never compresses
    fake.files[L"T\\n.txt"] = target;
    options.compression = 0;
    EXPECT_EQ(0, CompressExistingTarget(L"S\\n.txt", L"T\\n.txt", 1));
    EXPECT_EQ(0, fake.files[L"T\\n.txt"].format);

    // WOF: the source's algorithm; never -1 when the source is not WOF-backed
    options.compression = 1;
    run.wofAvailable = 1;
    source.format = 0, source.wofAlgorithm = 1;
    fake.files[L"S\\w.txt"] = source;
    fake.files[L"T\\w.txt"] = target;
    EXPECT_EQ(1, CompressExistingTarget(L"S\\w.txt", L"T\\w.txt", 0));
    EXPECT_EQ("w.txt already exists -> WOF compressed\n", output.text());
    EXPECT_EQ(1, fake.files[L"T\\w.txt"].wofAlgorithm);
    EXPECT_EQ(1, run.wofCompressedCount);
    EXPECT_EQ(102400 - 45056, run.wofSavedBytes);
    EXPECT_EQ(0, CompressExistingTarget(L"S\\w.txt", L"T\\w.txt", 0)) << "already WOF-backed";

    size_t requests = fake.wofRequests.size();
    source.wofAlgorithm = -1;
    fake.files[L"S\\p.txt"] = source;
    fake.files[L"T\\p.txt"] = target;
    EXPECT_EQ(0, CompressExistingTarget(L"S\\p.txt", L"T\\p.txt", 0));
    EXPECT_EQ(requests, fake.wofRequests.size());
    options.wof = 1, options.wofAlgorithm = 3, options.compression = 0;
    EXPECT_EQ(1, CompressExistingTarget(L"S\\p.txt", L"T\\p.txt", 0));
    EXPECT_EQ(3u, fake.wofRequests.back().algorithm);
    EXPECT_EQ(2, run.wofCompressedCount);
    // without the service nothing is asked
    run.wofAvailable = 0;
    fake.files[L"T\\p.txt"] = target;
    EXPECT_EQ(0, CompressExistingTarget(L"S\\p.txt", L"T\\p.txt", 0));
    EXPECT_EQ(requests + 1, fake.wofRequests.size());
}

TEST_F(CompressionTest, SizesFoldersAndOpenFailures) {
    fake.files[L"a"].size = 5000, fake.files[L"a"].onDisk = 8192;
    int64_t size = 0, onDisk = 0;
    EXPECT_EQ(1, SizesOf(L"a", nullptr, &size, &onDisk, 0));
    EXPECT_EQ(5000, size);
    EXPECT_EQ(8192, onDisk);
    fake.noInfoByHandle = true;   // the fallback by path
    size = onDisk = 0;
    EXPECT_EQ(1, SizesOf(L"a", nullptr, &size, &onDisk, 0));
    EXPECT_EQ(5000, size);
    EXPECT_EQ(8192, onDisk);
    EXPECT_EQ(0, SizesOf(L"missing", nullptr, &size, &onDisk, 0));
    EXPECT_EQ(kSizeNotMeasurable, size);
    EXPECT_EQ(kSizeNotMeasurable, LengthOfPath(L"missing", 0));
    EXPECT_EQ(0, CompressionOfPath(L"missing"));
    EXPECT_EQ(0, CompressIfUncompressed(L"missing"));
    int algorithm = 7;
    EXPECT_EQ(0, WofAlgorithmOfPath(L"a", &algorithm));
    EXPECT_EQ(7, algorithm);

    fake.files[L"src"].format = 2;
    fake.files[L"dst"] = {};
    EXPECT_EQ(1, ApplyFolderCompressionLevel(L"src", L"dst", 1));
    EXPECT_EQ(2, fake.files[L"dst"].format);
    EXPECT_EQ(1, ApplyFolderCompressionLevel(L"src", L"dst", 0));
    EXPECT_EQ(0, fake.files[L"dst"].format);
    EXPECT_EQ(1, ApplyFolderCompressionLevel(L"src", L"dst", 2));
    EXPECT_EQ(1, fake.files[L"dst"].format);
    fake.log.clear();
    EXPECT_EQ(1, ApplyFolderCompressionLevel(L"src", L"dst", 3));
    EXPECT_EQ(1, ApplyFolderCompressionLevel(L"src", L"dst", -1));
    EXPECT_TRUE(fake.log.empty());
}

// The Windows implementation on a real file: the length grows, the bytes
// read as zeros and the pointer stands at the start position.
TEST(CompressionWindows, PreallocationOfARealFile) {
    TempDir dir;
    std::wstring path = dir / L"pre.bin";
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(1, PreallocateTarget(handle, 300000, 4096));
    LARGE_INTEGER zero = {}, position = {};
    SetFilePointerEx(handle, zero, &position, FILE_CURRENT);
    EXPECT_EQ(4096, position.QuadPart);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle, "data", 4, &written, nullptr));
    int64_t size = 0, onDisk = 0;
    EXPECT_EQ(1, SizesOf(path.c_str(), handle, &size, &onDisk, 0));
    EXPECT_EQ(300000, size);
    CloseHandle(handle);
    std::string bytes;
    ASSERT_TRUE(ReadBytes(path, &bytes));
    ASSERT_EQ(300000u, bytes.size());
    EXPECT_EQ("data", bytes.substr(4096, 4));
    EXPECT_EQ(std::string(4096, '\0'), bytes.substr(0, 4096));
    EXPECT_EQ(std::string(300000 - 4100, '\0'), bytes.substr(4100));
    EXPECT_EQ(300000, LengthOfPath(path.c_str(), 0));
}

}  // namespace
