// The system calls of the tree operations. The real table calls Windows;
// tests put a table of their own in its place to count calls and fail them.
// Operations return nonzero for success and 0 for failure with the system
// error as the thread's last error.
#pragma once
#include <cstdint>

struct FolderListing;

// One name returned by a folder search.
struct FoundName {
    uint32_t attributes;
    int64_t size;
    uint64_t lastWrite;
    uint64_t creation, lastAccess;
    wchar_t name[260];
};

struct TreeFileSystem {
    // Null when no search could be started.
    void* (*findFirst)(const wchar_t* pattern, FoundName* found);
    int (*findNext)(void* search, FoundName* found);
    void (*findClose)(void* search);
    int (*createFolder)(const wchar_t* path);
    uint32_t (*getAttributes)(const wchar_t* path);   // INVALID_FILE_ATTRIBUTES on failure
    int (*setAttributes)(const wchar_t* path, uint32_t attributes);
    int (*deleteFile)(const wchar_t* path);
    // removes an empty folder, or a folder link itself
    int (*removeFolder)(const wchar_t* path);
    // null: CopyOneFile
    int (*copyFile)(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                    const wchar_t* targetPath, int64_t* linkCounter, int streamFlag, FolderListing* targetListing);
};

extern const TreeFileSystem realTreeFileSystem;
// The table in use; only test code swaps this pointer.
extern const TreeFileSystem* treeFileSystem;

constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;
constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeReparsePoint = 0x400;
constexpr uint32_t kAttributeCompressed = 0x800;

inline bool IsDotName(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}
