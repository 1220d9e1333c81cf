// File handles against the system calls a hand-written port would make instead.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "bench_support.h"

namespace {

const std::string& BenchFile() {
    static const std::string path = [] {
        std::string p = ScratchDirectory("files") + "/data";
        close(open(p.c_str(), O_CREAT | O_RDWR, 0640));
        return p;
    }();
    return path;
}

// Open and close sharing everything: no record lock.
void BM_OpenCloseShared_tarvex(benchmark::State& state) {
    StartLibrary();
    const char* path = BenchFile().c_str();
    for (auto _ : state) {
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) state.SkipWithError("CreateFileA failed");
        CloseHandle(h);
    }
}

void BM_OpenCloseShared_posix(benchmark::State& state) {
    const char* path = BenchFile().c_str();
    for (auto _ : state) close(open(path, O_RDWR | O_CLOEXEC));
}

// Open and close for exclusive use: a whole-file write lock between processes.
void BM_OpenCloseExclusive_tarvex(benchmark::State& state) {
    StartLibrary();
    const char* path = BenchFile().c_str();
    for (auto _ : state) {
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) state.SkipWithError("CreateFileA failed");
        CloseHandle(h);
    }
}

void BM_OpenCloseExclusive_posix(benchmark::State& state) {
    const char* path = BenchFile().c_str();
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (auto _ : state) {
        int fd = open(path, O_RDWR | O_CLOEXEC);
        fcntl(fd, F_SETLK, &whole);
        close(fd);
    }
}

// Write 4 KiB at an offset and read it back.
void BM_SeekWriteSeekRead4K_tarvex(benchmark::State& state) {
    StartLibrary();
    HANDLE h = CreateFileA(BenchFile().c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    char out[4096] = {1}, in[4096];
    DWORD n;
    for (auto _ : state) {
        SetFilePointer(h, 8192, nullptr, FILE_BEGIN);
        WriteFile(h, out, sizeof out, &n, nullptr);
        SetFilePointer(h, 8192, nullptr, FILE_BEGIN);
        ReadFile(h, in, sizeof in, &n, nullptr);
        benchmark::DoNotOptimize(in[0]);
    }
    CloseHandle(h);
}

void BM_SeekWriteSeekRead4K_posix(benchmark::State& state) {
    int fd = open(BenchFile().c_str(), O_RDWR | O_CLOEXEC);
    char out[4096] = {1}, in[4096];
    for (auto _ : state) {
        benchmark::DoNotOptimize(pwrite(fd, out, sizeof out, 8192));
        benchmark::DoNotOptimize(pread(fd, in, sizeof in, 8192));
        benchmark::DoNotOptimize(in[0]);
    }
    close(fd);
}

BENCHMARK(BM_OpenCloseShared_tarvex)->Name("BM_OpenCloseShared/tarvex");
BENCHMARK(BM_OpenCloseShared_posix)->Name("BM_OpenCloseShared/posix");
BENCHMARK(BM_OpenCloseExclusive_tarvex)->Name("BM_OpenCloseExclusive/tarvex");
BENCHMARK(BM_OpenCloseExclusive_posix)->Name("BM_OpenCloseExclusive/posix");
BENCHMARK(BM_SeekWriteSeekRead4K_tarvex)->Name("BM_SeekWriteSeekRead4K/tarvex");
BENCHMARK(BM_SeekWriteSeekRead4K_posix)->Name("BM_SeekWriteSeekRead4K/posix");

}  // namespace
