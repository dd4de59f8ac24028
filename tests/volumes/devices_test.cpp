// Raw disks and volumes: classification, lengths, volume locks and the device steps of a copy.
#include "devices.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "fake_device_system.h"

using namespace qtxtest;

namespace {

// Disk 1 with two volumes (E:, F:), a floppy volume whose disk is unknown,
// and disk 0 with C:.
void TwoDisks(FakeDeviceSystem& fake) {
    fake.AddVolume(L'C', L"c0000000-0000-0000-0000-000000000001", 0);
    fake.AddVolume(L'E', L"e0000000-0000-0000-0000-000000000002", 1, 1);
    fake.AddVolume(L'F', L"f0000000-0000-0000-0000-000000000003", 1, 2);
    fake.AddVolume(L'A', L"a0000000-0000-0000-0000-000000000004", -1, 0, DRIVE_REMOVABLE, L"\\Device\\Floppy0");
    fake.AddDisk(0);
    FakeDevice& disk = fake.AddDisk(1);
    disk.hasAttributes = true;
    disk.length = 256LL << 30;
    for (const wchar_t* v : {L"c0000000-0000-0000-0000-000000000001", L"e0000000-0000-0000-0000-000000000002",
                             L"f0000000-0000-0000-0000-000000000003"})
        fake.interfaces.push_back(std::wstring(L"\\\\?\\STORAGE#Volume#{") + v + L"}");
    for (const auto& path : std::vector<std::wstring>(fake.interfaces)) {
        FakeDevice& d = fake.Add(path);
        d.hasNumber = true;
        d.diskNumber = path.find(L"c000") != std::wstring::npos ? 0 : 1;
    }
}

std::string VolumeE() { return "\\\\?\\Volume{e0000000-0000-0000-0000-000000000002}"; }
std::string VolumeF() { return "\\\\?\\Volume{f0000000-0000-0000-0000-000000000003}"; }

}  // namespace

TEST(Devices, VolumeClassificationAndExclusiveAccess) {
    FakeDeviceSystem fake;
    TwoDisks(fake);
    UseFake use(&fake);
    EXPECT_EQ(0, IsVolumeDevice(L"\\\\.\\C:\\"));   // a drive root is a folder
    EXPECT_EQ(0, IsVolumeDevice(L"C:\\"));
    EXPECT_EQ(1, IsVolumeDevice(L"\\\\.\\C:"));
    EXPECT_EQ(1, IsVolumeDevice(L"\\\\?\\Volume{e0000000-0000-0000-0000-000000000002}\\"));
    EXPECT_EQ(0, IsVolumeDevice(L"\\\\.\\PhysicalDrive1"));
    EXPECT_EQ(0, IsVolumeDevice(L"\\\\.\\"));
    EXPECT_EQ(0, IsVolumeDevice(L"\\\\.\\Q:"));

    EXPECT_EQ(1, ExclusiveVolumeAccess(L"\\\\.\\E:\\", GENERIC_WRITE));
    EXPECT_EQ((std::vector<std::string>{"open \\\\.\\E:", "lock \\\\.\\E:", "dismount \\\\.\\E:", "unlock \\\\.\\E:",
                                        "close \\\\.\\E:"}),
              fake.log);
    fake.Find(L"\\\\.\\E:")->lockError = ERROR_ACCESS_DENIED;   // a file open on the volume
    fake.log.clear();
    EXPECT_EQ(0, ExclusiveVolumeAccess(L"\\\\.\\E:", GENERIC_READ));
    EXPECT_EQ(0, fake.Count("dismount \\\\.\\E:"));
    fake.Find(L"\\\\.\\E:")->lockError = 0;
    fake.Find(L"\\\\.\\E:")->dismountError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, ExclusiveVolumeAccess(L"\\\\.\\E:", GENERIC_READ));
    EXPECT_EQ(0, ExclusiveVolumeAccess(L"\\\\.\\Q:", GENERIC_READ));
    EXPECT_EQ(0, fake.openHandles);

    EXPECT_EQ(1, DiskNumberOf(L"\\\\.\\F:\\"));
    EXPECT_EQ(-1, DiskNumberOf(L"\\\\.\\A:"));
    int32_t device = 0, partition = 0;
    EXPECT_EQ(1, StorageNumbersOf(L"\\\\.\\F:", &device, &partition));
    EXPECT_EQ(1, device);
    EXPECT_EQ(2, partition);
    EXPECT_EQ(0, StorageNumbersOf(L"\\\\.\\Floppy0", &device, &partition));
    EXPECT_EQ(-1, device);
}

