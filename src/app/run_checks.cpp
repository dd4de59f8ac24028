// The checks that can refuse a run, in their fixed order.
#include "console.h"
#include "run_driver.h"
#include "run_state.h"

int RunChecks() {
    if (run.sourcePath[0] == 0) {
        Print("invalid source path\n");
        return kExitInvalid;
    }
    if (run.targetPath[0] == 0) {
        Print("invalid target path\n");
        return kExitInvalid;
    }
    return -1;
}
