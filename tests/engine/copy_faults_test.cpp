#include <string>

#include "copy_call.h"
#include "fault_injection.h"
#include "security_streams.h"

using namespace qtxtest;

namespace enginetest {
namespace {

TEST_F(EngineTest, WriteFaultsFailWithoutPartialNewTarget) {
    const uint32_t errors[] = {ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_NETNAME_DELETED};
    for (int parallel = 0; parallel <= 1; ++parallel) {
        for (uint32_t error : errors) {
            SetUpRun(parallel, 0x10000);
            TempDir dir;
            ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(5 * 0x10000, 2)));
            faults.writes = 0;
            faults.failWriteAt = 2;
            faults.writeError = error;
            EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0) << error;
            EXPECT_FALSE(Exists(dir / L"dst.bin")) << error << " parallel " << parallel;
            EXPECT_EQ(run.failedCopies, 1);
            EXPECT_EQ(transfer.lastWriteError, error);
            EXPECT_EQ(run.runBytesCopied, 0);
            EXPECT_EQ(faults.writes, 3);   // no block after the failed one
            EXPECT_EQ(transfer.goodEnd, 2 * 0x10000);
        }
    }
}

// An existing target no byte reached stays exactly as it was; one that was
// written to is deleted with the error named.
TEST_F(EngineTest, FailedOverwriteKeepsAnUntouchedTargetAndNamesTheErrorOtherwise) {
    run.singleSource = 0;
    options.overwrite = 1;
    Rebuffer(0x10000);
    TempDir dir;
    std::string old = PatternBytes(0x18000, 3);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(3 * 0x10000, 2)));
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", old));
    faults.sourceEnd = 0x8000;   // shrank below the first block
    CapturedOutput output;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == old);
    faults.sourceEnd = -1;
    faults.failReadAt = faults.sourceReads;   // the first read fails
    faults.readError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == old);
    run.aborted = 0;
    faults.writes = 0;
    faults.failWriteAt = 1;
    faults.writeError = ERROR_DISK_FULL;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    EXPECT_FALSE(Exists(dir / L"dst.bin"));
    output.Restore();
    EXPECT_EQ(Occurrences(output.out, " dst.bin kept unchanged"), 2) << output.out;
    EXPECT_EQ(Occurrences(output.out, " broken file deleted after error DISK_FULL"), 1) << output.out;
    EXPECT_EQ(run.failedCopies, 3);
}

TEST_F(EngineTest, FailedCopyKeepsExistingTargetWithoutSourceTimes) {
    TempDir dir;
    Rebuffer(0x10000);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(3 * 0x10000, 2)));
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", PatternBytes(100, 3)));
    ASSERT_TRUE(SetLastWriteTime(dir / L"dst.bin", 131000000000000000ull));
    options.overwrite = 1;
    faults.failWriteAt = 1;
    faults.writeError = ERROR_DISK_FULL;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    ASSERT_TRUE(Exists(dir / L"dst.bin"));
    EXPECT_NE(LastWriteTime(dir / L"dst.bin"), LastWriteTime(dir / L"src.bin"));
    EXPECT_EQ(run.failedCopies, 1);
}

TEST_F(EngineTest, ReadFaultInParallelOperationDeletesNewTarget) {
    SetUpRun(1, 0x10000);
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(6 * 0x10000, 2)));
    faults.failReadAt = 3;
    faults.readError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    EXPECT_FALSE(Exists(dir / L"dst.bin"));
    EXPECT_EQ(run.failedCopies, 1);
    EXPECT_LE(faults.writes, 3);
}

// What a failed or stopped image copy wrote is kept, with the good bytes
// counted from the start so that -st can resume it.
TEST_F(EngineTest, PartialImageIsKeptWithItsGoodBytes) {
    TempDir dir;
    std::wstring image = dir / L"image.bin";
    ASSERT_TRUE(WriteBytes(image, PatternBytes(0x30000, 4)));
    for (int single = 0; single <= 1; ++single) {
        run.singleSource = single;
        ResetTransferForFile();
        CopyCall call = {};
        call.sourcePath = L"\\\\.\\PhysicalDrive9";
        call.targetPath = image.c_str();
        call.sourceKind = kSourceDisk;
        transfer.targetHandle = fileOps->Open(image.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
        transfer.sourceSize = 0x100000;
        transfer.goodEnd = 0x30000;
        transfer.targetTouched = 1;
        CapturedOutput output;
        EXPECT_EQ(FinishCopy(&call), 0);
        output.Restore();
        EXPECT_TRUE(Exists(image)) << single;
        EXPECT_NE(output.out.find("the first 196608 bytes are good (resume with -st:196608)"), std::string::npos)
            << output.out;
    }
    EXPECT_EQ(run.failedCopies, 2);
}

TEST_F(EngineTest, InvalidParameterReopensBufferedAndRepeatsBlock) {
    engineConsoleCheck = WithConsole;
    Rebuffer(0x10000);
    TempDir dir;
    std::string data = PatternBytes(4 * 0x10000 + 300, 8);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    faults.failWriteAt = 2;
    faults.writeError = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    EXPECT_EQ(transfer.targetOpenFlags & kFlagNoBuffering, 0u);
    EXPECT_EQ(run.failedCopies, 0);
}

TEST_F(EngineTest, StopRequestEndsCopyAsInterrupted) {
    Rebuffer(0x10000);
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(5 * 0x10000, 2)));
    faults.stopAtWrite = 1;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    EXPECT_FALSE(Exists(dir / L"dst.bin"));
    EXPECT_EQ(run.failedCopies, 0);
    EXPECT_LE(faults.writes, 3);
}


