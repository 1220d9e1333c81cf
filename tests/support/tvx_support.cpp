#include "tvx_test.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

namespace tvxtest {
namespace {

std::string g_root;
std::string g_program;
std::string g_self_name = "tvx_test";

void RemoveTree(const std::string& path) {
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

void MakeLayout() {
    if (!g_root.empty()) return;
    char tmpl[] = "/tmp/tvxtest-XXXXXX";
    char* dir = mkdtemp(tmpl);
    if (dir == nullptr) abort();
    g_root = dir;
    const char* dirs[] = {"/mail", "/mail/bin", "/mail/tmp", "/.key", "/mail/.key"};
    for (const char* d : dirs) {
        std::string p = g_root + d;
        if (strstr(d, ".key") != nullptr) {
            FILE* f = fopen(p.c_str(), "w");
            if (f) fclose(f);
        } else {
            mkdir(p.c_str(), 0775);
        }
    }
    g_program = g_root + "/mail/bin/" + g_self_name;
    // argv[0] names an existing file, as a real program's would.
    FILE* f = fopen(g_program.c_str(), "w");
    if (f) fclose(f);
    chmod(g_program.c_str(), 0755);
}

// Removes the layout when the process that made it exits (not in forked children).
pid_t g_owner_pid = 0;
void RemoveLayoutAtExit() {
    if (getpid() == g_owner_pid && !g_root.empty()) RemoveTree(g_root);
}

// Where the shared log stood when this program started. Process ids come round again, and the
// log outlives every run, so a line that carries this process's id but was written before the
// program started belongs to some earlier process. Taken before main (and inherited by forked
// children, whose lines all come later).
struct LogMark {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
};

LogMark MarkLog() {
    LogMark mark;
    struct stat st;
    if (stat("/tmp/zdrunix.log", &st) == 0) mark = {st.st_dev, st.st_ino, st.st_size};
    return mark;
}

const LogMark g_log_mark = MarkLog();

// Opens the log positioned at the first line this program can have written: at the mark, unless
// the file has been replaced (or cut) since, in which case all of it is new.
void OpenLogFromMark(std::ifstream& in) {
    in.open("/tmp/zdrunix.log");
    struct stat st;
    if (in && stat("/tmp/zdrunix.log", &st) == 0 && st.st_dev == g_log_mark.device &&
        st.st_ino == g_log_mark.inode && st.st_size >= g_log_mark.size)
        in.seekg(g_log_mark.size);
}

bool SplitLine(const std::string& line, unsigned* pid, std::string* message) {
    // "dd/mm/yyyy hh:mm:ss.mmm PPPP TTTTTTTT message"
    if (line.size() < 24 || line[2] != '/' || line[5] != '/' || line[13] != ':') return false;
    size_t p1 = line.find(' ', 24);
    if (p1 == std::string::npos) return false;
    size_t p2 = line.find(' ', p1 + 1);
    if (p2 == std::string::npos) return false;
    *pid = static_cast<unsigned>(strtoul(line.substr(24, p1 - 24).c_str(), nullptr, 16));
    *message = line.substr(p2 + 1);
    return true;
}

}  // namespace

const std::string& Root() {
    MakeLayout();
    return g_root;
}

const std::string& ProgramPath() {
    MakeLayout();
    return g_program;
}

bool StartLibrary() {
    MakeLayout();
    static char* argv[2];
    argv[0] = const_cast<char*>(g_program.c_str());
    argv[1] = nullptr;
    return InitNTSystem(1, argv, nullptr, nullptr) != 0;
}

std::vector<std::string> LogLines(pid_t pid) {
    if (pid == 0) pid = getpid();
    std::vector<std::string> out;
    std::ifstream in;
    OpenLogFromMark(in);
    std::string line;
    while (std::getline(in, line)) {
        unsigned p;
        std::string msg;
        if (SplitLine(line, &p, &msg) && p == static_cast<unsigned>(pid)) out.push_back(line);
    }
    return out;
}

std::vector<std::string> LogMessages(pid_t pid) {
    std::vector<std::string> out;
    for (const std::string& line : LogLines(pid)) {
        unsigned p;
        std::string msg;
        if (SplitLine(line, &p, &msg)) out.push_back(msg);
    }
    return out;
}

int CountLogMessage(const std::string& message, pid_t pid) {
    int n = 0;
    for (const std::string& m : LogMessages(pid))
        if (m == message) ++n;
    return n;
}

int RunInChild(const std::function<int()>& body, int timeout_seconds) {
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        int code = body();
        _exit(code);
    }
    long long deadline = NowMs() + timeout_seconds * 1000LL;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child) return status;
        if (r < 0 && errno != EINTR) return -1;
        if (NowMs() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return status;
        }
        usleep(2000);
    }
}

int ExitCodeOf(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return -WTERMSIG(wait_status);
    return -1000;
}

int PlayRounds(int rounds, const std::function<void(int, const Go&)>& mine,
               const std::function<void(int)>& theirs, const std::function<void(int)>& after) {
    std::atomic<int> started{0}, finished{0};
    std::thread other([&] {
        for (int round = 1; round <= rounds; ++round) {
            // Spin (yielding now and then): the two sides should meet within nanoseconds.
            for (int n = 1; started.load() < round; ++n)
                if (n % 256 == 0) sched_yield();
            theirs(round);
            finished.store(round);
        }
    });
    for (int round = 1; round <= rounds; ++round) {
        mine(round, [&] { started.store(round); });
        for (long long deadline = NowMs() + 10000; finished.load() != round; sched_yield()) {
            if (NowMs() > deadline) {
                other.detach();
                return round;
            }
        }
        if (after) after(round);
    }
    other.join();
    return 0;
}

bool RerunThisTest(const char* name) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    // The program's own path, not /proc/self/exe: under an emulator that names the emulator.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    self[n] = '\0';
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        setenv(name, "1", 1);
        execl(self, self, filter.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string HelperPath(const std::string& name) {
#ifdef TVX_HELPER_DIR
    return std::string(TVX_HELPER_DIR) + "/tvx_" + name;
#else
    return "tvx_" + name;
#endif
}

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace tvxtest

#if defined(__SANITIZE_ADDRESS__)
// When glibc cancels a thread it reaches the cleanup handlers by jumping past frames whose stack
// poison AddressSanitizer never clears; the runtime then trips over that stale poison in its own
// sigaltstack interceptor. The report concerns the sanitizer's bookkeeping, not the code under
// test, so reports from that one interceptor are suppressed in every test program.
extern "C" const char* __asan_default_suppressions() { return "interceptor_name:sigaltstack\n"; }
#endif

// Test programs start the library before any test unless they define their own main (a program
// that must see the library uninitialised links a main of its own and does not call this).
int main(int argc, char** argv) {
    if (argc > 0 && argv[0] != nullptr) {
        const char* slash = strrchr(argv[0], '/');
        tvxtest::g_self_name = slash ? slash + 1 : argv[0];
    }
    testing::InitGoogleTest(&argc, argv);
    tvxtest::g_owner_pid = getpid();
    atexit(tvxtest::RemoveLayoutAtExit);
    if (getenv("TVX_TEST_NO_INIT") == nullptr) tvxtest::StartLibrary();
    return RUN_ALL_TESTS();
}
