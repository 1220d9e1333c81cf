// A directory search against what a hand-written port would do instead: read the directory,
// match each name ignoring case, read the status of each match.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bench_support.h"

namespace {

std::string Entry(const std::string& dir, int i) {
    return dir + "/entry" + std::to_string(i) + (i % 2 ? ".txt" : i % 4 ? ".MSG" : ".msg");
}

// 1,000 entries, half of them "*.msg" in mixed case; made once, removed at exit.
const std::string& Spool() {
    static const std::string dir = [] {
        std::string d = ScratchDirectory("find");
        for (int i = 0; i < 1000; ++i) close(open(Entry(d, i).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0640));
        atexit([] {
            for (int i = 0; i < 1000; ++i) unlink(Entry(Spool(), i).c_str());
            rmdir(Spool().c_str());
        });
        return d;
    }();
    return dir;
}

void BM_FindMessages_tarvex(benchmark::State& state) {
    StartLibrary();
    const std::string pattern = Spool() + "/*.msg";
    WIN32_FIND_DATAA record;
    for (auto _ : state) {
        int found = 0;
        HANDLE search = FindFirstFileA(pattern.c_str(), &record);
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &record))
            found += record.nFileSizeLow == 0;
        FindClose(search);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_FindMessages_posix(benchmark::State& state) {
    for (auto _ : state) {
        int found = 0;
        DIR* dir = opendir(Spool().c_str());
        while (struct dirent* entry = readdir(dir)) {
            struct stat status;
            if (fnmatch("*.msg", entry->d_name, FNM_CASEFOLD) == 0 &&
                fstatat(dirfd(dir), entry->d_name, &status, 0) == 0)
                found += status.st_size == 0;
        }
        closedir(dir);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}

}  // namespace

BENCHMARK(BM_FindMessages_tarvex)->Name("BM_FindMessages/tarvex");
BENCHMARK(BM_FindMessages_posix)->Name("BM_FindMessages/posix");
