// Backup stream headers byte by byte, and the copy of security and streams
// against a fake of the backup stream calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "options.h"
#include "run_state.h"
#include "security_streams.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back((v >> (8 * i)) & 0xFF);
}

// One WIN32_STREAM_ID with its name, followed by its content.
struct Stream {
    Bytes head;   // 20 bytes and the name
    Bytes content;
};

Stream MakeStream(uint32_t id, const std::wstring& name, Bytes content, uint64_t claimedSize = ~0ull) {
    Stream s;
    uint64_t size = claimedSize == ~0ull ? content.size() : claimedSize;
    Put32(&s.head, id);
    Put32(&s.head, 0);
    Put32(&s.head, static_cast<uint32_t>(size));
    Put32(&s.head, static_cast<uint32_t>(size >> 32));
    Put32(&s.head, static_cast<uint32_t>(name.size() * 2));
    for (wchar_t c : name) {
        s.head.push_back(c & 0xFF);
        s.head.push_back(c >> 8);
    }
    s.content = std::move(content);
    return s;
}

// A self-relative security descriptor: revision 1, control SE_SELF_RELATIVE |
// SE_DACL_PRESENT, owner S-1-5-32-544 at 20, no group, SACL or DACL data.
Bytes SecurityBlock() {
    Bytes b = {1, 0, 0x04, 0x80};
    Put32(&b, 20);   // owner
    Put32(&b, 0);    // group
    Put32(&b, 0);    // sacl
    Put32(&b, 0);    // dacl
    Bytes sid = {1, 2, 0, 0, 0, 0, 0, 5};
    b.insert(b.end(), sid.begin(), sid.end());
    Put32(&b, 32);
    Put32(&b, 544);
    return b;
}

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

struct Open {
    std::wstring path;
    bool target;
    size_t stream = 0, offset = 0;   // read position
};

class FakeStreams final : public StreamSystem {
public:
    std::map<std::wstring, std::vector<Stream>> images;
    std::map<std::wstring, uint32_t> attributes;
    Bytes written;
    std::vector<std::pair<std::wstring, std::wstring>> copied;
    std::vector<std::wstring> deleted, attributeLog;
    int writeCalls = 0, failWriteCall = -1, failReadAfter = -1, readCalls = 0;
    bool failSourceOpen = false, failCopy = false, failFirstDelete = false, tookOwnership = false;
    int opened = 0, closed = 0;

