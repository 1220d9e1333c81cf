// Child processes: starts that race the child's end and other threads' locks, waits and their
// time-outs, termination, what the child receives, bad handles, and the SIGCHLD handler.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tvx_test.h"

namespace {

struct Child {
    BOOL started;
    PROCESS_INFORMATION info;
};

Child Start(const char* application, const char* command_line, const char* environment = nullptr,
            const char* directory = nullptr) {
    Child c{};
    std::string line = command_line != nullptr ? command_line : "";
    c.started = CreateProcessA(application, command_line != nullptr ? line.data() : nullptr, nullptr,
                               nullptr, FALSE, 0, const_cast<char*>(environment), directory, nullptr,
                               &c.info);
    return c;
}

DWORD ExitCode(HANDLE process) {
    DWORD code = 0xDEAD;
    return GetExitCodeProcess(process, &code) ? code : 0xDEAD;
}

bool Gone(DWORD pid) { return kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH; }

// The creator is held until the child has ended and its SIGCHLD has gone out, so the handler
// meets a child whose record is not filled yet.
TEST(Processes, ChildThatEndsBeforeItsRecordIsFilledCanStillBeWaitedFor) {
    tvxtest::OnHook("process-forked", [](const void* pid) {
        siginfo_t info;
        waitid(P_PID, *static_cast<const pid_t*>(pid), &info, WEXITED | WNOWAIT);
    });
    for (int round = 0; round < 500; ++round) {
        Child c = Start(round % 2 ? "/bin/false" : "/bin/true", nullptr);
        ASSERT_TRUE(c.started) << round;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(c.info.hProcess, 20000)) << round;
        ASSERT_EQ(DWORD(round % 2), ExitCode(c.info.hProcess)) << round;
        ASSERT_TRUE(CloseHandle(c.info.hProcess));
    }
}

// Another thread may hold the allocator's or the log's lock at the fork; the child must not need
// either before it runs its program.
TEST(Processes, StartsNeverHangWhileOtherThreadsAllocateAndLog) {
    std::atomic<bool> stop{false};
    auto allocate = [&] { while (!stop) free(malloc(64 + rand() % 4096)); };
    auto log = [&] { while (!stop) UnixLog("process test: logging through the starts"); };
    std::thread a(allocate), c(log);
    int hung = -1;
    for (int round = 0; round < 1000 && hung < 0; ++round) {
        Child child = Start("/bin/true", nullptr);
        if (WaitForSingleObject(child.info.hProcess, 20000) != WAIT_OBJECT_0) {
            hung = round;
            TerminateProcess(child.info.hProcess, 1);
        }
        CloseHandle(child.info.hProcess);
    }
    stop = true;
    a.join(), c.join();
    EXPECT_EQ(-1, hung);
}

TEST(Processes, WaitsTimeOutUntilTheChildEndsAndTerminateSetsTheCode) {
    Child c = Start("/bin/sleep", "60");
    ASSERT_TRUE(c.started);
    long long start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(c.info.hProcess, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(c.info.hProcess, 300));
    EXPECT_GE(tvxtest::NowMs() - start, 290);
    EXPECT_EQ(0xDEADu, ExitCode(c.info.hProcess));  // still running: FALSE
    EXPECT_TRUE(TerminateProcess(c.info.hProcess, 42));
    EXPECT_TRUE(Gone(c.info.dwProcessId));
    EXPECT_EQ(42u, ExitCode(c.info.hProcess));
    EXPECT_FALSE(TerminateProcess(c.info.hProcess, 7));  // ended already
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(c.info.hProcess, INFINITE));
    EXPECT_EQ(42u, ExitCode(c.info.hProcess));
    EXPECT_TRUE(CloseHandle(c.info.hProcess));
    // Closed: every operation refuses the handle.
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(c.info.hProcess, 0));
    EXPECT_FALSE(CloseHandle(c.info.hProcess));
    EXPECT_FALSE(TerminateProcess(c.info.hProcess, 1));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());

    // The last close ends a wait that has no limit; the child is reaped by the handler later.
    static std::atomic<int> napping{0};
    tvxtest::OnHook("process-wait-napping", [](const void*) { napping++; });
    c = Start("/bin/sleep", "60");
    std::atomic<DWORD> waited{0};
    std::thread waiter([&] { waited = WaitForSingleObject(c.info.hProcess, INFINITE); });
    ASSERT_TRUE(tvxtest::WaitUntil([&] { return napping.load() > 0; }));
    EXPECT_TRUE(CloseHandle(c.info.hProcess));
    waiter.join();
    EXPECT_EQ(WAIT_FAILED, waited.load());
    kill(static_cast<pid_t>(c.info.dwProcessId), SIGKILL);
    EXPECT_TRUE(tvxtest::WaitUntil([&] { return Gone(c.info.dwProcessId); }));
}

