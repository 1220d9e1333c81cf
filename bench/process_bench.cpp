// Starting a child, waiting for it and closing its handle, against the fork, execve and waitpid
// a hand-written port would use. Both run /bin/true with the process's own environment.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_support.h"

extern char** environ;

namespace {

void BM_Process_tarvex(benchmark::State& state) {
    StartLibrary();
    for (auto _ : state) {
        char line[] = "/bin/true";
        PROCESS_INFORMATION info;
        if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr,
                            &info) ||
            WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0 ||
            !CloseHandle(info.hProcess)) {
            state.SkipWithError("CreateProcessA failed");
            break;
        }
    }
}

// The library's SIGCHLD handler would reap this side's children first: the hand-written port has
// none, so the default action stands while it runs.
void BM_Process_posix(benchmark::State& state) {
    StartLibrary();
    struct sigaction plain = {}, library;
    plain.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &plain, &library);
    for (auto _ : state) {
        char program[] = "/bin/true";
        char* argv[] = {program, nullptr};
        pid_t pid = fork();
        if (pid == 0) {
            execve(program, argv, environ);
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) {
            state.SkipWithError("fork failed");
            break;
        }
    }
    sigaction(SIGCHLD, &library, nullptr);
}

}  // namespace

BENCHMARK(BM_Process_tarvex)->Name("BM_Process/tarvex")->UseRealTime();
BENCHMARK(BM_Process_posix)->Name("BM_Process/posix")->UseRealTime();
