// The summary of a walk, the report of logged errors and the exit code.
#pragma once
#include <cstdint>

void PrintWalkSummary(int64_t itemsCopied, int64_t linksMade, uint32_t elapsedMilliseconds);
void ReportErrorCounts();
// The link groups' security pass (-sec); the number of sources it removed.
int64_t CopyLinkGroupSecurity();
// A line saying that the user cut the run short, when he did.
void ReportInterruption();
int RunExitCode(int32_t verifyFailures, int32_t failedCopies, int interrupted);
int FinishRun();