// Writes an executable shell script into the private layout's tmp directory.
std::string Script(const std::string& body) {
    std::string path = tvxtest::Root() + "/mail/tmp/" + tvxtest::UniqueName("script");
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
    return path;
}

std::string Slurp(const std::string& path) {
    std::stringstream text;
    return text << std::ifstream(path).rdbuf(), text.str();
}

TEST(Processes, TerminateKillsAChildThatIgnoresTermAfterItsGrace) {
    std::string ready = tvxtest::Root() + "/mail/tmp/" + tvxtest::UniqueName("ready");
    std::string program = Script("trap '' TERM\n: > \"$1\"\nexec /bin/sleep 60\n");
    Child c = Start(program.c_str(), ready.c_str());
    ASSERT_TRUE(c.started);
    ASSERT_TRUE(tvxtest::WaitUntil([&] { return access(ready.c_str(), F_OK) == 0; }));
    long long start = tvxtest::NowMs();
    EXPECT_TRUE(TerminateProcess(c.info.hProcess, 9));
    long long took = tvxtest::NowMs() - start;
    EXPECT_GE(took, 3900);
    EXPECT_LT(took, 7000);
    EXPECT_TRUE(Gone(c.info.dwProcessId));
    EXPECT_EQ(9u, ExitCode(c.info.hProcess));
    CloseHandle(c.info.hProcess);
}

// Words split at runs of spaces with no regard for quotes, the environment with the library's bin
// on the search path, the working directory, and descriptors: /dev/null on 0 to 2, nothing else.
TEST(Processes, ChildGetsItsWordsEnvironmentDirectoryAndOnlyNullDescriptors) {
    std::string report = tvxtest::Root() + "/mail/tmp/" + tvxtest::UniqueName("report");
    int leaked = open("/dev/zero", O_RDONLY);  // inheritable: the child must not get it
    std::string program = Script(
        "fds=\"$(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1) $(readlink /proc/$$/fd/2)\"\n"
        "[ -e /proc/$$/fd/" + std::to_string(leaked) + " ] && fds=\"$fds leaked\"\n"
        "{ echo \"$#|$1|$2|$3\"; echo \"$PATH|$EXTRA|$(pwd)\"; echo \"$fds\"; } > \"$REPORT\"\n"
        "exit 7\n");
    std::string block = "PATH=/nowhere" + std::string(1, '\0') + "EXTRA=yes" + std::string(1, '\0') +
                        "REPORT=" + report + std::string(2, '\0');
    Child c = Start(program.c_str(), "a  \"b c\"", block.c_str(), "/tmp");
    ASSERT_TRUE(c.started);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(c.info.hProcess, 20000));
    EXPECT_EQ(7u, ExitCode(c.info.hProcess));
    CloseHandle(c.info.hProcess);
    close(leaked);
    EXPECT_EQ("3|a|\"b|c\"\n" + std::string(getenv("PATH")) + ":" + RegBaseDir + "/bin|yes|/tmp\n" +
                  "/dev/null /dev/null /dev/null\n",
              Slurp(report));

    // A program that cannot be run ends with errno as its status; bad arguments start nothing.
    c = Start("/nonexistent/program", nullptr);
    ASSERT_TRUE(c.started);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(c.info.hProcess, 20000));
    EXPECT_EQ(DWORD(ENOENT), ExitCode(c.info.hProcess));
    CloseHandle(c.info.hProcess);
    char line[] = "/bin/true";
    EXPECT_FALSE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(Start(nullptr, nullptr).started);
    EXPECT_FALSE(Start(nullptr, "   ").started);
}

