// Pieces of the run driver's checks, split by concern.
#pragma once

// Steps with a folder as source; -1 to go on, else the exit code.
int PrepareFolderSource();
// Probing both volumes, the block geometry and the buffers; -1 to go on, else the exit code.
int ProbeVolumes();
int CheckPathsAndOptions();
// The guards by folder identity: a mirror whose source lies in its target, and
// with recursion a target in its source. -1 to go on, else the exit code after
// the refusal's line.
int RefuseFoldersWithin(const wchar_t* sourcePath, const wchar_t* targetPath, bool recursion);
