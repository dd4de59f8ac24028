// Read faults at chosen offsets, corrupted writes and captured output, on top
// of the failing file-operation double of the engine tests.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "read_recovery.h"

namespace enginetest {

struct ReadFault {
    int64_t from;
    int64_t to;          // exclusive
    uint32_t error;
    int failures;        // reads that fail before the range reads again; -1: never
};

struct WriteCorruption {
    int64_t offset;      // the byte that is written inverted
    int times;           // -1: every write over it
};

class InjectingFileOps : public FaultyFileOps {
public:
    std::vector<ReadFault> sourceFaults;
    std::vector<ReadFault> targetFaults;
    std::vector<WriteCorruption> corruptions;
    std::vector<std::wstring> opened;
    std::vector<int64_t> sourceReadPositions;
    std::vector<int64_t> writePositions;
    int shortTargetReads = 0;          // target reads that deliver half the bytes
    std::wstring refuseReadOnlyOpenOf;   // a second (read) handle on this path fails

    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) override {
        if (!refuseReadOnlyOpenOf.empty() && refuseReadOnlyOpenOf == path && access == GENERIC_READ) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        opened.push_back(path);
        return FaultyFileOps::Open(path, access, share, disposition, flags);
    }

    int Read(void* handle, void* buffer, uint32_t length, uint32_t* done) override {
        int64_t at = Position(handle);
        if (handle == transfer.sourceHandle) {
            sourceReadPositions.push_back(at);
            if (Faulted(sourceFaults, at, length, done)) return 0;
        } else if (handle == transfer.targetHandle) {
            if (Faulted(targetFaults, at, length, done)) return 0;
            if (shortTargetReads > 0 && length > 1) {
                --shortTargetReads;
                return FaultyFileOps::Read(handle, buffer, length / 2, done);
            }
        }
        return FaultyFileOps::Read(handle, buffer, length, done);
    }

    int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) override {
        int64_t at = Position(handle);
        writePositions.push_back(at);
        std::string bytes(static_cast<const char*>(buffer), length);
        bool changed = false;
        for (WriteCorruption& c : corruptions) {
            if (c.times == 0 || c.offset < at || c.offset >= at + length) continue;
            bytes[static_cast<size_t>(c.offset - at)] ^= 0xFF;
            if (c.times > 0) --c.times;
            changed = true;
        }
        return FaultyFileOps::Write(handle, changed ? bytes.data() : buffer, length, done);
    }

    int ReadsAt(int64_t position) const {
        int n = 0;
        for (int64_t p : sourceReadPositions) n += p == position;
        return n;
    }
    int WritesAt(int64_t position) const {
        int n = 0;
        for (int64_t p : writePositions) n += p == position;
        return n;
    }
    int OpensOf(const std::wstring& path) const {
        int n = 0;
        for (const std::wstring& p : opened) n += p == path;
        return n;
    }

private:
    int64_t Position(void* handle) {
        int64_t position = -1;
        real->SetPointer(handle, 0, FILE_CURRENT, &position);
        return position;
    }
    bool Faulted(std::vector<ReadFault>& faults, int64_t at, uint32_t length, uint32_t* done) {
        for (ReadFault& f : faults) {
            if (f.failures == 0 || at >= f.to || at + length <= f.from) continue;
            if (f.failures > 0) --f.failures;
            *done = 0;
            SetLastError(f.error);
            return true;
        }
        return false;
    }
};

// Standard output and error go to files while it lives.
class CapturedOutput {
public:
    CapturedOutput() {
        out_ = Open(L"out");
        err_ = Open(L"err");
        savedOut_ = GetStdHandle(STD_OUTPUT_HANDLE);
        savedErr_ = GetStdHandle(STD_ERROR_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, out_);
        SetStdHandle(STD_ERROR_HANDLE, err_);
    }
    ~CapturedOutput() { Restore(); }
    void Restore() {
        if (!out_) return;
        SetStdHandle(STD_OUTPUT_HANDLE, savedOut_);
        SetStdHandle(STD_ERROR_HANDLE, savedErr_);
        out = Drain(out_);
        err = Drain(err_);
        out_ = err_ = nullptr;
    }
    std::string out;
    std::string err;

private:
    qtxtest::TempDir dir_;
    HANDLE out_, err_, savedOut_, savedErr_;
    HANDLE Open(const wchar_t* name) {
        return CreateFileW((dir_ / name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    static std::string Drain(HANDLE handle) {
        std::string text;
        SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(handle, chunk, sizeof chunk, &n, nullptr) && n) text.append(chunk, n);
        CloseHandle(handle);
        return text;
    }
};

inline int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

inline int questionsAsked = 0;
inline int answerYes = 1;
inline int CountedAnswer(wchar_t) {
    ++questionsAsked;
    return answerYes;
}
inline void NoPause(uint32_t) {}

// Engine runs with injected faults; by default as if on a console, with
// questions answered by the test and no pauses.
class InjectionTest : public EngineTest {
protected:
    InjectingFileOps inject;
    void (*savedPause)(uint32_t) = recoveryPause;
    int (*savedQuestion)(wchar_t) = recoveryQuestion;

    void SetUp() override {
        EngineTest::SetUp();
        fileOps = &inject;
        engineConsoleCheck = WithConsole;
        questionsAsked = 0;
        answerYes = 1;
        recoveryQuestion = CountedAnswer;
        recoveryPause = NoPause;
        transfer.sourceOpenFlags = transfer.targetOpenFlags = 0;
    }
    void TearDown() override {
        recoveryQuestion = savedQuestion;
        recoveryPause = savedPause;
        EngineTest::TearDown();
    }
    std::string Zeroed(std::string data, int64_t from, int64_t length) {
        for (int64_t i = from; i < from + length && i < static_cast<int64_t>(data.size()); ++i) data[i] = 0;
        return data;
    }
};

}  // namespace enginetest
