// Copying links at the decision level, with a fake of the link system calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "reparse_points.h"
#include "run_state.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Node {
    uint32_t attributes;
    Bytes data;   // reparse data, empty for plain files and folders
    uint64_t times[3];
};

// Paths are keyed upper-cased; the volume is the drive letter.
class FakeLinks final : public LinkSystem {
public:
    std::map<std::wstring, Node> nodes;
    std::map<std::wstring, std::wstring> substs;   // "S:" -> "\\?\C:\src"
    std::vector<std::wstring> removedFolders, deletedFiles, written;
    int failWrite = 0;

    static std::wstring Key(const wchar_t* path) {
        std::wstring key(path);
        for (auto& c : key) c = towupper(c);
        if (key.size() > 7 && key.back() == L'\\') key.pop_back();
        return key;
    }
    Node* Find(const wchar_t* path) {
        auto it = nodes.find(Key(path));
        return it == nodes.end() ? nullptr : &it->second;
    }
    int ReadLink(const wchar_t* path, uint8_t* buffer, size_t capacity, size_t* size, uint64_t* times,
                 int* timesRead) override {
        Node* node = Find(path);
        if (!node) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return kLinkOpenFailed;
        }
        if (times) {
            memcpy(times, node->times, sizeof node->times);
            *timesRead = 1;
        }
        if (node->data.empty() || node->data.size() > capacity) {
            SetLastError(ERROR_NOT_A_REPARSE_POINT);
            return kLinkReadFailed;
        }
        memcpy(buffer, node->data.data(), node->data.size());
        *size = node->data.size();
        return kLinkRead;
    }
    int WriteLink(const wchar_t* path, int folder, const uint8_t* data, size_t size, const uint64_t* times) override {
        Node* node = Find(path);
        if (folder && !node) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        if (failWrite) {
            SetLastError(ERROR_DIR_NOT_EMPTY);
            return 0;
        }
        Node& n = nodes[Key(path)];
        n.attributes = (folder ? FILE_ATTRIBUTE_DIRECTORY : 0) | FILE_ATTRIBUTE_REPARSE_POINT;
        n.data.assign(data, data + size);
        if (times) memcpy(n.times, times, sizeof n.times);
        written.push_back(Key(path));
        return 1;
    }
    int SetLinkTimes(const wchar_t* path, const uint64_t* times) override {
        Node* node = Find(path);
        if (node) memcpy(node->times, times, sizeof node->times);
        return node != nullptr;
    }
    int VolumePathOf(const wchar_t* path, wchar_t* out, size_t capacity) override {
        std::wstring key = Key(path);
        wcsncpy(out, key.substr(0, 7).c_str(), capacity);
        return 1;
    }
    uint32_t GetAttributes(const wchar_t* path) override {
        Node* node = Find(path);
        return node ? node->attributes : INVALID_FILE_ATTRIBUTES;
    }
    int SetAttributes(const wchar_t* path, uint32_t attributes) override {
        Node* node = Find(path);
        if (node) node->attributes = attributes;
        return node != nullptr;
    }
    int CreateFolder(const wchar_t* path) override {
        if (Find(path)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return 0;
        }
        nodes[Key(path)] = Node{FILE_ATTRIBUTE_DIRECTORY, {}, {}};
        return 1;
    }
    int RemoveFolder(const wchar_t* path) override {
        removedFolders.push_back(Key(path));
        return nodes.erase(Key(path)) ? 1 : 0;
    }
    int RemoveFile(const wchar_t* path) override {
        Node* node = Find(path);
        if (!node || (node->attributes & FILE_ATTRIBUTE_READONLY)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
        deletedFiles.push_back(Key(path));
        nodes.erase(Key(path));
        return 1;
    }
    int ResolveSubst(const wchar_t* in, wchar_t* out, size_t capacity) override {
        std::wstring text(in);
        size_t at = text.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
        auto it = substs.find(Key(text.substr(at, 2).c_str()));
        if (it == substs.end()) return 0;
        std::wstring resolved = it->second + text.substr(at + 2);
        wcsncpy(out, resolved.c_str(), capacity);
        return 1;
    }
};

