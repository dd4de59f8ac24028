// A file-operation double that counts and fails operations, and the run
// set-up shared by the engine tests.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "block_copy.h"
#include "copy_engine.h"
#include "file_ops.h"
#include "options.h"
#include "run_state.h"
#include "test_support.h"
#include "transfer_state.h"

namespace enginetest {

class FaultyFileOps : public FileOps {
public:
    FileOps* real = RealFileOps();
    int writes = 0;            // successful and failed write calls
    int bytesWritten = 0;
    int failWriteAt = -1;      // index of the first write call to fail
    int failWriteCount = 1;    // how many calls fail from there
    uint32_t writeError = 0;
    int stopAtWrite = -1;      // sets stopRequested at this write call
    int sourceReads = 0;
    int failReadAt = -1;
    uint32_t readError = 0;
    int64_t sourceEnd = -1;    // source reads deliver nothing past here, as a file that shrank
    std::wstring failOpenPath;
    uint32_t openError = 0;
    int failLinks = 0;         // hard links fail with ACCESS_DENIED

    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) override {
        if (!failOpenPath.empty() && failOpenPath == path) {
            SetLastError(openError);
            return INVALID_HANDLE_VALUE;
        }
        return real->Open(path, access, share, disposition, flags);
    }
    int Read(void* handle, void* buffer, uint32_t length, uint32_t* done) override {
        if (handle == transfer.sourceHandle) {
            int index = sourceReads++;
            if (index == failReadAt) {
                *done = 0;
                SetLastError(readError);
                return 0;
            }
            int64_t at = 0;
            if (sourceEnd >= 0 && real->SetPointer(handle, 0, FILE_CURRENT, &at))
                length = at >= sourceEnd ? 0 : static_cast<uint32_t>(std::min<int64_t>(length, sourceEnd - at));
        }
        return real->Read(handle, buffer, length, done);
    }
    int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) override {
        int index = writes++;
        if (index == stopAtWrite) run.stopRequested = 1;
        if (failWriteAt >= 0 && index >= failWriteAt && index < failWriteAt + failWriteCount) {
            *done = 0;
            SetLastError(writeError);
            return 0;
        }
        int ok = real->Write(handle, buffer, length, done);
        if (ok) bytesWritten += *done;
        return ok;
    }
    int pointerMoves = 0;
    int endSets = 0;
    int SetPointer(void* handle, int64_t distance, uint32_t method, int64_t* position) override {
        ++pointerMoves;
        return real->SetPointer(handle, distance, method, position);
    }
    int SetEnd(void* handle) override {
        ++endSets;
        return real->SetEnd(handle);
    }
    int GetSize(void* handle, int64_t* size) override { return real->GetSize(handle, size); }
    int Flush(void* handle) override { return real->Flush(handle); }
    int Close(void* handle) override { return real->Close(handle); }
    int Delete(const wchar_t* path) override { return real->Delete(path); }
    int ZeroRange(void* handle, int64_t from, int64_t to) override { return real->ZeroRange(handle, from, to); }
    int Link(const wchar_t* newPath, const wchar_t* existingPath) override {
        if (!failLinks) return real->Link(newPath, existingPath);
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
};

inline int WithConsole() { return 1; }
inline int WithoutConsole() { return 0; }

// Run values of a single-file copy between two fixed drives; blockSize 0
// keeps the geometry's choice.
class EngineTest : public ::testing::Test {
protected:
    FaultyFileOps faults;

    void SetUpRun(int parallel, uint32_t blockSize = 0) {
        ReleaseBlockBuffers();
        ResetRunState();
        options = Options();
        run.singleSource = 1;
        run.parallel = parallel;
        run.writeUnit = 512;
        run.transferUnit = 512;
        run.sourceDriveType = run.targetDriveType = DRIVE_FIXED;
        run.sourceShareMode = FILE_SHARE_READ;
        run.targetShareMode = FILE_SHARE_READ;
        run.sourceCaps.hardLinks = run.targetCaps.hardLinks = 1;
        transfer.sourceOpenFlags = 0;
        ASSERT_TRUE(PrepareBlockBuffers(0));
        if (blockSize) transfer.runBlockSize = blockSize;
    }
    void SetUp() override {
        fileOps = &faults;
        engineConsoleCheck = WithoutConsole;
        SetUpRun(0);
    }
    void TearDown() override {
        fileOps = RealFileOps();
        engineConsoleCheck = WithoutConsole;
        ReleaseBlockBuffers();
        ResetRunState();
        options = Options();
    }
    // Buffers must be re-made when options that choose them change.
    void Rebuffer(uint32_t blockSize) {
        ReleaseBlockBuffers();
        ASSERT_TRUE(PrepareBlockBuffers(0));
        transfer.runBlockSize = blockSize;
    }
    int Copy(const std::wstring& source, const std::wstring& target) {
        DWORD attributes = GetFileAttributesW(source.c_str());
        int64_t links = 0;
        return CopyOneFile(source.c_str(), attributes, qtxtest::LastWriteTime(source), target.c_str(), &links, 0,
                           nullptr);
    }
};

}  // namespace enginetest
