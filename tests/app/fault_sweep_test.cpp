// Whole runs in process on a volume in memory, each rerun once for every
// file-system call it makes with that call failing, once and for good, with
// an error a real volume gives for that call; then with sectors that stay
// bad, with writes that come back altered and with every read failing.
// Whatever fails, no data is lost or half-written in silence: every source
// entry ends up copied whole or named in a line that reports its failure, and
// the run counts as many failures as it names entries.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../volumes/fake_device_system.h"
#include "partial_copy.h"
#include "run_in_process.h"
#include "run_state.h"
#include "security_streams.h"
#include "test_support.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

using qtxtest::Call;
using qtxtest::Fault;
using qtxtest::InProcessRun;
using qtxtest::RunInProcess;
using qtxtest::MemoryFileSystem;
using Tree = std::map<std::wstring, std::string>;

const std::wstring kRoot = L"C:\\QTXSWEEP";
const std::wstring kSource = kRoot + L"\\SRC";
const std::wstring kTarget = kRoot + L"\\DST";
const uint64_t kFolderTime = 0x01C8000000000000ULL;

bool Under(const std::wstring& key, const std::wstring& root) {
    if (key == root) return true;
    return key.size() > root.size() && key.compare(0, root.size(), root) == 0 && key[root.size()] == L'\\';
}

std::string DataOf(const std::string& line) { return line.substr(0, line.find('|')); }
bool IsFolder(const std::string& line) { return line.compare(0, 6, "folder") == 0; }
bool Marked(const std::string& line) { return line.find("|t" + std::to_string(kIncompleteMark) + "|") != std::string::npos; }

// A name whose link failed is copied on its own, by design: the link count
// is not part of what a copy must reproduce.
std::string WithoutLinks(const std::string& line) {
    size_t at = line.find("|n");
    return at == std::string::npos ? line : line.substr(0, at) + line.substr(line.find('|', at + 1));
}

int Links(const std::string& line) { return line.find("|n") == std::string::npos ? 0 : std::stoi(line.substr(line.find("|n") + 2)); }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// The lines of output that report a failure, upper-case. One that names no
// path reads as part of the last line that did, as a file's result follows
// its name; the totals at the end name no entry.
std::vector<std::string> FailureLines(const std::string& out) {
    std::vector<std::string> lines;
    std::string context;
    for (size_t start = 0; start < out.size();) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = Upper(out.substr(start, end - start));
        start = end + 1;
        if (line.find(":\\") != std::string::npos)
            context = line;
        else
            line = context + " " + line;
        if (line.find(" LOG!") != std::string::npos) continue;
        for (const char* word : {"ERR", "FAIL", "ABORT", "INCOMPLETE", "CANNOT", "NOT REACHED", "ENDED BEFORE", "INSTEAD OF"})
            if (line.find(word) != std::string::npos) {
                lines.push_back(line);
                break;
            }
    }
    return lines;
}

// Whether the line names the path as a whole, not only a folder above it.
bool NamesPath(const std::string& line, const std::string& path) {
    for (size_t at = line.find(path); at != std::string::npos; at = line.find(path, at + 1)) {
        size_t end = at + path.size();
        if (end < line.size() && line[end] == '\\') ++end;   // a folder's trailing backslash
        char after = end < line.size() ? line[end] : ' ';
        if (!isalnum(static_cast<unsigned char>(after)) && after != '\\' && after != '.' && after != '_') return true;
    }
    return false;
}

// The errors a real volume gives for a call; kShort: it moves only part of the bytes.
constexpr uint32_t kShort = 0;
std::vector<uint32_t> ErrorsFor(Call call) {
    switch (call) {
    case Call::Read: return {ERROR_IO_DEVICE, ERROR_CRC, kShort, ERROR_LOCK_VIOLATION, ERROR_ACCESS_DENIED};
    case Call::Write: return {ERROR_DISK_FULL, ERROR_IO_DEVICE, kShort, ERROR_LOCK_VIOLATION, ERROR_ACCESS_DENIED};
    case Call::Open: return {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_PATH_NOT_FOUND, ERROR_IO_DEVICE};
    // where "not found" would be an answer, not a failure
    case Call::GetAttributes: case Call::FindFirst: case Call::FindNext: case Call::Delete: case Call::RemoveFolder:
        return {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_IO_DEVICE};
    case Call::CreateFolder: case Call::Link: case Call::Move: case Call::SetEnd: case Call::BackupWrite:
    case Call::SetReparse:
        return {ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_NOT_SUPPORTED, ERROR_IO_DEVICE};
    default:
        return {ERROR_IO_DEVICE, ERROR_ACCESS_DENIED, ERROR_NOT_SUPPORTED, ERROR_LOCK_VIOLATION};
    }
}

// Raw disks whose bytes are files of the volume in memory under these names;
// the second is smaller than the first.
const std::wstring kDisk = L"\\\\.\\PhysicalDrive3";
const std::wstring kImage = kTarget + L"\\disk.img";
const std::wstring kSmallDisk = L"\\\\.\\PhysicalDrive4";
const int64_t kDiskBytes = 3 << 20;

