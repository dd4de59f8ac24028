// Copying links on the in-memory volume: what a link names, whether that lies
// in the source tree, re-pointing, existing targets and failures.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include "memory_file_system.h"
#include "options.h"
#include "reparse_points.h"
#include "run_state.h"

using qtxtest::Call;
using qtxtest::Fault;

namespace {

std::string LinkData(uint32_t tag, const std::wstring& substitute, const std::wstring& print, uint32_t flags = 0) {
    auto names = std::make_unique<ReparseNames>();
    names->tag = tag;
    names->flags = flags;
    wcscpy(names->substitute, substitute.c_str());
    names->substituteLength = substitute.size();
    wcscpy(names->print, print.c_str());
    names->printLength = print.size();
    std::string out(kMaxReparseDataSize, '\0');
    out.resize(BuildReparseData(*names, reinterpret_cast<uint8_t*>(&out[0]), out.size()));
    return out;
}

std::wstring SubstituteOf(const std::string& data) {
    auto names = std::make_unique<ReparseNames>();
    if (!ParseReparseData(reinterpret_cast<const uint8_t*>(data.data()), data.size(), names.get())) return L"<bad>";
    return std::wstring(names->substitute, names->substituteLength);
}

const std::string kJunction = LinkData(kTagMountPoint, L"\\??\\C:\\src\\data", L"C:\\src\\data");

class ReparseCopy : public ::testing::Test {
protected:
    qtxtest::MemoryFileSystem fs;
    Options saved_ = options;
    void SetUp() override {
        fs.Install();
        options.quiet = 1;
        run.failedCopies = 0;
        wcscpy(run.sourceRoot, L"\\\\?\\C:\\src\\");
        run.sourceRootLength = 11;
        wcscpy(run.targetRoot, L"\\\\?\\Z:\\bak\\src\\");
        run.targetRootLength = 15;
        fs.AddFolder(L"C:\\src\\data");
        fs.AddFolder(L"Z:\\bak\\src");
    }
    void TearDown() override { options = saved_; }
    void AddLink(const std::wstring& path, bool folder, const std::string& data) {
        if (folder)
            fs.AddFolder(path);
        else
            fs.AddFile(path, "");
        fs.AddReparse(path, data);
    }
    int Copy(const wchar_t* from, const wchar_t* to, bool folder = true) {
        return CopyReparsePoint((L"\\\\?\\" + std::wstring(from)).c_str(), (L"\\\\?\\" + std::wstring(to)).c_str(),
                                folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
    }
};

TEST_F(ReparseCopy, ReadsWhereLinksPointAndWhetherThatIsInTheSource) {
    AddLink(L"C:\\src\\j", true, kJunction);
    AddLink(L"C:\\src\\sub\\rel", false, LinkData(kTagSymbolicLink, L"..\\data\\f", L"..\\data\\f", kSymbolicLinkRelative));
    wchar_t out[kPathCapacity];
    ASSERT_TRUE(ReadReparseTarget(L"\\\\?\\C:\\src\\j", out, kPathCapacity));
    EXPECT_STREQ(out, L"\\\\?\\C:\\src\\data");
    ASSERT_TRUE(ReadReparseTarget(L"\\\\?\\C:\\src\\sub\\rel", out, kPathCapacity));
    EXPECT_STREQ(out, L"\\\\?\\C:\\src\\data\\f");
    EXPECT_FALSE(ReadReparseTarget(L"\\\\?\\C:\\src\\data", out, kPathCapacity));   // no link
    EXPECT_FALSE(ReadReparseTarget(L"\\\\?\\C:\\src\\j", out, 10));                  // does not fit

    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\C:\\src"));
    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\c:\\SRC\\data"));
    EXPECT_FALSE(PointsIntoSource(L"\\\\?\\C:\\src2"));
    EXPECT_FALSE(PointsIntoSource(L"\\\\?\\C:\\other\\k"));
    EnterFollowedLink(L"\\\\?\\C:\\other");   // a link the walk follows counts as part of the tree
    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\C:\\other\\k"));
    LeaveFollowedLink();
    EXPECT_FALSE(PointsIntoSource(L"\\\\?\\C:\\other\\k"));
}

TEST_F(ReparseCopy, RepointsIntoTheTargetAcrossVolumesAndCopiesAsReadOtherwise) {
    AddLink(L"C:\\src\\j", true, kJunction);
    ASSERT_TRUE(Copy(L"C:\\src\\j", L"Z:\\bak\\src\\j"));
    EXPECT_EQ(SubstituteOf(fs.Reparse(L"Z:\\bak\\src\\j")), L"\\??\\Z:\\bak\\src\\data");
    EXPECT_TRUE(fs.GetAttributes(L"Z:\\bak\\src\\j") & FILE_ATTRIBUTE_REPARSE_POINT);

    // out of the tree, relative (flags included), or on the same volume: as read
    std::string outside = LinkData(kTagSymbolicLink, L"\\??\\C:\\other\\f", L"C:\\other\\f");
    std::string relative = LinkData(kTagSymbolicLink, L"..\\src\\f", L"..\\src\\f", kSymbolicLinkRelative);
    AddLink(L"C:\\src\\out", false, outside);
    AddLink(L"C:\\src\\rel", false, relative);
    fs.File(L"C:\\src\\out")->times[2] = 33;
    ASSERT_TRUE(Copy(L"C:\\src\\out", L"Z:\\bak\\src\\out", false));
    ASSERT_TRUE(Copy(L"C:\\src\\rel", L"Z:\\bak\\src\\rel", false));
    EXPECT_EQ(fs.Reparse(L"Z:\\bak\\src\\out"), outside);
    EXPECT_EQ(fs.Reparse(L"Z:\\bak\\src\\rel"), relative);
    EXPECT_EQ(33u, fs.File(L"Z:\\bak\\src\\out")->times[2]);
    fs.AddFolder(L"C:\\bak");
    ASSERT_TRUE(Copy(L"C:\\src\\j", L"C:\\bak\\j"));
    EXPECT_EQ(fs.Reparse(L"C:\\bak\\j"), kJunction);

    // re-pointed data that would not fit: nothing written, counted
    wcscpy(run.targetRoot, (L"\\\\?\\Z:\\" + std::wstring(6000, L'd')).c_str());
    std::wstring name = L"\\??\\C:\\src\\" + std::wstring(2000, L'n');
    AddLink(L"C:\\src\\long", true, LinkData(kTagMountPoint, name, name.substr(4)));
    EXPECT_FALSE(Copy(L"C:\\src\\long", L"Z:\\bak\\src\\long"));
    EXPECT_FALSE(fs.Exists(L"Z:\\bak\\src\\long"));
    EXPECT_EQ(1, run.failedCopies);
}

TEST_F(ReparseCopy, ExistingTargetsFollowTheOverwriteRules) {
    AddLink(L"C:\\src\\j", true, kJunction);
    ASSERT_TRUE(Copy(L"C:\\src\\j", L"Z:\\bak\\src\\j"));
    // an identical link is left, and counts as not copied
    fs.ResetCounts();
    EXPECT_FALSE(Copy(L"C:\\src\\j", L"Z:\\bak\\src\\j"));
    EXPECT_EQ(0, fs.counts[static_cast<int>(Call::SetReparse)] + fs.counts[static_cast<int>(Call::RemoveFolder)]);
    fs.AddFault(Call::SetTimes, L"BAK\\SRC\\J");   // unless it cannot be given its times
    EXPECT_TRUE(!Copy(L"C:\\src\\j", L"Z:\\bak\\src\\j") && run.failedCopies == 1);
    // a different link is replaced; what it named is not entered
    fs.AddFile(L"Z:\\elsewhere\\keep", "k");
    AddLink(L"Z:\\bak\\src\\k", true, LinkData(kTagMountPoint, L"\\??\\Z:\\elsewhere", L""));
    ASSERT_TRUE(Copy(L"C:\\src\\j", L"Z:\\bak\\src\\k"));
    EXPECT_EQ(SubstituteOf(fs.Reparse(L"Z:\\bak\\src\\k")), L"\\??\\Z:\\bak\\src\\data");
    EXPECT_EQ("k", fs.Data(L"Z:\\elsewhere\\keep"));
    EXPECT_TRUE(fs.searches.empty());

    // a file where the folder link goes: -k and no -o (no console) keep it, -o replaces it
    fs.AddFile(L"Z:\\bak\\src\\f", "file");
    options.skipExisting = 1;
    EXPECT_FALSE(Copy(L"C:\\src\\j", L"Z:\\bak\\src\\f"));
    options.skipExisting = 0;
    EXPECT_FALSE(Copy(L"C:\\src\\j", L"Z:\\bak\\src\\f"));
    EXPECT_EQ("file", fs.Data(L"Z:\\bak\\src\\f"));
    options.overwrite = 1;
    EXPECT_TRUE(Copy(L"C:\\src\\j", L"Z:\\bak\\src\\f"));
    EXPECT_FALSE(fs.Reparse(L"Z:\\bak\\src\\f").empty());

    // a file link over a read-only file the caller decided to replace
    std::string symlink = LinkData(kTagSymbolicLink, L"\\??\\C:\\x", L"C:\\x");
    AddLink(L"C:\\src\\s", false, symlink);
    fs.AddFile(L"Z:\\bak\\src\\s", "old", 0, FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(Copy(L"C:\\src\\s", L"Z:\\bak\\src\\s", false));
    EXPECT_EQ(fs.Reparse(L"Z:\\bak\\src\\s"), symlink);
}

}  // namespace