TEST(Devices, LengthsSectorSizesAndMaxTargetSize) {
    FakeDeviceSystem fake;
    // a 1.44 MB floppy without the length request
    FakeDevice& floppy = fake.Add(L"\\\\.\\A:");
    floppy.hasGeometry = true;
    floppy.geometry = {80, 2, 2, 18, 512};
    // an old removable drive that only reports geometry, larger than 4 GiB
    FakeDevice& removable = fake.Add(L"\\\\.\\PhysicalDrive4");
    removable.hasGeometry = true;
    removable.geometry = {121601, 11, 255, 63, 512};
    // a disk with 4 KiB sectors that knows its length
    FakeDevice& disk = fake.Add(L"\\\\.\\PhysicalDrive1");
    disk.length = 0x1D1C1115E00LL;
    disk.hasGeometry = true;
    disk.geometry = {243201, 12, 255, 63, 4096};
    FakeDevice& broken = fake.Add(L"\\\\.\\PhysicalDrive5");
    broken.lengthError = ERROR_IO_DEVICE;
    broken.hasGeometry = true;
    broken.geometry = {100, 12, 1, 1, 512};
    fake.Add(L"\\\\.\\T:").length = 500107862016LL;
    fake.freeSpace[L"\\\\?\\VOLUME{1}\\"] = {8, 512, 1000, 500000000};   // 2 TB in 4 KiB clusters
    UseFake use(&fake);

    EXPECT_EQ(1474560, DeviceSizeOfPath(L"\\\\.\\A:"));
    EXPECT_EQ(1474560, DeviceSize(L"\\\\.\\A:", nullptr));
    EXPECT_EQ(1474560, TargetDeviceSize(L"\\\\.\\A:"));
    // geometry of other media only counts for the wider variants, and in 64 bits
    EXPECT_EQ(0, DeviceSizeOfPath(L"\\\\.\\PhysicalDrive4"));
    EXPECT_EQ(121601LL * 255 * 63 * 512, DeviceSize(L"\\\\.\\PhysicalDrive4", nullptr));
    EXPECT_EQ(121601LL * 255 * 63 * 512, TargetDeviceSize(L"\\\\.\\PhysicalDrive4"));
    EXPECT_EQ(0x1D1C1115E00LL, DeviceSizeOfPath(L"\\\\.\\PhysicalDrive1"));
    EXPECT_EQ(0, DeviceSize(L"\\\\.\\PhysicalDrive5", nullptr));   // only NOT_SUPPORTED falls back
    EXPECT_EQ(0, DeviceSizeOfPath(L""));
    EXPECT_EQ(0, DeviceSizeOfPath(L"\\\\.\\PhysicalDrive9"));
    EXPECT_EQ(1, fake.Count("dasd \\\\.\\PhysicalDrive4"));
    EXPECT_EQ(4096u, SectorSizeOf(L"\\\\.\\PhysicalDrive1"));
    EXPECT_EQ(512u, SectorSizeOf(L"\\\\.\\PhysicalDrive9"));
    EXPECT_EQ(kUnknownDeviceSize, NulSourceSize(L"\\\\.\\PhysicalDrive9"));
    EXPECT_EQ(0x1D1C1115E00LL, NulSourceSize(L"\\\\.\\PhysicalDrive1"));

    CapturedOutput out;
    int64_t size = 0;
    EXPECT_EQ(1, MaxTargetSize(L"T:\\", &size));
    EXPECT_EQ(500107862016LL, size);
    EXPECT_EQ(1, MaxTargetSize(L"\\\\?\\Volume{1}\\", &size));
    EXPECT_EQ(2048000000000LL, size);
    EXPECT_EQ("", out.text());
    EXPECT_EQ(0, MaxTargetSize(L"Q:\\", &size));
    EXPECT_EQ("Error NOT_READY determining max target size\n", out.text());
    EXPECT_EQ(0, fake.openHandles);
}