// Source and target on physical drives of their own: the target folder is a
// volume mounted there. Reader and writer then overlap.
struct TwoDrives : qtxtest::FakeDeviceSystem {
    TwoDrives() {
        AddVolume(L'C', L"C", 1);
        AddVolume(L'D', L"D", 2);
        AddVolume(L'E', L"E", 3);
        Find(L"\\\\.\\C:")->length = 1LL << 30;
        AddDisk(3).length = kDiskBytes;
        AddDisk(4).length = kDiskBytes - (1 << 20);
        AddVolume(L'F', L"F", 4);
        deviceOf = [this](void* handle) {
            std::wstring key;
            return MemoryFileSystem::installed && MemoryFileSystem::installed->DeviceControl(handle, &key) ? Find(key) : nullptr;
        };
    }
    static bool OnTarget(const wchar_t* path) { return qtxtest::Upper(path).find(L"\\DST") != std::wstring::npos; }
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override {
        return Put(OnTarget(path) ? kTarget + L"\\" : L"C:\\", out, capacity);
    }
    uint32_t DriveType(const wchar_t*) override { return DRIVE_FIXED; }
    int VolumeNameForMountPoint(const wchar_t* root, wchar_t* out, uint32_t capacity) override {
        return Put(OnTarget(root) ? L"\\\\?\\Volume{D}\\" : L"\\\\?\\Volume{C}\\", out, capacity);
    }
};