    uint32_t GetAttributes(const wchar_t* path) override {
        auto it = attributes.find(path);
        return it == attributes.end() ? INVALID_FILE_ATTRIBUTES : it->second;
    }
    int SetAttributes(const wchar_t* path, uint32_t value) override {
        attributes[path] = value;
        attributeLog.push_back(std::wstring(path) + L"=" + std::to_wstring(value));
        return 1;
    }
    void* OpenSource(const wchar_t* path) override {
        if (failSourceOpen || !images.count(path)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        ++opened;
        return new Open{path, false};
    }
    void* OpenTarget(const wchar_t* path) override {
        ++opened;
        return new Open{path, true};
    }
    void Close(void* handle) override {
        if (!handle) return;
        ++closed;
        delete static_cast<Open*>(handle);
    }
    int BackupRead(void* handle, uint8_t* buffer, uint32_t bytes, uint32_t* read, void** context) override {
        Open* open = static_cast<Open*>(handle);
        *context = open;
        *read = 0;
        if (failReadAfter >= 0 && readCalls++ >= failReadAfter) {
            SetLastError(ERROR_READ_FAULT);
            return 0;
        }
        const auto& image = images[open->path];
        if (open->stream < image.size() && open->offset == Total(image[open->stream])) {
            ++open->stream;
            open->offset = 0;
        }
        if (open->stream >= image.size()) return 1;
        const Stream& s = image[open->stream];
        // a read stops at the end of the header, of the name and of the content
        size_t nameEnd = s.head.size();
        size_t partEnd = open->offset < 20 ? 20 : open->offset < nameEnd ? nameEnd : Total(s);
        size_t take = std::min<size_t>(bytes, partEnd - open->offset);
        for (size_t i = 0; i < take; ++i) {
            size_t at = open->offset + i;
            buffer[i] = at < nameEnd ? s.head[at] : s.content[at - nameEnd];
        }
        open->offset += take;
        *read = static_cast<uint32_t>(take);
        return 1;
    }
    int BackupSeek(void* handle, uint64_t bytes, uint64_t* moved, void** context) override {
        Open* open = static_cast<Open*>(handle);
        const auto& image = images[open->path];
        *moved = 0;
        if (open->stream < image.size()) {
            size_t end = Total(image[open->stream]);
            size_t from = std::max(open->offset, image[open->stream].head.size());
            *moved = end - from;
            open->offset = end;
            if (bytes <= *moved) return 1;
        }
        SetLastError(ERROR_SEEK);
        return 0;
    }
    int BackupWrite(void* handle, const uint8_t* buffer, uint32_t bytes, uint32_t* put, void** context) override {
        *context = handle;
        if (writeCalls++ == failWriteCall) {
            SetLastError(ERROR_ACCESS_DENIED);
            *put = 0;
            return 0;
        }
        written.insert(written.end(), buffer, buffer + bytes);
        *put = bytes;
        return 1;
    }
    void EndBackupRead(void*, void** context) override { *context = nullptr; }
    void EndBackupWrite(void*, void** context) override { *context = nullptr; }
    int RemoveFile(const wchar_t* path) override {
        if (failFirstDelete && !tookOwnership) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
        deleted.push_back(path);
        return 1;
    }
    int CopyStream(const wchar_t* source, const wchar_t* target) override {
        copied.emplace_back(source, target);
        if (failCopy) SetLastError(ERROR_DISK_FULL);
        return failCopy ? 0 : 1;
    }
    int TakeOwnership(const wchar_t*) override {
        tookOwnership = true;
        return 1;
    }

private:
    static size_t Total(const Stream& s) { return s.head.size() + s.content.size(); }
};

Bytes Concat(std::initializer_list<const Bytes*> parts) {
    Bytes all;
    for (const Bytes* p : parts) all.insert(all.end(), p->begin(), p->end());
    return all;
}

TEST(StreamHeader, ParsesAndBuildsTheExactLayout) {
    Stream s = MakeStream(kStreamAlternateData, L":big:$DATA", {}, 0x100000002ull);
    StreamHeader header = {};
    ASSERT_TRUE(ParseStreamHeader(s.head.data(), s.head.size(), &header));
    EXPECT_EQ(header.id, kStreamAlternateData);
    EXPECT_EQ(header.size, 0x100000002ull);
    EXPECT_EQ(header.nameSize, 20u);
    wchar_t name[16];
    ASSERT_TRUE(StreamNameOf(s.head.data(), s.head.size(), header, name, 16));
    EXPECT_STREQ(name, L":big:$DATA");
    uint8_t built[20];
    BuildStreamHeader(header, built);
    EXPECT_EQ(Bytes(built, built + 20), Bytes(s.head.begin(), s.head.begin() + 20));

    // one byte short of the header or of the name; a name beyond the header
    // buffer; an odd name size; a name that does not fit with its terminator
    EXPECT_FALSE(ParseStreamHeader(s.head.data(), 19, &header));
    ASSERT_TRUE(ParseStreamHeader(s.head.data(), 20, &header));
    EXPECT_FALSE(StreamNameOf(s.head.data(), s.head.size() - 1, header, name, 16));
    EXPECT_FALSE(StreamNameOf(s.head.data(), s.head.size(), header, name, 10));
    EXPECT_TRUE(StreamNameOf(s.head.data(), s.head.size(), header, name, 11));
    Stream big = MakeStream(kStreamAlternateData, std::wstring(503, L'x'), {});
    EXPECT_FALSE(ParseStreamHeader(big.head.data(), big.head.size(), &header));
    Stream fits = MakeStream(kStreamAlternateData, std::wstring(502, L'x'), {});
    EXPECT_TRUE(ParseStreamHeader(fits.head.data(), fits.head.size(), &header));
    s.head[16] = 21;
    EXPECT_FALSE(ParseStreamHeader(s.head.data(), s.head.size(), &header));

    wchar_t text[32] = L":s:$DATA";
    StripDataSuffix(text);
    EXPECT_STREQ(text, L":s");
    wcscpy(text, L":$DATA");   // not longer than the suffix
    StripDataSuffix(text);
    EXPECT_STREQ(text, L":$DATA");
}

class SecurityStreams : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = options;
        previous_ = streamSystem;
        streamSystem = &fake;
        options.quiet = 1;
        run.targetIsNul = 0;
        security = MakeStream(kStreamSecurity, L"", SecurityBlock());
        small = MakeStream(kStreamAlternateData, L":small:$DATA", Pattern(100, 3));
        fake.images[L"S"] = {MakeStream(kStreamData, L"", Pattern(10, 1)), security, small,
                             MakeStream(kStreamAlternateData, L":big:$DATA", Pattern(5000, 9)),
                             MakeStream(kStreamAlternateData, L":zero:$DATA", {})};
        fake.attributes[L"T"] = FILE_ATTRIBUTE_ARCHIVE;
    }
    void TearDown() override {
        streamSystem = previous_;
        options = saved_;
        run.targetIsNul = 0;
    }
    FakeStreams fake;
    Stream security, small;

