// Named pipes: server and client threads of one process meeting on a FIFO under the base
// directory's tmp; connection, disconnection, the instance limit, waits and refused names.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/handle.h"
#include "tvx_test.h"

namespace {

using tvxtest::WaitUntil;

std::string PipeName(const char* what) { return "\\\\.\\pipe\\" + tvxtest::UniqueName(what); }
std::string Fifo(const std::string& name) {
    return tvxtest::Root() + "/mail/tmp/" + name.substr(name.rfind('\\') + 1);
}

HANDLE Serve(const std::string& name, DWORD instances, DWORD timeout = 1000) {
    return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, instances, 4096, 4096, timeout, nullptr);
}
HANDLE Open(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}
bool Put(HANDLE h, const std::string& text) {
    DWORD n = 0;
    return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
}
std::string Take(HANDLE h, DWORD count) {
    std::string buffer(count, '\0');
    DWORD n = 0;
    return ReadFile(h, buffer.data(), count, &n, nullptr) ? buffer.substr(0, n) : "<failed>";
}

// One FIFO is one byte queue for both sides, so each side reads only once the other has taken
// what it wrote (the flags below).
TEST(NamedPipes, ServerAndClientExchangeBothWaysAndReconnect) {
    const std::string name = PipeName("talk");
    HANDLE server = Serve(name, 1);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    struct stat st;
    ASSERT_EQ(0, stat(Fifo(name).c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(server, 0));
    for (int round = 0; round < 2; ++round) {
        std::atomic<int> step{0};
        std::string server_got;
        std::thread serving([&] {
            if (!ConnectNamedPipe(server, nullptr)) return;
            step = 1;
            server_got = Take(server, 4);
            step = 2;
            Put(server, "pong" + std::to_string(round));
            WaitUntil([&] { return step.load() == 3; });
        });
        HANDLE client = Open(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, client) << round;
        EXPECT_EQ(46u, tarvex::handle_value(client) & 63);
        EXPECT_TRUE(WaitUntil([&] { return step.load() == 1; }));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, 0));
        EXPECT_TRUE(ConnectNamedPipe(server, nullptr));  // already connected: at once
        // A second client finds every instance taken.
        SetLastError(0);
        EXPECT_EQ(INVALID_HANDLE_VALUE, Open(name));
        EXPECT_EQ(231u, GetLastError());
        EXPECT_TRUE(Put(client, "ping"));
        EXPECT_TRUE(WaitUntil([&] { return step.load() == 2; }));
        EXPECT_EQ("pong" + std::to_string(round), Take(client, 5));
        step = 3;
        serving.join();
        EXPECT_EQ("ping", server_got);
        EXPECT_TRUE(CloseHandle(client));
        EXPECT_FALSE(CloseHandle(client));  // the only client handle is gone
        EXPECT_TRUE(DisconnectNamedPipe(server));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(server, 0));
    }
    EXPECT_TRUE(CloseHandle(server));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(name));  // no server left to meet
    EXPECT_EQ(2u, GetLastError());
}

TEST(NamedPipes, WaitsEndAtTheirTimeOutOrWhenAnInstanceFrees) {
    const std::string name = PipeName("wait");
    HANDLE server = Serve(name, 1, 300);
    long long start = tvxtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(server, 100));
    EXPECT_GE(tvxtest::NowMs() - start, 90);
    EXPECT_EQ("<failed>", Take(server, 1));  // nobody has opened the FIFO yet
    EXPECT_EQ(233u, GetLastError());
    EXPECT_TRUE(WaitNamedPipeA(name.c_str(), 0));  // room for a client: at once
    HANDLE client = Open(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    start = tvxtest::NowMs();
    EXPECT_FALSE(WaitNamedPipeA(name.c_str(), NMPWAIT_USE_DEFAULT_WAIT));  // the pipe's 300 ms
    EXPECT_GE(tvxtest::NowMs() - start, 280);
    std::thread leaver([&] { WaitUntil([] { return false; }, 100), CloseHandle(client); });
    EXPECT_TRUE(WaitNamedPipeA(name.c_str(), 20000));
    leaver.join();
    HANDLE again = Open(name);
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    EXPECT_TRUE(CloseHandle(again) && CloseHandle(server));
    EXPECT_FALSE(WaitNamedPipeA(name.c_str(), 10));
}

