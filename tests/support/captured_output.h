// Print and PrintError captured into two files for a test to read back.
#pragma once
#include <windows.h>

#include <algorithm>
#include <string>

#include "console.h"
#include "test_support.h"

namespace qtxtest {

// Sends Print and PrintError into two files; text() and errors() read them back without CRs.
class CapturedOutput {
public:
    CapturedOutput() : saved_(console) {
        context_.outputHandle = Create(dir_ / L"out.txt");
        context_.errorHandle = Create(dir_ / L"err.txt");
        context_.inputHandle = INVALID_HANDLE_VALUE;
        context_.outputRedirected = context_.errorRedirected = 1;
        context_.outputCodePage = context_.errorCodePage = CP_UTF8;
        console = &context_;
    }
    ~CapturedOutput() {
        console = saved_;
        CloseHandle(context_.outputHandle);
        CloseHandle(context_.errorHandle);
    }
    std::string text() const { return Read(context_.outputHandle); }
    std::string errors() const { return Read(context_.errorHandle); }
    void Clear() {
        for (HANDLE h : {context_.outputHandle, context_.errorHandle}) {
            SetFilePointer(h, 0, nullptr, FILE_BEGIN);
            SetEndOfFile(h);
        }
    }

private:
    static HANDLE Create(const std::wstring& path) {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
    }
    static std::string Read(HANDLE h) {
        LARGE_INTEGER size = {};
        GetFileSizeEx(h, &size);
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        OVERLAPPED at = {};
        if (!bytes.empty()) ReadFile(h, &bytes[0], static_cast<DWORD>(bytes.size()), &got, &at);
        bytes.resize(got);
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
        return bytes;
    }
    TempDir dir_;
    ConsoleContext context_ = {};
    ConsoleContext* saved_;
};

}  // namespace qtxtest
