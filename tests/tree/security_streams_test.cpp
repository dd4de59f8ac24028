// Security and named streams copied, cleaned up and deleted on a volume in memory.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "block_copy.h"
#include "memory_file_system.h"
#include "options.h"
#include "run_state.h"
#include "security_streams.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

const std::wstring S = L"C:\\W\\S.TXT", T = L"C:\\W\\T.TXT";
const std::string kSecurity = "owner=S-1-5-32-544";

class SecurityStreams : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    std::string big = PatternBytes(kSmallStreamLimit + 1000, 9);

    void SetUp() override {
        ReleaseBlockBuffers();
        ResetRunState();
        options = Options();
        options.quiet = 1;
        run.writeUnit = run.transferUnit = 512;
        run.sourceCaps.streams = run.targetCaps.streams = 1;
        ASSERT_TRUE(PrepareBlockBuffers(0));
        fs.AddFile(S, "data");
        fs.File(S)->security = kSecurity;
        fs.File(S)->streams = {{L":SMALL", "small"}, {L":BIG", big}, {L":EMPTY", ""}};
        fs.AddFile(T, "data");
        fs.Install();
    }
    void TearDown() override {
        ReleaseBlockBuffers();
        ResetRunState();
        options = Options();
    }
};

// Onto a read-only target too, whose large streams are opened for writing.
TEST_F(SecurityStreams, SecurityAndEveryStreamArrive) {
    fs.SetAttributes(T.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(1, CopySecurityAndStreams(S.c_str(), T.c_str(), 1, 1));
    auto target = fs.File(T);
    EXPECT_EQ(kSecurity, target->security);
    EXPECT_TRUE(fs.File(S)->streams == target->streams);
    EXPECT_EQ(static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY), target->attributes) << "read-only is given back";
    EXPECT_EQ(0, run.failedCopies);
    EXPECT_EQ(0, fs.OpenHandles());
}

// A stream name never leads out of its file.
TEST_F(SecurityStreams, AStreamNameStaysInItsFile) {
    fs.AddFile(T, "data");
    fs.File(S)->streams[L":\\..\\..\\OTHER"] = big;
    EXPECT_EQ(0, CopySecurityAndStreams(S.c_str(), T.c_str(), 0, 1));
    EXPECT_FALSE(fs.Exists(L"C:\\OTHER"));
    EXPECT_TRUE(big == fs.Data(T + L":BIG")) << "the other streams still arrive";
}

TEST_F(SecurityStreams, MirrorRemovesOnlySurplusStreamsAgainstACompleteListing) {
    fs.File(T)->streams = {{L":SMALL", "old"}, {L":EXTRA", "x"}};
    // a source listing cut short by a failing read, or by too many streams
    fs.AddFault(Call::BackupRead, S);
    EXPECT_EQ(1, RemoveSurplusStreams(S.c_str(), T.c_str()));
    EXPECT_EQ("x", fs.Data(T + L":EXTRA"));
    fs.faults.clear();
    auto many = fs.File(S)->streams;
    for (int i = 0; i <= kMaxStreams; ++i) fs.File(S)->streams[L":N" + std::to_wstring(i)] = "";
    RemoveSurplusStreams(S.c_str(), T.c_str());
    EXPECT_EQ("x", fs.Data(T + L":EXTRA"));

    fs.File(S)->streams = many;
    EXPECT_EQ(1, RemoveSurplusStreams(S.c_str(), T.c_str()));
    EXPECT_EQ("<missing>", fs.Data(T + L":EXTRA"));
    EXPECT_EQ("old", fs.Data(T + L":SMALL"));
    EXPECT_EQ("data", fs.Data(T));
}

TEST_F(SecurityStreams, ForcedDeletionTakesOwnershipOnlyWhenNeeded) {
    fs.SetAttributes(T.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(1, ForceDeleteFile(T.c_str()));
    EXPECT_FALSE(fs.Exists(T));
    EXPECT_EQ(0, fs.counts[static_cast<int>(Call::TakeOwnership)]);
    fs.AddFault(Call::Delete, S);   // refused until its owner changes
    EXPECT_EQ(1, ForceDeleteFile(S.c_str()));
    EXPECT_FALSE(fs.Exists(S));
    EXPECT_EQ(1, fs.counts[static_cast<int>(Call::TakeOwnership)]);
}

}  // namespace
