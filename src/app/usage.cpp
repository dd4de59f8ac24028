// The banner and the usage text.
#include "command_line.h"
#include "console.h"

void PrintBanner(const wchar_t* versionText) {
    PrintW(L"QTX %s - copies files, folder trees, disks and volumes\n", versionText);
}

void PrintUsage() {
    PrintLiteral(
          "Usage:\nQTX FileSpec1 FileSpec2 [-s][-o][-oo][-or][-k][-sr][-sw][-h][-p][-a][-ads]\n"
          "                        [-cx][-lzx][-xpressN][-sp][-st:n][-r:n][-e][-v]\n"
          "                        [-n][-nl][-nlo][-mir][-maxdel:n][-dry]\n"
          "-s    recurse subdirs\n"
          "-o    overwrite existing files\n"
          "-oo   overwrite older existing files\n"
          "-or   overwrite read-only target files too (clears their read-only attribute)\n"
          "-k    skip existing files\n"
          "-sr   share read (by default QTX needs exclusive read access on devices)\n"
          "-sw   share write (by default QTX needs needs exclusive write access)\n"
          "-u    avoid unnecessary writes when overwriting existing files\n"
          "-sz   skip zeros: if all bytes of a block are zero then they are not written\n"
          "-st   start at (only single file and devices, e.g. -st:20GB or -st:20GiB)\n"
          "-h    create hardlinks instead copies (on same volume only)\n"
          "-p    parse reparse points (instead of copying the reparsepoint itself)\n"
          "      (reparse points which point to the source path are never parsed,\n"
          "      the copy will point to the target path)\n");
    PrintLiteral(
          "-mir  mirror source to target (experimental): removes surplus files in target\n"
          "-maxdel:n delete at most n entries (mirror deletions and -ds removals)\n"
          "-dry  dry run: show what would be copied, overwritten and deleted, change nothing\n"
          "-scan scan target to find existing source file under different name or path\n"
          "      avoiding unnessecary writes (very experimental): only valid with -mir\n"
          "-t:nn test size for -scan: to find existing identical files QTX scans by default\n"
          "      1MB at start, middle and end of the file. With -t:nn a different test size\n"
          "      can be set. Units as K, M, T can be used. -t:f for full scan.\n");
    PrintLiteral(
          "-sec  copy security attributes\n"
          "-ads  copy alternative data streams\n"
          "-c0   do not compress target\n"
          "-c1   compress target if source is compressed\n"
          "-c2   compress target\n"
          "-c3   compress target even no space saving is expected\n"
          "      default is \"don't care\" - the file inherits the compression of the\n"
          "      target parent folder\n"
          "-lzx  perform LZX WOF compression\n"
          "-sp   set 'sparse file' attribute for target files\n"
          "-e    exclude mask (use multiple -e params for multiple masks)\n"
          "-v    verify written data\n"
          "-ve   verify written data and existing files\n"
          "-r:n  retry reading n times on CRC or IO error (default 10, 0 means abort on error)\n"
          "-ds   delete source file(s)\n"
          "-f    flush target volume's file cache (needs admin privileges)\n"
          "-1    print long file names into one line by shortening\n"
          "-q    quiet mode: no per-file lines; failures are still named on standard error\n"
          "-lv   list volumes\n"
          "-ld   list disks\n"
          "-n    no wait for key on finish if started standalone\n"
          "-nl   no error log file\n"
          "-nlo  no error log file opening in text editor at the end\n"
          "\n");
}
