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

// As a join does, the loop waits until the library has seen the thread end (an ended thread's
// priority can no longer be set), then closes the handle, which gives the record back.
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
        while (SetThreadPriority(thread, THREAD_PRIORITY_NORMAL)) sched_yield();
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
