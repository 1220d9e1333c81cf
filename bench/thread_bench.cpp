// Starting a thread and seeing it end: CreateThread, the thread's end and CloseHandle against
// pthread_create and pthread_join.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>

#include "bench_support.h"

namespace {

std::atomic<int> g_done{0};

DWORD WINAPI Finish(LPVOID) {
    g_done.store(1, std::memory_order_release);
    return 0;
}

void* FinishPosix(void*) { return nullptr; }

// A Win32 caller cannot join a thread: it learns that the work is done and closes the handle, and
// the record goes back when the thread's exit processing has run, which here overlaps the next
// round, as it does in a host. (Polling the library for the end would measure the polling: every
// poll takes the table lock that the ending thread needs.)
void BM_ThreadStartEnd_tarvex(benchmark::State& state) {
    StartLibrary();
    for (auto _ : state) {
        g_done.store(0, std::memory_order_relaxed);
        HANDLE thread = CreateThread(nullptr, 0, Finish, nullptr, 0, nullptr);
        if (thread == nullptr) {
            state.SkipWithError("CreateThread failed");
            break;
        }
        while (g_done.load(std::memory_order_acquire) == 0) sched_yield();
        CloseHandle(thread);
    }
}

void BM_ThreadStartEnd_posix(benchmark::State& state) {
    for (auto _ : state) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, FinishPosix, nullptr) != 0) {
            state.SkipWithError("pthread_create failed");
            break;
        }
        pthread_join(thread, nullptr);
    }
}

}  // namespace

BENCHMARK(BM_ThreadStartEnd_tarvex)->Name("BM_ThreadStartEnd/tarvex")->UseRealTime();
BENCHMARK(BM_ThreadStartEnd_posix)->Name("BM_ThreadStartEnd/posix")->UseRealTime();
