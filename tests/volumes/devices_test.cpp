// Raw disks and volumes: sizes in 64 bits, volume locks and the device steps of a copy.
#include "devices.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "fake_device_system.h"

using namespace qtxtest;

namespace {

std::wstring Guid(int n) {
    wchar_t text[40];
    swprintf(text, 40, L"%08x-0000-0000-0000-000000000000", n);
    return text;
}

FakeDevice& Volume(FakeDeviceSystem& fake, int n) { return *fake.Find(L"\\\\?\\Volume{" + Guid(n) + L"}"); }

// Disk 0 with C: (volume 1), disk 1 with E: and F: (volumes 2 and 3), and a floppy whose disk is unknown.
void TwoDisks(FakeDeviceSystem& fake) {
    fake.AddVolume(L'C', Guid(1), 0);
    fake.AddVolume(L'E', Guid(2), 1, 1);
    fake.AddVolume(L'F', Guid(3), 1, 2);
    fake.AddVolume(L'A', Guid(4), -1, 0, DRIVE_REMOVABLE, L"\\Device\\Floppy0");
    fake.AddDisk(0);
    FakeDevice& disk = fake.AddDisk(1);
    disk.hasAttributes = true;
    disk.length = 256LL << 30;
}

}  // namespace

TEST(Devices, SizesAreComputedIn64Bits) {
    FakeDeviceSystem fake;
    FakeDevice& floppy = fake.Add(L"\\\\.\\A:");   // 1.44 MB, no length request
    floppy.hasGeometry = true;
    floppy.geometry = {80, 2, 2, 18, 512};
    FakeDevice& removable = fake.Add(L"\\\\.\\PhysicalDrive4");   // geometry only, above 4 GiB
    removable.hasGeometry = true;
    removable.geometry = {121601, 11, 255, 63, 512};
    FakeDevice& disk = fake.Add(L"\\\\.\\PhysicalDrive1");
    disk.length = 0x1D1C1115E00LL;
    disk.hasGeometry = true;
    disk.geometry = {243201, 12, 255, 63, 4096};
    fake.Add(L"\\\\.\\T:").length = 500107862016LL;
    fake.freeSpace[L"\\\\?\\VOLUME{1}\\"] = {8, 512, 1000, 500000000};   // 2 TB in 4 KiB clusters
    UseFake use(&fake);
    CapturedOutput out;

    EXPECT_EQ(1474560, DeviceSizeOfPath(L"\\\\.\\A:"));
    EXPECT_EQ(121601LL * 255 * 63 * 512, DeviceSize(L"\\\\.\\PhysicalDrive4", nullptr));
    EXPECT_EQ(121601LL * 255 * 63 * 512, TargetDeviceSize(L"\\\\.\\PhysicalDrive4"));
    EXPECT_EQ(0x1D1C1115E00LL, NulSourceSize(L"\\\\.\\PhysicalDrive1"));
    EXPECT_EQ(4096u, SectorSizeOf(L"\\\\.\\PhysicalDrive1"));
    int64_t size = 0;
    EXPECT_EQ(1, MaxTargetSize(L"T:\\", &size));
    EXPECT_EQ(500107862016LL, size);
    EXPECT_EQ(1, MaxTargetSize(L"\\\\?\\Volume{1}\\", &size));
    EXPECT_EQ(2048000000000LL, size);
    EXPECT_EQ(0, MaxTargetSize(L"Q:\\", &size));
    EXPECT_EQ(0, fake.openHandles);
}

TEST(Devices, VolumeLocks) {
    FakeDeviceSystem fake;
    TwoDisks(fake);
    UseFake use(&fake);
    EXPECT_EQ(0, IsVolumeDevice(L"\\\\.\\C:\\"));   // a drive root is a folder
    EXPECT_EQ(1, IsVolumeDevice(L"\\\\.\\C:"));
    EXPECT_EQ(1, IsVolumeDevice((L"\\\\?\\Volume{" + Guid(2) + L"}\\").c_str()));

    // exclusive access fails while a file is open on the volume or it does not dismount
    FakeDevice& e = *fake.Find(L"\\\\.\\E:");
    EXPECT_EQ(1, ExclusiveVolumeAccess(L"\\\\.\\E:\\", GENERIC_WRITE));
    EXPECT_FALSE(e.locked);
    e.lockError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, ExclusiveVolumeAccess(L"\\\\.\\E:", GENERIC_READ));
    EXPECT_EQ(1, e.dismounts) << "an unlocked volume is never dismounted";
    e.lockError = 0;
    e.dismountError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, ExclusiveVolumeAccess(L"\\\\.\\E:", GENERIC_READ));

    // the volumes of disk 1 only; one that refuses the lock is not dismounted
    Volume(fake, 3).lockError = ERROR_ACCESS_DENIED;
    VolumeLockSet set;
    EXPECT_EQ(1, LockVolumesOfDisk(&set, 1));
    EXPECT_EQ(2u, set.count);
    EXPECT_TRUE(Volume(fake, 2).locked);
    EXPECT_EQ(1, Volume(fake, 2).dismounts);
    EXPECT_EQ(0, Volume(fake, 3).dismounts);
    EXPECT_FALSE(Volume(fake, 1).locked);
    UnlockVolumes(&set);
    EXPECT_FALSE(Volume(fake, 2).locked);
    // an unknown disk must not take the volumes whose disk is unknown too (the floppy)
    EXPECT_EQ(1, LockVolumesOfDisk(&set, -1));
    EXPECT_EQ(0u, set.count);
    EXPECT_EQ(0, Volume(fake, 4).dismounts);
    EXPECT_EQ(0, fake.openHandles);
}