// The backup streams of any file name one large alternate stream ":s", whose
// copy is taken from and to plain files (Wine has no streams).
class OneLargeStream final : public InjectingFileOps {
public:
    std::wstring from, to;
    uint32_t headerSent = 0;
    std::wstring Mapped(const wchar_t* path) {
        std::wstring p = path;
        if (p.size() < 2 || p.compare(p.size() - 2, 2, L":s") != 0) return p;
        return p.find(L"src.bin") != std::wstring::npos ? from : to;
    }
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) override {
        headerSent = 0;
        if (access & ACCESS_SYSTEM_SECURITY) return this;
        return InjectingFileOps::Open(Mapped(path).c_str(), access, share, disposition, flags);
    }
    int Close(void* handle) override { return handle == this ? 1 : InjectingFileOps::Close(handle); }
    uint32_t GetAttributes(const wchar_t* path) override { return InjectingFileOps::GetAttributes(Mapped(path).c_str()); }
    int Delete(const wchar_t* path) override { return InjectingFileOps::Delete(Mapped(path).c_str()); }
    int SetAttributes(const wchar_t* path, uint32_t value) override {
        return InjectingFileOps::SetAttributes(Mapped(path).c_str(), value);
    }
    int BackupRead(void*, uint8_t* buffer, uint32_t bytes, uint32_t* read, void**) override {
        static const wchar_t kName[] = L":s:$DATA";
        *read = 0;
        if (headerSent == 0 && bytes == kStreamHeaderSize) {
            StreamHeader header = {kStreamAlternateData, 0, 1 << 20, sizeof kName - sizeof(wchar_t)};
            BuildStreamHeader(header, buffer);
            *read = bytes;
        } else if (headerSent == 1) {
            memcpy(buffer, kName, bytes);
            *read = bytes;
        }
        ++headerSent;
        return 1;
    }
    int BackupSeek(void*, uint64_t, uint64_t* moved, void**) override {
        *moved = 0;
        SetLastError(ERROR_SEEK);
        return 0;
    }
    int BackupWrite(void*, const uint8_t*, uint32_t bytes, uint32_t* written, void**) override {
        *written = bytes;
        return 1;
    }
    void EndBackupRead(void*, void** context) override { *context = nullptr; }
    void EndBackupWrite(void*, void** context) override { *context = nullptr; }
};

// A stream copied inside its file's copy neither clears that file's
// failures (unreadable sectors, -vi) nor hides its own: -ds keeps the source.
TEST_F(InjectionTest, StreamCopyNeitherResetsNorHidesItsFilesFailures) {
    OneLargeStream streams;
    TempDir dir;
    streams.from = dir / L"stream.src";
    streams.to = dir / L"stream.out";
    enum { kFileSectors, kStreamSectors, kFileImmediateCheck };
    for (int kind = kFileSectors; kind <= kFileImmediateCheck; ++kind) {
        SetUpRun(0, 0x10000);
        static_cast<InjectingFileOps&>(streams) = InjectingFileOps();
        fileOps = &streams;
        options.streams = options.deleteSource = options.overwrite = 1;
        run.sourceCaps.streams = run.targetCaps.streams = 1;
        // the file's copy or the stream's hits a unit that never reads
        const int64_t bad = kind == kStreamSectors ? 0x6000 : 0x9000;
        ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(kind == kStreamSectors ? 0x2000 : 0x10000, 2)));
        ASSERT_TRUE(WriteBytes(streams.from, PatternBytes(0x8000, 3)));
        if (kind == kFileImmediateCheck) {
            options.verifyImmediate = 1;
            Rebuffer(0x10000);
            streams.refuseReadOnlyOpenOf = dir / L"dst.bin";
        } else {
            streams.sourceFaults = {{bad, bad + 0x1000, ERROR_CRC, -1}};
        }
        CapturedOutput output;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
        output.Restore();
        EXPECT_TRUE(Exists(dir / L"src.bin")) << "kind " << kind;
        EXPECT_TRUE(Exists(streams.to));
        EXPECT_EQ(run.failedCopies + run.verifyFailures, 1) << "kind " << kind;
    }
}

}  // namespace
}  // namespace enginetest
