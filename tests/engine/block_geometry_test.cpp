#include <gtest/gtest.h>

#include <cstring>

#include "block_copy.h"
#include "copy_call.h"

TEST(BlockGeometry, RunBlockSize) {
    BlockGeometryInput input = {};
    input.transferUnit = 4096;
    input.singleFileSize = -1;
    EXPECT_EQ(ChooseRunBlockSize(input), 0x100000u);
    input.smallBase = 1;
    EXPECT_EQ(ChooseRunBlockSize(input), 0x100000u);
    input.smallBase = 0;
    input.notFixedDrive = 1;
    EXPECT_EQ(ChooseRunBlockSize(input), 0x100000u);
    // a small single file shrinks the block to its size in whole units
    input.singleFileSize = 1000;
    input.transferUnit = 512;
    EXPECT_EQ(ChooseRunBlockSize(input), 1024u);
    input.singleFileSize = 0;
    EXPECT_EQ(ChooseRunBlockSize(input), 0x100000u);
    // the floppy rule is decided with the rest, before anything is allocated
    input.onFloppy = 1;
    EXPECT_EQ(ChooseRunBlockSize(input), 0x10000u);
    input.singleFileSize = 1000;
    EXPECT_EQ(ChooseRunBlockSize(input), 0x10000u);
    EXPECT_GT(BufferAllocationSize(ChooseRunBlockSize(input)), ChooseRunBlockSize(input));
}

TEST(BlockGeometry, FileBlockSizeAndCounts) {
    EXPECT_EQ(FileBlockSize(0x100000, 4096, 1, 0x100000), 0x100000u);
    EXPECT_EQ(FileBlockSize(0x100000, 4096, 1, 0x100001), 0x20000u);
    EXPECT_EQ(FileBlockSize(0x100000, 4096, 1, 0x7FFFFF), 0x20000u);
    EXPECT_EQ(FileBlockSize(0x100000, 4096, 1, 0x800000), 0x100000u);
    EXPECT_EQ(FileBlockSize(0x100000, 4096, 0, 0x100001), 0x100000u);
    EXPECT_EQ(FileBlockSize(0x100000, 3000, 1, 0x200000), 132000u);   // 131072 rounded up to the unit

    EXPECT_EQ(BlockCount(10 << 20, 4 << 20, 1 << 20), 6);
    EXPECT_EQ(BlockCount((1 << 20) + 1, 0, 1 << 20), 2);
    EXPECT_EQ(BlockCount(1, 0, 1 << 20), 1);
    EXPECT_EQ(BlockCount(5, 5, 512), 0);

    EXPECT_EQ(BufferAllocationSize(0x100000), 0x101000u);
    EXPECT_EQ(BufferAllocationSize(4094), 4096u);
    EXPECT_EQ(BufferAllocationSize(4096), 8192u);
    EXPECT_EQ(RoundUpTo(10, 512), 512u);
    EXPECT_EQ(RoundUpTo(1024, 512), 1024u);
}

TEST(BlockGeometry, IsAllZero) {
    unsigned char bytes[37];
    memset(bytes, 0, sizeof bytes);
    EXPECT_EQ(IsAllZero(bytes, 0), 1);
    EXPECT_EQ(IsAllZero(bytes, sizeof bytes), 1);
    bytes[36] = 1;   // in the tail after the whole words
    EXPECT_EQ(IsAllZero(bytes, sizeof bytes), 0);
    EXPECT_EQ(IsAllZero(bytes, 36), 1);
    bytes[3] = 0x80;
    EXPECT_EQ(IsAllZero(bytes, 8), 0);
    EXPECT_EQ(IsAllZero(bytes + 1, 2), 1);
}

TEST(CopyDecision, ExistingTargetRules) {
    EXPECT_EQ(IsTargetOlder(100, 200, 5, 5), 1);
    EXPECT_EQ(IsTargetOlder(200, 100, 5, 6), 0);
    EXPECT_EQ(IsTargetOlder(100, 100, 5, 5), 0);
    EXPECT_EQ(IsTargetOlder(100, 100, 5, 6), 1);

    ExistingRules rules = {};
    EXPECT_EQ(DecideExisting(rules), kExistingAsk);
    rules.overwriteOlder = 1;
    EXPECT_EQ(DecideExisting(rules), kExistingNotOlder);
    rules.older = 1;
    EXPECT_EQ(DecideExisting(rules), kExistingCopy);
    rules.skipExisting = 1;   // -k wins over everything
    rules.overwrite = 1;
    EXPECT_EQ(DecideExisting(rules), kExistingSkip);
    rules = {};
    rules.streamCall = 1;
    EXPECT_EQ(DecideExisting(rules), kExistingCopy);

    EXPECT_EQ(CreationAttributesOf(0xFFFFFFFFu), 0u);
    EXPECT_EQ(CreationAttributesOf(0x2B01 | 0x20 | 0x2), 0x22u);
    EXPECT_EQ(EffectiveFreeSpace(0x1400000, 0), 0x7FFFFFFFFFFFFFFFLL);
    EXPECT_EQ(EffectiveFreeSpace(0x1400000, 7), 7);
    EXPECT_EQ(NeededSpace(1000, 4096, 0, 300), 700);
    EXPECT_EQ(NeededSpace(1000, 4096, 1, 0), 4096);
}
