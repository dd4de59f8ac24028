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
    int64_t sizeWhenFormatSet = -1;
    uint32_t setCompressionError = 0;
    uint32_t endOfFileError = 0;
};

struct FakeCompressionSystem : CompressionSystem {
    std::map<std::wstring, FakeFile> files;
    std::map<std::wstring, uint32_t> services;
    std::vector<WofRequestRecord> wofRequests;
    int64_t pointer = 0;
    int openHandles = 0;
    std::vector<std::wstring> handleNames;

    FakeFile* Of(void* handle) {
        size_t index = reinterpret_cast<size_t>(handle) - 1;
        return index < handleNames.size() ? &files[handleNames[index]] : nullptr;
    }
    int Fail(uint32_t error) {
        SetLastError(error);
        return 0;
    }
    void* Open(const wchar_t* path, uint32_t, uint32_t, uint32_t) override {
        if (!files.count(path)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
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
        if (file->setCompressionError) return Fail(file->setCompressionError);
        file->format = format;
        file->sizeWhenFormatSet = file->size;
        if (format && file->onDiskAfterCompress >= 0) file->onDisk = file->onDiskAfterCompress;
        return 1;
    }
    int SetExternalBacking(void* handle, const void* record, uint32_t size) override {
        FakeFile* file = Of(handle);
        EXPECT_EQ(20u, size);
        WofRequestRecord request;
        memcpy(&request, record, sizeof request);
        wofRequests.push_back(request);
        file->wofAlgorithm = static_cast<int>(request.algorithm);
        if (file->onDiskAfterCompress >= 0) file->onDisk = file->onDiskAfterCompress;
        return 1;
    }
    int GetExternalBacking(void* handle, void* record, uint32_t size) override {
        FakeFile* file = Of(handle);
        if (!file || file->wofAlgorithm < 0) return Fail(342);   // not externally backed
        WofRequestRecord answer = WofRecordFor(file->wofAlgorithm);
        memcpy(record, &answer, size < sizeof answer ? size : sizeof answer);
        return 1;
    }
    int StandardInfo(void* handle, int64_t* size, int64_t* sizeOnDisk) override {
        *size = Of(handle)->size;
        *sizeOnDisk = Of(handle)->onDisk;
        return 1;
    }
    int64_t Length(void* handle, int) override { return Of(handle)->size; }
    int64_t CompressedFileSize(const wchar_t* path) override { return files.count(path) ? files[path].onDisk : 0; }
    int SetPointer(void*, int64_t position) override {
        pointer = position;
        return 1;
    }
    int SetEndOfFile(void* handle) override {
        FakeFile* file = Of(handle);
        if (file->endOfFileError) return Fail(file->endOfFileError);
        file->size = pointer;
        return 1;
    }
    int ServiceState(const wchar_t* name, uint32_t* state) override {
        if (!services.count(name)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        *state = services[name];
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
        options = Options();
        ResetRunState();
        run.targetCaps.compression = 1;
        run.targetCluster = run.largestCluster = 4096;
        osVersion.major = 10;
    }
    void TearDown() override {
        EXPECT_EQ(0, fake.openHandles) << "every handle opened is closed";
        compressionSystem = savedSystem_;
        options = savedOptions_;
        osVersion = savedOs_;
        ResetRunState();
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
};

TEST(CompressionRules, NamesLevelsAndSizes) {
    for (const wchar_t* name : {L"movie.MKV", L"backup.tar.gz", L"C:\\BOOTMGR", L"D:\\hiberfil.sys", L"x.7z"})
        EXPECT_TRUE(IsIncompressibleName(name)) << Narrow(name);
    for (const wchar_t* name : {L"data.zip.txt", L"movie.mkv2", L"notes.tsx", L"winload.ex", L""})
        EXPECT_FALSE(IsIncompressibleName(name)) << Narrow(name);
    EXPECT_FALSE(IsIncompressibleName(nullptr));

    // saving: more than one target cluster
    EXPECT_EQ(kSavingUndecided, CompressionSaving(0, 100000, 4096, 4096));
    EXPECT_EQ(0, CompressionSaving(1, 8192, 4096, 4096));
    EXPECT_EQ(1, CompressionSaving(1, 8193, 4096, 4096));

    const int u = kSavingUndecided;
    const struct {
        int level, saving;
        uint16_t source, target;
        int incompressible;
        uint16_t expected;
    } cases[] = {
        // no level: keep an uncompressed target; undo pointless inherited compression
        {-1, u, 0, 0, 1, 0}, {-1, 1, 2, 0, 0, 0}, {-1, u, 0, 2, 1, 0}, {-1, u, 0, 2, 0, 2},
        {-1, 0, 2, 2, 0, 0}, {-1, 1, 2, 2, 1, 0}, {-1, 1, 2, 2, 0, 2},
        {0, 1, 2, 2, 0, 0},                                        // -c0
        {1, 1, 2, 0, 1, 2}, {1, 0, 2, 2, 0, 0}, {1, u, 0, 2, 0, 0},   // -c1: the source's state, not without saving
        {2, u, 0, 0, 0, 1}, {2, u, 0, 2, 1, 0}, {2, 1, 2, 0, 1, 1}, {2, 0, 2, 2, 0, 0},   // -c2
        {3, 0, 0, 0, 1, 1},                                                             // -c3
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, NewCompressionFormat(c.level, c.saving, c.source, c.target, c.incompressible))
            << c.level << " " << c.saving << " " << c.source << " " << c.target << " " << c.incompressible;

    EXPECT_EQ(-22, ReductionPercent(10000, 12288));   // signed: a file may grow
    EXPECT_EQ(0, ReductionPercent(0, 4096));          // empty file: no division
    EXPECT_EQ(75, ReductionPercent(4000000000000000000LL, 1000000000000000000LL));
    // the source's algorithm wins; without -lzx/-xpressN only a WOF-backed source counts
    EXPECT_EQ(2, WofAlgorithmAfterCopy(1, 1, 1, 2));
    EXPECT_EQ(1, WofAlgorithmAfterCopy(1, 1, 0, -1));
    EXPECT_EQ(-1, WofAlgorithmAfterCopy(1, -1, 0, -1));
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
}

TEST_F(CompressionTest, NewTargetFollowsTheLevel) {
    fake.files[L"S\\a.jpg"] = {};
    fake.files[L"T\\a.jpg"].format = 2;   // inherited from its folder
    fake.files[L"T\\a.jpg"].size = 5000;  // preallocated
    options.compression = 2;
    fake.pointer = 0;
    EXPECT_EQ(1, ApplyNtfsCompression(OpenFake(L"S\\a.jpg"), OpenFake(L"T\\a.jpg"), L"S\\a.jpg", 0, 5000, 8192));
    EXPECT_EQ(0, fake.files[L"T\\a.jpg"].format);
    EXPECT_EQ(0, fake.files[L"T\\a.jpg"].sizeWhenFormatSet) << "the preallocation is dropped before the state changes";

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

    // a refused request is a failure, reported with its number
    options.compression = 3;
    fake.files[L"T\\d.dat"].setCompressionError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, ApplyNtfsCompression(nullptr, OpenFake(L"T\\d.dat"), L"S\\d.dat", 0, 10, 4096));
    EXPECT_EQ("Error 5 setting compression\n", output.errors());
}

TEST_F(CompressionTest, PreallocationReturnsToTheStartAndSparesCompressedTargets) {
    fake.files[L"T\\fail.bin"].endOfFileError = ERROR_DISK_FULL;
    EXPECT_EQ(0, PreallocateTarget(OpenFake(L"T\\fail.bin"), 1000000, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
    EXPECT_EQ(0, fake.pointer) << "the pointer returns also after a failure";

    fake.files[L"T\\packed.bin"].format = 2;
    EXPECT_EQ(1, PreallocateTarget(OpenFake(L"T\\packed.bin"), 1000000, 0));
    EXPECT_EQ(0, fake.files[L"T\\packed.bin"].size) << "a compressed target gets no uncompressed clusters";
}

TEST_F(CompressionTest, WofServiceDecidesTheWofSwitches) {
    fake.services[L"WofAdk"] = kServiceRunning;
    EXPECT_EQ(0, WofServiceRunning()) << "WofAdk is the name only on Windows 6.x";
    osVersion.major = 6;
    EXPECT_EQ(1, WofServiceRunning());
    fake.services[L"Wof"] = 1;   // stopped
    EXPECT_EQ(0, WofServiceRunning());
    osVersion.major = 10;
    fake.services[L"Wof"] = kServiceRunning;
    // -lzx with the service: -c gives way
    options.wof = 1, options.wofAlgorithm = 1, options.compression = 2;
    WofServiceCheck();
    EXPECT_EQ(1, run.wofAvailable);
    EXPECT_EQ(1, options.wof);
    EXPECT_EQ(0, options.compression);
    // without it a plain copy with -c as given
    fake.services.clear();
    options.compression = 2;
    WofServiceCheck();
    EXPECT_EQ(0, run.wofAvailable);
    EXPECT_EQ(0, options.wof);
    EXPECT_EQ(2, options.compression);
}

TEST_F(CompressionTest, WofAfterTheCopy) {
    fake.files[L"S\\f.txt"] = {};
    fake.files[L"T\\f.txt"].size = 10000;
    fake.files[L"T\\f.txt"].onDisk = 12288;
    fake.files[L"T\\f.txt"].onDiskAfterCompress = 4000;

    // nothing requested, no mirror: no request at all
    EXPECT_EQ(0, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_TRUE(fake.wofRequests.empty());

    options.wof = 1, options.wofAlgorithm = 1;
    EXPECT_EQ(1, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_EQ(" performing LZX compression... OK, reduced by 60 percent\n", output.text());
    ASSERT_EQ(1u, fake.wofRequests.size());
    EXPECT_EQ(1u, fake.wofRequests[0].algorithm);
    EXPECT_EQ(2u, fake.wofRequests[0].provider);

    // mirror with -c1: a WOF-backed source passes its own algorithm on
    options.wof = 0, options.wofAlgorithm = -1, options.mirror = 1, options.compression = 1;
    fake.files[L"S\\f.txt"].wofAlgorithm = 2;
    fake.files[L"S\\f.txt"].size = 10000, fake.files[L"S\\f.txt"].onDisk = 4096;
    EXPECT_EQ(1, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    EXPECT_EQ(2u, fake.wofRequests.back().algorithm);
    // ... unless it saves nothing; an NTFS-compressed source is not asked
    size_t requests = fake.wofRequests.size();
    fake.files[L"S\\f.txt"].onDisk = 12288;
    EXPECT_EQ(0, WofCompressAfterCopy(L"S\\f.txt", L"T\\f.txt", 0, 10000));
    fake.files[L"S\\f.txt"].onDisk = 4096;
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
    EXPECT_EQ(102400 - 45056, run.ntfsSavedBytes);
    EXPECT_EQ(0, CompressExistingTarget(L"S\\n.txt", L"T\\n.txt", 1)) << "already compressed";
    EXPECT_EQ(1, run.ntfsCompressedCount);

    // WOF: the source's algorithm; never -1 when the source is not WOF-backed
    options.compression = 1;
    run.wofAvailable = 1;
    source.format = 0, source.wofAlgorithm = 1;
    fake.files[L"S\\w.txt"] = source;
    fake.files[L"T\\w.txt"] = target;
    EXPECT_EQ(1, CompressExistingTarget(L"S\\w.txt", L"T\\w.txt", 0));
    EXPECT_EQ(1, fake.files[L"T\\w.txt"].wofAlgorithm);
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
}

TEST_F(CompressionTest, FolderLevels) {
    fake.files[L"src"].format = 2;
    fake.files[L"dst"] = {};
    for (int level : {1, 0, 2, 3, -1}) {
        fake.files[L"dst"].format = 7;   // as created
        EXPECT_EQ(1, ApplyFolderCompressionLevel(L"src", L"dst", level));
        EXPECT_EQ(level == 1 ? 2 : level == 0 ? 0 : level == 2 ? 1 : 7, fake.files[L"dst"].format) << level;
    }
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
}

}  // namespace
