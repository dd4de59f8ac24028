// Security descriptors and alternate data streams, copied as backup streams;
// the forced deletion of a file its owner may not delete.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- Backup stream headers (src/tree/backup_stream.cpp), no handles ----
constexpr size_t kStreamHeaderSize = 20;           // WIN32_STREAM_ID without its name
constexpr size_t kStreamHeaderBufferSize = 1024;   // header and name together
constexpr uint32_t kStreamData = 1;
constexpr uint32_t kStreamSecurity = 3;
constexpr uint32_t kStreamAlternateData = 4;
constexpr uint64_t kSmallStreamLimit = 4096;       // alternate streams below go through the backup write
constexpr int kMaxStreams = 100;

struct StreamHeader {
    uint32_t id;
    uint32_t attributes;
    uint64_t size;
    uint32_t nameSize;   // bytes
};

// 0 when fewer than 20 bytes, or a name that would not fit the header
// buffer or has an odd size (ERROR_INVALID_DATA).
int ParseStreamHeader(const uint8_t* data, size_t size, StreamHeader* header);
// Writes the 20 header bytes.
void BuildStreamHeader(const StreamHeader& header, uint8_t* out);
// The name behind a parsed header (data holds header and name); 0 when the
// name lies beyond size or does not fit capacity with its terminator.
int StreamNameOf(const uint8_t* data, size_t size, const StreamHeader& header, wchar_t* out, size_t capacity);
// Removes a trailing ":$DATA" from a text longer than 6 characters.
void StripDataSuffix(wchar_t* text);

// ---- Operations ----

// The alternate stream names of one file (":name", without ":$DATA").
struct StreamList {
    wchar_t* names[kMaxStreams];
    uint32_t count;
    int complete;   // every stream was read and listed
};

// Copies the security descriptor (securityFlag) and the alternate streams
// (streamsFlag) of the source onto the existing target. 1 only when both
// could be opened and every part was written (deferred streams included).
int CopySecurityAndStreams(const wchar_t* sourcePath, const wchar_t* targetPath, int securityFlag,
                           int streamsFlag = 0);
// Copies the security descriptor only (single-file runs, link groups at the end).
int CopySecurity(const wchar_t* sourcePath, const wchar_t* targetPath);
void ListStreams(const wchar_t* path, StreamList* list);
void FreeStreamList(StreamList* list);
// Deletes the target's named streams that the source lacks (-ads in mirror
// mode); nothing when the source's streams could not all be listed.
int RemoveSurplusStreams(const wchar_t* sourcePath, const wchar_t* targetPath);
// Deletes a file, taking ownership and resetting its access list when a
// plain deletion fails; the result of the last deletion.
int ForceDeleteFile(const wchar_t* path);
// Everyone may read, the Administrators group may do all; ownership is
// taken for the Administrators group first when needed. 1 on success.
int TakeOwnership(const wchar_t* path);
