// Two run-long worker threads, one reading and one writing blocks. Creating
// a thread per block costs milliseconds under some Windows layers, so each
// block is a job handed over to a thread that lives as long as the buffers.
#include <windows.h>

#include "block_copy.h"

namespace {
// set while a loop has nothing to overlap: its jobs then run on the calling thread
int jobsHere;
}  // namespace

namespace {

typedef BOOL(WINAPI* WaitOnAddressProc)(volatile VOID*, PVOID, SIZE_T, DWORD);
typedef VOID(WINAPI* WakeByAddressProc)(PVOID);

WaitOnAddressProc waitOnAddress;
WakeByAddressProc wakeByAddress;

void LookUpWaitFunctions() {
    static bool looked;
    if (looked) return;
    looked = true;
    const wchar_t* libraries[] = {L"kernel32.dll", L"kernelbase.dll", L"api-ms-win-core-synch-l1-2-0.dll"};
    for (const wchar_t* name : libraries) {
        HMODULE module = GetModuleHandleW(name);
        if (!module) continue;
        auto wait = reinterpret_cast<WaitOnAddressProc>(GetProcAddress(module, "WaitOnAddress"));
        auto wake = reinterpret_cast<WakeByAddressProc>(GetProcAddress(module, "WakeByAddressSingle"));
        if (wait && wake) {
            waitOnAddress = wait;
            wakeByAddress = wake;
            return;
        }
    }
}

struct Worker {
    HANDLE thread;
    HANDLE requestEvent;   // fallback hand-off without WaitOnAddress
    HANDLE doneEvent;
    volatile LONG requested;
    volatile LONG completed;
    volatile LONG quit;
    BlockJob job;
    uint32_t argument;
    volatile LONG result;
};

Worker workers[2];
bool running;

// Waits until *value differs from seen.
void WaitForChange(volatile LONG* value, LONG seen, HANDLE event) {
    while (InterlockedCompareExchange(value, 0, 0) == seen) {
        if (waitOnAddress)
            waitOnAddress(value, &seen, sizeof seen, INFINITE);
        else
            WaitForSingleObject(event, INFINITE);
    }
}

void Wake(volatile LONG* value, HANDLE event) {
    if (wakeByAddress)
        wakeByAddress(const_cast<LONG*>(value));
    else
        SetEvent(event);
}

DWORD WINAPI WorkerLoop(void* parameter) {
    Worker* worker = static_cast<Worker*>(parameter);
    LONG seen = 0;
    for (;;) {
        WaitForChange(&worker->requested, seen, worker->requestEvent);
        seen = worker->requested;
        if (worker->quit) break;
        worker->result = worker->job(worker->argument);
        InterlockedExchange(&worker->completed, seen);
        Wake(&worker->completed, worker->doneEvent);
    }
    return 0;
}

}  // namespace

int StartIoWorkers() {
    if (running) return 1;
    LookUpWaitFunctions();
    for (Worker& worker : workers) {
        worker = Worker{};
        if (!waitOnAddress) {
            worker.requestEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            worker.doneEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            if (!worker.requestEvent || !worker.doneEvent) return 0;
        }
        worker.thread = CreateThread(nullptr, 0, WorkerLoop, &worker, 0, nullptr);
        if (!worker.thread) return 0;
    }
    running = true;
    return 1;
}

void StopIoWorkers() {
    if (!running) return;
    for (Worker& worker : workers) {
        worker.quit = 1;
        InterlockedIncrement(&worker.requested);
        Wake(&worker.requested, worker.requestEvent);
        WaitForSingleObject(worker.thread, INFINITE);
        CloseHandle(worker.thread);
        if (worker.requestEvent) CloseHandle(worker.requestEvent);
        if (worker.doneEvent) CloseHandle(worker.doneEvent);
        worker = Worker{};
    }
    running = false;
}

void RunJobsHere(int here) { jobsHere = here; }

void StartJob(int id, BlockJob job, uint32_t argument) {
    if (jobsHere || (!running && !StartIoWorkers())) {
        // no thread to hand over to: the job runs here, the outcome is the same
        workers[id].job = nullptr;
        workers[id].result = job(argument);
        return;
    }
    Worker& worker = workers[id];
    worker.job = job;
    worker.argument = argument;
    InterlockedIncrement(&worker.requested);
    Wake(&worker.requested, worker.requestEvent);
}

int WaitJob(int id) {
    Worker& worker = workers[id];
    if (!running || !worker.job) return worker.result;
    LONG target = worker.requested;
    for (;;) {
        LONG done = InterlockedCompareExchange(&worker.completed, 0, 0);
        if (done == target) break;
        WaitForChange(&worker.completed, done, worker.doneEvent);
    }
    return worker.result;
}
