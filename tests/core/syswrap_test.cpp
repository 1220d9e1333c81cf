// The system-call wrappers: restart after EINTR, whole transfers, an unbroken sleep, a select and a
// connect that interruption cannot cut short. The call under test runs under a signal storm; its
// peers, started before and joined after, act once the storm has hit the call while it waits.
#include <windows.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <thread>

#include "tvx_test.h"

using namespace tvxtest;

static std::vector<unsigned char> Pattern(size_t n) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    return v;
}

// Until the stormed thread has handled 20 more signals, or `ms` passed (sanitizers hold some back).
static void LetTheStormHit(int ms = 1000) {
    const long seen = StormSignals();
    WaitUntil([&] { return StormSignals() > seen + 20; }, ms);
}

static sockaddr* Addr(void* a) { return static_cast<sockaddr*>(a); }
static in_port_t PortOf(const void* a) { return static_cast<const sockaddr_in*>(a)->sin_port; }

// A socket bound to 127.0.0.1 on a free port; `bound` receives its address.
static int BoundSocket(int type, sockaddr_in* bound) {
    const int fd = socket(AF_INET, type, 0);
    *bound = sockaddr_in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof *bound;
    return bind(fd, Addr(bound), len) == 0 && getsockname(fd, Addr(bound), &len) == 0 ? fd : -1;
}

