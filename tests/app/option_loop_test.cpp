// Command lines as split and read: quotes, paths, switches that imply others, and numbers.
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

TEST(ReadOptions, QuotesPathsAndSwitchesThatImplyOthers) {
    // a backslash before a quote is part of the path; quotes inside an argument join it
    Parsed p = Read(L"qtx /S \"C:\\my dir\\\" -o a\"b c\"d -V");
    EXPECT_EQ(p.code, -1);
    EXPECT_EQ(p.source, L"C:\\my dir\\");
    EXPECT_EQ(p.target, L"ab cd");
    EXPECT_EQ(options.recurse + options.overwrite + options.verify, 3);
    p = Read(L"qtx \"\" a\u00A0b\u3000-mir");   // an empty argument fills no path; wide blanks separate
    EXPECT_EQ(p.source + L"|" + p.target, L"a|b");
    EXPECT_EQ(options.mirror + options.recurse + options.overwriteOlder, 3);
    EXPECT_EQ(options.overwriteReadOnly, 0);
    Read(L"qtx a b -vr -ve");
    EXPECT_EQ(options.verify * 10 + options.verifyRewrite, 21);
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
        {L"qtx a b -fi:20GB", &Options::forcedSize, 20000000000LL},
        {L"qtx a b -fi:1PiB", &Options::forcedSize, 1125899906842624LL},
        {L"qtx a b -maxdel:16", &Options::maxDeletions, 16},
        {L"qtx a b -st:4kib", &Options::startPos, 4096},
    };
    for (const auto& c : sizes) {
        EXPECT_EQ(Read(c.line).code, -1) << c.line;
        EXPECT_EQ(options.*c.field, c.expected) << c.line;
    }
    // anything but a whole number in range, with a unit only where one is taken, is refused
    for (const wchar_t* value : {L"-maxdel:abc", L"-maxdel:5O", L"-maxdel:0x10", L"-maxdel:18446744073709551617",
                                 L"-maxdel:5K", L"-st:-1", L"-st:1.5KB", L"-st:abc", L"-st:", L"-fi:abc", L"-fi:1x",
                                 L"-fi:-5", L"-fi:99999999999999999999", L"-fi:9300PB", L"-r:abc", L"-r:-7",
                                 L"-t:abc", L"-t:0", L"-t:full"})
        EXPECT_EQ(Read((L"qtx a b " + std::wstring(value)).c_str()).code, kExitInvalid) << value;
    // -r:n gives n+1 attempts, within bounds
    for (auto [line, attempts] : {std::pair{L"qtx a b -r:0", 1}, {L"qtx a b -r:5", 6},
                                  {L"qtx a b -r:99999999", 1000000}}) {
        Read(line);
        EXPECT_EQ(options.retries, attempts) << line;
    }
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
