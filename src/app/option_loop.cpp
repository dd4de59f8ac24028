// Reading the switches into Options and the first two other arguments into
// the source and target path.
#include <windows.h>
#include <shlwapi.h>

#include <cwchar>

#include "command_line.h"
#include "console.h"
#include "heap_memory.h"
#include "options.h"
#include "run_state.h"
#include "volume_listing.h"

namespace {

bool BeginsWithI(const wchar_t* text, const wchar_t* prefix) {
    size_t n = wcslen(prefix);
    return wcslen(text) >= n && _wcsnicmp(text, prefix, n) == 0;
}

bool EqualsI(const wchar_t* text, const wchar_t* word) { return _wcsicmp(text, word) == 0; }

enum SwitchResult { kNotASwitch, kSwitchSet, kListVolumes, kListDisks };

SwitchResult ApplyPlainSwitch(const wchar_t* a) {
    Options& o = options;
    if (EqualsI(a, L"-q")) o.quiet = 1;
    else if (EqualsI(a, L"-f")) o.flushTarget = 1;
    else if (EqualsI(a, L"-s")) o.recurse = 1;
    else if (EqualsI(a, L"-mir")) o.mirror = o.recurse = o.overwriteOlder = 1;
    else if (EqualsI(a, L"-scan")) o.scan = 1;
    else if (EqualsI(a, L"-sr")) o.shareRead = 1;
    else if (EqualsI(a, L"-sw")) o.shareWrite = 1;
    else if (EqualsI(a, L"-ds")) o.deleteSource = 1;
    else if (EqualsI(a, L"-p")) o.parseReparse = 1;
    else if (EqualsI(a, L"-o")) o.overwrite = 1;
    else if (EqualsI(a, L"-oo")) o.overwriteOlder = 1;
    else if (EqualsI(a, L"-or")) o.overwriteReadOnly = 1;
    else if (EqualsI(a, L"-k")) o.skipExisting = 1;
    else if (EqualsI(a, L"-a") || EqualsI(a, L"-sec")) o.security = 1;
    else if (EqualsI(a, L"-d") || EqualsI(a, L"-ads")) o.streams = 1;
    else if (EqualsI(a, L"-h")) o.hardlinks = 1;
    else if (EqualsI(a, L"-v")) o.verify = 1;
    else if (EqualsI(a, L"-vi")) o.verifyImmediate = 1;
    else if (EqualsI(a, L"-ve")) o.verify = 2;
    else if (EqualsI(a, L"-vr")) o.verify = o.verifyRewrite = 1;
    else if (EqualsI(a, L"-n")) o.noWait = 1;
    else if (EqualsI(a, L"-nl")) o.noLog = 1;
    else if (EqualsI(a, L"-nlo")) o.noLogOpen = 1;
    else if (BeginsWithI(a, L"-c") && wcslen(a) == 3 && a[2] >= L'0' && a[2] <= L'3') o.compression = a[2] - L'0';
    else if (BeginsWithI(a, L"-lzx")) o.wof = 1, o.wofAlgorithm = 1;
    else if (BeginsWithI(a, L"-xpress") && a[7] == L'1') o.wof = 1, o.wofAlgorithm = 3;
    else if (BeginsWithI(a, L"-xpress") && a[7] == L'4') o.wof = 1, o.wofAlgorithm = 0;
    else if (BeginsWithI(a, L"-xpress") && a[7] == L'8') o.wof = 1, o.wofAlgorithm = 2;
    else if (EqualsI(a, L"-sp")) o.sparse = 1;
    else if (EqualsI(a, L"-u")) o.avoidWrites = 1;
    else if (EqualsI(a, L"-sz")) o.skipZeros = 1;
    else if (EqualsI(a, L"-1") || EqualsI(a, L"-l")) o.oneLine = 1;
    else if (EqualsI(a, L"-dry")) o.dryRun = 1;
    else if (EqualsI(a, L"-lv")) return kListVolumes;
    else if (EqualsI(a, L"-ld")) return kListDisks;
    else return kNotASwitch;
    return kSwitchSet;
}

void ReportInvalidParameter(const wchar_t* argument, const ArgumentVector* arguments) {
    Print("invalid parameter %S\n", argument);
    Print("Params:\n");
    for (int i = 0; i < arguments->count; ++i) Print(" param[%i]=%S\n", i, arguments->entries[i]);
}

}  // namespace

int AddExcludeMask(const wchar_t* mask) {
    for (wchar_t*& slot : options.excludeMasks) {
        if (slot) continue;
        slot = DuplicateString(mask);
        PathUnquoteSpacesW(slot);
        return 1;
    }
    return 0;
}

int ReadOptions(ArgumentVector* arguments, wchar_t* sourcePath, wchar_t* targetPath) {
    for (int i = 1; i < arguments->count; ++i) {
        wchar_t* a = arguments->entries[i];
        if (!a) break;
        size_t length = wcslen(a);
        if (a[0] == L'/' && a[1] != L' ') a[0] = L'-';
        bool isPath = false;
        int64_t value = 0;
        bool valid = true;
        if (BeginsWithI(a, L"-r:")) {
            valid = ParseInteger(a + 3, &value);
            options.retries = static_cast<int>(value >= 1000000 ? 1000000 : value + 1);
        } else if (BeginsWithI(a, L"-e:")) {
            AddExcludeMask(a + 3);
        } else if (BeginsWithI(a, L"-maxdel:")) {
            // a colon in neither third nor fourth place: tested before the value switches
            valid = ParseInteger(a + 8, &value);
            options.maxDeletions = value;
        } else if (BeginsWithI(a, L"-t:")) {
            if (EqualsI(a + 3, L"f")) value = 0x7FFFFFFFFFFFF000LL;
            else valid = ParseSize(a + 3, &value) && value > 0;
            if (value < 8192) value = 8192;
            options.testSize = value & ~static_cast<int64_t>(4095);
        } else if (a[0] == L'-' && ((length >= 3 && a[2] == L':') || (length >= 4 && a[3] == L':'))) {
            if (BeginsWithI(a, L"-fi:")) {
                valid = ParseSize(a + 4, &value);
                options.forcedSize = value;
            } else if (BeginsWithI(a, L"-st:")) {
                valid = ParseSize(a + 4, &value);
                options.startPos = value & ~static_cast<int64_t>(4095);
            } else {
                isPath = true;
            }
        } else if (length <= 9 && (a[0] == L'-' || a[0] == L'/')) {
            if (a[0] == L'/') a[0] = L'-';
            switch (ApplyPlainSwitch(a)) {
                case kNotASwitch: isPath = true; break;
                case kSwitchSet: break;
                case kListVolumes: ListVolumes(); return kExitOk;
                case kListDisks: ListDisks(); return kExitOk;
            }
        } else {
            isPath = true;
        }
        if (!valid) {
            ReportInvalidParameter(a, arguments);
            return kExitInvalid;
        }
        if (isPath) {
            if (sourcePath[0] == 0) {
                lstrcpynW(sourcePath, a, kPathCapacity);
            } else if (targetPath[0] == 0) {
                lstrcpynW(targetPath, a, kPathCapacity);
            } else {
                ReportInvalidParameter(a, arguments);
                return kExitInvalid;
            }
        }
        if (options.scan && !options.mirror) {
            Print("-scan is valid with -mir only -> abort\n");
            return kExitInvalid;
        }
    }
    return -1;
}
