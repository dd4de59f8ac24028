#include <gtest/gtest.h>

#include <thread>

#include "../volumes/fake_device_system.h"
#include "console.h"
#include "run_state.h"

using namespace qtxtest;

namespace {

// The control handler as the system calls it, on a thread of its own.
void Signal(unsigned long event) { std::thread([event] { ConsoleCtrlHandler(event); }).join(); }

// Ctrl+C lets the run end in order but marks it interrupted, Ctrl+Break stops
// it, each said once.
TEST(ConsoleCtrlHandler, CtrlCInterruptsAndBreakStops) {
    ConsoleContext context = {};
    ConsoleInit(&context);
    ResetRunState();
    run.mainThreadId = GetCurrentThreadId();
    {
        CapturedOutput output;
        for (int i = 0; i < 2; ++i) Signal(CTRL_C_EVENT);
        EXPECT_EQ(output.text(), "Ctrl+C pressed -> abort\n");
        EXPECT_TRUE(run.breakRequested && run.userInterrupted && !run.stopRequested);
        Signal(CTRL_BREAK_EVENT);
        EXPECT_EQ(output.text(), "Ctrl+C pressed -> abort\nCtrl+Break pressed -> abort\n");
        EXPECT_TRUE(run.stopRequested);
    }
    ResetRunState();
    ConsoleShutdown();
    console = nullptr;
}

}  // namespace
