// Security descriptors and alternate data streams of files.
#pragma once

// Copies what -sec and -ads ask; singleLink tells whether the source has exactly one name.
int CopySecurityAndStreams(const wchar_t* sourcePath, const wchar_t* targetPath, int singleLink);
// Deletes the target's named streams that the source lacks (-ads in mirror mode).
int RemoveSurplusStreams(const wchar_t* sourcePath, const wchar_t* targetPath);
