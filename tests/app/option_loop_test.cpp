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

TEST(ReadOptions, PathsAndFlags) {
    Parsed p = Read(L"qtx /S C:\\a -o D:\\b -V");
    EXPECT_EQ(p.code, -1);
    EXPECT_EQ(p.source, L"C:\\a");
    EXPECT_EQ(p.target, L"D:\\b");
    EXPECT_EQ(options.recurse, 1);
    EXPECT_EQ(options.overwrite, 1);
    EXPECT_EQ(options.verify, 1);
    p = Read(L"qtx /data x");
    EXPECT_EQ(p.source, L"-data");   // a leading slash becomes a dash, also in a path
    Read(L"qtx a b -mir");
    EXPECT_EQ(options.mirror + options.recurse + options.overwriteOlder, 3);
    EXPECT_EQ(options.overwriteReadOnly, 0);
    Read(L"qtx a b -vr -v");
    EXPECT_EQ(options.verify, 1);
    EXPECT_EQ(options.verifyRewrite, 1);
    Read(L"qtx a b -vr -ve");
    EXPECT_EQ(options.verify, 2);
    EXPECT_EQ(options.verifyRewrite, 1);
    Read(L"qtx a b -a -d -1 -l -u -sz -sp -nl -nlo -n -h -p -k -or -ds -sw -sr -f -q -vi");
    for (int flag : {options.security, options.streams, options.oneLine, options.avoidWrites, options.skipZeros,
                     options.sparse, options.noLog, options.noLogOpen, options.noWait, options.hardlinks,
                     options.parseReparse, options.skipExisting, options.overwriteReadOnly, options.deleteSource,
                     options.shareWrite, options.shareRead, options.flushTarget, options.quiet, options.verifyImmediate})
        EXPECT_EQ(flag, 1);
}

TEST(ReadOptions, Numbers) {
    Read(L"qtx a b -t:f");
    EXPECT_EQ(options.testSize, 0x7FFFFFFFFFFFF000LL);
    Read(L"qtx a b -T:F");
    EXPECT_EQ(options.testSize, 0x7FFFFFFFFFFFF000LL);
    Read(L"qtx a b -t:100");
    EXPECT_EQ(options.testSize, 8192);
    Read(L"qtx a b -t:1M");
    EXPECT_EQ(options.testSize, 999424);
    Read(L"qtx a b -t:1MiB");
    EXPECT_EQ(options.testSize, 1048576);
    Read(L"qtx a b -st:20GiB");
    EXPECT_EQ(options.startPos, 21474836480LL);
    Read(L"qtx a b -st:5000");
    EXPECT_EQ(options.startPos, 4096);
    Read(L"qtx a b -r:0");
    EXPECT_EQ(options.retries, 1);
    Read(L"qtx a b -r:5");
    EXPECT_EQ(options.retries, 6);
    Read(L"qtx a b -r:99999999");
    EXPECT_EQ(options.retries, 1000000);
    Read(L"qtx a b -r:-7");
    EXPECT_EQ(options.retries, 1);
    Read(L"qtx a b -fi:4KiB");
    EXPECT_EQ(options.forcedSize, 4096);
    // longer than any plain switch, and its colon is in neither third nor fourth place
    EXPECT_EQ(Read(L"qtx a b -MAXDEL:12345 -Dry").code, -1);
    EXPECT_EQ(options.maxDeletions, 12345);
    EXPECT_EQ(options.dryRun, 1);
}

TEST(ReadOptions, CompressionSwitches) {
    Read(L"qtx a b -c2");
    EXPECT_EQ(options.compression, 2);
    Read(L"qtx a b -xpress16");
    EXPECT_EQ(options.wof, 1);
    EXPECT_EQ(options.wofAlgorithm, 3);
    Read(L"qtx a b -xpress8");
    EXPECT_EQ(options.wofAlgorithm, 2);
    Read(L"qtx a b -xpress4");
    EXPECT_EQ(options.wofAlgorithm, 0);
    Read(L"qtx a b -LZX");
    EXPECT_EQ(options.wofAlgorithm, 1);
    // not switches: with both paths present they are invalid parameters
    EXPECT_EQ(Read(L"qtx a b -c4").code, kExitInvalid);
    EXPECT_EQ(Read(L"qtx a b -c10").code, kExitInvalid);
    EXPECT_EQ(Read(L"qtx a b -xpress2").code, kExitInvalid);
    EXPECT_EQ(Read(L"qtx a -c4").target, L"-c4");
}

TEST(ReadOptions, PathsThatLookLikeSwitches) {
    Parsed p = Read(L"qtx -x:abc -verylong1");
    EXPECT_EQ(p.source, L"-x:abc");        // colon in third place, neither -fi: nor -st:
    EXPECT_EQ(p.target, L"-verylong1");    // ten characters: always a path
    EXPECT_EQ(Read(L"qtx a b c").code, kExitInvalid);
    EXPECT_EQ(Read(L"qtx a b \"\"").code, kExitInvalid);
    p = Read(L"qtx \"\" b");
    EXPECT_EQ(p.code, -1);
    EXPECT_EQ(p.source, L"b");
}

TEST(ReadOptions, ScanNeedsMirrorFirst) {
    EXPECT_EQ(Read(L"qtx a b -scan -mir").code, kExitInvalid);
    EXPECT_EQ(Read(L"qtx a b -mir -scan").code, -1);
    EXPECT_EQ(options.scan, 1);
}

TEST(ReadOptions, ExcludeMasks) {
    Read(L"qtx a b -e:*.tmp -e:\"my file\"");
    ASSERT_NE(options.excludeMasks[0], nullptr);
    EXPECT_STREQ(options.excludeMasks[0], L"*.tmp");
    ASSERT_NE(options.excludeMasks[1], nullptr);
    EXPECT_STREQ(options.excludeMasks[1], L"my file");
    EXPECT_EQ(options.excludeMasks[2], nullptr);
    EXPECT_EQ(AddExcludeMask(L"\"quoted mask\""), 1);
    EXPECT_STREQ(options.excludeMasks[2], L"quoted mask");
    for (int i = 3; i < kMaxExcludeMasks; ++i) EXPECT_EQ(AddExcludeMask(L"x"), 1);
    EXPECT_EQ(AddExcludeMask(L"101st"), 0);
    for (wchar_t*& mask : options.excludeMasks) {
        FreeMemory(mask);
        mask = nullptr;
    }
}

}  // namespace
