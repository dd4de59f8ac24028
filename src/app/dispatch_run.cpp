// Dispatch of the run and its end.
#include "run_driver.h"
#include "run_state.h"

int DispatchRun() { return kExitOk; }
