// Which physical drive a path lies on, from answers recorded on real machines.
#include "physical_drive.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_device_system.h"
#include "run_state.h"
#include "system_facts.h"

using namespace qtxtest;

namespace {

// System disk 0 with C: and D:, a USB disk 1 with E:.
void Workstation(FakeDeviceSystem& fake) {
    fake.AddVolume(L'C', L"c0000000-0000-0000-0000-000000000001", 0, 1);
    fake.AddVolume(L'D', L"d0000000-0000-0000-0000-000000000002", 0, 2);
    fake.AddVolume(L'E', L"e0000000-0000-0000-0000-000000000003", 1, 1, DRIVE_REMOVABLE);
    fake.AddDisk(0).busType = 11;   // SATA
    fake.AddDisk(1).busType = 7;    // USB
}

const char* kSequential = "Files are located on the same physical drive -> sequential operation\n";
const char* kParallel = "Files are located on different physical drives -> parallel operation\n";

}  // namespace

TEST(PhysicalDrive, PartitionsOfOneDiskAreSequentialTwoDisksParallel) {
    FakeDeviceSystem fake;
    Workstation(fake);
    UseFake use(&fake);
    EXPECT_EQ(0, PhysicalDriveOf(L"C:\\"));
    EXPECT_EQ(0, PhysicalDriveOf(L"\\\\?\\D:\\backup\\2024"));
    EXPECT_EQ(1, PhysicalDriveOf(L"E:\\"));
    // a path longer than the classic 260 characters resolves like any other
    EXPECT_EQ(1, PhysicalDriveOf((L"\\\\?\\E:\\" + std::wstring(400, L'x') + L"\\y").c_str()));
    {
        CapturedOutput out;
        EXPECT_EQ(1, SamePhysicalDrive(L"C:\\", L"D:\\"));
        EXPECT_EQ(kSequential, out.text());
    }
    {
        CapturedOutput out;
        EXPECT_EQ(0, SamePhysicalDrive(L"C:\\", L"E:\\"));
        EXPECT_EQ(kParallel, out.text());
    }
    EXPECT_EQ(0, fake.openHandles);
}

TEST(PhysicalDrive, NetworkSharesAndUnidentifiedVolumes) {
    FakeDeviceSystem fake;
    Workstation(fake);
    fake.mountRoots.push_back(L"Z:\\");
    fake.driveTypes[L"Z:\\"] = DRIVE_REMOTE;
    fake.mountRoots.push_back(L"\\\\server\\share\\");
    fake.driveTypes[L"\\\\SERVER\\SHARE\\"] = DRIVE_REMOTE;
    UseFake use(&fake);
    EXPECT_EQ(kNetworkDrive, PhysicalDriveOf(L"Z:\\"));
    EXPECT_EQ(kNetworkDrive, PhysicalDriveOf(L"\\\\server\\share\\folder"));
    EXPECT_EQ(kUnidentifiedDrive, PhysicalDriveOf(L"Q:\\"));   // no such volume
    {
        CapturedOutput out;
        EXPECT_EQ(1, SamePhysicalDrive(L"Z:\\", L"\\\\server\\share\\"));
        EXPECT_EQ(0, SamePhysicalDrive(L"Z:\\", L"C:\\"));
        EXPECT_EQ(std::string(kSequential) + kParallel, out.text());
    }
    // without administrator rights no volume opens for reading: every local volume is -1
    for (auto& d : fake.devices) d.readOpenError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(kUnidentifiedDrive, PhysicalDriveOf(L"C:\\"));
    EXPECT_EQ(kUnidentifiedDrive, PhysicalDriveOf(L"E:\\"));
    EXPECT_EQ(0, fake.openHandles);
}