struct Scenario {
    const char* name;
    std::wstring arguments;
    std::wstring copyRoot;   // where the source folder's content lands
    bool deletesSource;
    void (*setUp)(MemoryFileSystem& fs);
    bool parallel;
};
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class Sweep {
public:
    explicit Sweep(const Scenario& scenario) : s_(scenario) {}

    // What a run left; a whole image is stamped with the time it was finished, which no two runs share.
    static Tree Snap(MemoryFileSystem& fs) {
        Tree tree = fs.Snapshot();
        auto image = tree.find(qtxtest::Upper(kImage));
        if (image != tree.end() && !Marked(image->second)) {
            size_t at = image->second.find("|t") + 2;
            image->second.replace(at, image->second.find('|', at) - at, "finished");
        }
        return tree;
    }

    // The run without faults; its calls are then failed one by one.
    int Baseline() {
        MemoryFileSystem fs;
        Prepare(fs);
        initial_ = fs.Snapshot();
        fs.trace = &calls_;
        // a verified copy reads back through the handle that wrote it, whatever its size
        std::map<std::wstring, int> opens;
        if ((s_.arguments + L" ").find(L" -v ") != std::wstring::npos)
            fs.beforeCall = [&](Call call, const std::wstring& key) { opens[key] += call == Call::Open; };
        InProcessRun r = RunInProcess(fs, output_, s_.arguments);
        EXPECT_EQ(0, r.code) << s_.name << "\n" << r.out;
        for (auto& o : opens)
            EXPECT_TRUE(o.second <= 1 || !IsPartialName(o.first.c_str(), nullptr)) << "reopened " << qtxtest::Narrow(o.first);
        complete_ = Snap(fs);
        // a whole image is not taken for one to resume
        EXPECT_TRUE(!DeviceSource() || (fs.Data(kDisk) == fs.Data(kImage) && !Marked(complete_[qtxtest::Upper(kImage)])))
            << s_.name << " " << complete_[qtxtest::Upper(kImage)];
        // a target the run left is a whole copy: data, attributes, time, streams and security
        for (auto& item : initial_) {
            if (!Under(item.first, kSource) || (item.first == kSource && !FolderCopied())) continue;
            auto target = complete_.find(s_.copyRoot + item.first.substr(kSource.size()));
            if (target == complete_.end()) continue;
            // names of one file stay one file (-h adds the source's own)
            bool group = Links(item.second) < 2 || Links(target->second) > 1;
            EXPECT_TRUE(WithoutLinks(target->second) == WithoutLinks(item.second) && group) << s_.name << " " << qtxtest::Narrow(item.first) << " " << target->second;
        }
        return static_cast<int>(calls_.size());
    }

    // Call n fails with an error its kind of call gives, once or for good:
    // successive calls of one kind take the combinations in turn.
    void FailCall(int n) {
        Call call = calls_[n - 1];
        int occurrence = 0;
        for (int i = 0; i < n - 1; ++i) occurrence += calls_[i] == call;
        std::vector<uint32_t> errors = ErrorsFor(call);
        Fault fault;
        fault.nth = n;
        // a pair of calls per name (a mark, then the times) must meet both kinds on each side
        bool persistent = fault.persistent = (occurrence + occurrence / 2) % 2 != 0;
        fault.error = errors[(occurrence + occurrence / (2 * errors.size())) % errors.size()];
        if (fault.error == kShort) fault.effect = Fault::Effect::Short;
        std::string label = std::string(persistent ? "persistent " : "once ") + std::to_string(n) + " " +
                            (fault.error == kShort ? "short" : ErrorName(fault.error));
        Rerun(fault, label);
    }

    // Sectors near the end of each file (in a later block of a big one) that
    // stay bad, and writes of its copy that come back altered once or always
    // (what -v and -vi catch).
    void FailRanges(bool verified) {
        for (auto& item : initial_) {
            if ((!Under(item.first, kSource) && item.first != qtxtest::Upper(kDisk)) || IsFolder(item.second)) continue;
            int64_t size = std::stoll(DataOf(item.second));   // "<size>:<hash>"
            if (size < 1024) continue;
            Fault bad;
            bad.call = Call::Read;
            bad.path = item.first;
            bad.from = (size - 1) / 512 * 512 - 512;
            bad.to = bad.from + 512;
            bad.times = -1;
            bad.error = size % 2 ? ERROR_CRC : ERROR_IO_DEVICE;
            // the zeros a run left for them are copied again once the sectors read
            Rerun(bad, "bad sectors " + qtxtest::Narrow(item.first), true);
            std::wstring target = DeviceSource() ? qtxtest::Upper(kImage) : s_.copyRoot + item.first.substr(kSource.size());
            if (!verified || !complete_.count(target)) continue;
            for (int times : {1, -1}) {
                Fault flip = bad;
                flip.call = Call::Write;
                flip.path = target;
                flip.effect = Fault::Effect::Flip;
                flip.times = times;
                // one byte, the last of the last block's first unit: no compare may stop short
                int64_t at = (size - 1) / 1048576 * 1048576 + 4095;
                flip.from = at < size ? at : size - 1, flip.to = flip.from + 1;
                Rerun(flip, (times > 0 ? "altered once " : "altered always ") + qtxtest::Narrow(target));
            }
        }
        Fault reads;
        reads.call = Call::Read;
        reads.times = -1;
        reads.error = ERROR_CRC;
        Rerun(reads, "every read fails");
    }

    void Rerun(const Fault& fault, const std::string& label, bool thenSound = false) {
        MemoryFileSystem fs;
        Prepare(fs);
        fs.faults.push_back(fault);
        InProcessRun r = RunInProcess(fs, output_, s_.arguments);
        int failures = run.failedCopies + run.verifyFailures;
        Tree now = Snap(fs);
        const Fault& hit = fs.faults[0];
        bool lasting = hit.persistent || hit.times < 0;
        std::string where = std::string(s_.name) + " " + label + " " + CallName(hit.hitCall) + " " +
                            qtxtest::Narrow(hit.hitPath);
        if (fs.OpenHandles()) Note(where, "handles left open");
        bool differs = false;
        Tree keys = initial_;
        keys.insert(complete_.begin(), complete_.end());
        keys.insert(now.begin(), now.end());
        for (auto& item : keys) {
            const std::wstring& key = item.first;
            auto was = initial_.find(key), done = complete_.find(key), is = now.find(key);
            bool present = is != now.end();
            // a name every call fails on cannot be given its attributes back, nor be removed
            bool stuck = lasting && hit.hitPath == key && r.code != 0;
            if (Under(key, kSource)) {
                if (present && WithoutLinks(is->second) != WithoutLinks(was->second) && !stuck)
                    Note(where, "source changed", key);
                if (!present && !s_.deletesSource) Note(where, "source removed", key);
                if (!present && s_.deletesSource) {
                    // a folder's times may fail after its content moved: that keeps no data in it
                    auto target = now.find(s_.copyRoot + key.substr(kSource.size()));
                    auto kept = [&](const std::string& line) {
                        return IsFolder(line) ? line.substr(0, line.find("|t")) : WithoutLinks(line);
                    };
                    if (target == now.end() || kept(target->second) != kept(was->second))
                        Note(where, "source removed without its complete target", key);
                }
            } else if (Under(key, kTarget)) {
                bool complete = present ? done != complete_.end() && WithoutLinks(is->second) == WithoutLinks(done->second)
                                        : done == complete_.end();
                if (!complete) differs = true;
                // a single file's failed overwrite keeps the target it could not replace
                if (!present && was != initial_.end() && !FolderCopied() && !stuck)
                    Note(where, "existing target removed", key);
                if (present && !IsFolder(is->second)) {
                    std::string data = DataOf(is->second);
                    bool old = was != initial_.end() && data == DataOf(was->second);
                    bool copied = done != complete_.end() && data == DataOf(done->second);
                    // a single file's existing target is kept when its overwrite fails
                    bool kept = !FolderCopied() && was != initial_.end() && r.code != 0;
                    // one with zeros where sectors could not be read is marked incomplete;
                    // an image's partial copy is judged by PartialImage
                    bool marked = Marked(is->second) && r.code != 0;
                    if (!old && !copied && !stuck && !kept && !marked && !DeviceSource())
                        Note(where, "target neither old nor new", key);
                }
            } else if ((was == initial_.end()) != !present || (present && is->second != was->second)) {
                Note(where, "changed outside the trees", key);
            }
        }
        if (r.code == 0 && (differs || failures)) Note(where, "exit code 0 with an incomplete target");
        // a name every call fails on cannot be removed
        if (DeviceSource() && !(lasting && hit.hitPath == qtxtest::Upper(kImage))) PartialImage(where, r, fs);
        // a copy kept with sectors that stayed bad holds all else of its source, zeros in their units
        if (fault.call == Call::Read && fault.times < 0 && Under(fault.path, kSource)) {
            std::wstring copy = s_.copyRoot + fault.path.substr(kSource.size());
            MemoryFileSystem fresh;   // -ds may have removed the source
            Prepare(fresh);
            std::string want = fresh.Data(fault.path);
            size_t from = fault.from / kRecoveryUnit * kRecoveryUnit;
            size_t to = std::min<size_t>(want.size(), (fault.to + kRecoveryUnit - 1) / kRecoveryUnit * kRecoveryUnit);
            want.replace(from, to - from, to - from, '\0');
            if (now.count(copy) && Marked(now[copy]) && fs.Data(copy) != want) Note(where, "not zeros in place", copy);
        }
        Account(where, r, now, failures);
        if (thenSound) RunAgain(fs, where + " then sound");
    }

    // The same command run again on what a run left, on a sound volume, ends
    // with 0 and leaves the whole target equal to its source.
    void RunAgain(MemoryFileSystem& fs, const std::string& where) {
        fs.faults.clear();
        InProcessRun r = RunInProcess(fs, output_, s_.arguments);
        // a single source -ds removed after its copy is no more to be found: that is no failure
        if (r.code != 0 && !(s_.deletesSource && r.code == 10)) Note(where, "rerun ended with " + std::to_string(r.code) + ": " + r.out);
        auto entry = [](const std::string& line) { return IsFolder(line) ? line.substr(0, line.find("|t")) : WithoutLinks(line); };
        Tree now = Snap(fs), keys = complete_;
        keys.insert(now.begin(), now.end());
        for (auto& item : keys) {
            auto is = now.find(item.first), done = complete_.find(item.first);
            if (Under(item.first, kTarget) &&
                (is == now.end() || done == complete_.end() || entry(is->second) != entry(done->second)))
                Note(where, "rerun left the target unlike its source", item.first);
        }
        for (auto& item : initial_) {
            if (!Under(item.first, kSource) || IsFolder(item.second)) continue;
            auto is = now.find(item.first);
            // a source -ds was removing may have lost its read-only attribute, never its data
            bool kept = is != now.end() && (s_.deletesSource ? DataOf(is->second) == DataOf(item.second)
                                                               : WithoutLinks(is->second) == WithoutLinks(item.second));
            if (!kept && (is != now.end() || !s_.deletesSource)) Note(where, "source lost or changed", item.first);
        }
    }

    // A device is read once at great cost: an image that got bytes and is not
    // whole stays, marked incomplete, with a line saying how much of it is
    // good; one with zeros for unreadable sectors is whole in length and says
    // so, as one that failed its verification does.
    void PartialImage(const std::string& where, const InProcessRun& r, MemoryFileSystem& fs) {
        std::string image = fs.Data(kImage), disk = fs.Data(kDisk), said = " incomplete image kept: the first ";
        size_t at = r.out.find(said);
        if (image == "<missing>" && fs.bytesWritten > 0) Note(where, "partial image removed");
        if (image == "<missing>" || (image == disk && (r.code == 0 || at == std::string::npos))) return;
        uint64_t good = at == std::string::npos ? 0 : std::stoull(r.out.substr(at + said.size()));
        bool zeros = image.size() == disk.size() &&
                     (r.out.find(" sectors failed\n") != std::string::npos || r.code == kExitVerifyFailed);
        bool told = r.out.find("bytes are good (resume with -st:" + std::to_string(good) + ")\n", at) != std::string::npos &&
                    image.compare(0, good, disk, 0, good) == 0;
        if (!(zeros || told) || fs.Snapshot()[qtxtest::Upper(kImage)].find("|t" + std::to_string(kIncompleteMark) + "|") == std::string::npos)
            Note(where, "partial image not kept marked incomplete with a line saying how much of it is good");
        if (!told) return;
        // and what its line says resumes it, once the faults are gone
        fs.faults.clear();
        InProcessRun resumed = RunInProcess(fs, output_, s_.arguments + L" -st:" + std::to_wstring(good));
        if (resumed.code != 0 || fs.Data(kImage) != disk) Note(where, "image not resumed as its line says: " + resumed.out);
    }

    std::vector<std::string> findings;

protected:
    const Scenario& s_;
    qtxtest::CapturedOutput output_;
    Tree initial_, complete_;
    std::vector<Call> calls_;

    // Every source entry the run should copy is copied whole, or it or a
    // folder above it is named in a failure line; so is every target entry
    // the run should remove and did not. Each failure counted has its line
    // naming an entry. A run refused by its checks says so and counts nothing.
    void Account(const std::string& where, const InProcessRun& r, const Tree& now, int failures) {
        std::vector<std::string> lines = FailureLines(r.out);
        if (r.code != kExitOk && r.code != kExitVerifyFailed && r.code != kExitCopyFailed) {
            if (lines.empty()) Note(where, "run ended with " + std::to_string(r.code) + " without a line saying why");
            return;
        }
        // what the run did not reach is no failure of its own
        std::vector<std::string> failed;
        for (const std::string& line : lines)
            if (line.find("NOT REACHED") == std::string::npos) failed.push_back(line);
        auto names = [&](const std::string& line, const std::wstring& rel) {
            return NamesPath(line, qtxtest::Narrow(kSource + rel)) || NamesPath(line, qtxtest::Narrow(s_.copyRoot + rel));
        };
        auto named = [&](const std::wstring& rel, const std::vector<std::string>& in) {
            for (const std::string& line : in)
                if (names(line, rel)) return true;
            return false;
        };
        // a run that stopped says where; what follows in the tree it never reached
        bool stopped = failed.size() != lines.size();
        auto reached = [&](std::wstring rel) {
            if (stopped) return false;
            for (;; rel.erase(rel.rfind(L'\\'))) {
                if (named(rel, lines)) return false;
                if (rel.empty()) return true;
            }
        };
        std::set<std::wstring> entries;
        for (const Tree* tree : std::vector<const Tree*>{&initial_, &complete_, &now})
            for (auto& item : *tree) {
                if (Under(item.first, kSource)) entries.insert(item.first.substr(kSource.size()));
                if (Under(item.first, s_.copyRoot)) entries.insert(item.first.substr(s_.copyRoot.size()));
            }
        int namingLines = 0;
        for (const std::string& line : failed)
            for (const std::wstring& rel : entries)
                if (names(line, rel)) {
                    ++namingLines;
                    break;
                }
        if (!FolderCopied()) entries.erase(L"");
        int namedEntries = 0;
        for (const std::wstring& rel : entries) {
            auto done = complete_.find(s_.copyRoot + rel);
            auto is = now.find(s_.copyRoot + rel);
            bool expected = done != complete_.end();
            bool right = expected ? is != now.end() && WithoutLinks(is->second) == WithoutLinks(done->second) : is == now.end();
            if (!right && reached(rel)) Note(where, "entry neither complete nor named", s_.copyRoot + rel);
            namedEntries += !right && named(rel, failed);
        }
        // an entry may fail twice and say so twice, or fail after its copy (-ds);
        // an aborted run may have named entries it then did not reach
        if ((failures < namedEntries && failed.size() == lines.size()) || failures > namingLines)
            Note(where, std::to_string(failures) + " failures counted, " + std::to_string(namedEntries) + " entries named in " +
                            std::to_string(namingLines) + " lines");
    }

    bool FolderCopied() const { return s_.copyRoot != kTarget; }
    bool DeviceSource() const { return s_.arguments.compare(0, kDisk.size(), kDisk) == 0; }
    void Prepare(MemoryFileSystem& fs) {
        fs.AddFolder(kTarget);
        if (s_.parallel) fs.volumeFolder = kTarget;
        s_.setUp(fs);
        for (auto& item : fs.Snapshot())
            if (Under(item.first, kSource) && IsFolder(item.second)) fs.SetFolderTime(item.first, kFolderTime);
        fs.ResetCounts();
    }
    void Note(const std::string& where, const std::string& what, const std::wstring& key = L"") {
        std::string line = what + " (" + where + ")" + (key.empty() ? "" : " at " + qtxtest::Narrow(key));
        for (const std::string& f : findings)
            if (f == line) return;
        findings.push_back(line);
    }
};

