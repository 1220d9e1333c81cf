#include <windows.h>

#include <gtest/gtest.h>
#include <locale.h>
#include <sched.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "tvx_test.h"

namespace tvxtest {
namespace {

constexpr char kLog[] = "/tmp/zdrunix.log";
std::string g_root, g_program, g_self_name = "tvx_test";
pid_t g_owner_pid = 0;
std::atomic<long> g_signals{0};

void MakeLayout() {
    char dir[] = "/tmp/tvxtest-XXXXXX";
    if (!g_root.empty()) return;
    g_root = mkdtemp(dir) != nullptr ? dir : (abort(), "");
    for (const char* d : {"/mail", "/mail/bin", "/mail/tmp"}) mkdir((g_root + d).c_str(), 0775);
    g_program = g_root + "/mail/bin/" + g_self_name;  // an existing file, as a real argv[0] names
    for (const std::string& f : {g_root + "/.key", g_root + "/mail/.key", g_program})
        close(open(f.c_str(), O_CREAT | O_WRONLY, 0755));
}

// The log as it stood before main (children inherit it): process ids come round again and the log
// outlives runs, so only later lines can be this process's. A log replaced or cut since is all new.
const struct stat g_log_mark = [] { struct stat st = {}; return stat(kLog, &st), st; }();

// Lines "dd/mm/yyyy hh:mm:ss.mmm PPPP TTTTTTTT message" of process `pid`, or their messages.
std::vector<std::string> ReadLog(pid_t pid, bool whole) {
    std::vector<std::string> out;
    std::ifstream in(kLog);
    struct stat st;
    if (stat(kLog, &st) == 0 && st.st_dev == g_log_mark.st_dev && st.st_ino == g_log_mark.st_ino)
        in.seekg(st.st_size >= g_log_mark.st_size ? g_log_mark.st_size : 0);
    for (std::string line; std::getline(in, line);) {
        if (line.size() < 24 || line[2] != '/' || line[5] != '/' || line[13] != ':') continue;
        const size_t text = line.find(' ', line.find(' ', 24) + 1);
        if (text != std::string::npos &&
            strtoul(line.c_str() + 24, nullptr, 16) == static_cast<unsigned long>(pid ? pid : getpid()))
            out.push_back(whole ? line : line.substr(text + 1));
    }
    return out;
}
}  // namespace

const std::string& Root() { return MakeLayout(), g_root; }
const std::string& ProgramPath() { return MakeLayout(), g_program; }
std::vector<std::string> LogLines(pid_t pid) { return ReadLog(pid, true); }
std::vector<std::string> LogMessages(pid_t pid) { return ReadLog(pid, false); }
std::vector<std::string> LogMessagesFrom(const std::string& first) {
    const std::vector<std::string> all = LogMessages();
    const auto last = std::find(all.rbegin(), all.rend(), first);
    return std::vector<std::string>(last == all.rend() ? all.end() : last.base() - 1, all.end());
}

int CountLogMessage(const std::string& message, pid_t pid) {
    const std::vector<std::string> all = LogMessages(pid);
    return static_cast<int>(std::count(all.begin(), all.end(), message));
}
ScopedLogSwap::ScopedLogSwap()
    : saved(kLog + (".saved-" + std::to_string(getpid()))), had_log(rename(kLog, saved.c_str()) == 0) {}
ScopedLogSwap::~ScopedLogSwap() { unlink(kLog), had_log && rename(saved.c_str(), kLog); }

std::string UniqueName(const char* what) {
    static std::atomic<int> counter{0};
    return std::string(what) + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter) +
           "-" + std::to_string(NowMs());
}

int RunInChild(const std::function<int()>& body, int timeout_seconds) {
    const pid_t child = (fflush(nullptr), fork());  // nothing buffered is written twice
    if (child == 0) _exit(body());
    int status = -1;
    auto ended = [&] { return waitpid(child, &status, WNOHANG) != 0; };
    if (child > 0 && !WaitUntil(ended, timeout_seconds * 1000)) kill(child, SIGKILL), waitpid(child, &status, 0);
    return status;
}

int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}
int ChildExit(const std::function<int()>& body, int timeout) { return ExitCodeOf(RunInChild(body, timeout)); }

int AsUnprivilegedUser(const std::function<int()>& body) {
    for (const std::string& dir : {Root(), Root() + "/mail", Root() + "/mail/tmp"}) chmod(dir.c_str(), 0755);
    return ChildExit([&] {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 100;
        return body();
    });
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
    for (const long long deadline = NowMs() + timeout_ms; !done(); usleep(1000))
        if (NowMs() > deadline) return false;
    return true;
}

