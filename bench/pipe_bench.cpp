// An anonymous pipe through WriteFile/ReadFile against write/read on a POSIX pipe: 64 KiB in and
// out again per round, which an empty pipe of the default capacity takes without blocking.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "bench_support.h"

namespace {

constexpr DWORD kChunk = 64 * 1024;

void BM_PipeTransfer64K_tarvex(benchmark::State& state) {
    StartLibrary();
    HANDLE r, w;
    if (!CreatePipe(&r, &w, nullptr, 0)) {
        state.SkipWithError("CreatePipe failed");
        return;
    }
    std::vector<char> out(kChunk, 'p'), in(kChunk);
    for (auto _ : state) {
        DWORD n = 0;
        if (!WriteFile(w, out.data(), kChunk, &n, nullptr) || n != kChunk ||
            !ReadFile(r, in.data(), kChunk, &n, nullptr) || n != kChunk) {
            state.SkipWithError("transfer failed");
            break;
        }
        benchmark::DoNotOptimize(in.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
    CloseHandle(r);
    CloseHandle(w);
}

void BM_PipeTransfer64K_posix(benchmark::State& state) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        state.SkipWithError("pipe2 failed");
        return;
    }
    std::vector<char> out(kChunk, 'p'), in(kChunk);
    for (auto _ : state) {
        if (write(fds[1], out.data(), kChunk) != kChunk || read(fds[0], in.data(), kChunk) != kChunk) {
            state.SkipWithError("transfer failed");
            break;
        }
        benchmark::DoNotOptimize(in.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
    close(fds[0]);
    close(fds[1]);
}

BENCHMARK(BM_PipeTransfer64K_tarvex)->Name("BM_PipeTransfer64K/tarvex");
BENCHMARK(BM_PipeTransfer64K_posix)->Name("BM_PipeTransfer64K/posix");

}  // namespace
