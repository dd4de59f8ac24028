#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "console.h"
#include "error_log.h"
#include "options.h"
#include "run_state.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

// Makes the log believe the error stream is a console, so that entries go to the file.
class LogToFile {
public:
    explicit LogToFile(const std::wstring& path) : savedConsole_(console), savedOptions_(options) {
        context_ = ConsoleContext{};
        context_.errorHandle = GetStdHandle(STD_ERROR_HANDLE);
        context_.errorRedirected = 0;
        console = &context_;
        lstrcpynW(run.logPath, path.c_str(), sizeof run.logPath / sizeof run.logPath[0]);
    }
    ~LogToFile() {
        console = savedConsole_;
        options = savedOptions_;
        run.logPath[0] = 0;
    }

private:
    ConsoleContext context_;
    ConsoleContext* savedConsole_;
    Options savedOptions_;
};

TEST(ErrorLog, EntriesHeaderAndLineEnds) {
    TempDir dir;
    std::wstring log = dir / L"qtx_error_log.txt";
    LogToFile redirect(log);
    options.quiet = 1;   // the log is written with -q as without it
    LogReadError(L"\\\\?\\C:\\data\\bad.bin", 3, ERROR_CRC);
    LogVerifyFailure(L"\\\\?\\D:\\backup\\a.bin");
    LogReadError(L"\\\\?\\UNC\\server\\share\\whole.bin", 0, ERROR_CRC);
    LogVerifyFailure(L"\\\\?\\D:\\backup\\b.bin");
    std::string text = ReadBytesOr(log);
    // the first entry is a read error, so no header is ever written
    EXPECT_EQ(std::string("Error CRC reading C:\\data\\bad.bin: 3 sectors failed\n") +
                  "D:\\backup\\a.bin\r\n" +
                  "Error CRC reading \\\\server\\share\\whole.bin\n" + "D:\\backup\\b.bin\r\n",
              text);
}

TEST(ErrorLog, RedirectedErrorStreamGetsPlainPathsAndCrLf) {
    TempDir dir;
    std::wstring stream = dir / L"stderr.txt";
    std::wstring log = dir / L"log.txt";
    HANDLE file = CreateFileW(stream.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    {
        LogToFile redirect(log);
        console->errorHandle = file;
        console->errorRedirected = 1;
        LogVerifyFailure(L"\\\\?\\D:\\backup\\a.bin");
        LogReadError(L"\\\\?\\UNC\\server\\share\\b.bin", 2, ERROR_CRC);
    }
    CloseHandle(file);
    EXPECT_EQ("verification failed: D:\\backup\\a.bin\r\nError CRC reading \\\\server\\share\\b.bin: 2 sectors failed\r\n",
              ReadBytesOr(stream));
    EXPECT_FALSE(Exists(log));
}

TEST(ErrorLog, LongPathsAreWrittenWhole) {
    TempDir dir;
    std::wstring log = dir / L"long.txt";
    LogToFile redirect(log);
    std::wstring path = L"\\\\?\\C:\\" + std::wstring(2000, L'p') + L"\\\x6587\x4EF6.bin";
    LogReadError(path.c_str(), 7, ERROR_CRC);
    std::string text = ReadBytesOr(log);
    ASSERT_GT(text.size(), 2000u);
    EXPECT_EQ(0u, text.find("Error CRC reading C:\\pppp"));
    EXPECT_EQ(": 7 sectors failed\n", text.substr(text.size() - 19));
    EXPECT_NE(std::string::npos, text.find(std::string(2000, 'p')));

    char small[64];
    int length = FormatVerifyLine(small, sizeof small, path.c_str());
    EXPECT_LT(length, 64);
    EXPECT_EQ('\0', small[63]);
}

}  // namespace
