// Facts about the running system, read once at start.
#pragma once
#include <cstdint>

struct OsVersion {
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    uint32_t packed;   // 0x601 for Windows 7, 0x1000 for Windows 10
};

struct FileVersionRecord {
    uint16_t major, minor, build, revision;
    wchar_t text[25];
};

extern OsVersion osVersion;
extern FileVersionRecord programVersion;

uint32_t PackOsVersion(uint32_t major, uint32_t minor);
void ReadOsVersion(OsVersion* version);
void FormatFileVersion(FileVersionRecord* record);
int OwnFileVersion(const wchar_t* path, FileVersionRecord* record);
void* LoadSystemLibrary(const char* name);
int EnablePrivileges();
int SetPrivilege(void* token, const wchar_t* name, int enable);
int FlushTargetVolume();
