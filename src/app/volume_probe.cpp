// Probing both volumes once the paths stand: parallel or sequential
// operation, share modes, file-system capabilities, sector sizes, the block
// geometry and the buffers.
#include <windows.h>

#include <cwchar>

#include "block_copy.h"
#include "compression.h"
#include "console.h"
#include "devices.h"
#include "file_ops.h"
#include "folder_identity.h"
#include "link_groups.h"
#include "options.h"
#include "paths.h"
#include "physical_drive.h"
#include "run_checks_internal.h"
#include "run_state.h"
#include "security_streams.h"
#include "system_facts.h"
#include "text_format.h"
#include "volume_capabilities.h"

namespace {

uint32_t ClusterSize(const wchar_t* root) {
    uint32_t sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!deviceSystem->DiskFreeSpace(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return 512;
    uint64_t cluster = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    return cluster && cluster <= 0x80000000u ? static_cast<uint32_t>(cluster) : 512;
}

}  // namespace

int ProbeVolumes() {
    if (!run.sourceIsDevice && !run.targetIsDevice)
        run.parallel = !SamePhysicalDrive(run.sourceVolumeRoot, run.targetVolumeRoot);
    else
        run.parallel = 1;

    run.targetShareMode = run.targetIsDevice ? 0 : FILE_SHARE_READ;
    if (options.shareRead) run.targetShareMode |= FILE_SHARE_READ;
    run.sourceShareMode = options.shareWrite ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;

    if (run.targetIsVolume) FlushTargetVolume();
    run.sourceDriveType = fileOps->DriveType(run.sourceVolumeRoot);
    run.targetDriveType = fileOps->DriveType(run.targetVolumeRoot);

    uint32_t sourceFlags = 0, targetFlags = 0;
    if (run.sourceVolumeRoot[0] && !run.sourceIsDevice) {
        if (!fileOps->VolumeFlags(run.sourceVolumeRoot, &sourceFlags, nullptr, 0)) {
            Print("invalid source: GetVolumeInformation(%S) err=%s -> abort\n", run.sourceVolumeRoot, LastErrorName());
            return kExitSourceAccess;
        }
        run.sourceCaps = CapabilitiesFromFlags(sourceFlags, osVersion.packed);
        run.sourceCluster = ClusterSize(run.sourceVolumeRoot);
    }
    if (run.targetVolumeRoot[0] && !run.targetIsDevice) {
        wchar_t fileSystem[MAX_PATH + 1] = {};
        if (!fileOps->VolumeFlags(run.targetVolumeRoot, &targetFlags, fileSystem, MAX_PATH)) {
            Print("invalid target: GetVolumeInformation(%S) err=%s -> abort\n", run.targetVolumeRoot, LastErrorName());
            return kExitTargetAccess;
        }
        run.targetCaps = CapabilitiesFromFlags(targetFlags, osVersion.packed);
        run.targetCompressed = (targetFlags & FILE_VOLUME_IS_COMPRESSED) != 0;
        run.targetCluster = ClusterSize(run.targetVolumeRoot);
        run.maxTargetFileSize = MaxFileSizeOfFileSystem(fileSystem, run.targetCluster, run.maxTargetFileSize);
        int64_t volumeSize = 0;
        if (MaxTargetSize(run.targetVolumeRoot, &volumeSize)) run.targetVolumeSize = volumeSize;
    }
    run.largestCluster = run.sourceCluster > run.targetCluster ? run.sourceCluster : run.targetCluster;

    if (options.sparse && !run.targetCaps.sparse) {
        Print("target does not support sparse files -> ignored\n");
        options.sparse = 0;
    }
    if ((options.compression == 2 || options.compression == 3) && !run.targetCaps.compression) {
        Print("target does not support compression -> ignored\n");
        options.compression = 0;
    }
    run.securitySupported = (sourceFlags & FILE_PERSISTENT_ACLS) && (targetFlags & FILE_PERSISTENT_ACLS);
    if (options.security && !run.securitySupported) {
        Print("security attributes not supported\n");
        options.security = 0;
    }

    // a device's volume root is its device path
    uint32_t sourceSector = SectorSizeOf(run.sourceVolumeRoot);
    uint32_t targetSector = SectorSizeOf(run.targetVolumeRoot);
    run.writeUnit = targetSector;
    run.transferUnit = sourceSector > targetSector ? sourceSector : targetSector;
    if (options.startPos > 0 && run.transferUnit)
        options.startPos = (options.startPos + run.transferUnit - 1) / run.transferUnit * run.transferUnit;

    if (!ResolveDrivePath(run.sourceFolder, run.resolvedSourceFolder, kPathCapacity))
        lstrcpynW(run.resolvedSourceFolder, SkipLongPrefix(run.sourceFolder), kPathCapacity);
    if (!ResolveDrivePath(run.targetFolder, run.resolvedTargetFolder, kPathCapacity))
        lstrcpynW(run.resolvedTargetFolder, SkipLongPrefix(run.targetFolder), kPathCapacity);

    // The whole geometry is fixed before any buffer is allocated.
    int onFloppy = IsOnFloppy(run.resolvedSourceFolder) || IsOnFloppy(run.resolvedTargetFolder);
    if (!PrepareBlockBuffers(onFloppy)) {
        PrintError("Error %s allocating buffers -> abort\n", LastErrorName());
        return kExitOutOfMemory;
    }
    uint32_t targetAttributes = fileOps->GetAttributes(run.targetFolder);
    if (targetAttributes != INVALID_FILE_ATTRIBUTES && (targetAttributes & FILE_ATTRIBUTE_COMPRESSED))
        run.targetCompressed = 1;

    if (run.createdTargetFolder[0] && (options.security || options.streams))
        CopySecurityAndStreams(run.folderSource, run.createdTargetFolder, 1, 1);

    if (options.recurse && HasWildcard(run.sourcePath) && IsFolder(run.targetFolder) &&
        IsSameOrWithinFolder(run.resolvedTargetFolder, run.resolvedSourceFolder)) {
        Print("target path is below source path (recursion) -> abort\n");
        return kExitRecursion;
    }
    SetGuardedFolders(run.sourceFolder, run.targetFolder);
    PrintW(options.mirror ? L"mirror %s to %s\n" : L"copy %s to %s\n", SkipLongPrefix(run.sourcePath),
           SkipLongPrefix(run.targetPath));
    CreateHashBuffers();
    if (run.sourceCaps.hardLinks && !run.linkGroups) run.linkGroups = CreateHardLinkList();
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    return -1;
}
