// Copies that meet links: a later name of a link group whose hard link fails,
// and -ds after a file link was followed.
#include <string>

#include "engine_fixture.h"
#include "link_groups.h"
#include "reparse_points.h"

using qtxtest::Call;
using qtxtest::Fault;

namespace {

class LinkCopyTest : public EngineTest {
protected:
    void TearDown() override {
        FreeHardLinkList(run.linkGroups);
        run.linkGroups = nullptr;
        EngineTest::TearDown();
    }
    uint64_t Id(const std::wstring& path) { return fs.File(path) ? fs.File(path)->id : 0; }
};

TEST_F(LinkCopyTest, LaterNameWhoseLinkFailsIsCopiedAndNoNameIsLost) {
    std::string data = qtxtest::PatternBytes(70000, 3);
    fs.AddFile(L"C:\\src\\a.bin", data);
    fs.AddLink(L"C:\\src\\b.bin", L"C:\\src\\a.bin");
    fs.AddFolder(L"C:\\dst");
    Fault noLinks;
    noLinks.call = Call::Link;
    noLinks.times = -1;
    // a new target, then a mirror over it: the name keeps its own up-to-date
    // copy while its link fails, and becomes a link once linking works
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass);
        options.mirror = options.overwriteOlder = pass > 0;
        fs.faults = {noLinks};
        if (pass == 2) fs.faults.clear();
        FreeHardLinkList(run.linkGroups);
        run.linkGroups = nullptr;
        EXPECT_EQ(Copy(L"C:\\src\\a.bin", L"C:\\dst\\a.bin"), pass == 0);
        Copy(L"C:\\src\\b.bin", L"C:\\dst\\b.bin");
        EXPECT_TRUE(fs.Data(L"C:\\dst\\a.bin") == data);
        EXPECT_TRUE(fs.Data(L"C:\\dst\\b.bin") == data);
        EXPECT_EQ(Id(L"C:\\dst\\a.bin") == Id(L"C:\\dst\\b.bin"), pass == 2);
        EXPECT_EQ(run.failedCopies, 0);
    }
    EXPECT_FALSE(fs.Exists(L"C:\\dst\\b.bin.qtx-link"));
}

// -u writes a target with other names beside it, never in place through them,
// whether it is read-only (asked before its open) or not (asked through it).
TEST_F(LinkCopyTest, UpdateLeavesATargetsOtherNamesAlone) {
    options.overwrite = options.avoidWrites = options.overwriteReadOnly = 1;
    const std::string fresh = qtxtest::PatternBytes(70000, 3), old = qtxtest::PatternBytes(70000, 4);
    fs.AddFile(L"C:\\src\\a.bin", fresh);
    for (uint32_t attributes : {0u, static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY)}) {
        std::wstring dst = attributes ? L"C:\\ro" : L"C:\\rw";
        fs.AddFile(dst + L"\\a.bin", old, 131000000000000000ull, attributes);
        fs.AddLink(dst + L"\\other.bin", dst + L"\\a.bin");
        EXPECT_TRUE(Copy(L"C:\\src\\a.bin", dst + L"\\a.bin")) << attributes;
        EXPECT_TRUE(fs.Data(dst + L"\\a.bin") == fresh && fs.Data(dst + L"\\other.bin") == old) << attributes;
    }
}

// -h over an existing target replaces it only with a finished link, and a
// read-only one only with -or.
TEST_F(LinkCopyTest, HardLinkReplacesAnExistingTargetOnlyWhenLinked) {
    fs.AddFile(L"C:\\src\\a.bin", "new");
    fs.AddFile(L"C:\\dst\\a.bin", "old", 131000000000000000ull, FILE_ATTRIBUTE_READONLY);
    options.hardlinks = options.overwrite = 1;
    auto before = fs.Snapshot();
    for (int pass = 0; pass < 2; ++pass) {   // read-only without -or, then a failed link
        options.overwriteReadOnly = pass;
        if (pass) fs.AddFault(Call::Link).times = -1;
        EXPECT_EQ(Copy(L"C:\\src\\a.bin", L"C:\\dst\\a.bin"), 0);
        EXPECT_TRUE(fs.Snapshot() == before && run.failedCopies == pass) << pass;
    }
    fs.faults.clear();
    EXPECT_EQ(Copy(L"C:\\src\\a.bin", L"C:\\dst\\a.bin"), 1);
    EXPECT_EQ(Id(L"C:\\dst\\a.bin"), Id(L"C:\\src\\a.bin"));
}

TEST_F(LinkCopyTest, DeleteSourceAfterAFollowedFileLinkRemovesTheLinkNotItsFile) {
    fs.AddFile(L"C:\\outside\\real.bin", "real");
    // the link reads as what it points to, as the system would follow it
    fs.AddFile(L"C:\\tree\\link.bin", "real");
    ReparseNames names = {};
    names.tag = kTagSymbolicLink;
    wcscpy(names.substitute, L"\\??\\C:\\outside\\real.bin");
    names.substituteLength = wcslen(names.substitute);
    wcscpy(names.print, L"C:\\outside\\real.bin");
    names.printLength = wcslen(names.print);
    std::string& reparse = fs.File(L"C:\\tree\\link.bin")->reparse;
    reparse.resize(kMaxReparseDataSize);
    reparse.resize(BuildReparseData(names, reinterpret_cast<uint8_t*>(&reparse[0]), reparse.size()));
    fs.AddFolder(L"C:\\dst");
    options.parseReparse = options.deleteSource = 1;
    EXPECT_EQ(Copy(L"C:\\tree\\link.bin", L"C:\\dst\\link.bin"), 1);
    EXPECT_EQ(fs.Data(L"C:\\dst\\link.bin"), "real");
    EXPECT_FALSE(fs.Exists(L"C:\\tree\\link.bin"));
    EXPECT_EQ(fs.Data(L"C:\\outside\\real.bin"), "real") << "what the link points to stays";
}

}  // namespace
