#include <gtest/gtest.h>

#include <string>

#include "command_line.h"
#include "heap_memory.h"
#include "options.h"
#include "run_state.h"

namespace {

struct Parsed {
    int code;
    std::wstring source, target;
};

Parsed Read(const wchar_t* line) {
    options = Options{};
    ArgumentVector arguments;
    SplitCommandLine(line, &arguments);
    static wchar_t source[kPathCapacity], target[kPathCapacity];
    source[0] = target[0] = 0;
    Parsed parsed{ReadOptions(&arguments, source, target), source, target};
    FreeMemory(arguments.buffer);
    return parsed;
}

TEST(ReadOptions, PathsAndSwitchesThatImplyOthers) {
    Parsed p = Read(L"qtx /S C:\\a -o D:\\b -V");
    EXPECT_EQ(p.code, -1);
    EXPECT_EQ(p.source, L"C:\\a");
    EXPECT_EQ(p.target, L"D:\\b");
    EXPECT_EQ(options.recurse + options.overwrite + options.verify, 3);
    Read(L"qtx a b -mir");
    EXPECT_EQ(options.mirror + options.recurse + options.overwriteOlder, 3);
    EXPECT_EQ(options.overwriteReadOnly, 0);
    Read(L"qtx a b -vr -ve");
    EXPECT_EQ(options.verify, 2);
    EXPECT_EQ(options.verifyRewrite, 1);
    // colon in third place but neither -fi: nor -st:, and ten characters: paths
    p = Read(L"qtx -x:abc -verylong1");
    EXPECT_EQ(p.source, L"-x:abc");
    EXPECT_EQ(p.target, L"-verylong1");
    EXPECT_EQ(Read(L"qtx a -c4").target, L"-c4");
    p = Read(L"qtx \"\" b");
    EXPECT_EQ(p.code, -1);
    EXPECT_EQ(p.source, L"b");
    for (const wchar_t* bad : {L"qtx a b \"\"", L"qtx a b -c4", L"qtx a b -xpress2"})
        EXPECT_EQ(Read(bad).code, kExitInvalid) << bad;
}

TEST(ReadOptions, NumbersAreRoundedAndBounded) {
    const struct {
        const wchar_t* line;
        int64_t Options::*field;
        int64_t expected;
    } sizes[] = {
        {L"qtx a b -T:F", &Options::testSize, 0x7FFFFFFFFFFFF000LL},
        {L"qtx a b -t:100", &Options::testSize, 8192},   // at least two 4 KiB units
        {L"qtx a b -t:1M", &Options::testSize, 999424},
        {L"qtx a b -st:20GiB", &Options::startPos, 21474836480LL},
        {L"qtx a b -st:5000", &Options::startPos, 4096},
        {L"qtx a b -fi:4KiB", &Options::forcedSize, 4096},
    };
    for (const auto& c : sizes) {
        Read(c.line);
        EXPECT_EQ(options.*c.field, c.expected) << c.line;
    }
    // -r:n gives n+1 attempts, within bounds
    for (auto [line, attempts] : {std::pair{L"qtx a b -r:0", 1}, {L"qtx a b -r:5", 6},
                                  {L"qtx a b -r:99999999", 1000000}, {L"qtx a b -r:-7", 1}}) {
        Read(line);
        EXPECT_EQ(options.retries, attempts) << line;
    }
    EXPECT_EQ(Read(L"qtx a b -MAXDEL:12345 -Dry").code, -1);
    EXPECT_EQ(options.maxDeletions, 12345);
    EXPECT_EQ(options.dryRun, 1);
}

TEST(ReadOptions, ExcludeMasksAreUnquotedAndBounded) {
    Read(L"qtx a b -e:*.tmp -e:\"my file\"");
    EXPECT_STREQ(options.excludeMasks[1], L"my file");
    EXPECT_EQ(options.excludeMasks[2], nullptr);
    for (int i = 2; i < kMaxExcludeMasks; ++i) EXPECT_EQ(AddExcludeMask(L"x"), 1);
    EXPECT_EQ(AddExcludeMask(L"101st"), 0);
    for (wchar_t*& mask : options.excludeMasks) {
        FreeMemory(mask);
        mask = nullptr;
    }
}

}  // namespace
