// The texts and layout of the disk and volume tables: sizes, bus types,
// device names, line order. No device is touched here.
#include <cstring>
#include <cwchar>

#include "folder_listing.h"
#include "heap_memory.h"
#include "text_format.h"
#include "volume_listing.h"

namespace {

constexpr size_t kLineCapacity = 1024;

const wchar_t* Trimmed(const wchar_t* text, size_t* length) {
    while (*text == L' ' || *text == L'\t') ++text;
    size_t n = wcslen(text);
    while (n > 0 && (text[n - 1] == L' ' || text[n - 1] == L'\t')) --n;
    *length = n;
    return text;
}

// Appends at most maxChars characters and keeps the line terminated within capacity.
void Append(wchar_t* line, size_t* length, size_t capacity, const wchar_t* text, size_t maxChars) {
    for (size_t i = 0; i < maxChars && text[i] && *length + 1 < capacity; ++i) line[(*length)++] = text[i];
    line[*length] = 0;
}

void CopyAnsiAt(const unsigned char* buffer, uint32_t limit, uint32_t offset, char* out, size_t capacity) {
    out[0] = 0;
    if (offset == 0 || offset >= limit) return;
    size_t n = 0;
    while (n + 1 < capacity && offset + n < limit && buffer[offset + n]) {
        out[n] = static_cast<char>(buffer[offset + n]);
        ++n;
    }
    out[n] = 0;
}

uint32_t ReadU32(const unsigned char* at) {
    uint32_t value;
    memcpy(&value, at, 4);
    return value;
}

int IsLetterMount(const VolumeEntry& entry) {
    wchar_t c = entry.mountPath[0];
    return ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')) && entry.mountPath[1] == L':' &&
           entry.mountPath[2] == 0;
}

// A size text beginning with 0 is a device without media.
int IsShown(const VolumeEntry& entry) { return entry.sizeText[0] != L'0'; }

void EmitVolumeLine(const VolumeEntry& entry, const wchar_t* first, int column, int nameRoom, ListingLineSink sink,
                    void* context) {
    wchar_t line[kLineCapacity];
    FormatTextW(line, kLineCapacity, L"%-3s %-22s Disk%-3i %-8s %-7s %s", first, entry.devicePath, entry.diskNumber,
                entry.busTypeName ? entry.busTypeName : L"", entry.sizeText, entry.label);
    size_t length = wcslen(line);
    if (nameRoom > 0 && entry.deviceName[0]) {
        // Blanks stand where a console would move the cursor, so that redirected
        // lines keep the column and the label never runs into the name.
        do Append(line, &length, kLineCapacity, L" ", 1);
        while (length < static_cast<size_t>(column) && length + 1 < kLineCapacity);
        Append(line, &length, kLineCapacity, entry.deviceName, static_cast<size_t>(nameRoom));
    }
    Append(line, &length, kLineCapacity, L"\n", 1);
    sink(line, context);
}

}  // namespace

const wchar_t* BusTypeName(uint32_t busType) {
    static const wchar_t* const names[] = {L"Unknown", L"SCSI", L"ATAPI",   L"ATA",     L"FireWire",
                                           L"SSA",     L"Fibre", L"USB",     L"RAID",    L"iSCSI",
                                           L"SAS",     L"SATA",  L"SD",      L"MMC",     L"Virtual",
                                           L"Virtual", L"Spaces", L"NVMe",   L"SCM",     L"UFS"};
    return busType < sizeof names / sizeof names[0] ? names[busType] : L"Unknown";
}

int DiskSizeText(int64_t length, wchar_t* out, size_t capacity) {
    if (length < 0) return FormatTextW(out, capacity, L"untested");
    uint64_t n = static_cast<uint64_t>(length);
    uint64_t m = n / 1000000;
    if (m >= 1000000) return FormatTextW(out, capacity, L"%I64u %s", (m + 500000) / 1000000, L"TB");
    if (m >= 1000) return FormatTextW(out, capacity, L"%I64u %s", (m + 500) / 1000, L"GB");
    uint64_t k = (n + 500) / 1000;
    if (k > 1000) return FormatTextW(out, capacity, L"%I64u MB", (k + 500) / 1000);
    if (k >= 2) return FormatTextW(out, capacity, L"%I64u KB", k);
    return FormatTextW(out, capacity, L"%I64u Bytes", n);
}

