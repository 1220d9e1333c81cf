// Support shared by every test program. Each process gets a private layout (ROOT/.key, ROOT/mail/.key,
// ROOT/mail/bin/, ROOT/mail/tmp/) and, unless TVX_TEST_NO_INIT is set, starts the library from it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tvxtest {

const std::string& Root();
const std::string& ProgramPath();  // ROOT/mail/bin/<test program name>

// Lines of the shared log /tmp/zdrunix.log that process `pid` (0: this one) wrote since this
// program started, whole or only their message; LogMessagesFrom: this process's messages from the
// last one equal to `first` on.
std::vector<std::string> LogLines(pid_t pid = 0);
std::vector<std::string> LogMessages(pid_t pid = 0);
std::vector<std::string> LogMessagesFrom(const std::string& first);
int CountLogMessage(const std::string& message, pid_t pid = 0);

// Moves the shared log aside while it lives and puts it back after (for serial tests).
struct ScopedLogSwap { ScopedLogSwap(); ~ScopedLogSwap(); const std::string saved; const bool had_log; };

std::string UniqueName(const char* what);  // "<what>-<pid>-<counter>-<ms>"
long long NowMs();                         // monotonic

// Runs `body` in a forked child, killed after `timeout_seconds`: RunInChild gives the wait status,
// ExitCodeOf turns it into the exit code or -signal, ChildExit does both.
int RunInChild(const std::function<int()>& body, int timeout_seconds = 30);
int ExitCodeOf(int wait_status);
int ChildExit(const std::function<int()>& body, int timeout_seconds = 30);

// Polls `done` until it holds (true) or `timeout_ms` has passed (false).
bool WaitUntil(const std::function<bool()>& done, int timeout_ms = 10000);

// Runs each body over and over on a thread of its own until all have run side by side for `ms` and
// each at least `min_rounds` times (a short run may meet no other); returns how often each ran.
std::vector<long> Hammer(const std::vector<std::function<void()>>& bodies,
                         long min_rounds = 100000, int ms = 300);

// `rounds` rounds of a race: this thread runs mine(r, go), another theirs(r) once go() is called,
// then after(r) runs. Returns 0, or the first round whose theirs(r) hung 10 s (its thread detached).
using Go = std::function<void()>;
int PlayRounds(int rounds, const std::function<void(int, const Go&)>& mine,
               const std::function<void(int)>& theirs, const std::function<void(int)>& after = {});
// Busy for a while without a call, so that two threads meet at a chosen point within nanoseconds.
inline void Spin(int n) { for (int i = 0; i < n; ++i) __asm__ __volatile__(""); }

// Runs the current test alone in a fresh copy of this program with `env_name`=1; true if it passed.
bool RerunThisTest(const char* env_name);

// Sets LC_CTYPE to en_US.ISO-8859-1, compiling it into the private root when the system has none;
// false if that failed too (the caller skips).
bool UseLatin1Ctype();

// Runs `body` on a new thread stormed with SIGCHLD (handled, no SA_RESTART) until it returns or
// `storm_ms` (if >= 0) has passed; returns the signals handled (StormSignals(): so far). The body
// starts no thread: the i386 emulator resumes a signalled thread with the thread pointer of the
// last one created. ThreadSanitizer holds signals back in blocking calls: one handled is evidence.
long RunUnderSignalStorm(const std::function<void()>& body, long storm_ms = -1);
long StormSignals();
#if defined(__SANITIZE_THREAD__)
constexpr long kStormEvidence = 0;
#else
constexpr long kStormEvidence = 10;
#endif

// The library's test hook (hooks_nx.cpp): each pass through hook point `where` calls fn(detail);
// nullptr stops that. SpinForever stops the thread there, holding what the library holds, until
// cancelled; HookSpinners() counts such threads. With TVX_TEST_FENCED set releases are fenced
// instead of using the process-wide barrier; BarrierMode() is 1 barrier, 0 fenced, -1 unsettled.
void OnHook(const char* where, void (*fn)(const void* detail));
void SpinForever(const void*);
int HookSpinners();
int BarrierMode();

}  // namespace tvxtest
