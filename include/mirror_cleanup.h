// Removal of surplus target entries in mirror mode.
#pragma once

struct FolderListing;

// Deletes the entries of the target folder that the source listing lacks.
// Both listings must be complete: the walk does not call it otherwise.
void MirrorPass(const wchar_t* targetFolder, FolderListing* targetListing, FolderListing* sourceListing,
                int depth);
