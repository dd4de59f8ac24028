// The disk and volume tables, from answers recorded on real machines.
#include "volume_listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_device_system.h"
#include "heap_memory.h"

using namespace qtxtest;

namespace {

void Collect(const wchar_t* line, void* context) { static_cast<std::vector<std::wstring>*>(context)->push_back(line); }

std::wstring SizeText(int64_t length) {
    wchar_t text[kListingSizeTextCapacity];
    DiskSizeText(length, text, kListingSizeTextCapacity);
    return text;
}

std::wstring NameText(const wchar_t* vendor, const wchar_t* product, size_t capacity = kDeviceNameTextLimit) {
    std::vector<wchar_t> out(capacity + 8, L'#');
    DeviceNameText(vendor, product, out.data(), capacity);
    EXPECT_EQ(L'#', out[capacity]) << "written beyond the capacity";
    return out.data();
}

// A STORAGE_DEVICE_DESCRIPTOR as a device writes it: the texts behind the fixed part.
std::vector<unsigned char> Descriptor(uint32_t bus, const std::string& vendor, const std::string& product) {
    std::vector<unsigned char> d(40, 0);
    auto put32 = [&d](size_t at, uint32_t value) { memcpy(&d[at], &value, 4); };
    put32(0, 40);
    put32(28, bus);
    if (!vendor.empty()) {
        put32(12, static_cast<uint32_t>(d.size()));
        d.insert(d.end(), vendor.begin(), vendor.end());
        d.push_back(0);
    }
    if (!product.empty()) {
        put32(16, static_cast<uint32_t>(d.size()));
        d.insert(d.end(), product.begin(), product.end());
        d.push_back(0);
    }
    put32(4, static_cast<uint32_t>(d.size()));
    return d;
}

FakeDevice& DiskInterface(FakeDeviceSystem& fake, const std::wstring& path, int disk) {
    fake.diskInterfaces.push_back(path);
    FakeDevice& d = fake.Add(path);
    if (disk >= 0) {
        d.hasNumber = true;
        d.diskNumber = disk;
    }
    return d;
}

// NVMe system disk 0, SATA disk 1, a file-backed virtual disk 2 and a stale
// interface without a disk number, in the order setupapi gave them.
void DiskMachine(FakeDeviceSystem& fake) {
    const std::wstring tail = L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    DiskInterface(fake, L"\\\\?\\scsi#disk&ven_nvme&prod_samsung_ssd_970#5&1&0&000000" + tail, 0);
    DiskInterface(fake, L"\\\\?\\scsi#disk&ven_msft&prod_virtual_disk#2&1f4adffe&0&000001" + tail, 2);
    DiskInterface(fake, L"\\\\?\\scsi#disk&ven_removed#3&2&0&000000" + tail, -1);
    DiskInterface(fake, L"\\\\?\\scsi#disk&ven_&prod_st2000dm008-2fr10#4&2a6f1a6&0&010000" + tail, 1);
    FakeDevice& nvme = fake.AddDisk(0);
    nvme.length = 1000204886016LL;
    nvme.descriptor = Descriptor(17, "", "Samsung SSD 970 EVO Plus 1TB");
    FakeDevice& sata = fake.AddDisk(1);
    sata.length = 2000398934016LL;
    sata.descriptor = Descriptor(11, "", "ST2000DM008-2FR102");
    FakeDevice& vhd = fake.AddDisk(2);
    vhd.length = 10737418240LL;
    vhd.descriptor = Descriptor(15, "Msft    ", "Virtual Disk    ");
}

// A volume as the volume search, QueryDosDeviceW and the mount-path query know it.
FakeDevice& ListedVolume(FakeDeviceSystem& fake, const std::wstring& guid, const std::wstring& dosName, int disk,
                         const std::wstring& mountPaths, const std::wstring& label, int64_t length) {
    std::wstring volume = L"\\\\?\\Volume{" + guid + L"}";
    fake.volumeList.push_back(volume + L"\\");
    fake.dosDevices[Upper(L"Volume{" + guid + L"}")] = dosName;
    fake.mountPaths[Upper(volume + L"\\")] = mountPaths;
    fake.labels[Upper(volume + L"\\")] = label;
    FakeDevice& d = fake.Add(volume);
    if (disk >= 0) {
        d.hasNumber = true;
        d.diskNumber = disk;
        d.partition = 1;
    }
    d.length = length;
    return d;
}

// The volumes of the disk machine: a recovery partition without mount path,
// D: also mounted in a folder, C:, a virtual disk mounted only in a folder,
// and a CD-ROM.
void VolumeMachine(FakeDeviceSystem& fake) {
    const std::wstring nul(1, L'\0');
    ListedVolume(fake, L"0a0a0a0a-0000-0000-0000-000000000001", L"\\Device\\HarddiskVolume1", 0, L"", L"", 554696704)
        .descriptor = Descriptor(17, "", "Samsung SSD 970 EVO Plus 1TB");
    ListedVolume(fake, L"0d0d0d0d-0000-0000-0000-000000000005", L"\\Device\\HarddiskVolume5", 1,
                 L"D:\\" + nul + L"C:\\mnt\\daten\\" + nul, L"Daten", 2000396836864LL)
        .descriptor = Descriptor(11, "", "ST2000DM008-2FR102");
    ListedVolume(fake, L"0c0c0c0c-0000-0000-0000-000000000003", L"\\Device\\HarddiskVolume3", 0, L"C:\\" + nul,
                 L"System", 999000000000LL)
        .descriptor = Descriptor(17, "", "Samsung SSD 970 EVO Plus 1TB");
    ListedVolume(fake, L"07070707-0000-0000-0000-000000000007", L"\\Device\\HarddiskVolume7", 2,
                 L"C:\\vhd\\images\\" + nul, L"Virtual Disks", 10734272512LL)
        .descriptor = Descriptor(15, "Msft    ", "Virtual Disk    ");
    ListedVolume(fake, L"0f0f0f0f-0000-0000-0000-00000000000f", L"\\Device\\CdRom0", -1, L"F:\\" + nul, L"DVD",
                 4700000000LL);
}

struct VolumeScan {
    VolumeList list;
    VolumeScan() { ScanVolumes(&list); }
    ~VolumeScan() { FreeMemory(list.entries); }
};

struct DiskScan {
    DiskList list;
    DiskScan() { ScanDisks(&list); }
    ~DiskScan() { FreeMemory(list.entries); }
};

}  // namespace