Bytes LinkData(uint32_t tag, const std::wstring& substitute, const std::wstring& print, uint32_t flags = 0) {
    auto names = std::make_unique<ReparseNames>();
    names->tag = tag;
    names->flags = flags;
    wcscpy(names->substitute, substitute.c_str());
    names->substituteLength = substitute.size();
    wcscpy(names->print, print.c_str());
    names->printLength = print.size();
    Bytes out(kMaxReparseDataSize);
    out.resize(BuildReparseData(*names, out.data(), out.size()));
    return out;
}

std::unique_ptr<ReparseNames> NamesOf(const Bytes& data) {
    auto names = std::make_unique<ReparseNames>();
    EXPECT_TRUE(ParseReparseData(data.data(), data.size(), names.get()));
    return names;
}

class ReparseCopy : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = options;
        previous_ = linkSystem;
        linkSystem = &fake;
        options.quiet = 1;
        wcscpy(run.sourceRoot, L"\\\\?\\C:\\src\\");
        run.sourceRootLength = 11;
        wcscpy(run.targetRoot, L"\\\\?\\D:\\bak\\src\\");
        run.targetRootLength = 15;
        fake.nodes[FakeLinks::Key(L"\\\\?\\C:\\src")] = Node{FILE_ATTRIBUTE_DIRECTORY, {}, {}};
        fake.nodes[FakeLinks::Key(L"\\\\?\\D:\\bak\\src")] = Node{FILE_ATTRIBUTE_DIRECTORY, {}, {}};
    }
    void TearDown() override {
        linkSystem = previous_;
        options = saved_;
    }
    void AddLink(const wchar_t* path, bool folder, const Bytes& data) {
        fake.nodes[FakeLinks::Key(path)] =
            Node{(folder ? FILE_ATTRIBUTE_DIRECTORY : 0u) | FILE_ATTRIBUTE_REPARSE_POINT, data, {11, 22, 33}};
    }
    Bytes TargetData(const wchar_t* path) {
        Node* node = fake.Find(path);
        return node ? node->data : Bytes();
    }
    FakeLinks fake;

private:
    Options saved_;
    LinkSystem* previous_;
};

TEST_F(ReparseCopy, ReadsTargetsInLongFormAndResolvesRelativeLinks) {
    AddLink(L"\\\\?\\C:\\src\\j", true, LinkData(kTagMountPoint, L"\\??\\C:\\src\\data", L"C:\\src\\data"));
    AddLink(L"\\\\?\\C:\\src\\sub\\rel", false,
            LinkData(kTagSymbolicLink, L"..\\data\\f", L"..\\data\\f", kSymbolicLinkRelative));
    fake.nodes[FakeLinks::Key(L"\\\\?\\C:\\src\\plain")] = Node{0, {}, {}};
    wchar_t out[kPathCapacity];
    ASSERT_TRUE(ReadReparseTarget(L"\\\\?\\C:\\src\\j", out, kPathCapacity));
    EXPECT_STREQ(out, L"\\\\?\\C:\\src\\data");
    ASSERT_TRUE(ReadReparseTarget(L"\\\\?\\C:\\src\\sub\\rel", out, kPathCapacity));
    EXPECT_STREQ(out, L"\\\\?\\C:\\src\\data\\f");
    EXPECT_FALSE(ReadReparseTarget(L"\\\\?\\C:\\src\\plain", out, kPathCapacity));
    EXPECT_STREQ(out, L"");
    EXPECT_FALSE(ReadReparseTarget(L"\\\\?\\C:\\src\\j", out, 10));   // does not fit
}

TEST_F(ReparseCopy, OneTestDecidesWhetherALinkPointsIntoTheSource) {
    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\C:\\src"));        // the root, without its backslash
    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\c:\\SRC\\data"));
    EXPECT_FALSE(PointsIntoSource(L"\\\\?\\C:\\src2"));
    EXPECT_FALSE(PointsIntoSource(L"\\\\?\\C:\\"));
    EXPECT_FALSE(PointsIntoSource(L""));
    wcscpy(run.sourceRoot, L"\\\\?\\C:\\src");             // root given without the backslash
    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\C:\\src\\x"));
    fake.substs[L"S:"] = L"\\\\?\\C:\\src";
    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\S:\\x"));          // substituted drive
    wcscpy(run.sourceRoot, L"\\\\?\\S:\\");                 // and the root on one
    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\C:\\SRC\\y"));
    // a link the walk follows counts as part of the tree
    EXPECT_FALSE(PointsIntoSource(L"\\\\?\\C:\\other\\k"));
    EnterFollowedLink(L"\\\\?\\C:\\other");
    EXPECT_TRUE(PointsIntoSource(L"\\\\?\\C:\\other\\k"));
    LeaveFollowedLink();
    EXPECT_FALSE(PointsIntoSource(L"\\\\?\\C:\\other\\k"));
}