private:
    Options saved_;
    StreamSystem* previous_;
};

TEST_F(SecurityStreams, SmallStreamsAtOnceLargeAndEmptyOnesDeferred) {
    EXPECT_TRUE(CopySecurityAndStreams(L"S", L"T", 1, 1));
    EXPECT_EQ(fake.written, Concat({&security.head, &security.content, &small.head, &small.content}));
    ASSERT_EQ(fake.copied.size(), 2u);
    EXPECT_EQ(fake.copied[0], std::make_pair(std::wstring(L"S:big"), std::wstring(L"T:big")));
    EXPECT_EQ(fake.copied[1], std::make_pair(std::wstring(L"S:zero"), std::wstring(L"T:zero")));
    EXPECT_EQ(fake.opened, fake.closed);

    fake.written.clear();
    fake.copied.clear();
    EXPECT_TRUE(CopySecurityAndStreams(L"S", L"T", 1, 0));
    EXPECT_EQ(fake.written, Concat({&security.head, &security.content}));
    EXPECT_TRUE(fake.copied.empty());
    fake.written.clear();
    EXPECT_TRUE(CopySecurityAndStreams(L"S", L"T", 0, 1));
    EXPECT_EQ(fake.written, Concat({&small.head, &small.content}));
    EXPECT_EQ(fake.copied.size(), 2u);

    // the null device: nothing written, the large streams read into it
    fake.written.clear();
    fake.copied.clear();
    run.targetIsNul = 1;
    EXPECT_TRUE(CopySecurityAndStreams(L"S", L"\\\\.\\NUL", 1, 1));
    EXPECT_TRUE(fake.written.empty());
    ASSERT_EQ(fake.copied.size(), 2u);
    EXPECT_EQ(fake.copied[0].second, L"\\\\.\\NUL");
}

TEST_F(SecurityStreams, AnyFailedPartFailsTheWhole) {
    // the content write of the security data fails: the walk ends, streams found so far still copied
    fake.failWriteCall = 1;
    EXPECT_FALSE(CopySecurityAndStreams(L"S", L"T", 1, 1));
    EXPECT_TRUE(fake.copied.empty());
    // a deferred stream copy fails
    fake.failWriteCall = -1;
    fake.failCopy = true;
    EXPECT_FALSE(CopySecurityAndStreams(L"S", L"T", 1, 1));
    EXPECT_EQ(fake.copied.size(), 2u);
    fake.failCopy = false;
    // the backup read fails in the middle
    fake.failReadAfter = 4;
    EXPECT_FALSE(CopySecurityAndStreams(L"S", L"T", 1, 1));
    fake.failReadAfter = -1;
    // content shorter than its header says
    fake.images[L"S"].push_back(MakeStream(kStreamSecurity, L"", Pattern(10, 1), 50));
    EXPECT_FALSE(CopySecurityAndStreams(L"S", L"T", 1, 0));
    fake.images[L"S"].pop_back();
    // a stream name that names another path is never appended
    fake.copied.clear();
    fake.images[L"S"].push_back(MakeStream(kStreamAlternateData, L"\\..\\other", Pattern(5000, 1)));
    fake.images[L"S"].push_back(MakeStream(kStreamAlternateData, L"", Pattern(5000, 1)));
    EXPECT_FALSE(CopySecurityAndStreams(L"S", L"T", 0, 1));
    EXPECT_EQ(fake.copied.size(), 2u);
    // a vanished target: silent 0
    EXPECT_FALSE(CopySecurityAndStreams(L"S", L"gone", 1, 1));
}

