// Raw disks and volumes: 64-bit lengths, which volumes are locked, and what ends a raw copy.
#include "devices.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_device_system.h"

using namespace qtxtest;

namespace {

FakeDevice& Volume(FakeDeviceSystem& fake, int n) { return *fake.Find(L"\\\\?\\Volume{" + std::to_wstring(n) + L"}"); }

// Disk 0 with C: (volume 1), disk 1 with E: and F: (volumes 2 and 3), and a floppy whose disk is unknown.
class Devices : public ::testing::Test {
protected:
    void SetUp() override {
        fake.AddVolume(L'C', std::to_wstring(1), 0);
        fake.AddVolume(L'E', std::to_wstring(2), 1);
        fake.AddVolume(L'F', std::to_wstring(3), 1);
        fake.AddVolume(L'A', std::to_wstring(4), -1);
        fake.AddDisk(0);
        fake.AddDisk(1).length = 256LL << 30;
    }
    void TearDown() override { EXPECT_EQ(0, fake.openHandles); }
    FakeDeviceSystem fake;
    UseFake use{&fake};
    CapturedOutput out;
};

}  // namespace

TEST_F(Devices, LengthsAreComputedIn64Bits) {
    // a 1.44 MB floppy and a removable disk above 4 GiB answer only with their geometry
    fake.Add(L"\\\\.\\B:").geometry = {80, 2, 2, 18, 512};
    fake.Add(L"\\\\.\\PhysicalDrive4").geometry = {121601, 11, 255, 63, 512};
    fake.Find(L"\\\\.\\E:")->length = 500107862016LL;
    fake.freeSpace = {8, 512, 1000, 500000000};   // 2 TB in 4 KiB clusters

    EXPECT_EQ(1474560, DeviceSizeOfPath(L"\\\\.\\B:"));
    EXPECT_EQ(121601LL * 255 * 63 * 512, DeviceSize(L"\\\\.\\PhysicalDrive4", nullptr));
    EXPECT_EQ(121601LL * 255 * 63 * 512, TargetDeviceSize(L"\\\\.\\PhysicalDrive4"));
    EXPECT_EQ(256LL << 30, NulSourceSize(L"\\\\.\\PhysicalDrive1"));
    int64_t size = 0;
    EXPECT_EQ(1, MaxTargetSize(L"E:\\", &size));
    EXPECT_EQ(500107862016LL, size);
    EXPECT_EQ(1, MaxTargetSize(L"\\\\?\\Volume{1}\\", &size));
    EXPECT_EQ(2048000000000LL, size);
}

TEST_F(Devices, OnlyTheVolumesOfTheDiskAreLocked) {
    EXPECT_EQ(1, IsVolumeDevice(L"\\\\.\\C:"));
    EXPECT_EQ(0, IsVolumeDevice(L"\\\\.\\C:\\")) << "a drive root is a folder";
    // exclusive access ends with the volume unlocked; a volume that does not dismount has none
    FakeDevice& e = *fake.Find(L"\\\\.\\E:");
    EXPECT_EQ(1, ExclusiveVolumeAccess(L"\\\\.\\E:\\", GENERIC_WRITE));
    EXPECT_FALSE(e.locked);
    e.dismountError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, ExclusiveVolumeAccess(L"\\\\.\\E:", GENERIC_READ));
    e.locked = false;

    // an unknown disk takes no volume whose disk is unknown (the floppy)
    EXPECT_EQ(1, LockSourceDiskVolumes(L"\\\\.\\PhysicalDrive9"));
    EXPECT_EQ(0, Volume(fake, 4).dismounts);
}

TEST_F(Devices, TargetDiskGoesOfflineUnlessItCannotBeWritten) {
    const wchar_t* diskPath = L"\\\\.\\PhysicalDrive1";
    FakeDevice& disk = *fake.Find(diskPath);
    void* target = deviceSystem->Open(diskPath, GENERIC_READ | GENERIC_WRITE, 3, 0);
    // refusing to go offline lets the copy go on; write protection and missing media end it
    disk.setAttributesError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(1, PrepareTargetDevice(diskPath, target, 0));
    disk.writableError = ERROR_WRITE_PROTECT;
    EXPECT_EQ(0, PrepareTargetDevice(diskPath, target, 0));
    disk.writableError = ERROR_INVALID_FUNCTION;   // a disk that cannot tell is writable
    disk.checkVerifyError = ERROR_NOT_READY;
    EXPECT_EQ(0, PrepareTargetDevice(diskPath, target, 0));

    // more volumes than the lock set holds: one would stay mounted, so neither copy direction goes on
    disk.checkVerifyError = 0, disk.attributes = 0;
    for (int i = 10; i < 10 + kVolumeLockCapacity; ++i) fake.AddVolume(L'G', std::to_wstring(i), 1);
    EXPECT_EQ(0, PrepareTargetDevice(diskPath, target, 0));
    EXPECT_FALSE(disk.offline());
    EXPECT_EQ(0, LockSourceDiskVolumes(diskPath));
    for (const auto& d : fake.devices) EXPECT_FALSE(d.locked) << Narrow(d.path);
    EXPECT_NE(std::string::npos, out.errors().find("more than 32 volumes -> abort"));
    deviceSystem->Close(target);
}