TEST_F(ReparseCopy, RepointsAcrossVolumesAndCopiesAsReadOtherwise) {
    // a junction to a folder in the source, and one to the source root itself
    AddLink(L"\\\\?\\C:\\src\\j", true, LinkData(kTagMountPoint, L"\\??\\C:\\src\\data", L"C:\\src\\data"));
    AddLink(L"\\\\?\\C:\\src\\up", true, LinkData(kTagMountPoint, L"\\??\\C:\\src", L"C:\\src"));
    ASSERT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\j", FILE_ATTRIBUTE_DIRECTORY));
    auto names = NamesOf(TargetData(L"\\\\?\\D:\\bak\\src\\j"));
    EXPECT_EQ(std::wstring(names->substitute), L"\\??\\D:\\bak\\src\\data");
    EXPECT_EQ(std::wstring(names->print), L"D:\\bak\\src\\data");
    EXPECT_EQ(fake.Find(L"\\\\?\\D:\\bak\\src\\j")->times[2], 33u);
    ASSERT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\up", L"\\\\?\\D:\\bak\\src\\up", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(std::wstring(NamesOf(TargetData(L"\\\\?\\D:\\bak\\src\\up"))->substitute), L"\\??\\D:\\bak\\src");

    // a symbolic link out of the tree and a relative one keep their data, flags included
    Bytes outside = LinkData(kTagSymbolicLink, L"\\??\\C:\\other\\f", L"C:\\other\\f");
    Bytes relative = LinkData(kTagSymbolicLink, L"..\\src\\f", L"..\\src\\f", kSymbolicLinkRelative);
    AddLink(L"\\\\?\\C:\\src\\out", false, outside);
    AddLink(L"\\\\?\\C:\\src\\rel", false, relative);
    ASSERT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\out", L"\\\\?\\D:\\bak\\src\\out", 0));
    ASSERT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\rel", L"\\\\?\\D:\\bak\\src\\rel", 0));
    EXPECT_EQ(TargetData(L"\\\\?\\D:\\bak\\src\\out"), outside);
    EXPECT_EQ(TargetData(L"\\\\?\\D:\\bak\\src\\rel"), relative);

    // the same volume: written as read
    fake.nodes[FakeLinks::Key(L"\\\\?\\C:\\bak")] = Node{FILE_ATTRIBUTE_DIRECTORY, {}, {}};
    ASSERT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\C:\\bak\\j", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(TargetData(L"\\\\?\\C:\\bak\\j"), TargetData(L"\\\\?\\C:\\src\\j"));
}

TEST_F(ReparseCopy, RepointedDataTooLongFailsCleanly) {
    std::wstring deep = L"\\\\?\\D:\\" + std::wstring(6000, L'd');
    wcscpy(run.targetRoot, deep.c_str());
    std::wstring name = L"\\??\\C:\\src\\" + std::wstring(2000, L'n');
    AddLink(L"\\\\?\\C:\\src\\j", true, LinkData(kTagMountPoint, name, name.substr(4)));
    EXPECT_FALSE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\j", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(fake.written.empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // longer than the original but within the limit: written whole
    wcscpy(run.targetRoot, (L"\\\\?\\D:\\" + std::wstring(1000, L'd')).c_str());
    ASSERT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\j", FILE_ATTRIBUTE_DIRECTORY));
    auto names = NamesOf(TargetData(L"\\\\?\\D:\\bak\\src\\j"));
    EXPECT_EQ(names->substituteLength, 4 + 3 + 1000 + 1 + 2000u);
}

