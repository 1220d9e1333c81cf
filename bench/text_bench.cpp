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

// Runs `op` on a text of state.range(0) bytes once per iteration, hiding the input and the result
// from the optimiser; both sides of every pair go through here.
template <typename Op>
void OnText(benchmark::State& state, Op op) {
    std::string text = MakeText(state.range(0));
    const char* input = text.c_str();
    for (auto _ : state) {
        benchmark::DoNotOptimize(input);
        benchmark::DoNotOptimize(op(input));
        benchmark::ClobberMemory();
    }
}

char g_path[kPathBuffer];

void StrcpyTarvex(benchmark::State& state) {
    OnText(state, [](const char* src) { return Strcpy(g_path, src, kPathBuffer); });
}

void StrcpyPosix(benchmark::State& state) {
    OnText(state, [](const char* src) {
        size_t n = strnlen(src, kPathBuffer - 1);
        memcpy(g_path, src, n);
        g_path[n] = '\0';
        return g_path;
    });
}

// A temporary file name of the kind hosts build, from a seven-character mailbox name.
void SnprintfTarvex(benchmark::State& state) {
    OnText(state, [](const char* name) {
        return Snprintf(g_path, kPathBuffer, "%s/%08x.%d.tmp", name, 4711, 4711);
    });
}

void SnprintfPosix(benchmark::State& state) {
    OnText(state, [](const char* name) {
        return snprintf(g_path, kPathBuffer, "%s/%08x.%d.tmp", name, 4711, 4711);
    });
}

// The baseline only touches every byte of the key once: what any hash must at least pay.
void HashTarvex(benchmark::State& state) {
    OnText(state, [](const char* key) { return hash_fn(key, 193); });
}

void HashPosix(benchmark::State& state) {
    OnText(state, [](const char* key) { return strlen(key); });
}

BENCHMARK(StrcpyTarvex)->Name("BM_Strcpy/tarvex")->Arg(8)->Arg(64)->Arg(259)->Arg(400);
BENCHMARK(StrcpyPosix)->Name("BM_Strcpy/posix")->Arg(8)->Arg(64)->Arg(259)->Arg(400);
BENCHMARK(SnprintfTarvex)->Name("BM_Snprintf/tarvex")->Arg(7);
BENCHMARK(SnprintfPosix)->Name("BM_Snprintf/posix")->Arg(7);
BENCHMARK(HashTarvex)->Name("BM_hash_fn/tarvex")->Arg(8)->Arg(32)->Arg(128);
BENCHMARK(HashPosix)->Name("BM_hash_fn/posix")->Arg(8)->Arg(32)->Arg(128);

}  // namespace
