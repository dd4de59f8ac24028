// How a copy keeps a target name from ever holding a half-written file: a new
// or replacing copy is written under a temporary name beside the target and
// renamed over it when complete; a copy that must write in place first stamps
// the target with a last-write time that always means "incomplete".
#pragma once
#include <cstddef>
#include <cstdint>

// The suffix of a copy in progress: "name.ext" is written as "name.ext.qtx-part".
constexpr wchar_t kPartialSuffix[] = L".qtx-part";
// 1980-01-02 00:00:00 UTC: a target carrying this last-write time is an
// interrupted in-place copy and is copied again under every overwrite policy.
// It lies after 1980 in every time zone, so FAT keeps it too.
constexpr uint64_t kIncompleteMark = 119600928000000000ULL;

inline int IsIncompleteMark(uint64_t lastWrite) { return lastWrite == kIncompleteMark; }

// The temporary name beside targetPath; 0 when it would not fit a path or a name.
int PartialPathOf(const wchar_t* targetPath, wchar_t* out, size_t capacity);
// Whether a name (or path) is a copy in progress; *baseLength gets the length
// of the name it stands for.
int IsPartialName(const wchar_t* name, size_t* baseLength);

enum WriteMode {
    kWriteDirect,      // devices, NUL and streams: written as they are
    kWriteTemporary,   // under the temporary name, renamed over the target at the end
    kWriteMarked,      // in place, after the target was stamped with kIncompleteMark
};

struct WriteModeFacts {
    int fileTarget;
    int streamCall;
    int deviceSource;     // an image is kept in place to resume with -st
    int existed;
    int avoidWrites;      // -u compares with the target as it stands
    int64_t startPos;     // -st keeps what lies before it
    uint32_t links;       // the existing target's names
    int64_t size;
    int64_t existingSize;
    int64_t room;
    int nameFits;         // the temporary name fits
};

// Temporary wherever the volume takes a second copy; in place where -u or -st
// ask for it, or where only the room of the old target makes the copy fit.
int ChooseWriteMode(const WriteModeFacts& facts);