// A count of 0 makes no call. Non-blocking, a transfer returns what moved before it would block,
// or the error; an error after part of a write fails it, so it cannot pass for a short success.
TEST(Syswrap, TransfersStopAtWouldBlockEndOfFileOrError) {
    const std::vector<unsigned char> data = Pattern(1 << 20);
    std::vector<unsigned char> buf(data.size());
    errno = ENOTTY;
    EXPECT_TRUE(Read(-1, buf.data(), 0) == 0 && Write(-1, buf.data(), 0) == 0 && errno == ENOTTY);
    EXPECT_TRUE(Read(-1, buf.data(), 4) == -1 && errno == EBADF);
    int p[2];
    ASSERT_TRUE(pipe2(p, O_NONBLOCK) == 0 && write(p[1], data.data(), 30) == 30);
    EXPECT_EQ(Read(p[0], buf.data(), 100), 30);
    EXPECT_TRUE(Read(p[0], buf.data(), 100) == -1 && errno == EAGAIN);
    const ssize_t written = Write(p[1], data.data(), data.size());  // more than the pipe holds
    EXPECT_TRUE(written > 0 && written <= fcntl(p[1], F_GETPIPE_SZ)) << written;
    EXPECT_TRUE(Write(p[1], data.data(), 10) == -1 && errno == EAGAIN);
    EXPECT_TRUE(Read(p[0], buf.data(), buf.size()) == written && !memcmp(&buf[0], &data[0], written));
    close(p[1]);
    EXPECT_EQ(Read(p[0], buf.data(), 100), 0);
    const std::string file = Root() + "/mail/tmp/limited";
    EXPECT_EQ(ChildExit([&] {  // a size limit of 100 bytes: 100 of 200 go, then EFBIG
        const struct rlimit limit = {100, 100};
        signal(SIGXFSZ, SIG_IGN);
        const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        if (fd < 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
        return Write(fd, data.data(), 200) == -1 && errno == EFBIG ? 0 : 1;
    }), 0);
}

// 4 MiB through a pipe whose other end moves uneven pieces: a stormed Write moves all of it, a
// stormed Read asked for more returns all of it at end of file.
TEST(Syswrap, WholeTransfersSurviveASignalStorm) {
    signal(SIGPIPE, SIG_IGN);
    const size_t size = 4u << 20;
    const std::vector<unsigned char> data = Pattern(size);
    for (bool stormed_read : {false, true}) {
        std::vector<unsigned char> copy(size + 1);
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        std::thread peer([&] {
            for (size_t done = 0, i = 0; done < size; ++i) {
                const size_t piece = std::min<size_t>(size - done, 1 + (i * 7919) % 9000);
                const ssize_t n = stormed_read ? write(p[1], data.data() + done, piece)
                                               : read(p[0], copy.data() + done, piece);
                if (n <= 0) break;  // the stormed side stopped early and closed its end
                done += static_cast<size_t>(n);
                if (i % 16 == 0) usleep(200);
            }
            close(p[stormed_read]);
        });
        ssize_t moved = -2;
        EXPECT_GT(RunUnderSignalStorm([&] {
            moved = stormed_read ? Read(p[0], copy.data(), size + 1) : Write(p[1], data.data(), size);
        }), kStormEvidence);
        close(p[!stormed_read]);
        peer.join();
        EXPECT_EQ(moved, static_cast<ssize_t>(size)) << (stormed_read ? "Read" : "Write");
        EXPECT_EQ(memcmp(copy.data(), data.data(), size), 0);
    }
}

// Semop, the condition waits and Nanosleep wait through signals and give their own results (a sleep
// begun again on each interruption would never end). A stale EINTR must not make a wrapper retry a
// call that gave its own result; an interval the system refuses comes back at once.
TEST(Syswrap, WaitsLastThroughSignals) {
    const int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    std::atomic<bool> waiting{false};
    bool ready = false;
    std::thread peer([&] {
        struct sembuf up = {0, 1, 0};
        EXPECT_TRUE(WaitUntil([&] { return semctl(id, 0, GETNCNT) == 1; }));
        LetTheStormHit();
        EXPECT_EQ(semop(id, &up, 1), 0);
        WaitUntil([&] { return waiting.load(); });
        pthread_mutex_lock(&mutex);  // got once the waiter sleeps
        LetTheStormHit();
        ready = true;
        pthread_cond_signal(&cond);
        pthread_mutex_unlock(&mutex);
    });
    std::vector<int> got(5, -2);
    long long slept[2] = {};
    EXPECT_GT(RunUnderSignalStorm([&] {
        struct sembuf down = {0, -1, 0};
        struct timespec deadline, left, sleeps[2] = {{0, 300000000}, {1, 200000000}};
        got[0] = Semop(id, &down, 1);
        pthread_mutex_lock(&mutex);
        waiting.store(true);
        for (got[1] = 0; !ready && got[1] == 0;) got[1] = Pthread_cond_wait(&cond, &mutex);
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += deadline.tv_nsec >= 750000000;
        deadline.tv_nsec = (deadline.tv_nsec + 250000000) % 1000000000;
        got[2] = Pthread_cond_timedwait(&cond, &mutex, &deadline);
        pthread_mutex_unlock(&mutex);
        for (int i = 0; i < 2; ++i) {
            const long long start = NowMs();
            got[3 + i] = Nanosleep(&sleeps[i], i == 0 ? &left : nullptr);
            slept[i] = NowMs() - start;
        }
    }), kStormEvidence);
    peer.join();
    EXPECT_EQ(got, (std::vector<int>{0, 0, ETIMEDOUT, 0, 0}));
    EXPECT_TRUE(ready && semctl(id, 0, GETVAL) == 0);  // exactly one decrement took place
    semctl(id, 0, IPC_RMID);
    EXPECT_TRUE(slept[0] >= 300 && slept[1] >= 1200) << slept[0] << " " << slept[1];
    EXPECT_EQ(ChildExit([&] {
        const struct timespec past = {0, 0};
        pthread_mutex_lock(&mutex);
        errno = EINTR;
        return Pthread_cond_timedwait(&cond, &mutex, &past) == ETIMEDOUT ? 0 : 1;
    }, 5), 0);
    for (const timespec& refused : {timespec{0, 1000000000}, timespec{-1, 0}})
        EXPECT_TRUE(Nanosleep(&refused, nullptr) == -1 && errno == EINVAL);
}

// Select gets the caller's sets and whole time-out again on each restart and copies the outcome
// back: an idle wait times out with the sets emptied and no time left; a byte that comes after a
// second of restarts finds more than 4.5 s of 5 left (where signals are not held back).
TEST(Syswrap, SelectRearmsAndReportsThroughSignals) {
    for (bool ready : {false, true}) {
        int a[2], b[2];
        ASSERT_TRUE(pipe(a) == 0 && pipe(b) == 0);
        fd_set reads, errors;
        FD_ZERO(&reads);
        FD_ZERO(&errors);
        for (int fd : {a[0], b[0]}) FD_SET(fd, &reads), FD_SET(fd, &errors);
        struct timeval timeout = {ready ? 5 : 0, ready ? 0 : 300000};
        std::atomic<long long> entered{0};
        std::thread writer([&] {
            if (!ready) return;
            WaitUntil([&] { return entered > 0 && NowMs() - entered > 1000; });
            LetTheStormHit();
            EXPECT_EQ(write(a[1], "x", 1), 1);
        });
        int result = -2;
        EXPECT_GT(RunUnderSignalStorm([&] {
            entered = NowMs();
            result = Select(std::max(a[0], b[0]) + 1, &reads, nullptr, &errors, &timeout);
        }, ready ? -1 : 200), kStormEvidence);
        writer.join();
        EXPECT_TRUE(result == ready && (FD_ISSET(a[0], &reads) != 0) == ready) << result;
        EXPECT_FALSE(FD_ISSET(b[0], &reads) || FD_ISSET(a[0], &errors) || FD_ISSET(b[0], &errors));
        const long long left = timeout.tv_sec * 1000000LL + timeout.tv_usec;
        EXPECT_TRUE(ready ? left <= 5000000 && (left > 4500000 || !kStormEvidence) : !left) << left;
        for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
    }
}

// Accept, Recv and Recvfrom restart through signals; Accept and Recvfrom write back the length of
// the peer's address, also when the caller's buffer is too small, and take no buffer at all.
TEST(Syswrap, SocketCallsRestartAndWriteBackTheAddressLength) {
    sockaddr_in server, receiver_at, sender_at, client_at, small;
    sockaddr_storage peer, from;  // larger than the address: the length written back tells
    const int listener = BoundSocket(SOCK_STREAM, &server), receiver = BoundSocket(SOCK_DGRAM,
              &receiver_at), sender = BoundSocket(SOCK_DGRAM, &sender_at);
    ASSERT_TRUE(listener >= 0 && receiver >= 0 && sender >= 0 && listen(listener, 4) == 0);
    auto datagram = [&](const char* text) {
        return sendto(sender, text, strlen(text), 0, Addr(&receiver_at), sizeof receiver_at);
    };
    char reply[6] = {}, hello[8] = {}, ping[8] = {};
    std::thread client([&] {
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        socklen_t len = sizeof client_at;
        LetTheStormHit();
        EXPECT_EQ(connect(c, Addr(&server), sizeof server), 0);
        getsockname(c, Addr(&client_at), &len);
        LetTheStormHit();
        EXPECT_EQ(send(c, "hello", 5, 0), 5);
        LetTheStormHit();
        EXPECT_TRUE(datagram("ping") == 4 && recv(c, reply, 5, MSG_WAITALL) == 5);
        close(c);
    });
    socklen_t peer_len = sizeof peer, from_len = sizeof from, small_len = 4;
    int accepted = -2;
    ssize_t got = -2, pinged = -2;
    EXPECT_GT(RunUnderSignalStorm([&] {
        accepted = Accept(listener, Addr(&peer), &peer_len);
        got = Recv(accepted, hello, sizeof hello, 0);
        pinged = Recvfrom(receiver, ping, sizeof ping, 0, Addr(&from), &from_len);
    }), kStormEvidence);
    EXPECT_EQ(Send(accepted, "world", 5, 0), 5);
    client.join();
    EXPECT_TRUE(got == 5 && pinged == 4 && std::string(hello) + ping + reply == "hellopingworld");
    EXPECT_TRUE(peer_len == sizeof small && PortOf(&peer) == client_at.sin_port);
    EXPECT_TRUE(from_len == sizeof small && PortOf(&from) == sender_at.sin_port);
    ASSERT_TRUE(datagram("pong") == 4 && datagram("abc") == 3);
    EXPECT_EQ(Recvfrom(receiver, hello, sizeof hello, 0, Addr(&small), &small_len), 4);
    EXPECT_EQ(small_len, sizeof small);
    EXPECT_EQ(Recvfrom(receiver, hello, sizeof hello, 0, nullptr, nullptr), 3);
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c, Addr(&server), sizeof server), 0);  // completes in the backlog
    const int plain = Accept(listener, nullptr, nullptr);
    EXPECT_GE(plain, 0);
    for (int fd : {plain, c, accepted, listener, receiver, sender}) close(fd);
}