TEST(Devices, VolumeLocksOfADisk) {
    FakeDeviceSystem fake;
    TwoDisks(fake);
    fake.Find(L"\\\\?\\Volume{f0000000-0000-0000-0000-000000000003}")->lockError = ERROR_ACCESS_DENIED;
    UseFake use(&fake);

    VolumeLockSet set;
    EXPECT_EQ(1, LockVolumesOfDisk(&set, 1));
    EXPECT_EQ(2u, set.count);
    EXPECT_EQ(1u, set.locked[0]);
    EXPECT_EQ(0u, set.locked[1]);
    EXPECT_EQ(1, fake.Count("dismount " + VolumeE()));
    EXPECT_EQ(0, fake.Count("dismount " + VolumeF()));   // not locked, so not dismounted
    EXPECT_EQ(0, fake.Count("lock \\\\?\\Volume{c0000000-0000-0000-0000-000000000001}"));
    UnlockVolumes(&set);
    EXPECT_EQ(1, fake.Count("unlock " + VolumeE()));
    EXPECT_EQ(0, fake.Count("unlock " + VolumeF()));
    EXPECT_EQ(0, fake.openHandles);

    // an unknown disk must not take the volumes whose disk is unknown too (the floppy)
    fake.log.clear();
    EXPECT_EQ(1, LockVolumesOfDisk(&set, -1));
    EXPECT_EQ(0u, set.count);
    EXPECT_TRUE(fake.log.empty());

    // flush and a short dismount of every volume interface of the disk
    fake.log.clear();
    DismountVolumesOfDisk(L"\\\\.\\PhysicalDrive1\\");
    const std::string e = "\\\\?\\STORAGE#Volume#{e0000000-0000-0000-0000-000000000002}";
    EXPECT_EQ(1, fake.Count("flush " + e));
    EXPECT_EQ(1, fake.Count("dismount " + e));
    EXPECT_EQ(1, fake.Count("unlock " + e));
    EXPECT_EQ(0, fake.Count("flush \\\\?\\STORAGE#Volume#{c0000000-0000-0000-0000-000000000001}"));
    EXPECT_EQ(0, fake.openHandles);
}

TEST(Devices, MoreVolumesThanTheLockSetHoldsRefuseTheRawCopy) {
    FakeDeviceSystem fake;
    FakeDevice& disk = fake.AddDisk(2);
    disk.hasAttributes = true;
    for (int i = 0; i < kVolumeLockCapacity + 1; ++i) {
        wchar_t guid[40];
        swprintf(guid, 40, L"%08x-0000-0000-0000-000000000000", i);
        fake.AddVolume(static_cast<wchar_t>(L'A' + i % 26), guid, 2, i + 1);
    }
    UseFake use(&fake);

    VolumeLockSet set;
    EXPECT_EQ(0, LockVolumesOfDisk(&set, 2));
    EXPECT_EQ(0u, set.count);
    EXPECT_EQ(0, fake.openHandles);
    for (const auto& d : fake.devices) EXPECT_FALSE(d.locked) << Narrow(d.path);

    void* target = deviceSystem->Open(L"\\\\.\\PhysicalDrive2", GENERIC_READ | GENERIC_WRITE, 3, 0);
    {
        CapturedOutput out;
        EXPECT_EQ(0, PrepareTargetDevice(L"\\\\.\\PhysicalDrive2", target, 0));
        EXPECT_EQ("Error: disk has more than 32 volumes -> abort\n", out.errors());
        EXPECT_EQ(0, fake.Count("offline \\\\.\\PhysicalDrive2"));
    }
    {
        CapturedOutput out;
        EXPECT_EQ(0, LockSourceDiskVolumes(L"\\\\.\\PhysicalDrive2"));
        EXPECT_EQ("Error: disk has more than 32 volumes -> abort\n", out.errors());
    }
    deviceSystem->Close(target);
    EXPECT_EQ(0, fake.openHandles);
}