TEST(Devices, MoreVolumesThanTheLockSetHoldsRefuseTheRawCopy) {
    FakeDeviceSystem fake;
    fake.AddDisk(2).hasAttributes = true;
    for (int i = 0; i < kVolumeLockCapacity + 1; ++i)
        fake.AddVolume(static_cast<wchar_t>(L'A' + i % 26), Guid(i), 2, i + 1);
    UseFake use(&fake);

    VolumeLockSet set;
    EXPECT_EQ(0, LockVolumesOfDisk(&set, 2));
    EXPECT_EQ(0u, set.count);
    for (const auto& d : fake.devices) EXPECT_FALSE(d.locked) << Narrow(d.path);

    CapturedOutput out;
    void* target = deviceSystem->Open(L"\\\\.\\PhysicalDrive2", GENERIC_READ | GENERIC_WRITE, 3, 0);
    EXPECT_EQ(0, PrepareTargetDevice(L"\\\\.\\PhysicalDrive2", target, 0));
    EXPECT_FALSE(fake.Find(L"\\\\.\\PhysicalDrive2")->offline());
    EXPECT_EQ(0, LockSourceDiskVolumes(L"\\\\.\\PhysicalDrive2"));
    const std::string refusal = "Error: disk has more than 32 volumes -> abort\n";
    EXPECT_EQ(refusal + refusal, out.errors());
    deviceSystem->Close(target);
    EXPECT_EQ(0, fake.openHandles);
}

TEST(Devices, RawDiskAndVolumeAsSourceAndTarget) {
    FakeDeviceSystem fake;
    TwoDisks(fake);
    fake.Find(L"\\\\.\\E:")->length = 0x3200000;
    UseFake use(&fake);
    CapturedOutput out;
    const wchar_t* diskPath = L"\\\\.\\PhysicalDrive1";
    FakeDevice& disk = *fake.Find(diskPath);

    // a disk source: its volumes stay locked for the run, the disk goes offline
    EXPECT_EQ(1, LockSourceDiskVolumes(diskPath));
    EXPECT_TRUE(Volume(fake, 2).locked);
    void* source = deviceSystem->Open(diskPath, GENERIC_READ, 3, 0);
    int64_t size = 0;
    EXPECT_EQ(1, PrepareSourceDevice(diskPath, source, 0, &size));
    EXPECT_EQ(256LL << 30, size);
    ClaimSourceDevice(diskPath, source, 0);
    EXPECT_TRUE(disk.offline());
    deviceSystem->Close(source);
    // a second disk copy gives the first disk's volumes back
    EXPECT_EQ(1, LockSourceDiskVolumes(L"\\\\.\\PhysicalDrive9"));
    EXPECT_FALSE(Volume(fake, 2).locked);

    // a disk target goes offline and its volumes are unlocked again
    disk.attributes = 0;
    Volume(fake, 3).dismounts = 0;
    void* target = deviceSystem->Open(diskPath, GENERIC_READ | GENERIC_WRITE, 3, 0);
    EXPECT_EQ(1, PrepareTargetDevice(diskPath, target, 0));
    EXPECT_TRUE(disk.offline());
    EXPECT_EQ(1, Volume(fake, 3).dismounts);
    for (const auto& d : fake.devices) EXPECT_FALSE(d.locked) << Narrow(d.path);
    // refusing to go offline lets the copy go on; write protection and missing media end it
    disk.attributes = 0;
    disk.setAttributesError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(1, PrepareTargetDevice(diskPath, target, 0));
    disk.writableError = ERROR_WRITE_PROTECT;
    EXPECT_EQ(0, PrepareTargetDevice(diskPath, target, 0));
    disk.writableError = ERROR_INVALID_FUNCTION;   // a disk that cannot tell is writable
    disk.checkVerifyError = ERROR_NOT_READY;
    EXPECT_EQ(0, PrepareTargetDevice(diskPath, target, 0));
    deviceSystem->Close(target);

    // a volume source has the volume's length and is never taken offline
    source = deviceSystem->Open(L"\\\\.\\E:", GENERIC_READ, 3, 0);
    EXPECT_EQ(1, PrepareSourceDevice(L"\\\\.\\E:", source, 1, &size));
    EXPECT_EQ(0x3200000, size);
    ClaimSourceDevice(L"\\\\.\\E:", source, 1);
    EXPECT_FALSE(fake.Find(L"\\\\.\\E:")->offline());
    // a volume target that cannot be locked is still written
    fake.Find(L"\\\\.\\F:")->lockError = ERROR_ACCESS_DENIED;
    target = deviceSystem->Open(L"\\\\.\\F:", GENERIC_READ | GENERIC_WRITE, 3, 0);
    EXPECT_EQ(1, PrepareTargetDevice(L"\\\\.\\F:", target, 1));
    deviceSystem->Close(source);
    deviceSystem->Close(target);
    EXPECT_EQ(0, fake.openHandles);
}
