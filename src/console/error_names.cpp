// Short names of the system error codes that messages print.
#include <windows.h>

#include "text_format.h"

namespace {

struct ErrorNameRow {
    uint32_t code;
    const char* name;
};

constexpr ErrorNameRow kErrorNames[] = {
    {1, "INVALID_FUNCTION"},       {2, "FILE_NOT_FOUND"},          {3, "PATH_NOT_FOUND"},
    {5, "ACCESS_DENIED"},          {19, "WRITE_PROTECT"},          {21, "NOT_READY"},
    {23, "CRC"},                   {27, "SECTOR_NOT_FOUND"},       {31, "GEN_FAILURE"},
    {32, "SHARING_VIOLATION"},     {33, "LOCK_VIOLATION"},         {34, "WRONG_DISK"},
    {38, "HANDLE_EOF"},            {50, "NOT_SUPPORTED"},         {53, "BAD_NETPATH"},            {54, "NETWORK_BUSY"},
    {55, "DEV_NOT_EXIST"},         {59, "UNEXP_NET_ERR"},          {64, "NETNAME_DELETED"},
    {87, "INVALID_PARAMETER"},     {112, "DISK_FULL"},             {121, "SEM_TIMEOUT"},
    {123, "INVALID_NAME"},         {144, "DIR_NOT_ROOT"},          {183, "ALREADY_EXISTS"},
    {206, "FILENAME_EXCED_RANGE"}, {225, "VIRUS_INFECTED"},        {433, "NO_SUCH_DEVICE"},
    {483, "DEVICE_HARDWARE_ERROR"}, {665, "FILE_SYSTEM_LIMITATION"}, {1006, "FILE_INVALID"},
    {1110, "MEDIA_CHANGED"},       {1112, "NO_MEDIA_IN_DRIVE"},    {1117, "IO_DEVICE"},
    {1127, "DISK_OPERATION_FAILED"}, {1128, "DISK_RESET_FAILED"},  {1392, "FILE_CORRUPT"},
    {1450, "NO_SYSTEM_RESOURCES"}, {1920, "CANT_ACCESS_FILE"},     {1921, "CANT_RESOLVE_FILENAME"},
};

// Worker threads may name an unlisted code while the main thread does.
thread_local char unlistedName[64];

char* messageRing[10];
int messageSlot;

}  // namespace

const char* ErrorName(uint32_t code) {
    for (const ErrorNameRow& row : kErrorNames)
        if (row.code == code) return row.name;
    FormatText(unlistedName, sizeof unlistedName, "%u", code);
    return unlistedName;
}

const char* LastErrorName() { return ErrorName(GetLastError()); }

const char* LastErrorText() {
    DWORD code = GetLastError();
    messageSlot = (messageSlot + 1) % 10;
    if (messageRing[messageSlot]) {
        LocalFree(messageRing[messageSlot]);
        messageRing[messageSlot] = nullptr;
    }
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0x400,
                   reinterpret_cast<char*>(&text), 0, nullptr);
    messageRing[messageSlot] = text;
    if (!text) return "";
    for (char* p = text; *p; ++p)
        if (*p == '\n' || *p == '\r') *p = ' ';
    CharToOemA(text, text);
    return text;
}
