// A REG_DWORD written and read back, against the 8-byte file a hand-written port would keep.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "bench_support.h"

namespace {

void BM_RegDwordSetQuery_tarvex(benchmark::State& state) {
    StartLibrary();
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmora\\Server\\bench", &key) != 0)
        return state.SkipWithError("RegCreateKeyA failed");
    DWORD value = 0, read = 0, type, length;
    for (auto _ : state) {
        ++value;
        RegSetValueExA(key, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
        length = 4;
        RegQueryValueExA(key, "Counter", nullptr, &type, reinterpret_cast<BYTE*>(&read), &length);
        benchmark::DoNotOptimize(read);
    }
    RegCloseKey(key);
}

void BM_RegDwordSetQuery_posix(benchmark::State& state) {
    const std::string path = ScratchDirectory("registry") + "/counter";
    uint64_t value = 0, read = 0;
    for (auto _ : state) {
        ++value;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
        benchmark::DoNotOptimize(write(fd, &value, sizeof value));
        close(fd);
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        benchmark::DoNotOptimize(::read(fd, &read, sizeof read));
        close(fd);
    }
}

BENCHMARK(BM_RegDwordSetQuery_tarvex)->Name("BM_RegDwordSetQuery/tarvex");
BENCHMARK(BM_RegDwordSetQuery_posix)->Name("BM_RegDwordSetQuery/posix");

}  // namespace