const uint64_t kOld = 0x01C0000000000000ULL;
const std::wstring kCopy = kTarget + L"\\SRC";

void SourceTree(MemoryFileSystem& fs) {
    fs.AddFile(kSource + L"\\a.txt", qtxtest::PatternBytes(3000, 1));
    fs.AddFile(kSource + L"\\sub\\b.txt", qtxtest::PatternBytes(70000, 2));
    fs.AddFile(kSource + L"\\sub\\c.txt", "");
}

// A file with two names: the second is linked to the first one's copy.
void LinkedTree(MemoryFileSystem& fs) {
    SourceTree(fs);
    fs.AddFile(kSource + L"\\g1.bin", qtxtest::PatternBytes(5000, 4));
    fs.AddLink(kSource + L"\\sub\\g2.bin", kSource + L"\\g1.bin");
}

// Targets older than their sources: one longer, one of the same size that differs in one block.
void OlderTargets(MemoryFileSystem& fs) {
    LinkedTree(fs);
    fs.AddFile(kCopy + L"\\a.txt", qtxtest::PatternBytes(5000, 7), kOld);   // longer: the copy must cut it
    std::string b = qtxtest::PatternBytes(70000, 2);
    b[40000] ^= 1;
    fs.AddFile(kCopy + L"\\sub\\b.txt", b, kOld);
}