TEST(Devices, RawDiskAsSourceAndTarget) {
    FakeDeviceSystem fake;
    TwoDisks(fake);
    UseFake use(&fake);
    const wchar_t* diskPath = L"\\\\.\\PhysicalDrive1";

    {   // a disk source: its volumes locked for the run, then offline
        CapturedOutput out;
        EXPECT_EQ(1, LockSourceDiskVolumes(diskPath));
        EXPECT_TRUE(fake.Find(L"\\\\?\\Volume{e0000000-0000-0000-0000-000000000002}")->locked);
        void* source = deviceSystem->Open(diskPath, GENERIC_READ, 3, 0);
        int64_t size = 0;
        EXPECT_EQ(1, PrepareSourceDevice(diskPath, source, 0, &size));
        EXPECT_EQ(256LL << 30, size);
        ClaimSourceDevice(diskPath, source, 0);
        EXPECT_EQ("Source disk is offline now\n", out.text());
        EXPECT_TRUE(fake.Find(diskPath)->offline());
        EXPECT_EQ(1, fake.Count("dasd \\\\.\\PhysicalDrive1"));
        out.Clear();
        ClaimSourceDevice(diskPath, source, 0);
        EXPECT_EQ("Source disk is already offline\n", out.text());
        EXPECT_EQ(1, fake.Count("offline \\\\.\\PhysicalDrive1"));
        deviceSystem->Close(source);
        // a second disk copy gives the first disk's volumes back
        EXPECT_EQ(1, LockSourceDiskVolumes(L"\\\\.\\PhysicalDrive0"));
        EXPECT_FALSE(fake.Find(L"\\\\?\\Volume{e0000000-0000-0000-0000-000000000002}")->locked);
        EXPECT_EQ(1, LockSourceDiskVolumes(L"\\\\.\\PhysicalDrive9"));   // releases disk 0 too
        EXPECT_EQ(0, fake.openHandles);
    }

    {   // a disk target: the volumes are locked only while the disk goes offline
        fake.Find(diskPath)->attributes = 0;
        fake.log.clear();
        CapturedOutput out;
        void* target = deviceSystem->Open(diskPath, GENERIC_READ | GENERIC_WRITE, 3, 0);
        EXPECT_EQ(1, PrepareTargetDevice(diskPath, target, 0));
        EXPECT_EQ("Target disk is offline now\n", out.text());
        const std::string disk = "\\\\.\\PhysicalDrive1";
        std::vector<std::string> expected = {
            "open " + disk, "dasd " + disk, "open " + disk, "close " + disk,   // the disk's number
            "open " + VolumeE(), "close " + VolumeE(), "open " + VolumeE(), "lock " + VolumeE(), "dismount " + VolumeE(),
            "open " + VolumeF(), "close " + VolumeF(), "open " + VolumeF(), "lock " + VolumeF(), "dismount " + VolumeF(),
            "offline " + disk, "unlock " + VolumeE(), "close " + VolumeE(), "unlock " + VolumeF(), "close " + VolumeF()};
        std::vector<std::string> got;
        for (const auto& entry : fake.log)
            if (entry.find("Volume{c") == std::string::npos && entry.find("Volume{a") == std::string::npos)
                got.push_back(entry);
        EXPECT_EQ(expected, got);
        out.Clear();
        EXPECT_EQ(1, PrepareTargetDevice(diskPath, target, 0));
        EXPECT_EQ("Target disk is already offline\n", out.text());
        FinishTargetDevice(target);
        EXPECT_EQ(1, fake.Count("update \\\\.\\PhysicalDrive1"));
        deviceSystem->Close(target);
    }

    {   // refusing to go offline is reported and the copy goes on
        fake.Find(diskPath)->attributes = 0;
        fake.Find(diskPath)->setAttributesError = ERROR_ACCESS_DENIED;
        CapturedOutput out;
        void* target = deviceSystem->Open(diskPath, GENERIC_READ | GENERIC_WRITE, 3, 0);
        EXPECT_EQ(1, PrepareTargetDevice(diskPath, target, 0));
        EXPECT_EQ("Error ACCESS_DENIED setting DISK_ATTRIBUTE_OFFLINE", out.text());
        // write protection and missing media end the item
        out.Clear();
        fake.Find(diskPath)->writableError = ERROR_WRITE_PROTECT;
        EXPECT_EQ(0, PrepareTargetDevice(diskPath, target, 0));
        EXPECT_EQ("Error WRITE_PROTECT writing target file -> abort", out.errors());
        out.Clear();
        fake.Find(diskPath)->writableError = ERROR_INVALID_FUNCTION;   // a disk that cannot tell is writable
        fake.Find(diskPath)->checkVerifyError = ERROR_NOT_READY;
        EXPECT_EQ(0, PrepareTargetDevice(diskPath, target, 0));
        EXPECT_EQ("Error NOT_READY writing target file -> abort", out.errors());
        deviceSystem->Close(target);
    }
    EXPECT_EQ(0, fake.openHandles);
}

