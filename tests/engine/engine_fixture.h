// One file's copy on a volume in memory, without a console, its output kept.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include "block_copy.h"
#include "console.h"
#include "copy_engine.h"
#include "memory_file_system.h"
#include "options.h"
#include "read_recovery.h"
#include "test_support.h"
#include "transfer_state.h"

const std::wstring kSource = L"C:\\src\\a.bin";
const std::wstring kTarget = L"C:\\dst\\a.bin";

class EngineTest : public ::testing::Test {
protected:
    qtxtest::MemoryFileSystem fs;
    qtxtest::TempDir outputFolder;
    ConsoleContext context = {nullptr, nullptr, INVALID_HANDLE_VALUE, 1, 1, CP_UTF8, CP_UTF8, 0};
    ConsoleContext* savedConsole = console;

    void SetUp() override {
        context.outputHandle = context.errorHandle =
            CreateFileW((outputFolder / L"out").c_str(), GENERIC_WRITE, 3, nullptr, CREATE_ALWAYS, 0, nullptr);
        console = &context;
        fs.Install();
        engineConsoleCheck = [] { return 0; };
        recoveryPause = [](uint32_t) {};
        SetUpRun(0);
    }
    void TearDown() override {
        ReleaseBlockBuffers();
        ResetRunState();
        options = Options();
        console = savedConsole;
        CloseHandle(context.outputHandle);
    }
    // After the options, which choose the buffers. Unbuffered unless asked.
    void SetUpRun(int parallel, uint32_t blockSize = 0x10000, bool buffered = false) {
        ReleaseBlockBuffers();
        ResetRunState();
        run.singleSource = 1;
        run.parallel = parallel;
        run.sourceCaps.hardLinks = run.targetCaps.hardLinks = 1;
        ASSERT_TRUE(PrepareBlockBuffers(0));
        transfer.runBlockSize = blockSize;
        if (buffered) transfer.sourceOpenFlags = transfer.targetOpenFlags = 0;
    }
    // kSource with these bytes, and no kTarget.
    void Source(const std::string& data) {
        fs.AddFile(kSource, data);
        fs.AddFolder(L"C:\\dst");
        fs.Delete(kTarget.c_str());
    }
    int Copy(const std::wstring& source, const std::wstring& target) {
        int64_t links = 0;
        return CopyOneFile(source.c_str(), fs.GetAttributes(source.c_str()), fs.File(source)->times[2],
                           target.c_str(), &links, 0, nullptr);
    }
    std::string Output() { return qtxtest::ReadBytesOr(outputFolder / L"out"); }
};
