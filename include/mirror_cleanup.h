// Removal of surplus target entries in mirror mode.
#pragma once

struct FolderListing;

// Deletes the entries of the target folder (ending in a backslash) that the
// source listing lacks or holds as the other kind (file or folder), and
// removes a target link where the source has a real file or folder, so that
// nothing is later written through it. Entries
// that are gone are dropped from the target listing. Does nothing unless the
// source listing is complete; stops at a stop request.
void MirrorPass(const wchar_t* targetFolder, FolderListing* targetListing, FolderListing* sourceListing,
                int depth);

// Deletes a folder (path without trailing backslash) with all it holds; a
// folder link is removed itself, never entered. 0 when it finished, whether or
// not everything went; 1 when the folder could not be searched; 2 when its
// search ended with an error (the folder is then left); 3 when it met the
// source or target folder, or nesting deeper than a walk goes, and stopped.
int MirrorDeleteFolder(const wchar_t* path, int depth);