// A duplicate of the server handle keeps the server's descriptor; the closes each succeed, and a
// thread blocked in ConnectNamedPipe is let go when the last server handle closes.
TEST(NamedPipes, ServerDuplicatesAndLastCloseReleaseWaiters) {
    const std::string name = PipeName("dup");
    HANDLE server = Serve(name, 2), copy = INVALID_HANDLE_VALUE;
    HANDLE self = tarvex::to_handle(static_cast<uint32_t>(getpid()));
    HANDLE client = Open(name);
    ASSERT_TRUE(ConnectNamedPipe(server, nullptr));
    ASSERT_TRUE(DuplicateHandle(self, server, self, &copy, 0, FALSE, 0));
    int fd = GetRealHandle(copy, -1);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(CloseHandle(server));
    EXPECT_FALSE(CloseHandle(server));
    EXPECT_EQ("<failed>", Take(server, 1));  // a closed handle, though its end lives on
    EXPECT_EQ(fd, GetRealHandle(copy, -1));
    EXPECT_TRUE(Put(copy, "via copy") && Take(client, 8) == "via copy");
    EXPECT_TRUE(DisconnectNamedPipe(copy));
    BOOL connected = TRUE;
    std::thread waiter([&] { connected = ConnectNamedPipe(copy, nullptr); });
    EXPECT_TRUE(WaitUntil([&] { return CloseHandle(copy); }));
    waiter.join();
    EXPECT_FALSE(connected);
    EXPECT_EQ(-1, GetRealHandle(copy, -1));
    EXPECT_TRUE(CloseHandle(client));
}

TEST(NamedPipes, NamesThatLeaveTmpOrNameNoPipeAreRefused) {
    const std::string base = "\\\\.\\pipe\\";
    for (const std::string& bad : {std::string("noPipeMarker"), base, base + "..", base + ".",
                                   base + "../escape", base + "a/b", base + std::string(300, 'x')}) {
        SetLastError(0);
        EXPECT_EQ(INVALID_HANDLE_VALUE, Serve(bad, 1)) << bad;
        EXPECT_EQ(123u, GetLastError()) << bad;
        EXPECT_FALSE(WaitNamedPipeA(bad.c_str(), 10));
    }
    struct stat st;
    EXPECT_NE(0, stat((tvxtest::Root() + "/mail/escape").c_str(), &st));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Serve("", 1));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateNamedPipeA(nullptr, 3, 0, 1, 0, 0, 0, nullptr));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(PipeName("nobody")));
    EXPECT_EQ(2u, GetLastError());
    // Handles that name no named pipe.
    HANDLE r, w;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    for (HANDLE h : {r, tarvex::to_handle(14), tarvex::to_handle(0xFFFFFFFFu)}) {
        EXPECT_FALSE(ConnectNamedPipe(h, nullptr));
        EXPECT_FALSE(DisconnectNamedPipe(h));
        EXPECT_EQ(128u, WaitForSingleObject(h, 0));
    }
    EXPECT_EQ(1, tvxtest::CountLogMessage("ConnectNamedPipe: Invalid handle"));  // repeats folded
    // A second pipe of the same name takes its own record; clients keep meeting the first.
    const std::string name = PipeName("twice");
    HANDLE first = Serve(name, 1), second = Serve(name, 1);
    EXPECT_NE(first, second);
    HANDLE client = Open(name);
    EXPECT_EQ(tarvex::handle_value(first) + 32, tarvex::handle_value(client));
    // A pipe that only writes, or a client that asks for neither reading nor writing, is refused.
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(name.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(CloseHandle(client) && CloseHandle(first) && CloseHandle(second));
    EXPECT_TRUE(CloseHandle(r) && CloseHandle(w));
}

}  // namespace
