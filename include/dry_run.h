// -dry and -maxdel:n. A dry run is the real run on an overlay of the file
// system: reads see the volume as the run has changed it so far, and every
// call that would change it is recorded instead, and announced as the line
// "<action>: <path>". In any run deletions stop at the cap.
#pragma once
#include <cstdint>

// Puts the overlay in place of fileOps and deviceSystem for the rest of the run.
void StartDryRun();
// 1 while a dry run's overlay is in place.
int DryRunActive();

// A target left as it is, for the dry run's account; nothing in a real run.
void NoteSkip(const wchar_t* path, const char* reason);
// The next link made at path puts a file found in the target in place.
void NoteReuse(const wchar_t* path);

// -maxdel: 1 when one more deletion is allowed (and counts it); otherwise the
// line "skip (deletion cap reached): <path>" and 0. Under -mir the deletions in
// the target count, always the removals of sources.
int DeletionAllowed(const wchar_t* path);
// A counted deletion that did not happen after all.
void DeletionNotDone();

// The counts of a dry run and the cap's outcome; returns 1 when a real run
// reached the cap.
int PrintDryRunSummary();