void MirrorTree(MemoryFileSystem& fs) {
    LinkedTree(fs);
    fs.AddFile(kCopy + L"\\surplus.txt", "surplus");
    fs.AddFile(kCopy + L"\\gone\\deep\\x.txt", "x");
    fs.AddFile(kCopy + L"\\a.txt", "old a", kOld);
    fs.AddFile(kCopy + L"\\sub\\c.txt", "", 0x01D1000000000000ULL);   // newer, of the same size: a mirror copies it too
}

// A file the scan finds moved, and one of the same size that must not pass for it.
void MovedTarget(MemoryFileSystem& fs) {
    SourceTree(fs);
    fs.AddFile(kCopy + L"\\moved.bin", qtxtest::PatternBytes(70000, 2));
    fs.AddFile(kCopy + L"\\a-other.bin", qtxtest::PatternBytes(70000, 8));
}

void ReadOnlySource(MemoryFileSystem& fs) {
    SourceTree(fs);
    fs.AddFile(kSource + L"\\ro.txt", "read-only", 0x01D0000000000000ULL,
               FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
}

// A link group whose security, set before its second name is linked, would refuse that name.
void SecuredGroup(MemoryFileSystem& fs) {
    LinkedTree(fs);
    fs.File(kSource + L"\\g1.bin")->security = std::string("owner=S-1-5-18;") + MemoryFileSystem::kDeniesNames;
}

// Security on two files; one stream small enough for the backup write, one
// copied as a file of its own; and a link group whose security, set before its
// second name is linked, would refuse that name.
void SecuredTree(MemoryFileSystem& fs) {
    SecuredGroup(fs);
    auto a = fs.File(kSource + L"\\a.txt");
    a->security = "owner=S-1-5-32-544";
    a->streams = {{L":SMALL", "small"}, {L":BIG", qtxtest::PatternBytes(kSmallStreamLimit + 500, 6)}};
    fs.File(kSource + L"\\sub\\b.txt")->security = "owner=S-1-5-18";
    // copied as a file of its own, the stream stamps its file with the file's times
    fs.File(kSource + L"\\g1.bin")->streams = {{L":BIG", qtxtest::PatternBytes(kSmallStreamLimit + 100, 7)}};
}

// A folder link to the folder holding it.
void LoopingTree(MemoryFileSystem& fs) {
    SourceTree(fs);
    fs.AddFolder(kSource + L"\\sub\\up");
    fs.AddReparse(kSource + L"\\sub\\up", qtxtest::JunctionTo(kSource + L"\\sub"));
}

// A copy that stopped after 8192 bytes, resumed with -st.
const std::wstring kResumed = kSource + L"\\a.bin";
void StoppedCopy(MemoryFileSystem& fs) {
    std::string data = qtxtest::PatternBytes(100000, 3);
    fs.AddFile(kResumed, data);
    fs.AddFile(kTarget + L"\\a.bin", data.substr(0, 8192), kOld);
}

// A target already whole but for its time: -st at its very end copies nothing.
void WholeCopy(MemoryFileSystem& fs) {
    std::string data = qtxtest::PatternBytes(98304, 3);
    fs.AddFile(kResumed, data);
    fs.AddFile(kTarget + L"\\a.bin", data, kOld);
}

void Disk(MemoryFileSystem& fs) { fs.AddFile(kDisk, qtxtest::PatternBytes(kDiskBytes, 9)); }
const Scenario kScenarios[] = {
    {"single file -o", kSource + L"\\a.txt " + kTarget + L"\\ -o", kTarget, false, [](MemoryFileSystem& fs) {
         fs.AddFile(kSource + L"\\a.txt", qtxtest::PatternBytes(100000, 3));
         fs.AddFile(kTarget + L"\\a.txt", qtxtest::PatternBytes(60000, 9), kOld);   // kept when the copy fails
     }, false},
    {"single file -ds", kSource + L"\\a.txt " + kTarget + L"\\ -ds", kTarget, true,
     [](MemoryFileSystem& fs) { fs.AddFile(kSource + L"\\a.txt", qtxtest::PatternBytes(100000, 3)); }, false},
    {"tree -s -v", kSource + L" " + kTarget + L" -s -v", kCopy, false, LinkedTree, false},
    {"-vi", kSource + L" " + kTarget + L" -s -vi", kCopy, false, [](MemoryFileSystem& fs) {
         SourceTree(fs);
         fs.AddFile(kSource + L"\\big.bin", qtxtest::PatternBytes(1100000, 5));   // two blocks
     }, false},
    {"-o", kSource + L" " + kTarget + L" -s -o", kCopy, false, OlderTargets, false},
    {"-u -vi -ds", kSource + L" " + kTarget + L" -s -o -u -vi -ds", kCopy, true, OlderTargets, false},
    {"-h", kSource + L" " + kTarget + L" -s -h", kCopy, false, SourceTree, false},
    {"-st", kResumed + L" " + kTarget + L"\\ -o -st:8192", kTarget, false, StoppedCopy, false},
    {"-st -u", kResumed + L" " + kTarget + L"\\ -o -u -st:8192", kTarget, false, StoppedCopy, false},
    {"-st at the end", kResumed + L" " + kTarget + L"\\ -o -st:98304", kTarget, false, WholeCopy, false},
    {"-mir", kSource + L" " + kTarget + L" -s -mir", kCopy, false, MirrorTree, false},
    {"-mir -scan -v in parallel", kSource + L" " + kTarget + L" -s -mir -scan -v", kCopy, false, MovedTarget, true},
    {"-ds -q", kSource + L" " + kTarget + L" -s -ds -q", kCopy, true, ReadOnlySource, false},
    {"-p -ds", kSource + L" " + kTarget + L" -s -p -ds", kCopy, true, LoopingTree, false},
    {"-sec -ads -ds", kSource + L" " + kTarget + L" -s -sec -ads -ds", kCopy, true, SecuredTree, false},
    {"disk image -v", kDisk + L" " + kImage + L" -v", kTarget, false, Disk, true},
};

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultSweep, EveryFailingCallIsReportedAndCostsNoData) {
    const Scenario& scenario = GetParam();
    TwoDrives drives;
    std::unique_ptr<qtxtest::UseFake> use(scenario.parallel ? new qtxtest::UseFake(&drives) : nullptr);
    Sweep sweep(scenario);
    int calls = sweep.Baseline();
    printf("%s: %d calls\n", scenario.name, calls);
    for (int n = 1; n <= calls; ++n) sweep.FailCall(n);
    sweep.FailRanges((scenario.arguments + L" ").find(L" -v") != std::wstring::npos);
    for (const std::string& f : sweep.findings) ADD_FAILURE() << f;
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultSweep, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::to_string(info.index); });

