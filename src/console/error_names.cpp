// Short names of the system error codes that messages print.
#include <windows.h>

#include "text_format.h"

namespace {

struct ErrorNameRow {
    uint32_t code;
    const char* name;
};

// The Windows constant names without their ERROR_ prefix, for the codes a
// copy can meet; any other code prints as its number.
constexpr ErrorNameRow kErrorNames[] = {
    {1, "INVALID_FUNCTION"}, {2, "FILE_NOT_FOUND"}, {3, "PATH_NOT_FOUND"}, {4, "TOO_MANY_OPEN_FILES"},
    {5, "ACCESS_DENIED"}, {6, "INVALID_HANDLE"}, {8, "NOT_ENOUGH_MEMORY"}, {14, "OUTOFMEMORY"}, {15, "INVALID_DRIVE"},
    {16, "CURRENT_DIRECTORY"}, {17, "NOT_SAME_DEVICE"}, {18, "NO_MORE_FILES"}, {19, "WRITE_PROTECT"},
    {20, "BAD_UNIT"}, {21, "NOT_READY"}, {22, "BAD_COMMAND"}, {23, "CRC"}, {24, "BAD_LENGTH"}, {25, "SEEK"},
    {26, "NOT_DOS_DISK"}, {27, "SECTOR_NOT_FOUND"}, {29, "WRITE_FAULT"}, {30, "READ_FAULT"}, {31, "GEN_FAILURE"},
    {32, "SHARING_VIOLATION"}, {33, "LOCK_VIOLATION"}, {34, "WRONG_DISK"}, {36, "SHARING_BUFFER_EXCEEDED"},
    {38, "HANDLE_EOF"}, {39, "HANDLE_DISK_FULL"}, {50, "NOT_SUPPORTED"}, {51, "REM_NOT_LIST"}, {53, "BAD_NETPATH"},
    {54, "NETWORK_BUSY"}, {55, "DEV_NOT_EXIST"}, {59, "UNEXP_NET_ERR"}, {64, "NETNAME_DELETED"},
    {65, "NETWORK_ACCESS_DENIED"}, {66, "BAD_DEV_TYPE"}, {67, "BAD_NET_NAME"}, {80, "FILE_EXISTS"},
    {82, "CANNOT_MAKE"}, {87, "INVALID_PARAMETER"}, {110, "OPEN_FAILED"}, {111, "BUFFER_OVERFLOW"},
    {112, "DISK_FULL"}, {120, "CALL_NOT_IMPLEMENTED"}, {121, "SEM_TIMEOUT"}, {122, "INSUFFICIENT_BUFFER"},
    {123, "INVALID_NAME"}, {126, "MOD_NOT_FOUND"}, {127, "PROC_NOT_FOUND"}, {131, "NEGATIVE_SEEK"},
    {132, "SEEK_ON_DEVICE"}, {144, "DIR_NOT_ROOT"}, {145, "DIR_NOT_EMPTY"}, {148, "PATH_BUSY"}, {158, "NOT_LOCKED"},
    {161, "BAD_PATHNAME"}, {170, "BUSY"}, {183, "ALREADY_EXISTS"}, {206, "FILENAME_EXCED_RANGE"},
    {225, "VIRUS_INFECTED"}, {232, "NO_DATA"}, {234, "MORE_DATA"}, {259, "NO_MORE_ITEMS"}, {267, "DIRECTORY"},
    {282, "EAS_NOT_SUPPORTED"}, {299, "PARTIAL_COPY"}, {303, "DELETE_PENDING"}, {433, "NO_SUCH_DEVICE"},
    {483, "DEVICE_HARDWARE_ERROR"}, {487, "INVALID_ADDRESS"}, {665, "FILE_SYSTEM_LIMITATION"},
    {995, "OPERATION_ABORTED"}, {998, "NOACCESS"}, {1005, "UNRECOGNIZED_VOLUME"}, {1006, "FILE_INVALID"},
    {1110, "MEDIA_CHANGED"}, {1112, "NO_MEDIA_IN_DRIVE"}, {1117, "IO_DEVICE"}, {1127, "DISK_OPERATION_FAILED"},
    {1128, "DISK_RESET_FAILED"}, {1129, "DISK_RECALIBRATE_FAILED"}, {1130, "NOT_ENOUGH_SERVER_MEMORY"},
    {1142, "TOO_MANY_LINKS"}, {1167, "DEVICE_NOT_CONNECTED"}, {1168, "NOT_FOUND"}, {1224, "USER_MAPPED_FILE"},
    {1231, "NETWORK_UNREACHABLE"}, {1235, "REQUEST_ABORTED"}, {1300, "NOT_ALL_ASSIGNED"}, {1307, "INVALID_OWNER"},
    {1314, "PRIVILEGE_NOT_HELD"}, {1326, "LOGON_FAILURE"}, {1336, "INVALID_ACL"}, {1337, "INVALID_SID"},
    {1338, "INVALID_SECURITY_DESCR"}, {1359, "INTERNAL_ERROR"}, {1392, "FILE_CORRUPT"}, {1450, "NO_SYSTEM_RESOURCES"},
    {1455, "COMMITMENT_LIMIT"}, {1460, "TIMEOUT"}, {1784, "INVALID_USER_BUFFER"}, {1785, "UNRECOGNIZED_MEDIA"},
    {1920, "CANT_ACCESS_FILE"}, {1921, "CANT_RESOLVE_FILENAME"}, {4390, "NOT_A_REPARSE_POINT"},
    {4392, "INVALID_REPARSE_DATA"}, {4393, "REPARSE_TAG_INVALID"}, {4394, "REPARSE_TAG_MISMATCH"},
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
