#include <gtest/gtest.h>

#include "run_state.h"
#include "run_summary.h"

TEST(RunExitCode, TellsVerificationFailuresFromCopyFailures) {
    EXPECT_EQ(RunExitCode(0, 0, 0), kExitOk);
    EXPECT_EQ(RunExitCode(1, 0, 0), kExitVerifyFailed);
    EXPECT_EQ(RunExitCode(1, 3, 0), kExitVerifyFailed) << "a verification failure outranks a copy failure";
    EXPECT_EQ(RunExitCode(0, 1, 0), kExitCopyFailed);
    EXPECT_EQ(RunExitCode(0, 1, 1), kExitInterrupted);
    EXPECT_EQ(RunExitCode(2, 1, 1), kExitVerifyFailed);
}
