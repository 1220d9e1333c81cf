// Start-up and shutdown, observed in fresh processes (tvx_init_probe) where a first InitNTSystem
// must happen, and in forked children that start the library themselves. This program does not
// start the library in its own process (TVX_TEST_NO_INIT), so what the probes inherit is clean.
#include <windows.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tvx_test.h"

namespace {

struct ProbeResult {
    int status;
    std::string output;
};

// Runs the probe through the shell so a test can set variables and limits for it alone.
ProbeResult RunProbe(const std::string& prefix, const std::string& mode) {
    std::string command = prefix + " exec " + tvxtest::HelperPath("init_probe") + " " + mode;
    FILE* pipe = popen(command.c_str(), "r");
    ProbeResult result{-1, ""};
    if (pipe == nullptr) return result;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) result.output += buffer;
    result.status = pclose(pipe);
    return result;
}

bool Has(const ProbeResult& r, const std::string& text) {
    return r.output.find(text) != std::string::npos;
}

TEST(Startup, FileCountComesFromVariableOrOpenFileLimit) {
    // A requested count is used without any cap.
    ProbeResult r = RunProbe("KWR_MAX_FILES=10000", "report");
    EXPECT_TRUE(Has(r, "files=10000 ")) << r.output;
    // Unset: the soft limit of open files, capped at 4096.
    r = RunProbe("unset KWR_MAX_FILES; ulimit -S -n 1024;", "report");
    EXPECT_TRUE(Has(r, "files=1024 ")) << r.output;
    r = RunProbe("unset KWR_MAX_FILES; ulimit -S -n 200;", "report");
    EXPECT_TRUE(Has(r, "files=200 ")) << r.output;
    r = RunProbe("unset KWR_MAX_FILES; ulimit -H -n 8192; ulimit -S -n 8192;", "report");
    EXPECT_TRUE(Has(r, "files=4096 ")) << r.output;
    // Zero or negative requests fall back to the limit.
    r = RunProbe("KWR_MAX_FILES=-3; export KWR_MAX_FILES; ulimit -S -n 300;", "report");
    EXPECT_TRUE(Has(r, "files=300 ")) << r.output;
}

TEST(Startup, EventCountDefaultsTo1088) {
    EXPECT_TRUE(Has(RunProbe("unset KWR_MAX_EVENTS;", "report"), "events=1088\n"));
    EXPECT_TRUE(Has(RunProbe("KWR_MAX_EVENTS=", "report"), "events=1088\n"));
    EXPECT_TRUE(Has(RunProbe("KWR_MAX_EVENTS=0", "report"), "events=1088\n"));
    EXPECT_TRUE(Has(RunProbe("KWR_MAX_EVENTS=-5", "report"), "events=1088\n"));
    EXPECT_TRUE(Has(RunProbe("KWR_MAX_EVENTS=5000", "report"), "events=5000\n"));
}

TEST(Startup, CoreSwitchControlsSignalsFaultHandlerAndCoreLimit) {
    ProbeResult on = RunProbe("KWR_GEN_CORE=1", "report");
    EXPECT_TRUE(Has(on, "started=1")) << on.output;
    EXPECT_TRUE(Has(on, "blocked QUIT=1 TERM=1 ABRT=0")) << on.output;
    EXPECT_TRUE(Has(on, "core=unlimited")) << on.output;
    EXPECT_TRUE(Has(on, "fault_handler=0")) << on.output;
    EXPECT_TRUE(Has(on, "abrt_ignored=0")) << on.output;
    EXPECT_TRUE(Has(on, "pipe_ignored=1")) << on.output;

    const std::string long_text(10241, '7');
    for (const std::string& prefix :
         {std::string("KWR_GEN_CORE=0"), std::string("unset KWR_GEN_CORE;"),
          "KWR_GEN_CORE=" + long_text}) {
        ProbeResult off = RunProbe(prefix, "report");
        EXPECT_TRUE(Has(off, "blocked QUIT=1 TERM=1 ABRT=1")) << prefix.substr(0, 20) << off.output;
        EXPECT_TRUE(Has(off, "core=0")) << off.output;
        EXPECT_TRUE(Has(off, "fault_handler=1")) << off.output;
        EXPECT_TRUE(Has(off, "abrt_ignored=1")) << off.output;
        EXPECT_TRUE(Has(off, "umask=027")) << off.output;
    }
}

