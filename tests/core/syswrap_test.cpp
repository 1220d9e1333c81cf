// System-call wrappers under a signal storm; peers, started first, act once the stormed call waits.
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
    WaitUntil([seen = StormSignals()] { return StormSignals() > seen + 20; }, ms);
}

static sockaddr* Addr(void* a) { return static_cast<sockaddr*>(a); }
static in_port_t PortOf(const void* a) { return static_cast<const sockaddr_in*>(a)->sin_port; }
static int Tcp() { return socket(AF_INET, SOCK_STREAM, 0); }

static int BoundSocket(int type, sockaddr_in* bound) {
    const int fd = socket(AF_INET, type, 0);
    *bound = sockaddr_in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof *bound;
    return bind(fd, Addr(bound), len) == 0 && getsockname(fd, Addr(bound), &len) == 0 ? fd : -1;
}

// An error after part of a write fails it, so that it cannot pass for a short success.
TEST(Syswrap, TransfersStopAtWouldBlockEndOfFileOrError) {
    std::vector<unsigned char> data = Pattern(1 << 20), buf(data.size());
    errno = ENOTTY;  // a count of 0 makes no call
    EXPECT_TRUE(Read(-1, buf.data(), 0) == 0 && Write(-1, buf.data(), 0) == 0 && errno == ENOTTY);
    int p[2];
    ASSERT_TRUE(pipe2(p, O_NONBLOCK) == 0 && write(p[1], data.data(), 30) == 30);
    EXPECT_EQ(Read(p[0], buf.data(), 100), 30);
    EXPECT_TRUE(Read(p[0], buf.data(), 100) == -1 && errno == EAGAIN);
    const ssize_t written = Write(p[1], data.data(), data.size());  // more than the pipe holds
    EXPECT_TRUE(written > 0 && written <= fcntl(p[1], F_GETPIPE_SZ)) << written;
    EXPECT_TRUE(Read(p[0], buf.data(), buf.size()) == written && !memcmp(&buf[0], &data[0], written));
    close(p[1]);
    EXPECT_EQ(Read(p[0], buf.data(), 100), 0);
    EXPECT_EQ(ChildExit([&] {  // a size limit of 100 bytes: 100 of 200 go, then EFBIG
        const struct rlimit limit = {100, 100};
        signal(SIGXFSZ, SIG_IGN);
        const int fd = open((Root() + "/mail/tmp/limited").c_str(), O_CREAT | O_WRONLY, 0600);
        if (fd < 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
        return Write(fd, data.data(), 200) == -1 && errno == EFBIG ? 0 : 1;
    }), 0);
}

// The peer moves uneven pieces of 4 MiB, so the stormed Write or Read (asked for more) must go on.
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

// A sleep begun anew on each interruption would never end; a stale EINTR must not cause a retry.
TEST(Syswrap, WaitsLastThroughSignals) {
    const int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool ready = false;
    std::thread peer([&] {
        EXPECT_TRUE(WaitUntil([&] { return semctl(id, 0, GETNCNT) == 1; }));
        LetTheStormHit();
        EXPECT_EQ(semctl(id, 0, SETVAL, 1), 0);
        pthread_mutex_lock(&mutex);  // got once the waiter, which took it first, sleeps
        LetTheStormHit();
        ready = true;
        pthread_cond_signal(&cond);
        pthread_mutex_unlock(&mutex);
    });
    EXPECT_GT(RunUnderSignalStorm([&] {
        struct sembuf down = {0, -1, 0};
        struct timespec deadline, nap = {1, 200000000}, left = {9, 9};
        pthread_mutex_lock(&mutex);
        EXPECT_EQ(Semop(id, &down, 1), 0);
        for (int r = 0; !ready && r == 0;) EXPECT_EQ(r = Pthread_cond_wait(&cond, &mutex), 0);
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 1;
        EXPECT_EQ(Pthread_cond_timedwait(&cond, &mutex, &deadline), ETIMEDOUT);
        pthread_mutex_unlock(&mutex);
        const long long start = NowMs();
        EXPECT_TRUE(Nanosleep(&nap, &left) == 0 && NowMs() - start >= 1200 && !left.tv_nsec);
    }), kStormEvidence);
    peer.join();
    EXPECT_TRUE(ready && semctl(id, 0, GETVAL) == 0);  // exactly one decrement took place
    semctl(id, 0, IPC_RMID);
    EXPECT_EQ(ChildExit([&] {
        const struct timespec past = {0, 0};
        pthread_mutex_lock(&mutex);
        errno = EINTR;
        return Pthread_cond_timedwait(&cond, &mutex, &past) == ETIMEDOUT ? 0 : 1;
    }, 5), 0);
    for (const timespec& refused : {timespec{0, 1000000000}, timespec{-1, 0}})
        EXPECT_TRUE(Nanosleep(&refused, nullptr) == -1 && errno == EINVAL);
}

// Each restart must get the caller's sets and whole time-out again: 5 s, 1 s of it stormed.
TEST(Syswrap, SelectRearmsAndReportsThroughSignals) {
    for (bool ready : {false, true}) {
        int a[2], b[2];
        ASSERT_TRUE(pipe(a) == 0 && pipe(b) == 0);
        fd_set reads{};
        for (int fd : {a[0], b[0]}) FD_SET(fd, &reads);
        fd_set errors = reads;
        struct timeval timeout = {ready ? 5 : 0, ready ? 0 : 300000};
        const long long start = NowMs();
        std::thread writer([&] {
            if (!ready) return;
            WaitUntil([&] { return NowMs() - start > 1000; });
            LetTheStormHit();
            EXPECT_EQ(write(a[1], "x", 1), 1);
        });
        int result = -2;
        EXPECT_GT(RunUnderSignalStorm([&] {
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

// Accept and Recvfrom write back the peer's address length even when the buffer is too small.
TEST(Syswrap, SocketCallsRestartAndWriteBackTheAddressLength) {
    sockaddr_in server, receiver_at, sender_at, client_at, small;
    sockaddr_storage peer, from;  // larger than the address: the length written back tells
    const int listener = BoundSocket(SOCK_STREAM, &server), c = BoundSocket(SOCK_STREAM, &client_at);
    const int receiver = BoundSocket(SOCK_DGRAM, &receiver_at);
    const int sender = BoundSocket(SOCK_DGRAM, &sender_at);
    ASSERT_TRUE(listener >= 0 && c >= 0 && receiver >= 0 && sender >= 0 && listen(listener, 4) == 0);
    ASSERT_EQ(connect(sender, Addr(&receiver_at), sizeof receiver_at), 0);
    char reply[6] = {}, hello[8] = {}, ping[8] = {};
    std::thread client([&] {
        LetTheStormHit();
        EXPECT_EQ(connect(c, Addr(&server), sizeof server), 0);
        LetTheStormHit();
        EXPECT_EQ(send(c, "hello", 5, 0), 5);
        LetTheStormHit();
        EXPECT_TRUE(send(sender, "ping", 4, 0) == 4 && recv(c, reply, 5, MSG_WAITALL) == 5);
    });
    socklen_t peer_len = sizeof peer, from_len = sizeof from, small_len = 4;
    int accepted = -2;
    EXPECT_GT(RunUnderSignalStorm([&] {
        accepted = Accept(listener, Addr(&peer), &peer_len);
        EXPECT_EQ(Recv(accepted, hello, sizeof hello, 0), 5);
        EXPECT_EQ(Recvfrom(receiver, ping, sizeof ping, 0, Addr(&from), &from_len), 4);
    }), kStormEvidence);
    EXPECT_EQ(Send(accepted, "world", 5, 0), 5);
    client.join();
    EXPECT_EQ(std::string(hello) + ping + reply, "hellopingworld");
    EXPECT_TRUE(peer_len == sizeof small && PortOf(&peer) == client_at.sin_port);
    EXPECT_TRUE(from_len == sizeof small && PortOf(&from) == sender_at.sin_port);
    ASSERT_TRUE(send(sender, "pong", 4, 0) == 4 && send(sender, "abc", 3, 0) == 3);
    EXPECT_EQ(Recvfrom(receiver, hello, sizeof hello, 0, Addr(&small), &small_len), 4);
    EXPECT_EQ(small_len, sizeof small);
    EXPECT_EQ(Recvfrom(receiver, hello, sizeof hello, 0, nullptr, nullptr), 3);  // no buffer
    const int late = Tcp();
    ASSERT_EQ(connect(late, Addr(&server), sizeof server), 0);  // completes in the backlog
    const int plain = Accept(listener, nullptr, nullptr);
    EXPECT_GE(plain, 0);
    for (int fd : {plain, late, c, accepted, listener, receiver, sender}) close(fd);
}

// The listener's queue is full, so the stormed connect waits for the SYN to be sent again.
TEST(Syswrap, ConnectCompletesThroughSignals) {
    sockaddr_in server, closed;
    const int listener = BoundSocket(SOCK_STREAM, &server), gone = BoundSocket(SOCK_STREAM, &closed);
    ASSERT_TRUE(listener >= 0 && gone >= 0 && listen(listener, 0) == 0 && close(gone) == 0);
    const int filler = Tcp(), c = Tcp(), direct = Tcp(), refused = Tcp();
    ASSERT_EQ(connect(filler, Addr(&server), sizeof server), 0);
    std::thread make_room([&] {
        EXPECT_TRUE(WaitUntil([&] {
            tcp_info info{};
            socklen_t len = sizeof info;
            return !getsockopt(c, SOL_TCP, TCP_INFO, &info, &len) && info.tcpi_state == TCP_SYN_SENT;
        })) << "the connection did not have to wait";
        LetTheStormHit();
        close(accept(listener, nullptr, nullptr));
    });
    int error = -2;
    EXPECT_GT(RunUnderSignalStorm([&] {
        error = Connect(c, Addr(&server), sizeof server) < 0 ? errno : 0;
    }), kStormEvidence);
    make_room.join();
    EXPECT_EQ(error, 0) << strerror(error);  // not EINTR: it waits for the connection it started
    const int server_side = accept(listener, nullptr, nullptr);
    EXPECT_TRUE(server_side >= 0 && Connect(direct, Addr(&server), sizeof server) == 0);
    EXPECT_TRUE(Connect(refused, Addr(&closed), sizeof closed) == -1 && errno == ECONNREFUSED);
    for (int fd : {server_side, c, filler, listener, direct, refused}) close(fd);
}

// Opening a FIFO for reading blocks until a writer comes, so that open is really interrupted.
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
        const int e = ENOENT, x = EEXIST, b = EBADF;  // errno is read right after each call
        const struct { bool failed; int expected, error = errno; } failures[] = {
            {Stat(n, &st) == -1, e}, {Open(n, O_RDONLY) == -1, e}, {FOpen(n, "r") == nullptr, e},
            {Opendir(n) == nullptr, e}, {Access(n, F_OK) == -1, e}, {Chmod(n, 0600) == -1, e},
            {Chown(n, 0, 0) == -1, e}, {Unlink(n) == -1, e}, {Remove(n) == -1, e},
            {Readlink(f, text, 8) == -1, EINVAL}, {Mkdir(f, 0700) == -1, x}, {Close(-1) == -1, b},
            {Mkfifo(f, 0600) == -1, x}, {Mknod(f, S_IFIFO | 0600, 0) == -1, x},
            {OpenEx(f, O_CREAT | O_EXCL, 0600) == -1, x}, {FStat(-1, &st) == -1, b},
            {FChmod(-1, 0600) == -1, b}, {FChown(-1, 0, 0) == -1, b}};
        for (const auto& c : failures)
            EXPECT_TRUE(c.failed && c.error == c.expected) << "case " << &c - failures;
    }), kStormEvidence);
    fifo_writer.join();
}

// An interrupted fclose has dropped the stream, so neither retrying nor giving up will do.
TEST(Syswrap, FCloseDeliversTheBufferDespiteSignals) {
    const std::string fifo = Root() + "/mail/tmp/fclose-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ChildExit([&] {  // 1: failed, 2: data lost
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
