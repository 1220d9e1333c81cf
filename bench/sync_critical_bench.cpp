// Critical sections and interlocked operations against what a port would otherwise write: a
// pthread mutex, and the compiler's atomic builtin. Each pair is registered as <pair>/tarvex and
// <pair>/posix; bench/run lines them up by that name.
//
// The tarvex side goes through the exported functions, so the cost includes the call through the
// shared library's PLT, as a host program pays it. A critical section also counts itself in its
// owner's termination state (so that TerminateThread never ends an owner); the mutex does not,
// and that difference is part of what the pair measures.
#include <tarvex/sync.h>

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// A process with one thread gets glibc's single-thread shortcut, where a mutex takes no atomic
// instruction at all; a lock only matters in a process with threads, so both sides are measured
// with a second (idle) thread alive, as in any server that uses them.
void EnsureMultiThreaded() {
    static const bool started = [] {
        pthread_t idle;
        pthread_create(
            &idle, nullptr, [](void*) -> void* {
                for (;;) pause();
            },
            nullptr);
        pthread_detach(idle);
        return true;
    }();
    (void)started;
}

void EnterAndLeave(benchmark::State& state, CRITICAL_SECTION* section) {
    for (auto _ : state) {
        EnterCriticalSection(section);
        benchmark::ClobberMemory();
        LeaveCriticalSection(section);
    }
}

void LockAndUnlock(benchmark::State& state, pthread_mutex_t* mutex) {
    for (auto _ : state) {
        pthread_mutex_lock(mutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(mutex);
    }
}

void* EnterAndLeaveOnce(void* section) {
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(section));
    LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(section));
    return nullptr;
}

// Uncontended enter and leave, the common case for a section that guards a table. With `shared`,
// a second thread has used the section too: the thread a section was reserved for enters without
// a locked instruction of its own, every other thread (and that one too, once another has come)
// takes the section's word with a compare-and-swap.
void CriticalSection(benchmark::State& state, bool shared) {
    EnsureMultiThreaded();
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterAndLeaveOnce(&section);
    if (shared) {
        pthread_t other;
        pthread_create(&other, nullptr, EnterAndLeaveOnce, &section);
        pthread_join(other, nullptr);
    }
    EnterAndLeave(state, &section);
    DeleteCriticalSection(&section);
}

void CriticalSectionTarvex(benchmark::State& state) { CriticalSection(state, false); }
void CriticalSectionSharedTarvex(benchmark::State& state) { CriticalSection(state, true); }

void CriticalSectionPosix(benchmark::State& state) {
    EnsureMultiThreaded();
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    LockAndUnlock(state, &mutex);
    pthread_mutex_destroy(&mutex);
}

// A nested entry: the second enter and the first leave only count.
void CriticalSectionNestedTarvex(benchmark::State& state) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterAndLeave(state, &section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

void CriticalSectionNestedPosix(benchmark::State& state) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    pthread_mutex_lock(&mutex);
    LockAndUnlock(state, &mutex);
    pthread_mutex_unlock(&mutex);
    pthread_mutex_destroy(&mutex);
}

// Contended: every benchmark thread enters and leaves the one section (or locks the one mutex),
// with a little work inside; the pair compares throughput at 2, 4 and 8 threads.
CRITICAL_SECTION* ContendedSection() {
    static CRITICAL_SECTION* section = [] {
        static CRITICAL_SECTION storage;
        InitializeCriticalSection(&storage);
        return &storage;
    }();
    return section;
}

void Work() {
    for (int i = 0; i < 20; ++i) benchmark::ClobberMemory();
}

void CriticalSectionContendedTarvex(benchmark::State& state) {
    CRITICAL_SECTION* section = ContendedSection();
    for (auto _ : state) {
        EnterCriticalSection(section);
        Work();
        LeaveCriticalSection(section);
    }
}

void CriticalSectionContendedPosix(benchmark::State& state) {
    static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        Work();
        pthread_mutex_unlock(&mutex);
    }
}

void InterlockedIncrementTarvex(benchmark::State& state) {
    LONG volatile counter = 0;
    for (auto _ : state) benchmark::DoNotOptimize(InterlockedIncrement(&counter));
}

void InterlockedIncrementPosix(benchmark::State& state) {
    LONG volatile counter = 0;
    for (auto _ : state) benchmark::DoNotOptimize(__atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST));
}

BENCHMARK(CriticalSectionTarvex)->Name("BM_CriticalSection/tarvex");
BENCHMARK(CriticalSectionPosix)->Name("BM_CriticalSection/posix");
BENCHMARK(CriticalSectionSharedTarvex)->Name("BM_CriticalSectionShared/tarvex");
BENCHMARK(CriticalSectionPosix)->Name("BM_CriticalSectionShared/posix");
BENCHMARK(CriticalSectionNestedTarvex)->Name("BM_CriticalSectionNested/tarvex");
BENCHMARK(CriticalSectionNestedPosix)->Name("BM_CriticalSectionNested/posix");
BENCHMARK(CriticalSectionContendedTarvex)->Name("BM_CriticalSectionContended/tarvex")
    ->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK(CriticalSectionContendedPosix)->Name("BM_CriticalSectionContended/posix")
    ->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK(InterlockedIncrementTarvex)->Name("BM_InterlockedIncrement/tarvex");
BENCHMARK(InterlockedIncrementPosix)->Name("BM_InterlockedIncrement/posix");

}  // namespace