// Each run stopped dead at each of its calls, as by a power cut: at no moment
// does a target's name hold a file that is neither its old one, a complete
// copy nor one marked incomplete; the same command run again on what was left
// ends with 0 and leaves the whole target equal to its source.
class CrashSweep : public Sweep {
public:
    using Sweep::Sweep;
    std::set<Tree> left_;

    void CrashAt(int n) {
        MemoryFileSystem crashed;
        Prepare(crashed);
        crashed.crashAt = n;
        RunInProcess(crashed, output_, s_.arguments);
        if (!crashed.Crashed()) return;
        MemoryFileSystem fs;
        crashed.CopyCrashedInto(fs);
        std::string where = std::string(s_.name) + " crash at " + std::to_string(n);
        for (auto& item : fs.Snapshot()) {
            if (!Under(item.first, kTarget) || IsFolder(item.second) || IsPartialName(item.first.c_str(), nullptr)) continue;
            auto was = initial_.find(item.first), done = complete_.find(item.first);
            std::string data = DataOf(item.second);
            bool old = was != initial_.end() && data == DataOf(was->second);
            bool copied = done != complete_.end() && data == DataOf(done->second);
            if (!old && !copied && !Marked(item.second)) Note(where, "partial data under a final name", item.first);
        }
        // a call that changed nothing leaves what the crash before it left: that rerun was made
        if (left_.insert(Snap(fs)).second) RunAgain(fs, where);
    }
};