TEST(PhysicalDrive, SubstDrivesResolveToTheirLocalPath) {
    FakeDeviceSystem fake;
    Workstation(fake);
    fake.dosDevices[L"X:"] = L"\\??\\E:\\projects\\current";
    fake.dosDevices[L"R:"] = L"\\??\\E:\\";   // SUBST onto a drive root
    fake.dosDevices[L"W:"] = L"\\??\\UNC\\server\\share";
    UseFake use(&fake);

    wchar_t path[kPathCapacity] = L"\\\\?\\x:\\src\\main.cpp";
    EXPECT_EQ(1, ResolveSubstDrive(path, path, kPathCapacity));
    EXPECT_STREQ(L"\\\\?\\E:\\projects\\current\\src\\main.cpp", path);
    wchar_t out[kPathCapacity] = L"unchanged";
    EXPECT_EQ(1, ResolveSubstDrive(L"R:\\a\\b", out, kPathCapacity));
    EXPECT_STREQ(L"\\\\?\\E:\\a\\b", out);
    EXPECT_EQ(1, ResolveSubstDrive(L"X:", out, kPathCapacity));
    EXPECT_STREQ(L"\\\\?\\E:\\projects\\current", out);
    // a path that would not fit fails and leaves the output alone
    wchar_t small[20] = L"unchanged";
    EXPECT_EQ(0, ResolveSubstDrive(L"X:\\src", small, 20));
    EXPECT_STREQ(L"unchanged", small);
    // not a SUBST onto a local path, not a drive letter
    wcscpy(out, L"unchanged");
    EXPECT_EQ(0, ResolveSubstDrive(L"W:\\x", out, kPathCapacity));
    EXPECT_EQ(0, ResolveSubstDrive(L"C:\\x", out, kPathCapacity));
    EXPECT_EQ(0, ResolveSubstDrive(L"\\\\server\\share", out, kPathCapacity));
    EXPECT_STREQ(L"unchanged", out);

    EXPECT_EQ(1, PhysicalDriveOf(L"X:\\src"));
    EXPECT_EQ(1, PhysicalDriveOf(L"R:\\"));

    // SUBST drives pointing at each other must not recurse without end
    fake.dosDevices[L"S:"] = L"\\??\\T:\\";
    fake.dosDevices[L"T:"] = L"\\??\\S:\\";
    EXPECT_EQ(kUnidentifiedDrive, PhysicalDriveOf(L"S:\\"));
}

TEST(PhysicalDrive, EncryptedVolumesResolveToTheirContainer) {
    FakeDeviceSystem fake;
    Workstation(fake);
    fake.AddDisk(2).busType = 11;
    // M: from a container file on E:, N: from partition 1 of disk 2, O: from a CD-ROM
    fake.AddVolume(L'M', L"m0000000-0000-0000-0000-00000000000d", 5, 0, DRIVE_FIXED, L"\\Device\\VeraCryptVolumeM");
    fake.AddVolume(L'N', L"n0000000-0000-0000-0000-00000000000e", 6, 0, DRIVE_FIXED, L"\\Device\\VeraCryptVolumeN");
    fake.AddVolume(L'O', L"o0000000-0000-0000-0000-00000000000f", 7, 0, DRIVE_FIXED, L"\\Device\\TrueCryptVolumeO");
    fake.AddCryptDriver(L"\\\\.\\VeraCrypt", {{L'M', L"\\??\\E:\\vault\\secret.hc"},
                                             {L'N', L"\\Device\\Harddisk2\\Partition1"}});
    // a stale TrueCrypt entry for M: loses against VeraCrypt's answer
    fake.AddCryptDriver(L"\\\\.\\TrueCrypt", {{L'M', L"\\??\\C:\\old.tc"}, {L'O', L"\\Device\\CdRom1"}});
    UseFake use(&fake);

    wchar_t container[kPathCapacity];
    DriveKey key = kUnidentifiedDrive;
    EXPECT_EQ(1, CryptContainerOf(L"m:\\docs", container, kPathCapacity, &key));
    EXPECT_STREQ(L"E:\\vault\\secret.hc", container);
    EXPECT_EQ(kUnidentifiedDrive, key);
    EXPECT_EQ(1, CryptContainerOf(L"\\\\?\\Volume{n0000000-0000-0000-0000-00000000000e}\\", container, kPathCapacity,
                                  &key));
    EXPECT_EQ(2, key);
    EXPECT_EQ(0, CryptContainerOf(L"C:\\", container, kPathCapacity, &key));   // not mounted by a driver
    wchar_t small[10];
    EXPECT_EQ(0, CryptContainerOf(L"M:\\", small, 10, &key));

    EXPECT_EQ(1, PhysicalDriveOf(L"M:\\docs"));
    EXPECT_EQ(1, PhysicalDriveOf(L"\\\\?\\Volume{m0000000-0000-0000-0000-00000000000d}\\"));
    EXPECT_EQ(2, PhysicalDriveOf(L"N:\\"));
    EXPECT_EQ(kCdRomContainerBase + 1, PhysicalDriveOf(L"O:\\"));
    {
        CapturedOutput out;
        EXPECT_EQ(1, SamePhysicalDrive(L"M:\\", L"E:\\"));
        EXPECT_EQ(kSequential, out.text());
    }
    EXPECT_EQ(0, fake.openHandles);
}