// A connect that must wait (the listener's queue is full: its SYN is dropped and sent again) is
// interrupted; the wrapper then waits for the connection it started instead of reporting EINTR.
TEST(Syswrap, ConnectCompletesThroughSignals) {
    sockaddr_in server, closed;
    const int listener = BoundSocket(SOCK_STREAM, &server), gone = BoundSocket(SOCK_STREAM, &closed);
    ASSERT_TRUE(listener >= 0 && gone >= 0 && listen(listener, 0) == 0 && close(gone) == 0);
    const int filler = socket(AF_INET, SOCK_STREAM, 0), c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, Addr(&server), sizeof server), 0);
    bool pending = false;
    std::thread make_room([&] {
        pending = WaitUntil([&] {  // the stormed connect waits for an answer to its SYN
            tcp_info info{};
            socklen_t len = sizeof info;
            return getsockopt(c, IPPROTO_TCP, TCP_INFO, &info, &len), info.tcpi_state == TCP_SYN_SENT;
        });
        LetTheStormHit();
        close(accept(listener, nullptr, nullptr));
    });
    int result = -2, error = 0, pending_error = -1;
    EXPECT_GT(RunUnderSignalStorm([&] {
        result = Connect(c, Addr(&server), sizeof server);
        error = errno;
    }), kStormEvidence);
    make_room.join();
    EXPECT_TRUE(pending) << "the connection did not have to wait";
    EXPECT_GE(result, 0) << strerror(error);
    socklen_t len = sizeof pending_error;
    EXPECT_TRUE(getsockopt(c, SOL_SOCKET, SO_ERROR, &pending_error, &len) == 0 && !pending_error);
    const int server_side = accept(listener, nullptr, nullptr);
    const int direct = socket(AF_INET, SOCK_STREAM, 0), refused = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_TRUE(server_side >= 0 && Connect(direct, Addr(&server), sizeof server) == 0);
    EXPECT_TRUE(Connect(refused, Addr(&closed), sizeof closed) == -1 && errno == ECONNREFUSED);
    for (int fd : {server_side, c, filler, listener, direct, refused}) close(fd);
}

