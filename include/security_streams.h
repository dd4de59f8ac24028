// Security descriptors and alternate data streams of files.
#pragma once

// Copies the security descriptor (securityFlag) and the alternate streams
// (streamsFlag) of the source onto the existing target.
int CopySecurityAndStreams(const wchar_t* sourcePath, const wchar_t* targetPath, int securityFlag,
                           int streamsFlag = 0);
// Deletes the target's named streams that the source lacks (-ads in mirror mode).
int RemoveSurplusStreams(const wchar_t* sourcePath, const wchar_t* targetPath);
// Copies the security descriptor only (single-file runs, link groups at the end).
int CopySecurity(const wchar_t* sourcePath, const wchar_t* targetPath);
