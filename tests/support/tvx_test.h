// Test support shared by every test program.
//
// Each test process gets a private install layout in a temporary directory (ROOT/.key,
// ROOT/mail/.key, ROOT/mail/bin/, ROOT/mail/tmp/) and starts the library with an argv[0] under
// ROOT/mail/bin/, so nothing touches the machine's real registry or base directories. The shared
// diagnostic log is read only for lines that carry this process's id.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tvxtest {

// The layout of this process (created on first use).
const std::string& Root();
const std::string& ProgramPath();  // ROOT/mail/bin/<test program name>

// Calls InitNTSystem with the private argv[0] (done once by the test main; harmless to repeat).
bool StartLibrary();

// Lines of /tmp/zdrunix.log written by process `pid` (default: this one), message part only
// (the text after the time stamp, pid and thread fields).
std::vector<std::string> LogMessages(pid_t pid = 0);
// Full lines of this process, prefix included.
std::vector<std::string> LogLines(pid_t pid = 0);
// Number of lines of this process's log equal to `message`.
int CountLogMessage(const std::string& message, pid_t pid = 0);

// Runs `body` in a forked child and returns its wait status; a child that runs longer than
// `timeout_seconds` is killed (the status then shows SIGKILL).
int RunInChild(const std::function<int()>& body, int timeout_seconds = 30);
// Exit code of a child that exited normally, -signal if it was killed by a signal.
int ExitCodeOf(int wait_status);

// Runs the current test again, alone, in a fresh copy of this program with the environment
// variable `name` set to "1" (the test tells the two runs apart by it); true if that run passed.
bool RerunThisTest(const char* name);

// Plays `rounds` rounds of a race with a second thread, for races that must be met thousands of
// times. In round r this thread runs mine(r, go); the other thread waits until go() is called and
// then runs theirs(r). The round ends when theirs(r) has returned; then after(r) runs, if given.
// Returns 0, or the first round whose theirs(r) had not returned within 10 seconds (the other
// thread is then left behind, detached).
using Go = std::function<void()>;
int PlayRounds(int rounds, const std::function<void(int, const Go&)>& mine,
               const std::function<void(int)>& theirs,
               const std::function<void(int)>& after = nullptr);

// Path of a helper program built from tests/helpers/<name>.cpp.
std::string HelperPath(const std::string& name);

// Monotonic milliseconds, for timing waits.
long long NowMs();

}  // namespace tvxtest
