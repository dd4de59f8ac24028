// The process-wide settings, filled only from the command line.
#pragma once
#include <cstdint>

constexpr int kMaxExcludeMasks = 100;

struct Options {
    int quiet = 0;
    int flushTarget = 0;
    int recurse = 0;
    int mirror = 0;
    int scan = 0;
    int shareRead = 0;
    int shareWrite = 0;
    int deleteSource = 0;
    int parseReparse = 0;
    int overwrite = 0;
    int overwriteOlder = 0;
    int overwriteReadOnly = 0;
    int skipExisting = 0;
    int security = 0;
    int streams = 0;
    int hardlinks = 0;
    int verify = 0;            // 1: written data, 2: also skipped existing targets
    int verifyRewrite = 0;
    int verifyImmediate = 0;
    int noWait = 0;
    int noLog = 0;
    int noLogOpen = 0;
    int compression = -1;      // -1 inherit, 0 never, 1 like source, 2 always, 3 even without saving
    int wof = 0;
    int wofAlgorithm = -1;     // 0 XPRESS4K, 1 LZX, 2 XPRESS8K, 3 XPRESS16K
    int sparse = 0;
    int avoidWrites = 0;
    int skipZeros = 0;
    int oneLine = 0;
    int retries = 11;          // read attempts, not retries
    int64_t testSize = 1048576;
    int64_t forcedSize = 0;
    int64_t startPos = 0;
    int dryRun = 0;            // -dry: report every action, do none
    int64_t maxDeletions = -1; // -maxdel:n; -1 no cap
    wchar_t* excludeMasks[kMaxExcludeMasks] = {};
};

extern Options options;
