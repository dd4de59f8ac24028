// One file's copy on a volume in memory, without a console, its output kept.
#pragma once
#include <gtest/gtest.h>

#include "block_copy.h"
#include "captured_output.h"
#include "copy_engine.h"
#include "memory_file_system.h"
#include "options.h"
#include "test_support.h"
#include "transfer_state.h"

const std::wstring kSource = L"C:\\d\\source.bin", kTarget = L"C:\\d\\target.bin";

class EngineTest : public ::testing::Test {
protected:
    qtxtest::MemoryFileSystem fs;
    qtxtest::CapturedOutput output;
    void SetUp() override {
        fs.Install();
        engineConsoleCheck = [] { return 0; };
        SetUpRun(0);
    }
    void TearDown() override {
        ReleaseBlockBuffers();
        options = Options();
    }
    // After the options, which choose the buffers: kSource with these bytes, and no kTarget.
    void SetUpRun(int parallel, const std::string& data = "", uint32_t blockSize = 0x10000) {
        ResetRunState();
        run.parallel = parallel;
        ASSERT_TRUE(PrepareBlockBuffers(0));
        transfer.runBlockSize = blockSize;
        fs.AddFile(kSource, data);
        fs.Delete(kTarget.c_str());
    }
    int Copy(const std::wstring& from = kSource, const std::wstring& to = kTarget) {
        return CopyOneFile(from.c_str(), fs.GetAttributes(from.c_str()), fs.File(from)->times[2], to.c_str(), 0, 0, 0);
    }
    std::string Output() { return output.text() + output.errors(); }
};