TEST_F(ReparseCopy, ExistingTargetsFollowTheOverwriteRules) {
    AddLink(L"\\\\?\\C:\\src\\j", true, LinkData(kTagMountPoint, L"\\??\\C:\\src\\data", L"C:\\src\\data"));
    ASSERT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\j", FILE_ATTRIBUTE_DIRECTORY));
    fake.written.clear();
    // an identical junction is left alone (times only), and counts as not copied
    EXPECT_FALSE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\j", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(fake.written.empty());
    EXPECT_TRUE(fake.removedFolders.empty());
    // a different junction is replaced: the link is removed, not what it points to
    fake.nodes[FakeLinks::Key(L"\\\\?\\D:\\elsewhere")] = Node{FILE_ATTRIBUTE_DIRECTORY, {}, {}};
    fake.nodes[FakeLinks::Key(L"\\\\?\\D:\\elsewhere\\keep")] = Node{0, {}, {}};
    fake.Find(L"\\\\?\\D:\\bak\\src\\j")->data = LinkData(kTagMountPoint, L"\\??\\D:\\elsewhere", L"");
    EXPECT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\j", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(fake.removedFolders.size(), 1u);
    EXPECT_NE(fake.Find(L"\\\\?\\D:\\elsewhere\\keep"), nullptr);
    EXPECT_EQ(fake.removedFolders[0], FakeLinks::Key(L"\\\\?\\D:\\bak\\src\\j"));

    // a file where the folder link goes: -k keeps it, no -o keeps it (no console), -o replaces it
    fake.nodes[FakeLinks::Key(L"\\\\?\\D:\\bak\\src\\f")] = Node{FILE_ATTRIBUTE_ARCHIVE, {}, {}};
    options.skipExisting = 1;
    EXPECT_FALSE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\f", FILE_ATTRIBUTE_DIRECTORY));
    options.skipExisting = 0;
    EXPECT_FALSE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\f", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(fake.deletedFiles.empty());
    EXPECT_EQ(fake.Find(L"\\\\?\\D:\\bak\\src\\f")->attributes, static_cast<uint32_t>(FILE_ATTRIBUTE_ARCHIVE));
    options.overwrite = 1;
    EXPECT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\f", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(fake.deletedFiles.size(), 1u);

    // a file link over an existing read-only file (the caller decided to replace it)
    AddLink(L"\\\\?\\C:\\src\\s", false, LinkData(kTagSymbolicLink, L"\\??\\C:\\x", L"C:\\x"));
    fake.nodes[FakeLinks::Key(L"\\\\?\\D:\\bak\\src\\s")] = Node{FILE_ATTRIBUTE_READONLY, {}, {}};
    EXPECT_TRUE(CopyReparsePoint(L"\\\\?\\C:\\src\\s", L"\\\\?\\D:\\bak\\src\\s", 0));
    EXPECT_EQ(TargetData(L"\\\\?\\D:\\bak\\src\\s"), TargetData(L"\\\\?\\C:\\src\\s"));
}

TEST_F(ReparseCopy, UnreadableSourcesAndFailedWritesReturnZero) {
    run.failedCopies = 0;
    EXPECT_FALSE(CopyReparsePoint(L"\\\\?\\C:\\src\\missing", L"\\\\?\\D:\\bak\\src\\m", 0));
    fake.nodes[FakeLinks::Key(L"\\\\?\\C:\\src\\plain")] = Node{FILE_ATTRIBUTE_REPARSE_POINT, {}, {}};
    EXPECT_FALSE(CopyReparsePoint(L"\\\\?\\C:\\src\\plain", L"\\\\?\\D:\\bak\\src\\p", 0));
    EXPECT_EQ(fake.Find(L"\\\\?\\D:\\bak\\src\\p"), nullptr);
    AddLink(L"\\\\?\\C:\\src\\j", true, LinkData(kTagMountPoint, L"\\??\\C:\\src\\data", L""));
    fake.failWrite = 1;
    EXPECT_FALSE(CopyReparsePoint(L"\\\\?\\C:\\src\\j", L"\\\\?\\D:\\bak\\src\\j", FILE_ATTRIBUTE_DIRECTORY));
    // the folder made for it stays
    ASSERT_NE(fake.Find(L"\\\\?\\D:\\bak\\src\\j"), nullptr);
    EXPECT_EQ(run.failedCopies, 2) << "the missing source and the failed write";
}

}  // namespace