TEST(VolumeListing, SizeAndNameTextsStayWithinTheirCapacity) {
    EXPECT_EQ(L"2 TB", SizeText(2000000000000LL + 123456));
    EXPECT_EQ(L"9223372 TB", SizeText(INT64_MAX));   // 64-bit throughout, within 16 characters
    wchar_t small[5];
    DiskSizeText(1499, small, 5);
    EXPECT_EQ(std::wstring(L"1499"), small);
    EXPECT_EQ(L"Generic SD/MMC", NameText(L"Generic-", L"SD/MMC          "));
    // vendor and product that do not fit together leave the vendor alone
    std::wstring product(250, L'p');
    EXPECT_EQ(L"Vendor1234", NameText(L"Vendor1234", product.c_str()));
    EXPECT_EQ(L"Vendor1234 " + product, NameText(L"Vendor1234", product.c_str(), 263));
    EXPECT_EQ(std::wstring(255, L'v'), NameText(std::wstring(300, L'v').c_str(), L"x"));
}

TEST(VolumeListing, DescriptorTextsStayWithinTheAnswer) {
    std::vector<unsigned char> buffer(kListingDescriptorSize, 0);
    std::vector<unsigned char> d = Descriptor(11, "ATA     ", "Crucial_CT500MX200SSD1");
    memcpy(buffer.data(), d.data(), d.size());
    uint32_t bus = 99;
    char vendor[129], product[129];
    ASSERT_EQ(1, ParseDeviceDescriptor(buffer.data(), static_cast<uint32_t>(d.size()), &bus, vendor, product, 129));
    EXPECT_EQ(11u, bus);
    EXPECT_STREQ("ATA     ", vendor);
    EXPECT_STREQ("Crucial_CT500MX200SSD1", product);

    // offsets beyond the declared size are not followed
    uint32_t declared = 48;
    memcpy(&buffer[4], &declared, 4);
    ParseDeviceDescriptor(buffer.data(), static_cast<uint32_t>(d.size()), &bus, vendor, product, 129);
    EXPECT_STREQ("ATA     ", vendor);
    EXPECT_STREQ("", product);
    // nor beyond what the request returned, whatever the device declares
    declared = 0xFFFFFFFF;
    memcpy(&buffer[4], &declared, 4);
    ParseDeviceDescriptor(buffer.data(), 44, &bus, vendor, product, 129);
    EXPECT_STREQ("ATA ", vendor);
    EXPECT_STREQ("", product);
    // an unterminated text ends at the buffer's end and within the capacity
    std::vector<unsigned char> full(kListingDescriptorSize, 'x');
    uint32_t offset = 40, size = kListingDescriptorSize, zero = 0;
    memcpy(&full[4], &size, 4);
    memcpy(&full[12], &offset, 4);
    memcpy(&full[16], &zero, 4);
    ParseDeviceDescriptor(full.data(), kListingDescriptorSize, &bus, vendor, product, 129);
    EXPECT_EQ(128u, strlen(vendor));
    EXPECT_STREQ("", product);
    EXPECT_EQ(0, ParseDeviceDescriptor(buffer.data(), 31, &bus, vendor, product, 129)) << "no room for a bus type";
}