TEST(Startup, SecondCallChangesOnlyCoreSwitchAndUmask) {
    int status = tvxtest::RunInChild([] {
        if (!tvxtest::StartLibrary()) return 9;
        std::string argv0_before = Argv0;
        DWORD user_before = userID;
        umask(0);
        setenv("KWR_GEN_CORE", "1", 1);
        char other[] = "/somewhere/else";
        char* argv[] = {other, nullptr};
        if (InitNTSystem(1, argv, nullptr, nullptr) != TRUE) return 1;
        if (umask(0) != 027) return 2;
        if (argv0_before != Argv0 || user_before != userID) return 3;
        // With core dumps now wanted, SIGABRT is no longer among the signals switched.
        struct sigaction mine = {};
        mine.sa_handler = SIG_DFL;
        sigaction(SIGABRT, &mine, nullptr);
        SetSystemInterrupts(1);
        struct sigaction now;
        sigaction(SIGABRT, nullptr, &now);
        if (now.sa_handler != SIG_DFL) return 4;
        setenv("KWR_GEN_CORE", "0", 1);
        InitNTSystem(1, argv, nullptr, nullptr);
        SetSystemInterrupts(1);
        sigaction(SIGABRT, nullptr, &now);
        if (now.sa_handler != SIG_IGN) return 5;
        // The tables were not created again: events made before are still there.
        return 0;
    });
    EXPECT_EQ(0, tvxtest::ExitCodeOf(status));
}

TEST(Startup, SetSystemInterruptsSwitchesIgnorableSignals) {
    int status = tvxtest::RunInChild([] {
        if (!tvxtest::StartLibrary()) return 9;
        const int signals[] = {SIGHUP, SIGINT, SIGPIPE, SIGALRM, SIGUSR1 /* not ignorable */};
        SetSystemInterrupts(0);
        struct sigaction now;
        for (int s : {SIGHUP, SIGINT, SIGPIPE, SIGALRM, SIGWINCH, SIGSYS}) {
            sigaction(s, nullptr, &now);
            if (now.sa_handler != SIG_DFL) return 10 + s;
        }
        SetSystemInterrupts(1);
        for (int s : {SIGHUP, SIGINT, SIGPIPE, SIGALRM, SIGWINCH, SIGSYS}) {
            sigaction(s, nullptr, &now);
            if (now.sa_handler != SIG_IGN) return 50 + s;
        }
        sigaction(signals[4], nullptr, &now);
        if (now.sa_handler != SIG_DFL) return 2;
        // An ignored SIGPIPE: writing to a closed pipe fails instead of killing the process.
        int fds[2];
        if (pipe(fds) != 0) return 3;
        close(fds[0]);
        if (write(fds[1], "x", 1) != -1 || GetLastError() != 110) return 4;
        return 0;
    });
    EXPECT_EQ(0, tvxtest::ExitCodeOf(status));
}

TEST(Startup, RootIsNeverChosenAsOwner) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to see the all-root case";
    // Every source is root here (no link, root-owned program): both stay all ones.
    ProbeResult r = RunProbe("", "report");
    if (access("/usr/local/lib/libtarvex.so", F_OK) == 0) GTEST_SKIP() << "owner link present";
    EXPECT_TRUE(Has(r, "userID=-1 groupID=-1")) << r.output;
    // A program file owned by another user gives that user (and its group) to created files.
    std::string copy = tvxtest::Root() + "/mail/bin/probe_copy";
    std::string cmd = "cp " + tvxtest::HelperPath("init_probe") + " " + copy + " && chown 4321:4322 " + copy;
    ASSERT_EQ(0, system(cmd.c_str()));
    FILE* pipe = popen((copy + " report").c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
    EXPECT_NE(std::string::npos, out.find("userID=4321 groupID=4322")) << out;
}

TEST(Startup, CleanupHandlerExitsWithSignalAfterCallback) {
    ProbeResult r = RunProbe("", "cleanup");
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(15, WEXITSTATUS(r.status));
    EXPECT_TRUE(Has(r, "closedown\n")) << r.output;
}

TEST(Startup, WaitForServiceStopReturnsAfterSigtermAndCallsCallback) {
    std::string command = tvxtest::HelperPath("init_probe") + " servicestop";
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        execl(tvxtest::HelperPath("init_probe").c_str(), "init_probe", "servicestop", nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char c;
    while (out.find("ready\n") == std::string::npos && read(fds[0], &c, 1) == 1) out += c;
    ASSERT_NE(std::string::npos, out.find("ready")) << out;
    usleep(200000);
    long long sent = tvxtest::NowMs();
    kill(child, SIGTERM);
    while (read(fds[0], &c, 1) == 1) out += c;
    int status = 0;
    waitpid(child, &status, 0);
    long long took = tvxtest::NowMs() - sent;
    close(fds[0]);
    EXPECT_EQ(0, tvxtest::ExitCodeOf(status)) << out;
    // The callback runs after the two-second grace period and the flag is set.
    EXPECT_NE(std::string::npos, out.find("closedown\nstopped flag=1")) << out;
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 15000);
}

TEST(Startup, ExportsBeforeStartupFailCleanly) {
    ProbeResult r = RunProbe("", "preinit");
    EXPECT_EQ(0, tvxtest::ExitCodeOf(r.status)) << r.output;
}

}  // namespace