int DeviceNameText(const wchar_t* vendor, const wchar_t* product, wchar_t* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t vendorLength, productLength;
    const wchar_t* v = Trimmed(vendor, &vendorLength);
    const wchar_t* p = Trimmed(product, &productLength);
    // the product text already names the vendor
    if (productLength >= vendorLength && wcsncmp(p, v, vendorLength) == 0) vendorLength = 0;
    size_t length = 0;
    out[0] = 0;
    Append(out, &length, capacity, v, vendorLength);
    if (vendorLength + productLength + 2 < capacity) {
        if (vendorLength && productLength) Append(out, &length, capacity, L" ", 1);
        Append(out, &length, capacity, p, productLength);
    }
    ReplaceAllNoCase(out, L"Generic- ", L"Generic ");
    return static_cast<int>(wcslen(out));
}

int ParseDeviceDescriptor(const unsigned char* buffer, uint32_t returned, uint32_t* busType, char* vendor,
                          char* product, size_t capacity) {
    vendor[0] = product[0] = 0;
    if (returned < 32) return 0;
    // offsets count only within what the device both wrote and declared
    uint32_t limit = returned < kListingDescriptorSize ? returned : kListingDescriptorSize;
    uint32_t declared = ReadU32(buffer + 4);
    if (declared < limit) limit = declared;
    *busType = ReadU32(buffer + 28);
    CopyAnsiAt(buffer, limit, ReadU32(buffer + 12), vendor, capacity);
    CopyAnsiAt(buffer, limit, ReadU32(buffer + 16), product, capacity);
    return 1;
}

void PrintDisks(const DiskList* list, ListingLineSink sink, void* context) {
    if (list->count <= 0) return;
    // by disk number, entries of one number in list order
    auto* order = static_cast<int32_t*>(AllocZero(static_cast<size_t>(list->count) * sizeof(int32_t)));
    for (int32_t i = 0; i < list->count; ++i) {
        int32_t j = i;
        while (j > 0 && list->entries[order[j - 1]].diskNumber > list->entries[i].diskNumber) {
            order[j] = order[j - 1];
            --j;
        }
        order[j] = i;
    }
    wchar_t line[kLineCapacity];
    for (int32_t i = 0; i < list->count; ++i) {
        const DiskEntry& entry = list->entries[order[i]];
        if (entry.diskNumber < 0 || entry.diskNumber > list->highestDisk) continue;
        FormatTextW(line, kLineCapacity, L"Disk%-4i %-21s %-8s %-7s %s\n", entry.diskNumber, entry.devicePath,
                    entry.busTypeName ? entry.busTypeName : L"", entry.sizeText, entry.deviceName);
        sink(line, context);
    }
    FreeMemory(order);
}

void PrintVolumes(const VolumeList* list, int width, ListingLineSink sink, void* context) {
    int column = list->longestLabel + 54;
    int nameRoom = 0;
    if (width - 1 - column >= 11) nameRoom = width - column - 2;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter)
        for (int32_t i = 0; i < list->count; ++i) {
            const VolumeEntry& entry = list->entries[i];
            if (IsShown(entry) && IsLetterMount(entry) && (entry.mountPath[0] & ~0x20) == letter)
                EmitVolumeLine(entry, entry.mountPath, column, nameRoom, sink, context);
        }
    for (int32_t i = 0; i < list->count; ++i) {
        const VolumeEntry& entry = list->entries[i];
        if (IsShown(entry) && !IsLetterMount(entry))
            EmitVolumeLine(entry, entry.mountPath[0] ? L"mp" : L"--", column, nameRoom, sink, context);
    }
}
