// Plain rules of the temporary name and of the write mode.
#include "partial_copy.h"

#include <cwchar>

#include "paths.h"

namespace {
constexpr size_t kSuffixLength = sizeof kPartialSuffix / sizeof kPartialSuffix[0] - 1;
constexpr size_t kLongestName = 255;
}  // namespace

int PartialPathOf(const wchar_t* targetPath, wchar_t* out, size_t capacity) {
    size_t length = wcslen(targetPath);
    size_t name = wcslen(FileNamePart(targetPath));
    if (name == 0 || name + kSuffixLength > kLongestName || length + kSuffixLength >= capacity) return 0;
    wmemcpy(out, targetPath, length);
    wmemcpy(out + length, kPartialSuffix, kSuffixLength + 1);
    return 1;
}

int IsPartialName(const wchar_t* name, size_t* baseLength) {
    size_t length = wcslen(name);
    if (length <= kSuffixLength || _wcsicmp(name + length - kSuffixLength, kPartialSuffix) != 0) return 0;
    if (baseLength) *baseLength = length - kSuffixLength;
    return 1;
}

int ChooseWriteMode(const WriteModeFacts& f) {
    if (!f.fileTarget || f.streamCall) return kWriteDirect;
    if (f.deviceSource || !f.nameFits) return kWriteMarked;
    // another name of the target must neither see the new bytes nor lose the old ones before -st
    if (f.existed && f.links >= 2) return kWriteTemporary;
    // -st keeps what lies before it, also of a target that could not be looked at
    if (f.startPos > 0) return kWriteMarked;
    if (!f.existed) return kWriteTemporary;
    if (f.avoidWrites) return kWriteMarked;
    if (f.room < f.size && f.room + f.existingSize >= f.size) return kWriteMarked;
    // even a copy that cannot fit is tried beside the target: its failure keeps the old one
    return kWriteTemporary;
}
