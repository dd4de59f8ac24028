// A mirror walk with -ds through the real copy engine, stopped in the middle
// of a file: every target is old or complete, and no data is lost.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "../engine/engine_fixture.h"
#include "directory_walk.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

class MirrorStop : public enginetest::EngineTest {};

TEST_F(MirrorStop, StopInTheMiddleLeavesEachTargetOldOrCompleteAndKeepsUncopiedSources) {
    TempDir source, target;
    const uint64_t old = 131000000000000000ull, newer = old + 864000000000ull;
    const std::vector<std::wstring> names = {L"a.bin", L"b.bin", L"c.bin", L"d.bin"};
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(WriteBytes(source / names[i], PatternBytes(20000, 10 + static_cast<uint32_t>(i))));
        ASSERT_TRUE(SetLastWriteTime(source / names[i], newer));
        ASSERT_TRUE(WriteBytes(target / names[i], PatternBytes(9000, 20 + static_cast<uint32_t>(i))));
        ASSERT_TRUE(SetLastWriteTime(target / names[i], old));
    }
    ASSERT_TRUE(WriteBytes(target / L"surplus.bin", "surplus"));

    SetUpRun(0, 4096);   // five writes a file
    run.singleSource = 0;
    options.mirror = options.recurse = options.overwriteOlder = 1;
    options.deleteSource = 1;
    options.quiet = 1;
    std::wstring root = L"\\\\?\\" + source.path() + L"\\";
    lstrcpynW(run.sourceRoot, root.c_str(), kPathCapacity);
    run.sourceRootLength = static_cast<int>(root.size());
    faults.stopAtWrite = 7;   // inside the second file
    std::vector<wchar_t> from(kPathCapacity, 0), to(kPathCapacity, 0);
    lstrcpynW(from.data(), root.c_str(), kPathCapacity);
    lstrcpynW(to.data(), (L"\\\\?\\" + target.path()).c_str(), kPathCapacity);
    int64_t links = 0;
    WalkFolder(from.data(), L"*", to.data(), &links, 0);

    EXPECT_FALSE(Exists(target / L"surplus.bin"));
    int complete = 0, untouched = 0, missing = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(Narrow(names[i]));
        std::string now = ReadBytesOr(target / names[i]);
        std::string fresh = PatternBytes(20000, 10 + static_cast<uint32_t>(i));
        bool sourceKept = Exists(source / names[i]);
        if (now == fresh) {
            ++complete;
            EXPECT_FALSE(sourceKept) << "a complete copy lets its source go";
        } else if (now == PatternBytes(9000, 20 + static_cast<uint32_t>(i))) {
            ++untouched;
            EXPECT_EQ(old, LastWriteTime(target / names[i]));
            EXPECT_TRUE(sourceKept);
        } else {
            // the broken copy is removed; the source still holds the data
            EXPECT_EQ("<missing>", now) << "half-written target";
            EXPECT_EQ(fresh, ReadBytesOr(source / names[i]));
            ++missing;
        }
    }
    // the file being overwritten when the stop came is finished, the rest untouched
    EXPECT_EQ(2, complete);
    EXPECT_EQ(0, missing);
    EXPECT_EQ(2, untouched);
}

}  // namespace