// Opening a FIFO for reading blocks until a writer comes, so that open is really interrupted;
// then, still stormed, the other simple wrappers fail as the system says (errno read at once).
TEST(Syswrap, SimpleWrappersRestartAndPassFailuresThrough) {
    const std::string dir = Root() + "/mail/tmp", fifo = dir + "/fifo", none = dir + "/x";
    const char *f = fifo.c_str(), *n = none.c_str();
    ASSERT_EQ(mkfifo(f, 0600), 0);
    std::thread fifo_writer([&] {
        LetTheStormHit();
        int fd = -1;  // a non-blocking open fails (ENXIO) until the reader's open is under way
        EXPECT_TRUE(WaitUntil([&] { return (fd = open(f, O_WRONLY | O_NONBLOCK)) >= 0; }));
        EXPECT_EQ(write(fd, "fifo", 4), 4);
        close(fd);
    });
    EXPECT_GT(RunUnderSignalStorm([&] {
        const int fd = Open(f, O_RDONLY);
        char text[8] = {};
        EXPECT_TRUE(Read(fd, text, 4) == 4 && std::string(text) == "fifo" && Close(fd) == 0);
        struct stat st;
        struct dirent entry, *found = nullptr;
        DIR* d = Opendir(dir.c_str());
        EXPECT_TRUE(Readdir_r(d, &entry, &found) == 0 && found == &entry && Closedir(d) == 0);
        const struct { bool failed; int error, expected; } failures[] = {
            {Stat(n, &st) == -1, errno, ENOENT}, {Open(n, O_RDONLY) == -1, errno, ENOENT},
            {FOpen(n, "r") == nullptr, errno, ENOENT}, {Opendir(n) == nullptr, errno, ENOENT},
            {Access(n, F_OK) == -1, errno, ENOENT}, {Chmod(n, 0600) == -1, errno, ENOENT},
            {Chown(n, 0, 0) == -1, errno, ENOENT}, {Unlink(n) == -1, errno, ENOENT},
            {Remove(n) == -1, errno, ENOENT}, {Readlink(f, text, 8) == -1, errno, EINVAL},
            {Mkdir(f, 0700) == -1, errno, EEXIST}, {Mkfifo(f, 0600) == -1, errno, EEXIST},
            {Mknod(f, S_IFIFO | 0600, 0) == -1, errno, EEXIST},
            {OpenEx(f, O_CREAT | O_EXCL, 0600) == -1, errno, EEXIST}, {Close(-1) == -1, errno, EBADF},
            {FStat(-1, &st) == -1, errno, EBADF}, {FChmod(-1, 0600) == -1, errno, EBADF},
            {FChown(-1, 0, 0) == -1, errno, EBADF}};
        for (const auto& c : failures)
            EXPECT_TRUE(c.failed && c.error == c.expected) << "case " << &c - failures;
    }), kStormEvidence);
    fifo_writer.join();
}

// An interrupted fclose has released the stream and dropped its buffer, so neither calling it again
// nor giving up will do: the flush into a full pipe must go through. (1: failed, 2: data lost.)
TEST(Syswrap, FCloseDeliversTheBufferDespiteSignals) {
    const std::string fifo = Root() + "/mail/tmp/fclose-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ChildExit([&] {
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        FILE* stream = FOpen(fifo.c_str(), "w");
        if (reader < 0 || stream == nullptr) return 3;
        std::string all, filled;  // fill the pipe first, then leave words in the stream's buffer
        fcntl(fileno(stream), F_SETFL, O_NONBLOCK);
        for (char fill[4096] = {}; write(fileno(stream), fill, 4096) > 0;) filled.append(fill, 4096);
        fcntl(fileno(stream), F_SETFL, 0);
        fputs("the last words", stream);
        std::thread drain([&] {
            LetTheStormHit(300);  // none, if FClose holds signals off as it should
            fcntl(reader, F_SETFL, 0);
            char buf[8192];
            for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;) all.append(buf, n);
        });
        int closed = -2;
        RunUnderSignalStorm([&] { closed = FClose(stream); });
        drain.join();
        return closed != 0 ? 1 : all == filled + "the last words" ? 0 : 2;
    }, 20), 0);
}