class Crashes : public ::testing::TestWithParam<Scenario> {};

TEST_P(Crashes, EveryCrashLeavesWhatTheSameCommandRepairs) {
    const Scenario& scenario = GetParam();
    TwoDrives drives;
    std::unique_ptr<qtxtest::UseFake> use(scenario.parallel ? new qtxtest::UseFake(&drives) : nullptr);
    CrashSweep sweep(scenario);
    int calls = sweep.Baseline();
    for (int n = 1; n <= calls; ++n) sweep.CrashAt(n);
    printf("%s: %d crash points, %zu states left\n", scenario.name, calls, sweep.left_.size());
    for (const std::string& f : sweep.findings) ADD_FAILURE() << f;
}

INSTANTIATE_TEST_SUITE_P(Runs, Crashes, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::to_string(info.index); });

// A link group's security comes once, after its names are linked: set
// before, it could refuse them.
TEST(FaultSweep, ALinkGroupGetsItsSecurityAfterItsNames) {
    qtxtest::CapturedOutput output;
    MemoryFileSystem fs;
    fs.AddFolder(kTarget);
    SecuredGroup(fs);
    InProcessRun r = RunInProcess(fs, output, kSource + L" " + kTarget + L" -s -sec");
    auto copy = fs.File(kCopy + L"\\sub\\g2.bin");
    EXPECT_TRUE(r.code == 0 && copy == fs.File(kCopy + L"\\g1.bin") && copy->links == 2) << r.out;
    EXPECT_EQ(fs.File(kSource + L"\\g1.bin")->security, copy ? copy->security : "") << r.out;
}

// A disk onto a smaller one fills it and fails the run, saying how much it holds;
// both go offline, the source's volumes stay locked, the target's are given back.
TEST(FullVolume, ASmallerTargetDiskFailsTheRun) {
    TwoDrives drives;
    qtxtest::UseFake use(&drives);
    qtxtest::CapturedOutput output;
    MemoryFileSystem fs;
    Disk(fs);
    const size_t room = static_cast<size_t>(drives.Find(kSmallDisk)->length);
    fs.AddFile(kSmallDisk, std::string(room, 'x'));
    InProcessRun r = RunInProcess(fs, output, kDisk + L" " + kSmallDisk);
    EXPECT_EQ(13, r.code) << r.out;
    EXPECT_NE(r.out.find("Error DISK_FULL: '\\\\.\\PhysicalDrive4' holds only the first " + std::to_string(room) + " bytes"),
              std::string::npos) << r.out;
    EXPECT_EQ(fs.Data(kDisk).substr(0, room), fs.Data(kSmallDisk));
    auto volume = [&](const wchar_t* name) { return *drives.Find(std::wstring(L"\\\\?\\Volume{") + name + L"}"); };
    EXPECT_TRUE(drives.Find(kDisk)->offline() && drives.Find(kSmallDisk)->offline() && volume(L"E").locked &&
                !volume(L"F").locked && volume(L"F").dismounts == 1 && !volume(L"C").locked);
}

}  // namespace

