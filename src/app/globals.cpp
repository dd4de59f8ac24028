// The process-wide records.
#include <cstring>

#include "options.h"
#include "run_state.h"

Options options;
RunState run;

void ResetRunState() {
    memset(&run, 0, sizeof run);
    run.sourceCluster = run.targetCluster = run.largestCluster = 4096;
    run.maxTargetFileSize = 0x1FFFFFFFE00000LL;
}

void CountFailure() { __atomic_add_fetch(&run.failedCopies, 1, __ATOMIC_SEQ_CST); }
