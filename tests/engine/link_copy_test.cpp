// Copies that meet links: a later name of a link group whose hard link
// fails, the security of a group, and -ds after a file link was followed.
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "link_groups.h"
#include "reparse_points.h"
#include "security_streams.h"

using namespace qtxtest;

namespace enginetest {
namespace {

// Records which targets got their security copied, and refuses to copy it.
struct SecurityCalls final : FaultyFileOps {
    std::vector<std::wstring> targets;
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) override {
        if (!(access & ACCESS_SYSTEM_SECURITY)) return FaultyFileOps::Open(path, access, share, disposition, flags);
        if (!(access & WRITE_DAC)) return FaultyFileOps::Open(path, GENERIC_READ, share, disposition, flags);
        targets.push_back(path);
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    bool Got(const std::wstring& path) const {
        for (const auto& target : targets)
            if (target == path) return true;
        return false;
    }
};

uint64_t IndexOf(const std::wstring& path) {
    FileIdentity identity = {};
    return FileIndexOf(path.c_str(), &identity) ? identity.idLow : 0;
}

TEST_F(EngineTest, LaterNameWhoseLinkFailsIsCopiedAndNoNameIsLost) {
    run.singleSource = 0;
    TempDir source, target;
    std::string data = PatternBytes(70000, 3);
    ASSERT_TRUE(WriteBytes(source / L"a.bin", data));
    ASSERT_TRUE(CreateHardLinkW((source / L"b.bin").c_str(), (source / L"a.bin").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(source / L"single.bin", "single"));
    SecurityCalls security;
    fileOps = &security;
    options.security = 1;
    security.failLinks = 1;

    // a new target: the group's copy leaves its security to the group pass, the
    // name that could not be linked is a copy of its own with its own security
    EXPECT_EQ(1, Copy(source / L"a.bin", target / L"a.bin"));
    EXPECT_EQ(1, Copy(source / L"b.bin", target / L"b.bin"));
    EXPECT_EQ(1, Copy(source / L"single.bin", target / L"single.bin"));
    EXPECT_TRUE(data == ReadBytesOr(target / L"b.bin")) << "bytes differ";
    // only the two security copies this fake refuses count, not the fallback copy
    EXPECT_EQ(2, run.failedCopies);
    run.failedCopies = 0;
    EXPECT_FALSE(security.Got(target / L"a.bin"));
    EXPECT_TRUE(security.Got(target / L"b.bin"));
    EXPECT_TRUE(security.Got(target / L"single.bin"));
    options.security = 0;
    fileOps = &faults;

    // a mirror run over it: the up-to-date name stays when its link fails,
    // and becomes a link once linking works
    for (int failing = 1; failing >= 0; --failing) {
        SCOPED_TRACE(failing);
        FreeHardLinkList(run.linkGroups);
        run.linkGroups = nullptr;
        options.mirror = options.overwriteOlder = 1;
        faults.failLinks = failing;
        Copy(source / L"a.bin", target / L"a.bin");
        Copy(source / L"b.bin", target / L"b.bin");
        EXPECT_TRUE(data == ReadBytesOr(target / L"b.bin")) << "bytes differ";
        EXPECT_EQ(failing == 0, IndexOf(target / L"a.bin") == IndexOf(target / L"b.bin"));
        EXPECT_EQ(0, run.failedCopies);
    }
    EXPECT_FALSE(Exists(target / L"b.bin.qtx-link"));
}

// A file link whose data name a file outside the source tree.
struct OneFileLink final : LinkSystem {
    std::vector<uint8_t> data;
    explicit OneFileLink(const std::wstring& pointsTo) {
        ReparseNames names = {};
        names.tag = kTagSymbolicLink;
        std::wstring substitute = L"\\??\\" + pointsTo;
        names.substituteLength = substitute.size();
        wcscpy(names.substitute, substitute.c_str());
        names.printLength = pointsTo.size();
        wcscpy(names.print, pointsTo.c_str());
        data.resize(kMaxReparseDataSize);
        data.resize(BuildReparseData(names, data.data(), data.size()));
    }
    int ReadLink(const wchar_t*, uint8_t* buffer, size_t capacity, size_t* size, uint64_t*, int*) override {
        if (data.size() > capacity) return kLinkReadFailed;
        memcpy(buffer, data.data(), data.size());
        *size = data.size();
        return kLinkRead;
    }
    int WriteLink(const wchar_t*, int, const uint8_t*, size_t, const uint64_t*) override { return 0; }
    int SetLinkTimes(const wchar_t*, const uint64_t*) override { return 0; }
    int VolumePathOf(const wchar_t*, wchar_t*, size_t) override { return 0; }
    uint32_t GetAttributes(const wchar_t*) override { return INVALID_FILE_ATTRIBUTES; }
    int SetAttributes(const wchar_t*, uint32_t) override { return 0; }
    int CreateFolder(const wchar_t*) override { return 0; }
    int RemoveFolder(const wchar_t*) override { return 0; }
    int RemoveFile(const wchar_t*) override { return 0; }
    int ResolveSubst(const wchar_t*, wchar_t*, size_t) override { return 0; }
};

TEST_F(EngineTest, DeleteSourceAfterAFollowedFileLinkRemovesTheLinkNotItsFile) {
    run.singleSource = 0;
    TempDir tree, outside, target;
    ASSERT_TRUE(WriteBytes(outside / L"real.bin", "real"));
    // stands for the link: the system would read the file it points to
    ASSERT_TRUE(WriteBytes(tree / L"link.bin", "real"));
    OneFileLink link(outside / L"real.bin");
    LinkSystem* saved = linkSystem;
    linkSystem = &link;
    options.parseReparse = 1;
    options.deleteSource = 1;
    int64_t links = 0;
    int copied = CopyOneFile((tree / L"link.bin").c_str(), FILE_ATTRIBUTE_REPARSE_POINT,
                             LastWriteTime(outside / L"real.bin"), (target / L"link.bin").c_str(), &links, 0, nullptr);
    linkSystem = saved;
    EXPECT_EQ(1, copied);
    EXPECT_EQ("real", ReadBytesOr(target / L"link.bin"));
    EXPECT_FALSE(Exists(tree / L"link.bin"));
    EXPECT_EQ("real", ReadBytesOr(outside / L"real.bin")) << "what the link points to stays";
}

}  // namespace
}  // namespace enginetest