// The parent reads what the child writes to its standard output and error through a pipe, to the
// end, once its own copy of the write end is closed; the child's input is /dev/null.
TEST(Processes, ChildOutputAndErrorReachTheParentThroughAPipe) {
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = write_end;
    PROCESS_INFORMATION info{};
    std::string program = Script("echo out; echo err >&2; read line || echo eof; exit 3\n");
    ASSERT_TRUE(CreateProcessA(program.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &si, &info));
    EXPECT_TRUE(CloseHandle(write_end));
    std::string output;
    char buffer[7];
    for (DWORD n = 0; ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0;) output.append(buffer, n);
    EXPECT_EQ("out\nerr\neof\n", output);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 20000));
    EXPECT_EQ(3u, ExitCode(info.hProcess));
    CloseHandle(info.hProcess);
    CloseHandle(read_end);
}

TEST(Processes, BadHandlesAndForeignKindsAreRefused) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Child c = Start("/bin/true", nullptr);
    ASSERT_TRUE(c.started);
    DWORD code = 0;
    for (HANDLE h : {event, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr),
                     reinterpret_cast<HANDLE>(4095 * 32 + 5)}) {
        SetLastError(0);
        EXPECT_FALSE(TerminateProcess(h, 1));
        EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_FALSE(GetExitCodeProcess(h, &code));
        EXPECT_EQ(WAIT_FAILED, WaitForProcess(h, 0));
        EXPECT_FALSE(CloseProcess(h));
    }
    EXPECT_FALSE(GetExitCodeProcess(c.info.hProcess, nullptr));
    EXPECT_TRUE(CloseHandle(c.info.hProcess));  // while it may still run: the handler reaps it
    EXPECT_TRUE(tvxtest::WaitUntil([&] { return Gone(c.info.dwProcessId); }));
    CloseHandle(event);
}

// Children the library did not start are reaped as soon as they end.
TEST(Processes, HandlerReapsOnlyChildrenTheTableDoesNotKnow) {
    struct sigaction installed;
    sigaction(SIGCHLD, nullptr, &installed);
    EXPECT_EQ(SigChldHandler, installed.sa_sigaction);
    EXPECT_EQ(SA_SIGINFO, installed.sa_flags & (SA_SIGINFO | SA_RESTART));
    pid_t own = fork();
    if (own == 0) _exit(0);
    EXPECT_TRUE(tvxtest::WaitUntil([&] { return Gone(static_cast<DWORD>(own)); }));
}

TEST(Processes, ReadProcessMemoryFailsOnUnreadableAddressesInsteadOfFaulting) {
    char source[] = "abcdef", target[8] = "zzzzzzz";
    SIZE_T n = 99;
    EXPECT_TRUE(ReadProcessMemory(nullptr, source, target, 7, &n));
    EXPECT_EQ(7u, n);
    EXPECT_STREQ("abcdef", target);
    void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(page, 4096);
    for (const void* bad : {static_cast<const void*>(reinterpret_cast<char*>(16)), static_cast<const void*>(page)}) {
        memset(target, 'z', sizeof target);
        EXPECT_FALSE(ReadProcessMemory(nullptr, bad, target, sizeof target, &n));
        EXPECT_EQ(0u, n);
        EXPECT_EQ(std::string(8, '\0'), std::string(target, 8));
    }
    EXPECT_FALSE(ReadProcessMemory(nullptr, source, page, 4, nullptr));
}

}  // namespace
