// The overlay a dry run puts in place of the file system: it answers reads
// from the volume below as changed by what it recorded, and records, instead
// of making, every call that would change a volume.
#pragma once
#include <cstdint>

#include "file_ops.h"

enum DryAction {
    kDryCopy,
    kDryOverwrite,
    kDrySkip,
    kDryDeleteFile,
    kDryDeleteFolder,
    kDryCreateFolder,
    kDryLink,
    kDryReuse,
    kDryRemoveSource,
    kDryActionCount
};

struct DryRunCounts {
    int64_t actions[kDryActionCount];
    int64_t bytes;   // what the recorded writes carried
};

class DryRunOverlay : public FileOps {
public:
    // Announces its actions with the given quietness: -q keeps the lines of
    // what would change and drops the skips.
    virtual void Skip(const wchar_t* path, const char* reason) = 0;
    virtual void ExpectReuse(const wchar_t* path) = 0;
    // Announces what is still pending and returns the counts.
    virtual DryRunCounts Finish() = 0;
    virtual FileOps* Below() = 0;
};

// Null unless a dry run is on.
DryRunOverlay* InstalledOverlay();
// A new overlay over below (and over the device calls in place now); the
// caller puts it in place.
DryRunOverlay* MakeDryRunOverlay(FileOps* below, int quiet);

// The device calls of a dry run: lock, dismount, flush and offline recorded,
// devices opened for reading only; undone by EndDeviceOverlay.
void OverlayDevices();
void EndDeviceOverlay();

// path as an action line shows it: without the long-path prefix and a
// trailing backslash; into a buffer of kPathCapacity.
void ShownActionPath(const wchar_t* path, wchar_t* out);
