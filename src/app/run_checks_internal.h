// Pieces of the run driver's checks, split by concern.
#pragma once

// Steps with a folder as source; -1 to go on, else the exit code.
int PrepareFolderSource();
// Probing both volumes, the block geometry and the buffers; -1 to go on, else the exit code.
int ProbeVolumes();
int CheckPathsAndOptions();
