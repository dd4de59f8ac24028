// Target compression on the in-memory volume: -c levels, the overlay filter, preallocation, refusals.
#include "compression.h"

#include <gtest/gtest.h>

#include "captured_output.h"
#include "memory_file_system.h"
#include "options.h"
#include "run_state.h"
#include "target_folders.h"

using namespace qtxtest;

namespace {

const wchar_t* const kSource = L"C:\\S\\f.txt";
const wchar_t* const kTarget = L"C:\\T\\f.txt";

class Compression : public ::testing::Test {
protected:
    void SetUp() override {
        options = Options();
        ResetRunState();
        run.targetCaps.compression = 1;
        run.targetCluster = run.largestCluster = 4096;
        fs.Install();
        fs.AddFile(kSource, PatternBytes(100000));
        fs.AddFile(kTarget, PatternBytes(100000));
    }
    void TearDown() override {
        EXPECT_EQ(held_, fs.OpenHandles()) << "every handle opened is closed";
        options = saved_;
        ResetRunState();
    }
    void* Open(const wchar_t* path) {
        ++held_;
        return fs.Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    }

    Options saved_ = options;
    MemoryFileSystem fs;
    CapturedOutput output;
    int held_ = 0;
};

}  // namespace

TEST_F(Compression, NewTargetFollowsTheLevelAndARefusalIsReported) {
    // -c2 leaves a name of a compressed format uncompressed, also in a compressing folder
    fs.AddFile(L"C:\\T\\a.jpg", std::string(5000, '\0'));   // preallocated
    fs.Format(L"C:\\T\\a.jpg") = 2;                          // inherited from its folder
    options.compression = 2;
    EXPECT_EQ(1, ApplyNtfsCompression(Open(kSource), Open(L"C:\\T\\a.jpg"), L"C:\\S\\a.jpg", 0, 5000, 8192));
    EXPECT_EQ(0, fs.Format(L"C:\\T\\a.jpg"));
    EXPECT_EQ("", fs.Data(L"C:\\T\\a.jpg")) << "the preallocation is dropped first";

    // -c1 follows a compressed source that saves
    options.compression = 1;
    fs.Format(kSource) = 2;
    EXPECT_EQ(1, ApplyNtfsCompression(Open(kSource), Open(kTarget), kSource, 1, 100000, 40960));
    EXPECT_EQ(2, fs.Format(kTarget));

    fs.Format(kTarget) = 0;
    fs.AddFault(Call::SetCompression, L"", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, ApplyNtfsCompression(Open(kSource), Open(kTarget), kSource, 1, 100000, 40960));
    EXPECT_EQ("Error ACCESS_DENIED setting compression of the copy of C:\\S\\f.txt\n", output.errors());
}

TEST_F(Compression, PreallocationKeepsThePositionAndSparesCompressedTargets) {
    fs.AddFile(L"C:\\T\\p.bin", "");
    void* handle = Open(L"C:\\T\\p.bin");
    EXPECT_EQ(1, PreallocateTarget(handle, 300000, 4096));
    EXPECT_EQ(300000u, fs.Data(L"C:\\T\\p.bin").size());
    EXPECT_EQ(4096, CurrentPosition(handle));

    fs.AddFault(Call::SetEnd, L"", ERROR_DISK_FULL);
    EXPECT_EQ(0, PreallocateTarget(handle, 600000, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
    EXPECT_EQ(0, CurrentPosition(handle)) << "back at the start after a failure too";

    // clusters allocated now would stay uncompressed
    fs.faults.clear();
    fs.Format(L"C:\\T\\p.bin") = 1;
    EXPECT_EQ(1, PreallocateTarget(handle, 900000, 0));
    EXPECT_EQ(300000u, fs.Data(L"C:\\T\\p.bin").size());
}

TEST_F(Compression, WofAfterTheCopy) {
    EXPECT_EQ(0, WofCompressAfterCopy(kSource, kTarget, 0, 100000)) << "nothing asked";
    EXPECT_EQ(-1, fs.Backing(kTarget));

    options.wof = 1, options.wofAlgorithm = 1;
    EXPECT_EQ(1, WofCompressAfterCopy(kSource, kTarget, 0, 100000));
    EXPECT_EQ(1, fs.Backing(kTarget));
    EXPECT_NE(std::string::npos, output.text().find("LZX compression... OK, reduced by 46 percent\n"));

    // mirror with -c1: an overlay-backed source passes its own algorithm on
    options.wof = 0, options.wofAlgorithm = -1, options.mirror = 1, options.compression = 1;
    fs.Backing(kSource) = 2;
    fs.Backing(kTarget) = -1;
    EXPECT_EQ(1, WofCompressAfterCopy(kSource, kTarget, 0, 100000));
    EXPECT_EQ(2, fs.Backing(kTarget));

    output.Clear();
    fs.AddFault(Call::SetBacking, L"", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, WofCompressAfterCopy(kSource, kTarget, 0, 100000));
    EXPECT_NE(std::string::npos, output.text().find(" failed: "));
}

TEST_F(Compression, ExistingTargetsInMirrorMode) {
    options.mirror = 1, options.compression = 1;
    fs.Format(kSource) = 2;
    EXPECT_EQ(1, CompressExistingTarget(kSource, kTarget, 1));
    EXPECT_NE(0, fs.Format(kTarget));
    EXPECT_EQ(102400 - 53248, run.ntfsSavedBytes);
    EXPECT_EQ(0, CompressExistingTarget(kSource, kTarget, 1)) << "already compressed";
    EXPECT_EQ(1, run.ntfsCompressedCount);

    // the overlay filter: the source's algorithm
    fs.Format(kSource) = fs.Format(kTarget) = 0;
    run.wofAvailable = 1;
    fs.Backing(kSource) = 1;
    EXPECT_EQ(1, CompressExistingTarget(kSource, kTarget, 0));
    EXPECT_EQ(1, fs.Backing(kTarget));
    EXPECT_EQ(0, CompressExistingTarget(kSource, kTarget, 0)) << "already backed";
    EXPECT_EQ(1, run.wofCompressedCount);
}

TEST_F(Compression, FolderLevels) {
    fs.Format(L"C:\\S") = 2;
    for (int level : {1, 0, 2, 3, -1}) {
        fs.Format(L"C:\\T") = 7;   // as created
        EXPECT_EQ(1, ApplyFolderCompressionLevel(L"C:\\S", L"C:\\T", level));
        EXPECT_EQ(level == 1 ? 2 : level == 0 ? 0 : level == 2 ? 1 : 7, fs.Format(L"C:\\T")) << level;
    }
    EXPECT_EQ(1, CopyFolderCompression(L"C:\\S", L"C:\\T", 1));
    EXPECT_EQ(2, fs.Format(L"C:\\T"));
}
