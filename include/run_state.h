// The run-wide values: both paths and their classification, volume facts,
// counters of the summary and the control flags polled by every thread.
#pragma once
#include <cstdint>

#include "folder_identity.h"
#include "volume_capabilities.h"

constexpr int kPathCapacity = 32768;   // characters, terminator included
constexpr int kShortPathCapacity = 260;

struct LinkGroupList;

struct RunState {
    wchar_t sourcePath[kPathCapacity];
    wchar_t targetPath[kPathCapacity];
    wchar_t sourceFolder[kPathCapacity];
    wchar_t sourceName[kPathCapacity];
    wchar_t targetFolder[kPathCapacity];
    wchar_t targetName[kPathCapacity];
    wchar_t sourceRoot[kPathCapacity];
    int sourceRootLength;
    wchar_t targetRoot[kPathCapacity];
    int targetRootLength;
    wchar_t sourceVolumeRoot[kShortPathCapacity];
    wchar_t targetVolumeRoot[kShortPathCapacity];
    wchar_t resolvedSourceFolder[kPathCapacity];
    wchar_t resolvedTargetFolder[kPathCapacity];

    int sourceIsNul;
    int targetIsNul;
    int sourceIsDevice;
    int targetIsDevice;
    int sourceIsVolume;
    int targetIsVolume;
    int sameVolume;
    int singleSource;
    int copyFolderItself;
    int parallel;
    int wofAvailable;

    // capabilities from the file-system flags of each volume
    VolumeCapabilities sourceCaps;
    VolumeCapabilities targetCaps;
    int targetCompressed;
    int securitySupported;

    uint32_t sourceCluster;
    uint32_t targetCluster;
    uint32_t largestCluster;
    uint32_t transferUnit;
    uint32_t writeUnit;
    int64_t maxTargetFileSize;
    int64_t targetVolumeSize;
    uint32_t sourceDriveType;
    uint32_t targetDriveType;
    uint32_t sourceShareMode;
    uint32_t targetShareMode;

    wchar_t folderSource[kPathCapacity];
    wchar_t createdTargetFolder[kPathCapacity];
    wchar_t deleteSourceFolder[kPathCapacity];
    // -maxdel: deletions done (in a dry run, recorded) and refused by the cap
    int64_t deletionsDone;
    int64_t foldersCreated;     // target folders this run made
    int64_t deletionsRefused;
    LinkGroupList* linkGroups;
    wchar_t logPath[kShortPathCapacity + 64];
    uint32_t mainThreadId;
    wchar_t programPath[kShortPathCapacity];

    // counters of the summary
    int64_t runBytesCopied;
    int64_t runBytesNotWritten;
    volatile int32_t readErrorFiles;
    volatile int32_t verifyFailures;
    // the source and target folders as they were found: what no removal takes
    FolderId guardedFolders[2];
    int guardedFolderCount;
    volatile int32_t failedCopies;   // files or devices not copied completely (exit code 13)
    int32_t pathKindUnknown;   // a path's attributes could not be read for a reason other than absence
    int64_t linksCreated;
    int64_t ntfsCompressedCount;
    int64_t ntfsSavedBytes;
    int64_t wofCompressedCount;
    int64_t wofSavedBytes;

    // control flags, written by the console control handler and the copy threads
    volatile int32_t stopRequested;
    volatile int32_t breakRequested;
    volatile int32_t aborted;
    volatile int32_t promptActive;
    volatile int32_t promptInterrupted;
    volatile int32_t lastCtrlEvent;
    volatile int32_t userInterrupted;   // a control event arrived (other stops are failures)
};

extern RunState run;
void ResetRunState();
// Every failure of the run is counted here, after its line was printed: one
// failure is enough for the exit code to tell that not all was done.
void CountFailure();
// The usual failure line, "Error NAME doing 'path'", to standard error (also
// under -q), and its count.
void ReportFailure(uint32_t error, const char* doing, const wchar_t* path);
// The format of that line, for PrintErrorName with the path.
const char* FailureFormat(uint32_t error, const char* doing);

// Exit codes of the program.
enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitInvalid = 2,
    kExitTargetNotFolder = 3,
    kExitStartPosOrWildcard = 4,
    kExitSourceVolume = 5,
    kExitTargetVolume = 6,
    kExitSourceAccess = 7,
    kExitTargetAccess = 8,
    kExitRecursion = 9,
    kExitSourceFileNotFound = 10,
    kExitSourceFolderNotFound = 11,
    kExitVerifyFailed = 12,
    kExitCopyFailed = 13,
    kExitOutOfMemory = 14,
    kExitInterrupted = 15,
};