std::vector<long> Hammer(const std::vector<std::function<void()>>& bodies, long min_rounds, int ms) {
    std::atomic<size_t> ready{0};
    std::atomic<bool> stop{false};
    std::vector<long> rounds(bodies.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < bodies.size(); ++i)
        threads.emplace_back([&, i] {
            for (ready.fetch_add(1); rounds[i] < min_rounds || !stop.load(); ++rounds[i]) bodies[i]();
        });
    WaitUntil([&] { return ready.load() == bodies.size(); });
    usleep(ms * 1000), stop.store(true);  // after they have all run side by side for `ms`
    for (std::thread& t : threads) t.join();
    return rounds;
}

int PlayRounds(int rounds, const std::function<void(int, const Go&)>& mine,
               const std::function<void(int)>& theirs, const std::function<void(int)>& after) {
    std::atomic<int> started{0}, finished{0};
    std::thread other([&] {
        for (int round = 1; round <= rounds; theirs(round), finished.store(round++))
            for (int n = 1; started.load() < round; ++n)  // the two should meet within nanoseconds
                if (n % 256 == 0) sched_yield();
    });
    for (int round = 1; round <= rounds; ++round) {
        mine(round, [&] { started.store(round); });
        for (const long long deadline = NowMs() + 10000; finished.load() != round; sched_yield())
            if (NowMs() > deadline) return other.detach(), round;
        if (after) after(round);
    }
    return other.join(), 0;
}

bool RerunThisTest(const char* env_name) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    char self[4096] = {};  // the program's path: under an emulator /proc/self/exe is the emulator
    return readlink("/proc/self/exe", self, sizeof self - 1) > 0 && ChildExit([&] {
        setenv(env_name, "1", 1);
        return execl(self, self, filter.c_str(), static_cast<char*>(nullptr)), 127;
    }, 600) == 0;
}

long StormSignals() { return g_signals.load(); }
long RunUnderSignalStorm(const std::function<void()>& body, long storm_ms) {
    struct sigaction action = {}, previous;
    action.sa_handler = [](int) { g_signals.fetch_add(1, std::memory_order_relaxed); };
    sigaction(SIGCHLD, &action, &previous);
    g_signals.store(0);
    std::atomic<bool> started{false}, done{false};
    sigset_t set;
    sigemptyset(&set), sigaddset(&set, SIGCHLD);
    pthread_t target{};
    std::thread storm([&] {
        pthread_sigmask(SIG_BLOCK, &set, nullptr), WaitUntil([&] { return started.load(); });
        for (const long long end = NowMs() + storm_ms; !done && (storm_ms < 0 || NowMs() < end); usleep(100))
            pthread_kill(target, SIGCHLD);
    });
    std::thread victim([&] { pthread_sigmask(SIG_UNBLOCK, &set, nullptr), body(), done.store(true); });
    target = victim.native_handle();  // the stormed thread is the one created last
    started.store(true);
    storm.join(), victim.join();
    sigaction(SIGCHLD, &previous, nullptr);
    return g_signals.load();
}

long long NowMs() {
    struct timespec ts;
    return clock_gettime(CLOCK_MONOTONIC, &ts), ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool UseLatin1Ctype() {
    if (setlocale(LC_CTYPE, "en_US.ISO-8859-1") != nullptr) return true;
    const std::string to = Root() + "/en_US.ISO-8859-1' >/dev/null 2>&1";
    [[maybe_unused]] int status = system(("localedef -c -i en_US -f ISO-8859-1 '" + to).c_str());
    setenv("LOCPATH", Root().c_str(), 1);
    return setlocale(LC_CTYPE, "en_US.ISO-8859-1") != nullptr;
}

}  // namespace tvxtest

#if defined(__SANITIZE_ADDRESS__)
// glibc's cancellation jumps past frames whose stack poison AddressSanitizer never clears, and the
// runtime then trips over it in its own sigaltstack interceptor: its bookkeeping, not our code.
extern "C" const char* __asan_default_suppressions() { return "interceptor_name:sigaltstack\n"; }
#endif

int main(int argc, char** argv) {
    tvxtest::g_self_name = basename(argv[0]);
    testing::InitGoogleTest(&argc, argv);
    tvxtest::g_owner_pid = getpid();
    atexit([] {  // the layout goes with the process that made it, not with forked children
        if (getpid() == tvxtest::g_owner_pid && !tvxtest::g_root.empty())
            [[maybe_unused]] int status = system(("rm -rf '" + tvxtest::g_root + "'").c_str());
    });
    static char* args[2] = {};  // the library's argv[0], in the private layout
    if (getenv("TVX_TEST_NO_INIT") == nullptr)
        args[0] = const_cast<char*>(tvxtest::ProgramPath().c_str()), InitNTSystem(1, args, nullptr, nullptr);
    // The library reaps every child it did not start as soon as it ends; test programs that fork
    // and wait for children of their own keep them, except the process tests, which test that.
    if (getenv("TVX_TEST_REAP_CHILDREN") == nullptr) signal(SIGCHLD, SIG_DFL);
    return RUN_ALL_TESTS();
}
