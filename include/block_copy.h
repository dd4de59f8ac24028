// Block geometry, the run's buffers, the two I/O workers and the block loop.
#pragma once
#include <cstdint>

// ---- geometry (plain decisions) ----
struct BlockGeometryInput {
    uint32_t transferUnit;
    int smallBase;           // -u or -sp
    int notFixedDrive;       // source or target root is not DRIVE_FIXED
    int64_t singleFileSize;  // size of the one source file, -1 when not looked at
    int onFloppy;
};

uint64_t RoundUpTo(uint64_t value, uint32_t unit);
uint32_t ChooseRunBlockSize(const BlockGeometryInput& input);
// The block size of one file; parallel operation shrinks it for mid-sized files.
uint32_t FileBlockSize(uint32_t runBlockSize, uint32_t transferUnit, int parallel, int64_t fileSize);
int64_t BlockCount(int64_t size, int64_t startPosition, uint32_t blockSize);
// Bytes allocated for a block buffer: page multiple, at least one byte longer than a block.
uint32_t BufferAllocationSize(uint32_t runBlockSize);
int IsAllZero(const void* buffer, uint64_t length);

// ---- run-level set-up, called by the run driver ----
// Fixes runBlockSize (floppy included, before anything is allocated),
// allocates the block buffers and starts the two workers. Reads options and
// run (transferUnit, writeUnit, drive types, parallel, singleSource, sourcePath).
int PrepareBlockBuffers(int onFloppy);
void ReleaseBlockBuffers();
// The buffer a copy compares the target's bytes in, made when a run first needs it.
int EnsureCompareBuffer();
// The two 1 MiB sample-hash buffers and their lock; creating twice does nothing.
int CreateHashBuffers();
void ReleaseHashBuffers();
extern uint8_t* hashBuffers[2];
void EnterHashLock();
void LeaveHashLock();

// ---- workers: each block read and write is a job for a run-long thread ----
enum WorkerId { kReaderWorker = 0, kWriterWorker = 1 };
typedef int (*BlockJob)(uint32_t argument);
int StartIoWorkers();
// Page-aligned block memory, null when the system has none left; only tests swap it.
extern uint8_t* (*pageAllocator)(uint32_t bytes);
void StopIoWorkers();
// Hands the job over (starting the workers when needed); WaitJob returns its result.
void StartJob(int worker, BlockJob job, uint32_t argument);
// Nonzero: jobs run at once on the calling thread (a loop of one block has
// nothing to overlap, and a hand-over costs more than such a block).
void RunJobsHere(int here);
int WaitJob(int worker);

// ---- block I/O ----
int ReadBlockThread(uint32_t length);
// Reads length bytes from the source into buffer index; 0 with lastReadError set on failure.
int ReadIntoBuffer(uint32_t index, uint32_t length);
int WriteBlockThread(uint32_t sparseMode);
// Reads back a block just written (-vi); verification owns the real check.
int VerifyWrittenBlock(int64_t position, uint32_t length);

// The block loop over the open source and target: 1 complete, 0 failed.
int CopyBlocks();
