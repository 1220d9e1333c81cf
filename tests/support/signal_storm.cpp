#include "signal_storm.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tvx_test.h"

namespace tvxtest {

namespace {
std::atomic<long> g_signals{0};
void CountSignal(int) { g_signals.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

// The stormed thread is the last one started. The emulator that runs the i386 tests keeps a
// single thread-pointer descriptor for the whole process and reloads it when a signal handler
// returns, so a signalled thread continues with the thread pointer (errno, thread identity) of
// the most recently started thread; for that thread alone the reload is harmless.
long RunUnderSignalStorm(const std::function<void()>& body, long storm_ms) {
    struct sigaction action, previous;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = CountSignal;
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls fail with EINTR
    sigaction(SIGCHLD, &action, &previous);
    g_signals.store(0);
    std::atomic<bool> started{false}, done{false};
    pthread_t target{};
    std::thread storm([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        while (!started.load()) usleep(100);
        long long deadline = storm_ms < 0 ? -1 : tvxtest::NowMs() + storm_ms;
        while (!done.load() && (deadline < 0 || tvxtest::NowMs() < deadline)) {
            pthread_kill(target, SIGCHLD);
            usleep(100);
        }
    });
    std::thread victim([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        body();
        done.store(true);
    });
    target = victim.native_handle();
    started.store(true);
    storm.join();
    victim.join();
    sigaction(SIGCHLD, &previous, nullptr);
    return g_signals.load();
}

}  // namespace tvxtest
