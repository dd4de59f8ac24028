// Which physical drive a path lies on, from answers recorded on real machines.
#include "physical_drive.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_device_system.h"
#include "run_state.h"
#include "system_facts.h"

using namespace qtxtest;

namespace {

// System disk 0 with C: and D:, a removable USB disk 1 with E:, disk 2, network
// drives, SUBST drives, encrypted volumes, a VHDX, a CD-ROM and a floppy.
void Machine(FakeDeviceSystem& fake) {
    fake.AddVolume(L'C', L"c0000000-0000-0000-0000-000000000001", 0, 1);
    fake.AddVolume(L'D', L"d0000000-0000-0000-0000-000000000002", 0, 2);
    fake.AddVolume(L'E', L"e0000000-0000-0000-0000-000000000003", 1, 1, DRIVE_REMOVABLE);
    fake.AddDisk(0).busType = 11;   // SATA
    fake.AddDisk(1).busType = 7;    // USB
    fake.AddDisk(2).busType = 11;
    fake.mountRoots.push_back(L"Z:\\");
    fake.driveTypes[L"Z:\\"] = DRIVE_REMOTE;
    fake.mountRoots.push_back(L"\\\\server\\share\\");
    fake.driveTypes[L"\\\\SERVER\\SHARE\\"] = DRIVE_REMOTE;
    fake.dosDevices[L"X:"] = L"\\??\\E:\\projects\\current";
    fake.dosDevices[L"R:"] = L"\\??\\E:\\";   // SUBST onto a drive root
    fake.dosDevices[L"S:"] = L"\\??\\T:\\";   // SUBST drives pointing at each other
    fake.dosDevices[L"T:"] = L"\\??\\S:\\";
    // M: from a container file on E:, N: from partition 1 of disk 2, O: from a CD-ROM
    fake.AddVolume(L'M', L"m0000000-0000-0000-0000-00000000000d", 5, 0, DRIVE_FIXED, L"\\Device\\VeraCryptVolumeM");
    fake.AddVolume(L'N', L"n0000000-0000-0000-0000-00000000000e", 6, 0, DRIVE_FIXED, L"\\Device\\VeraCryptVolumeN");
    fake.AddVolume(L'O', L"o0000000-0000-0000-0000-00000000000f", 7, 0, DRIVE_FIXED, L"\\Device\\TrueCryptVolumeO");
    fake.AddCryptDriver(L"\\\\.\\VeraCrypt", {{L'M', L"\\??\\E:\\vault\\secret.hc"},
                                             {L'N', L"\\Device\\Harddisk2\\Partition1"}});
    // a stale TrueCrypt entry for M: loses against VeraCrypt's answer
    fake.AddCryptDriver(L"\\\\.\\TrueCrypt", {{L'M', L"\\??\\C:\\old.tc"}, {L'O', L"\\Device\\CdRom1"}});
    // a VHDX on E: attached as disk 3 with volume F:
    fake.AddVolume(L'F', L"f0000000-0000-0000-0000-000000000010", 3);
    FakeDevice& vhd = fake.AddDisk(3);
    vhd.busType = kBusTypeFileBackedVirtual;
    vhd.hostVolume = L"\\\\?\\Volume{e0000000-0000-0000-0000-000000000003}\\";
    vhd.relativePath = L"\\images\\work.vhdx";
    fake.AddVolume(L'G', L"g0000000-0000-0000-0000-000000000011", 0, 0, DRIVE_CDROM, L"\\Device\\CdRom0");
    fake.AddVolume(L'A', L"a0000000-0000-0000-0000-000000000012", 2, 0, DRIVE_REMOVABLE, L"\\Device\\Floppy0");
}

class PhysicalDrive : public ::testing::Test {
protected:
    void SetUp() override {
        Machine(fake);
        osVersion.packed = 0x1000;
    }
    void TearDown() override {
        osVersion = saved;
        EXPECT_EQ(0, fake.openHandles);
    }
    FakeDeviceSystem fake;
    UseFake use{&fake};
    OsVersion saved = osVersion;
};

}  // namespace

