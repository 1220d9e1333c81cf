// Mutexes, uncontended, against what a hand-written port would do instead: a whole-file record
// lock for a named mutex, a pthread mutex for an unnamed one.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bench_support.h"

namespace {

// The base directory start-up found, with its tmp made if the scratch root has none.
const std::string& BaseDirectory() {
    static const std::string base = [] {
        StartLibrary();
        std::string dir = RegBaseDir;
        mkdir(dir.c_str(), 0775);
        mkdir((dir + "tmp").c_str(), 0775);
        return dir;
    }();
    return base;
}

void BM_NamedMutexAcquireRelease_tarvex(benchmark::State& state) {
    BaseDirectory();
    HANDLE h = CreateMutexA(nullptr, FALSE, "bench");
    if (h == INVALID_HANDLE_VALUE) state.SkipWithError("CreateMutexA failed");
    for (auto _ : state) {
        if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) state.SkipWithError("wait failed");
        ReleaseMutex(h);
    }
    CloseHandle(h);
}

void BM_NamedMutexAcquireRelease_posix(benchmark::State& state) {
    const std::string path = BaseDirectory() + "tmp/.Mutex.posix";
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
        if (fcntl(fd, F_SETLK, &whole) != 0) state.SkipWithError("fcntl failed");
        close(fd);
    }
}

void BM_UnnamedMutexAcquireRelease_tarvex(benchmark::State& state) {
    StartLibrary();
    HANDLE h = CreateMutexA(nullptr, FALSE, nullptr);
    for (auto _ : state) {
        if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) state.SkipWithError("wait failed");
        ReleaseMutex(h);
    }
    CloseHandle(h);
}

void BM_UnnamedMutexAcquireRelease_posix(benchmark::State& state) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        if (pthread_mutex_trylock(&mutex) != 0) state.SkipWithError("trylock failed");
        pthread_mutex_unlock(&mutex);
    }
}

BENCHMARK(BM_NamedMutexAcquireRelease_tarvex)->Name("BM_NamedMutexAcquireRelease/tarvex");
BENCHMARK(BM_NamedMutexAcquireRelease_posix)->Name("BM_NamedMutexAcquireRelease/posix");
BENCHMARK(BM_UnnamedMutexAcquireRelease_tarvex)->Name("BM_UnnamedMutexAcquireRelease/tarvex");
BENCHMARK(BM_UnnamedMutexAcquireRelease_posix)->Name("BM_UnnamedMutexAcquireRelease/posix");

}  // namespace
