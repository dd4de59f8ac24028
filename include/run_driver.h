// The program's main sequence: set-up, options, checks, dispatch and end.
#pragma once

int RunDriver();
// The checks of paths and options; returns -1 to go on, else the exit code.
int RunChecks();
// The copy itself, its summary and the end of the run; returns the exit code.
int DispatchRun();
