// Text utilities against what a port would otherwise write with the C library. Each pair is
// registered as <pair>/tarvex and <pair>/posix; bench/run lines them up by that name.
// The tarvex side goes through the exported functions, so the cost includes the call through the
// shared library's PLT, as a host program pays it.
#include <tarvex/text.h>

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

constexpr int kPathBuffer = 260;  // MAX_PATH: the size hosts copy names into

// A printable key of `length` bytes, varied so that the hash sees different bytes.
std::string MakeText(long length) {
    std::string text;
    for (long i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + (i * 7) % 26));
    return text;
}

void StrcpyTarvex(benchmark::State& state) {
    std::string source = MakeText(state.range(0));
    char dst[kPathBuffer];
    const char* src = source.c_str();
    for (auto _ : state) {
        benchmark::DoNotOptimize(src);
        benchmark::DoNotOptimize(Strcpy(dst, src, kPathBuffer));
        benchmark::ClobberMemory();
    }
}

void StrcpyPosix(benchmark::State& state) {
    std::string source = MakeText(state.range(0));
    char dst[kPathBuffer];
    const char* src = source.c_str();
    for (auto _ : state) {
        benchmark::DoNotOptimize(src);
        size_t n = strnlen(src, kPathBuffer - 1);
        memcpy(dst, src, n);
        dst[n] = '\0';
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
}

void SnprintfTarvex(benchmark::State& state) {
    char buf[kPathBuffer];
    const char* name = "mailbox";
    int id = 4711;
    for (auto _ : state) {
        benchmark::DoNotOptimize(name);
        benchmark::DoNotOptimize(id);
        benchmark::DoNotOptimize(Snprintf(buf, kPathBuffer, "%s/%08x.%d.tmp", name, id, id));
        benchmark::ClobberMemory();
    }
}

void SnprintfPosix(benchmark::State& state) {
    char buf[kPathBuffer];
    const char* name = "mailbox";
    int id = 4711;
    for (auto _ : state) {
        benchmark::DoNotOptimize(name);
        benchmark::DoNotOptimize(id);
        benchmark::DoNotOptimize(snprintf(buf, kPathBuffer, "%s/%08x.%d.tmp", name, id, id));
        benchmark::ClobberMemory();
    }
}

// The baseline only touches every byte of the key once: what any hash must at least pay.
void HashTarvex(benchmark::State& state) {
    std::string key = MakeText(state.range(0));
    const char* k = key.c_str();
    for (auto _ : state) {
        benchmark::DoNotOptimize(k);
        benchmark::DoNotOptimize(hash_fn(k, 193));
    }
}

void HashPosix(benchmark::State& state) {
    std::string key = MakeText(state.range(0));
    const char* k = key.c_str();
    for (auto _ : state) {
        benchmark::DoNotOptimize(k);
        benchmark::DoNotOptimize(strlen(k));
    }
}

BENCHMARK(StrcpyTarvex)->Name("BM_Strcpy/tarvex")->Arg(8)->Arg(64)->Arg(259)->Arg(400);
BENCHMARK(StrcpyPosix)->Name("BM_Strcpy/posix")->Arg(8)->Arg(64)->Arg(259)->Arg(400);
BENCHMARK(SnprintfTarvex)->Name("BM_Snprintf/tarvex");
BENCHMARK(SnprintfPosix)->Name("BM_Snprintf/posix");
BENCHMARK(HashTarvex)->Name("BM_hash_fn/tarvex")->Arg(8)->Arg(32)->Arg(128);
BENCHMARK(HashPosix)->Name("BM_hash_fn/posix")->Arg(8)->Arg(32)->Arg(128);

}  // namespace
