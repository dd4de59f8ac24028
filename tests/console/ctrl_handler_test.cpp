// The control handler's messages and flags, as the system would call it.
#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "../volumes/fake_device_system.h"
#include "console.h"
#include "run_state.h"

using namespace qtxtest;

namespace {

void Signal(unsigned long event) {
    // the system calls the handler on a thread of its own
    std::thread([event] { ConsoleCtrlHandler(event); }).join();
}

TEST(ConsoleCtrlHandler, CtrlCInterruptsOnceBreakStopsForGood) {
    ConsoleContext context = {};
    ConsoleInit(&context);
    ResetRunState();
    run.mainThreadId = GetCurrentThreadId();
    {
        CapturedOutput output;
        Signal(CTRL_C_EVENT);
        EXPECT_EQ(output.text(), "Ctrl+C pressed -> abort\n");
        EXPECT_EQ(run.breakRequested, 1);
        EXPECT_EQ(run.stopRequested, 0) << "Ctrl+C lets the run end in order";
        EXPECT_EQ(run.lastCtrlEvent, 0);
        EXPECT_EQ(run.userInterrupted, 1);
        Signal(CTRL_C_EVENT);
        EXPECT_EQ(output.text(), "Ctrl+C pressed -> abort\n") << "a second Ctrl+C prints nothing more";
        EXPECT_EQ(run.promptInterrupted, 1);
        Signal(CTRL_BREAK_EVENT);
        EXPECT_EQ(output.text(), "Ctrl+C pressed -> abort\nCtrl+Break pressed -> abort\n");
        EXPECT_EQ(run.stopRequested, 1);
        EXPECT_EQ(run.lastCtrlEvent, 1);
        Signal(CTRL_CLOSE_EVENT);
        EXPECT_EQ(output.text(), "Ctrl+C pressed -> abort\nCtrl+Break pressed -> abort\n") << "ignored after a stop";
        EXPECT_EQ(run.lastCtrlEvent, 1);
    }
    ResetRunState();
    run.mainThreadId = GetCurrentThreadId();
    {
        CapturedOutput output;
        run.promptActive = 1;
        Signal(CTRL_C_EVENT);
        EXPECT_EQ(output.text(), "") << "Ctrl+C during a question only answers it";
        EXPECT_EQ(run.promptInterrupted, 1);
        EXPECT_EQ(Prompt(L"YN", L'N'), L'N');
        Signal(CTRL_LOGOFF_EVENT);
        EXPECT_EQ(output.text(), "User LogOff -> abort\n");
        EXPECT_EQ(run.stopRequested, 1);
    }
    ResetRunState();
    ConsoleShutdown();
    console = nullptr;
}

}  // namespace