TEST(VolumeListing, DisksPrintInNumberOrderWithTheirFacts) {
    FakeDeviceSystem fake;
    DiskMachine(fake);
    UseFake use(&fake);
    DiskScan scan;
    EXPECT_EQ(3, scan.list.count) << "the interface without a disk number is left out";
    EXPECT_EQ(4, scan.list.capacity);
    EXPECT_EQ(2, scan.list.highestDisk);
    std::vector<std::wstring> lines;
    PrintDisks(&scan.list, Collect, &lines);
    ASSERT_EQ(3u, lines.size());
    // in number order, each with its bus, 64-bit size and name; the vendor's padding trimmed
    EXPECT_EQ(0u, lines[0].find(L"Disk0    \\\\.\\PhysicalDrive0    NVMe     1 TB    Samsung SSD 970 EVO Plus 1TB"));
    EXPECT_EQ(0u, lines[1].find(L"Disk1    \\\\.\\PhysicalDrive1    SATA     2 TB"));
    EXPECT_EQ(0u, lines[2].find(L"Disk2    \\\\.\\PhysicalDrive2    Virtual  11 GB   Msft Virtual Disk\n"));
    EXPECT_EQ(0, fake.openHandles);
}

namespace {
// Disks and volumes that appear between the count and the walk.
class GrowingFake : public FakeDeviceSystem {
public:
    int diskWalks = 0, volumeSearches = 0;
    int ForEachDiskInterface(InterfaceVisitor visit, void* context) override {
        if (++diskWalks == 2)
            for (int i = 10; i < 14; ++i) DiskInterface(*this, L"\\\\?\\usbstor#late" + std::to_wstring(i), i);
        return FakeDeviceSystem::ForEachDiskInterface(visit, context);
    }
    void* FirstVolume(wchar_t* name, uint32_t capacity) override {
        if (++volumeSearches == 2)
            for (int i = 0; i < 4; ++i)
                ListedVolume(*this, L"1a1a1a1a-0000-0000-0000-00000000000" + std::to_wstring(i),
                             L"\\Device\\HarddiskVolume2" + std::to_wstring(i), 4, L"", L"Late", 1000000);
        return FakeDeviceSystem::FirstVolume(name, capacity);
    }
};
}  // namespace

TEST(VolumeListing, SecondWalkIsBoundedByTheCount) {
    GrowingFake fake;
    DiskInterface(fake, L"\\\\?\\scsi#disk#0", 0);
    ListedVolume(fake, L"0c0c0c0c-0000-0000-0000-000000000003", L"\\Device\\HarddiskVolume3", 0, L"C:\\", L"System",
                 1000000);
    UseFake use(&fake);
    {
        DiskScan scan;
        EXPECT_EQ(1, scan.list.capacity);
        EXPECT_EQ(1, scan.list.count);
        EXPECT_EQ(0, scan.list.highestDisk) << "an entry without room does not count";
    }
    {
        VolumeScan scan;
        EXPECT_EQ(1, scan.list.capacity);
        ASSERT_EQ(1, scan.list.count);
        EXPECT_STREQ(L"\\\\.\\HarddiskVolume3", scan.list.entries[0].devicePath);
        EXPECT_EQ(6, scan.list.longestLabel);
    }
    EXPECT_EQ(0, fake.openHandles);
}

TEST(VolumeListing, VolumeTableMapsVolumesToTheirDisks) {
    FakeDeviceSystem fake;
    VolumeMachine(fake);
    UseFake use(&fake);
    VolumeScan scan;
    ASSERT_EQ(4, scan.list.count) << "the CD-ROM is not a hard disk volume";
    std::vector<std::wstring> lines;
    PrintVolumes(&scan.list, 9000, Collect, &lines);
    ASSERT_EQ(4u, lines.size());
    // drive letter or first mount folder ("mp"), none ("--"); each on the disk its number names
    const wchar_t* starts[] = {L"C:  \\\\.\\HarddiskVolume3    Disk0   NVMe     999 GB  System",
                               L"D:  \\\\.\\HarddiskVolume5    Disk1   SATA     2 TB    Daten",
                               L"--  \\\\.\\HarddiskVolume1    Disk0   NVMe     555 MB  ",
                               L"mp  \\\\.\\HarddiskVolume7    Disk2   Virtual  11 GB   Virtual Disks"};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(0u, lines[i].find(starts[i])) << Narrow(lines[i]);
    EXPECT_EQ(0, fake.openHandles);
}