TEST_F(SecurityStreams, ReadOnlyTargetKeepsItsAttribute) {
    fake.attributes[L"T"] = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    EXPECT_TRUE(CopySecurityAndStreams(L"S", L"T", 1, 0));
    EXPECT_EQ(fake.attributes[L"T"], static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(fake.attributeLog.size(), 2u);
    EXPECT_EQ(fake.attributeLog[0], L"T=" + std::to_wstring(FILE_ATTRIBUTE_ARCHIVE));
    fake.attributeLog.clear();
    fake.failSourceOpen = true;
    EXPECT_FALSE(CopySecurityAndStreams(L"S", L"T", 1, 0));
    EXPECT_EQ(fake.attributes[L"T"], static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(fake.attributeLog.size(), 2u);
}

TEST_F(SecurityStreams, SurplusStreamsRemovedOnlyAgainstACompleteSourceListing) {
    fake.images[L"T"] = {MakeStream(kStreamData, L"", Pattern(10, 1)),
                         MakeStream(kStreamAlternateData, L":small:$DATA", Pattern(3, 1)),
                         MakeStream(kStreamAlternateData, L":SMALL:$DATA", Pattern(3, 1)),
                         MakeStream(kStreamAlternateData, L":extra:$DATA", Pattern(3, 1))};
    StreamList list;
    ListStreams(L"T", &list);
    ASSERT_EQ(list.count, 3u);
    EXPECT_TRUE(list.complete);
    EXPECT_STREQ(list.names[1], L":SMALL");
    FreeStreamList(&list);

    EXPECT_TRUE(RemoveSurplusStreams(L"S", L"T"));
    EXPECT_EQ(fake.deleted, (std::vector<std::wstring>{L"T:SMALL", L"T:extra"}));

    // a source that cannot be read to its end, or holds more than can be listed
    fake.deleted.clear();
    fake.failReadAfter = 3;
    fake.readCalls = 0;
    RemoveSurplusStreams(L"S", L"T");
    EXPECT_TRUE(fake.deleted.empty());
    fake.failReadAfter = -1;
    for (int i = 0; i < kMaxStreams + 1; ++i)
        fake.images[L"S"].push_back(MakeStream(kStreamAlternateData, L":n" + std::to_wstring(i) + L":$DATA", {}));
    ListStreams(L"S", &list);
    EXPECT_EQ(list.count, static_cast<uint32_t>(kMaxStreams));
    EXPECT_FALSE(list.complete);
    FreeStreamList(&list);
    RemoveSurplusStreams(L"S", L"T");
    EXPECT_TRUE(fake.deleted.empty());
    fake.failSourceOpen = true;
    RemoveSurplusStreams(L"S", L"T");
    EXPECT_TRUE(fake.deleted.empty());
    // never on the null device
    run.targetIsNul = 1;
    EXPECT_FALSE(RemoveSurplusStreams(L"S", L"\\\\.\\NUL"));
}

TEST_F(SecurityStreams, ForcedDeletionTakesOwnershipOnlyWhenNeeded) {
    fake.attributes[L"F"] = FILE_ATTRIBUTE_READONLY;
    EXPECT_TRUE(ForceDeleteFile(L"F"));
    EXPECT_FALSE(fake.tookOwnership);
    EXPECT_EQ(fake.attributes[L"F"], 0u);
    fake.failFirstDelete = true;
    EXPECT_TRUE(ForceDeleteFile(L"G"));
    EXPECT_TRUE(fake.tookOwnership);
    EXPECT_EQ(fake.deleted.back(), L"G");
}

}  // namespace
