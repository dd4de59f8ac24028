// Verification: the listing of differences, the pass after a copy and over
// existing targets, rewriting (-vr) and the immediate read-back (-vi).
#include <string>

#include "fault_injection.h"
#include "verification.h"

using namespace qtxtest;

namespace enginetest {
namespace {

constexpr int64_t kBlock = 0x10000;

class VerificationTest : public InjectionTest {
protected:
    TempDir dir;
    std::string data;
    CapturedOutput* output = nullptr;

    // A run with the given verification switches and a source of n blocks plus extra bytes.
    void Prepare(int parallel, int64_t blocks, int64_t extra = 100) {
        SetUpRun(parallel, kBlock);
        inject = InjectingFileOps();
        options.verify = 1;
        data = PatternBytes(static_cast<size_t>(blocks * kBlock + extra), 21);
        ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
        SetFileAttributesW((dir / L"dst.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW((dir / L"dst.bin").c_str());
    }
    void Rebuild() { Rebuffer(kBlock); }
    std::string CopyCaptured(int expected = 1) {
        CapturedOutput captured;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), expected);
        captured.Restore();
        lastErr = captured.err;
        return captured.out;
    }
    std::string lastErr;
};

TEST(DiffBlocksTest, CountsAndListsEachDifferingByteWithinTheLength) {
    options = Options();
    std::string a(24, 'A'), b = a;
    b[3] = 'B';
    b[12] = 'C';
    b[20] = 'D';   // beyond the length
    CapturedOutput output;
    EXPECT_EQ(DiffBlocks(reinterpret_cast<const uint8_t*>(a.data()), reinterpret_cast<const uint8_t*>(b.data()), 13,
                         0x1000),
              2u);
    EXPECT_EQ(DiffBlocks(reinterpret_cast<const uint8_t*>(a.data()), reinterpret_cast<const uint8_t*>(b.data()), 4,
                         0x100000000ull),
              1u);
    EXPECT_EQ(DiffBlocks(reinterpret_cast<const uint8_t*>(a.data()), reinterpret_cast<const uint8_t*>(b.data()), 4,
                         0x1000000000000ull),
              1u);
    output.Restore();
    EXPECT_EQ(output.out,
              "00001003: 41 42\r\n0000100C: 41 43\r\n000100000003: 41 42\r\n0001000000000003: 41 42\r\n");
}

TEST_F(VerificationTest, GoodCopyIsVerifiedAndTheSourceMayGo) {
    for (int parallel = 0; parallel <= 1; ++parallel) {
        Prepare(parallel, 3);
        options.deleteSource = 1;
        Rebuild();
        std::string out = CopyCaptured();
        EXPECT_NE(out.find(" File verified"), std::string::npos) << out;
        EXPECT_EQ(run.verifyFailures, 0);
        EXPECT_FALSE(Exists(dir / L"src.bin"));
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    }
}

TEST_F(VerificationTest, CorruptedTargetIsListedCountedOnceLoggedAndKeepsTheSource) {
    for (int parallel = 0; parallel <= 1; ++parallel) {
        Prepare(parallel, 4);
        options.deleteSource = 1;
        Rebuild();
        inject.corruptions = {{kBlock + 5, -1}, {kBlock + 6, -1}, {kBlock + 9, -1}, {3 * kBlock + 1, -1}};
        std::string out = CopyCaptured();
        EXPECT_NE(out.find("00010005: "), std::string::npos) << out;
        EXPECT_NE(out.find("00030001: "), std::string::npos);
        EXPECT_EQ(Occurrences(out, ": "), 4);
        EXPECT_EQ(Occurrences(out, " verification failed -> abort!\r\n"), 2);
        EXPECT_EQ(out.find(" File verified"), std::string::npos);
        EXPECT_EQ(run.verifyFailures, 1);
        EXPECT_EQ(Occurrences(lastErr, "verification failed: "), 1) << lastErr;
        EXPECT_TRUE(Exists(dir / L"src.bin"));
    }
}

TEST_F(VerificationTest, MoreThanHundredDifferencesEndThePass) {
    Prepare(0, 3);
    Rebuild();
    for (int i = 0; i < 101; ++i) inject.corruptions.push_back({kBlock + i, -1});
    inject.corruptions.push_back({2 * kBlock + 7, -1});
    std::string out = CopyCaptured();
    EXPECT_EQ(Occurrences(out, " verification failed -> abort!\r\n"), 1);
    EXPECT_EQ(out.find("00020007: "), std::string::npos) << out;
    EXPECT_EQ(run.verifyFailures, 1);
}

TEST_F(VerificationTest, RewriteRepairsOnceButGivesUpAfterTenRewrites) {
    for (int persistent = 0; persistent <= 1; ++persistent) {
        Prepare(1, 3);
        options.verifyRewrite = 1;
        Rebuild();
        inject.corruptions = {{kBlock + 77, persistent ? -1 : 1}};
        std::string out = CopyCaptured();
        EXPECT_EQ(run.verifyFailures, persistent);
        EXPECT_EQ(inject.WritesAt(kBlock), persistent ? 1 + 10 : 2);
        EXPECT_EQ(Occurrences(out, " verification failed -> try to rewrite..."), persistent ? 10 : 1) << out;
        if (!persistent) {
            EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
            EXPECT_NE(out.find(" File verified"), std::string::npos);
        } else {
            EXPECT_NE(out.find("\n verification failed -> abort!\r\n"), std::string::npos);
        }
    }
}

TEST_F(VerificationTest, ExistingTargetsAreComparedInSizeAndContent) {
    struct Case {
        const char* name;
        std::string target;
        int fails;
    };
    Prepare(0, 2, 300);
    std::string longer = data + "tail", shorter = data.substr(0, data.size() - 1), changed = data;
    changed[kBlock + 3] ^= 1;
    const Case cases[] = {{"same", data, 0}, {"longer", longer, 1}, {"shorter", shorter, 1}, {"changed", changed, 1}};
    for (const Case& c : cases) {
        Prepare(0, 2, 300);
        options.verify = 2;
        options.skipExisting = 1;
        Rebuild();
        ASSERT_TRUE(WriteBytes(dir / L"dst.bin", c.target));
        std::string out = CopyCaptured(0);
        EXPECT_EQ(run.verifyFailures, c.fails) << c.name << out;
        EXPECT_NE(out.find(" verifying...\r\n"), std::string::npos) << c.name;
        EXPECT_EQ(out.find(" File verified") != std::string::npos, c.fails == 0) << c.name;
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == c.target) << c.name;
    }
}

TEST_F(VerificationTest, ShortTargetReadIsADifference) {
    Prepare(0, 2);
    Rebuild();
    inject.shortTargetReads = 1;
    std::string out = CopyCaptured();
    EXPECT_NE(out.find(" target ends at 32768 instead of 65536"), std::string::npos) << out;
    EXPECT_EQ(run.verifyFailures, 1);
    Prepare(0, 0, 3000);   // a file of one block
    Rebuild();
    inject.shortTargetReads = 1;
    CopyCaptured();
    EXPECT_EQ(run.verifyFailures, 1);
}

TEST_F(VerificationTest, UnreadableTargetOrSourceIsNotVerifiedInSilence) {
    Prepare(0, 3);
    engineConsoleCheck = WithoutConsole;
    Rebuild();
    inject.targetFaults = {{kBlock, 2 * kBlock, ERROR_CRC, -1}};
    CopyCaptured();
    EXPECT_NE(lastErr.find(" aborted\r\n"), std::string::npos) << lastErr;
    EXPECT_EQ(run.aborted, 1);
    EXPECT_EQ(run.verifyFailures, 1);

    Prepare(0, 1);
    options.verify = 2;
    options.skipExisting = 1;
    Rebuild();
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", data));
    inject.refuseReadOnlyOpenOf = dir / L"src.bin";
    CopyCaptured(0);
    EXPECT_NE(lastErr.find("Cannot open source for verify '" + Narrow(dir / L"src.bin") + "'\r\nerr=SHARING_VIOLATION"),
              std::string::npos)
        << lastErr;
    EXPECT_EQ(run.verifyFailures, 1);
}

TEST_F(VerificationTest, ImmediateVerificationWritesDifferingUnitsAgain) {
    for (int persistent = 0; persistent <= 1; ++persistent) {
        Prepare(persistent, 3);
        options.verify = 0;
        options.verifyImmediate = 1;
        options.deleteSource = 1;
        Rebuild();
        inject.corruptions = {{kBlock + 700, persistent ? -1 : 1}};
        std::string out = CopyCaptured();
        EXPECT_NE(out.find("Verification error at 00010200 -> Write again... OK -> Compare again"), std::string::npos)
            << out;
        EXPECT_EQ(inject.WritesAt(kBlock + 512), persistent ? kImmediateRewrites : 1);
        EXPECT_EQ(run.verifyFailures, persistent);
        EXPECT_EQ(Exists(dir / L"src.bin"), persistent == 1);
        if (!persistent) { EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data); }
    }
}

TEST_F(VerificationTest, ImmediateVerificationWithoutItsHandleIsReported) {
    for (int fullPass = 0; fullPass <= 1; ++fullPass) {
        Prepare(0, 2);
        options.verify = fullPass;
        options.verifyImmediate = 1;
        Rebuild();
        inject.refuseReadOnlyOpenOf = dir / L"dst.bin";
        std::string out = CopyCaptured();
        EXPECT_NE(lastErr.find("Cannot open target for immediate verify"), std::string::npos) << lastErr;
        // a full pass that compared every byte settles it
        EXPECT_EQ(run.verifyFailures, fullPass ? 0 : 1);
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    }
}

}  // namespace
}  // namespace enginetest
