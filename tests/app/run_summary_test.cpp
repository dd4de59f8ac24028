#include <gtest/gtest.h>

#include "../volumes/fake_device_system.h"
#include "run_state.h"
#include "run_summary.h"

using qtxtest::CapturedOutput;

TEST(RunExitCode, TellsVerificationFailuresFromCopyFailures) {
    EXPECT_EQ(RunExitCode(0, 0, 0), kExitOk);
    EXPECT_EQ(RunExitCode(1, 0, 0), kExitVerifyFailed);
    EXPECT_EQ(RunExitCode(1, 3, 0), kExitVerifyFailed) << "a verification failure outranks a copy failure";
    EXPECT_EQ(RunExitCode(0, 1, 0), kExitCopyFailed);
    EXPECT_EQ(RunExitCode(0, 0, 1), kExitInterrupted) << "an interrupted run never ends with 0";
    EXPECT_EQ(RunExitCode(0, 1, 1), kExitInterrupted);
    EXPECT_EQ(RunExitCode(2, 1, 1), kExitVerifyFailed);
    EXPECT_EQ(kExitInterrupted, 15);
}

TEST(ReportInterruption, SaysNotAllWasCopied) {
    ResetRunState();
    {
        CapturedOutput output;
        ReportInterruption();
        EXPECT_EQ(output.text(), "");
        run.userInterrupted = 1;
        ReportInterruption();
        EXPECT_EQ(output.text(), "interrupted by the user: not everything was copied\n");
    }
    ResetRunState();
}
