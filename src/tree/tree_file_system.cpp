// The walk's copy call.
#include "tree_file_system.h"

#include "copy_engine.h"

WalkCopy walkCopy = CopyOneFile;