TEST(PhysicalDrive, FileBackedVirtualDiskResolvesToItsHostVolume) {
    FakeDeviceSystem fake;
    Workstation(fake);
    // a VHDX on E: (disk 1) attached as disk 3 with volume F:
    fake.AddVolume(L'F', L"f0000000-0000-0000-0000-000000000010", 3);
    FakeDevice& vhd = fake.AddDisk(3);
    vhd.busType = kBusTypeFileBackedVirtual;
    vhd.hostVolume = L"\\\\?\\Volume{e0000000-0000-0000-0000-000000000003}\\";
    vhd.relativePath = L"\\images\\work.vhdx";
    UseFake use(&fake);
    OsVersion saved = osVersion;
    osVersion.packed = 0x1000;

    wchar_t path[kPathCapacity];
    EXPECT_EQ(1, VhdContainerOf(L"\\\\.\\PhysicalDrive3", path, kPathCapacity));
    EXPECT_STREQ(L"E:\\images\\work.vhdx", path);
    EXPECT_EQ(1, PhysicalDriveOf(L"F:\\data"));

    // the host named as a device: its drive letter is looked up
    fake.Find(L"\\\\.\\PhysicalDrive3")->hostVolume = L"\\Device\\HarddiskVolumee0000000-0000-0000-0000-000000000003";
    EXPECT_EQ(1, VhdContainerOf(L"\\\\.\\PhysicalDrive3", path, kPathCapacity));
    EXPECT_STREQ(L"E:\\images\\work.vhdx", path);
    // a result that does not fit fails instead of being cut
    EXPECT_EQ(0, VhdContainerOf(L"\\\\.\\PhysicalDrive3", path, 10));

    // a list of dependencies above 1 MiB is not read: the disk keeps its number
    fake.Find(L"\\\\.\\PhysicalDrive3")->dependencyNeeded = 0x100001;
    EXPECT_EQ(3, PhysicalDriveOf(L"F:\\"));
    fake.Find(L"\\\\.\\PhysicalDrive3")->dependencyNeeded = 9000;   // a second, larger request
    EXPECT_EQ(1, PhysicalDriveOf(L"F:\\"));

    {
        osVersion.packed = 0x600;
        CapturedOutput out;
        EXPECT_EQ(3, PhysicalDriveOf(L"F:\\"));
        EXPECT_EQ("Error resolving VHD container (Win7 or higher required)\n", out.text());
    }
    osVersion = saved;
    EXPECT_EQ(0, fake.openHandles);
}

TEST(PhysicalDrive, CdRomFloppyAndRemovableDrives) {
    FakeDeviceSystem fake;
    Workstation(fake);
    fake.AddVolume(L'G', L"g0000000-0000-0000-0000-000000000011", 0, 0, DRIVE_CDROM, L"\\Device\\CdRom0");
    fake.AddVolume(L'A', L"a0000000-0000-0000-0000-000000000012", 2, 0, DRIVE_REMOVABLE, L"\\Device\\Floppy0");
    UseFake use(&fake);

    EXPECT_EQ(kCdRomVolumeBase + 0, PhysicalDriveOf(L"G:\\"));
    EXPECT_EQ(kFloppyVolume, PhysicalDriveOf(L"A:\\"));
    EXPECT_EQ(1, PhysicalDriveOf(L"E:\\"));   // a removable USB drive is a disk like any other
    {
        CapturedOutput out;
        EXPECT_EQ(0, SamePhysicalDrive(L"G:\\", L"C:\\"));   // CD-ROM 0 is not disk 0
        EXPECT_EQ(kParallel, out.text());
    }

    EXPECT_EQ(1, IsOnFloppy(L"A:"));
    EXPECT_EQ(1, IsOnFloppy(L"a:\\"));
    EXPECT_EQ(1, IsOnFloppy(L"\\\\?\\Volume{a0000000-0000-0000-0000-000000000012}\\"));
    EXPECT_EQ(0, IsOnFloppy(L"A:\\letter.txt"));
    EXPECT_EQ(0, IsOnFloppy(L"C:\\"));
    EXPECT_EQ(0, IsOnFloppy(L"G:"));
    EXPECT_EQ(0, IsOnFloppy((L"\\\\?\\A:\\" + std::wstring(300, L'f')).c_str()));
}