TEST(Devices, VolumeAsSourceAndTarget) {
    FakeDeviceSystem fake;
    TwoDisks(fake);
    fake.Find(L"\\\\.\\E:")->length = 0x3200000;
    UseFake use(&fake);

    void* source = deviceSystem->Open(L"\\\\.\\E:", GENERIC_READ, 3, 0);
    {
        CapturedOutput out;
        int64_t size = 0;
        EXPECT_EQ(1, PrepareSourceDevice(L"\\\\.\\E:", source, 1, &size));
        EXPECT_EQ(0x3200000, size);
        ClaimSourceDevice(L"\\\\.\\E:", source, 1);
        EXPECT_EQ(" source volume locked\n source volume dismounted\n", out.text());
        EXPECT_EQ(0, fake.Count("offline \\\\.\\E:"));   // only a disk goes offline
        EXPECT_EQ(1, fake.Count("flush \\\\.\\E:"));
    }
    void* target = deviceSystem->Open(L"\\\\.\\F:", GENERIC_READ | GENERIC_WRITE, 3, 0);
    {
        fake.Find(L"\\\\.\\F:")->dismountError = ERROR_ACCESS_DENIED;
        CapturedOutput out;
        EXPECT_EQ(1, PrepareTargetDevice(L"\\\\.\\F:", target, 1));
        EXPECT_EQ(" target volume locked\n error ACCESS_DENIED dismounting target volume\n", out.text());
        EXPECT_EQ(1, fake.Count("dasd \\\\.\\F:"));
    }
    {   // a failed lock is silent and the copy goes on
        fake.Find(L"\\\\.\\F:")->lockError = ERROR_ACCESS_DENIED;
        CapturedOutput out;
        EXPECT_EQ(1, PrepareTargetDevice(L"\\\\.\\F:", target, 1));
        EXPECT_EQ("", out.text());
        // a physical drive path is never locked as a volume
        EXPECT_EQ(0, LockAndDismount(L"\\\\.\\PhysicalDrive1", target, "target"));
        EXPECT_EQ("", out.text());
    }
    deviceSystem->Close(source);
    deviceSystem->Close(target);
    EXPECT_EQ(0, fake.openHandles);
}