TEST_F(PhysicalDrive, RecordedMachine) {
    const std::wstring longOnE = L"\\\\?\\E:\\" + std::wstring(400, L'x') + L"\\y";
    const struct {
        const wchar_t* path;
        DriveKey key;
    } cases[] = {
        {L"C:\\", 0},
        {L"\\\\?\\D:\\backup\\2024", 0},
        {L"E:\\", 1},   // a removable USB drive is a disk like any other
        {longOnE.c_str(), 1},
        {L"Z:\\", kNetworkDrive},
        {L"\\\\server\\share\\folder", kNetworkDrive},
        {L"Q:\\", kUnidentifiedDrive},
        {L"X:\\src", 1},
        {L"R:\\", 1},
        {L"S:\\", kUnidentifiedDrive},
        {L"m:\\docs", 1},
        {L"\\\\?\\Volume{m0000000-0000-0000-0000-00000000000d}\\", 1},
        {L"N:\\", 2},
        {L"O:\\", kCdRomContainerBase + 1},
        {L"F:\\data", 1},
        {L"G:\\", kCdRomVolumeBase + 0},
        {L"A:\\", kFloppyVolume},
    };
    for (const auto& c : cases) EXPECT_EQ(c.key, PhysicalDriveOf(c.path)) << Narrow(c.path);

    const struct {
        const wchar_t *a, *b;
        int same;
    } pairs[] = {
        {L"C:\\", L"D:\\", 1},  {L"C:\\", L"E:\\", 0}, {L"Z:\\", L"\\\\server\\share\\", 1},
        {L"Z:\\", L"C:\\", 0},  {L"M:\\", L"E:\\", 1}, {L"G:\\", L"C:\\", 0},   // CD-ROM 0 is not disk 0
        {L"F:\\", L"E:\\", 1},
    };
    CapturedOutput out;
    for (const auto& p : pairs) EXPECT_EQ(p.same, SamePhysicalDrive(p.a, p.b)) << Narrow(p.a) << " " << Narrow(p.b);

    EXPECT_EQ(1, IsOnFloppy(L"a:\\"));
    EXPECT_EQ(0, IsOnFloppy(L"A:\\letter.txt"));
    EXPECT_EQ(0, IsOnFloppy(L"C:\\"));
}

TEST_F(PhysicalDrive, FailuresAndBounds) {
    // a SUBST path that would not fit fails and leaves the output alone
    wchar_t small[20] = L"unchanged";
    EXPECT_EQ(0, ResolveSubstDrive(L"X:\\src", small, 20));
    EXPECT_STREQ(L"unchanged", small);
    wchar_t container[10];
    DriveKey key = kUnidentifiedDrive;
    EXPECT_EQ(0, CryptContainerOf(L"M:\\", container, 10, &key));
    wchar_t path[kPathCapacity];
    EXPECT_EQ(0, VhdContainerOf(L"\\\\.\\PhysicalDrive3", path, 10));

    // a list of dependencies above 1 MiB is not read: the disk keeps its number
    FakeDevice& vhd = *fake.Find(L"\\\\.\\PhysicalDrive3");
    vhd.dependencyNeeded = 0x100001;
    EXPECT_EQ(3, PhysicalDriveOf(L"F:\\"));
    vhd.dependencyNeeded = 9000;   // a second, larger request
    EXPECT_EQ(1, PhysicalDriveOf(L"F:\\"));
    // the host named as a device: its drive letter is looked up
    vhd.hostVolume = L"\\Device\\HarddiskVolumee0000000-0000-0000-0000-000000000003";
    EXPECT_EQ(1, VhdContainerOf(L"\\\\.\\PhysicalDrive3", path, kPathCapacity));
    EXPECT_STREQ(L"E:\\images\\work.vhdx", path);
    osVersion.packed = 0x600;   // before Windows 7
    {
        CapturedOutput out;
        EXPECT_EQ(3, PhysicalDriveOf(L"F:\\"));
    }

    // without administrator rights no volume opens for reading: every local volume is unidentified
    for (auto& d : fake.devices) d.readOpenError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(kUnidentifiedDrive, PhysicalDriveOf(L"C:\\"));
    EXPECT_EQ(kUnidentifiedDrive, PhysicalDriveOf(L"E:\\"));
}
