// Reading a TLS value against the POSIX key read a hand-written port would make instead.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <pthread.h>

#include "bench_support.h"

namespace {

void BM_TlsGetValue_tarvex(benchmark::State& state) {
    StartLibrary();
    static const DWORD index = TlsAlloc();
    int value = 0;
    if (index == TLS_OUT_OF_INDEXES || !TlsSetValue(index, &value)) state.SkipWithError("TlsAlloc failed");
    for (auto _ : state) benchmark::DoNotOptimize(TlsGetValue(index));
}

void BM_TlsGetValue_posix(benchmark::State& state) {
    static pthread_key_t key;
    static const int created = pthread_key_create(&key, nullptr);
    int value = 0;
    if (created != 0 || pthread_setspecific(key, &value) != 0) state.SkipWithError("key failed");
    for (auto _ : state) benchmark::DoNotOptimize(pthread_getspecific(key));
}

}  // namespace

BENCHMARK(BM_TlsGetValue_tarvex)->Name("BM_TlsGetValue/tarvex");
BENCHMARK(BM_TlsGetValue_posix)->Name("BM_TlsGetValue/posix");