namespace {

// A folder link is announced as a link, not as a folder made.
bool IsLinkLine(const std::string& line) {
    size_t at = line.find("|a");
    return at != std::string::npos && (std::stoul(line.substr(at + 2)) & FILE_ATTRIBUTE_REPARSE_POINT);
}

// What a run did to each name, as "change: PATH"; before holds what was there.
std::set<std::string> Changes(const Tree& before, const Tree& after) {
    std::set<std::string> changes;
    auto add = [&](const char* change, const std::wstring& key) { changes.insert(change + qtxtest::Narrow(key)); };
    for (auto& [key, was] : before) {
        auto now = after.find(key);
        bool folder = IsFolder(was);
        if (now == after.end() || IsFolder(now->second) != folder)
            add(Under(key, kSource) ? "removed: " : "deleted: ", key);
        else if (!folder && WithoutLinks(now->second) != WithoutLinks(was))
            add("changed: ", key);
    }
    for (auto& [key, is] : after) {
        auto was = before.find(key);
        if (was == before.end() || IsFolder(was->second) != IsFolder(is))
            add(IsFolder(is) && !IsLinkLine(is) ? "made folder: " : "made: ", key);
    }
    return changes;
}

// The same read from a dry run's action lines.
std::set<std::string> Announced(const std::string& out, const Tree& before) {
    std::set<std::string> changes;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        std::string action = line.substr(0, colon), path = Upper(line.substr(colon + 2));
        bool existed = before.count(std::wstring(path.begin(), path.end())) != 0;
        if (action == "copy" || action == "overwrite")
            changes.insert((action == "copy" ? "made: " : "changed: ") + path);
        else if (action == "link" || action == "re-use")
            changes.insert((existed ? "changed: " : "made: ") + path);
        else if (action == "create folder")
            changes.insert("made folder: " + path);
        else if (action == "delete file" || action == "delete folder")
            changes.insert("deleted: " + path);
        else if (action == "remove source")
            changes.insert("removed: " + path);
    }
    return changes;
}

const Call kWriteCalls[] = {Call::Write,         Call::SetEnd,        Call::Delete,       Call::ZeroRange,
                            Call::Link,          Call::SetTimes,      Call::SetSparse,    Call::SetAttributes,
                            Call::CreateFolder,  Call::RemoveFolder,  Call::Move,         Call::BackupWrite,
                            Call::TakeOwnership, Call::SetReparse,    Call::SetCompression, Call::SetBacking};

// Each sweep's run with -dry: no call that writes reaches the volume, which
// stays as it was, and what it announces is what the run then does.
TEST(FaultSweep, ADryRunChangesNothingAndAnnouncesWhatTheRunDoes) {
    qtxtest::CapturedOutput output;
    for (const Scenario& scenario : kScenarios) {
        TwoDrives drives;
        std::unique_ptr<qtxtest::UseFake> use(scenario.parallel ? new qtxtest::UseFake(&drives) : nullptr);
        MemoryFileSystem fs;
        fs.AddFolder(kTarget);
        scenario.setUp(fs);
        Tree before = fs.Snapshot();
        fs.ResetCounts();
        InProcessRun dry = RunInProcess(fs, output, scenario.arguments + L" -dry");
        EXPECT_EQ(0, dry.code) << scenario.name << "\n" << dry.out;
        for (Call call : kWriteCalls) EXPECT_EQ(0, fs.counts[static_cast<int>(call)]) << scenario.name << " " << CallName(call);
        EXPECT_TRUE(before == fs.Snapshot()) << scenario.name;
        EXPECT_EQ(0, fs.OpenHandles()) << scenario.name;
        // no disk taken offline, no volume locked or dismounted
        for (auto& d : drives.devices) EXPECT_TRUE(!d.offline() && !d.locked && !d.dismounts) << scenario.name;
        fs.ResetCounts();
        InProcessRun real = RunInProcess(fs, output, scenario.arguments);
        Tree after = fs.Snapshot();
        EXPECT_EQ(Changes(before, after), Announced(dry.out, before)) << scenario.name << "\n" << dry.out << real.out;
        // links made are announced as such, and so are names made of a file
        // with others, but for the first copy of a new file
        struct Names {
            int made = 0, there = 0, links = 0;
        };
        std::map<std::string, Names> files;   // the target's names by what they hold
        size_t linked = 0;
        for (auto& [key, is] : after) {
            if (!before.count(key) && IsLinkLine(is)) ++linked;
            if (IsFolder(is) || IsLinkLine(is) || Links(is) < 2 || Under(key, kSource)) continue;
            Names& names = files[is];
            ++(before.count(key) ? names.there : names.made);
            names.links = Links(is);
        }
        for (auto& [line, names] : files) linked += names.made - (!names.there && names.made == names.links ? 1 : 0);
        size_t announced = 0;
        for (size_t at = dry.out.find("\nlink: "); at != std::string::npos; at = dry.out.find("\nlink: ", at + 1)) ++announced;
        EXPECT_EQ(linked, announced) << scenario.name << "\n" << dry.out << real.out;
    }
}

// -u writes only the blocks that differ, and its dry run counts just those.
TEST(FaultSweep, ADryRunOfUCountsOnlyTheBlocksThatDiffer) {
    qtxtest::CapturedOutput output;
    MemoryFileSystem fs;
    const int size = 4 << 20;
    std::string data = qtxtest::PatternBytes(size, 8), old = data;
    old[3 << 20] ^= 1;
    fs.AddFile(kSource + L"\\big.bin", data);
    fs.AddFile(kTarget + L"\\big.bin", old, kOld);
    const std::wstring arguments = kSource + L"\\big.bin " + kTarget + L"\\ -o -u";
    InProcessRun dry = RunInProcess(fs, output, arguments + L" -dry");
    fs.ResetCounts();
    InProcessRun real = RunInProcess(fs, output, arguments);
    EXPECT_TRUE(real.code == 0 && fs.bytesWritten > 0 && fs.bytesWritten < size) << fs.bytesWritten << real.out;
    EXPECT_NE(dry.out.find("\n" + std::to_string(fs.bytesWritten) + " bytes would be written"), std::string::npos)
        << dry.out;
}

}  // namespace
