// A file-system table for the tree tests: the real calls, with failures on demand
// and a copy that records what the walk hands over.
#pragma once
#include <string>
#include <vector>

#include "folder_listing.h"
#include "tree_file_system.h"

namespace treetest {

struct CopyCall {
    std::wstring source;
    std::wstring target;
    bool hadListing;
    bool targetListed;   // the target's name was found in the listing handed over
};

struct FakeState {
    int failNextAfter = -1;          // findNext fails after this many successful calls
    unsigned failNextError = 5;      // ERROR_ACCESS_DENIED
    std::wstring failFirstContaining;  // findFirst fails for patterns containing this
    std::wstring failCreateContaining; // createFolder fails for paths containing this
    std::wstring failCopyContaining;   // copyFile fails (as for a locked file)
    std::wstring abortCopyContaining;  // copyFile sets run.aborted
    int nextCalls = 0;
    std::vector<CopyCall> copies;
    std::vector<std::wstring> searches;   // every pattern findFirst was given
};

extern FakeState fake;

// Installs the fake for the lifetime of the object.
class UseFake {
public:
    UseFake();
    ~UseFake();
};

std::wstring Long(const std::wstring& path);

}  // namespace treetest
