// Mirror clean-up: not built yet, so nothing in the target is removed.
#include "mirror_cleanup.h"

void MirrorPass(const wchar_t* targetFolder, FolderListing* targetListing, FolderListing* sourceListing,
                int depth) {}
