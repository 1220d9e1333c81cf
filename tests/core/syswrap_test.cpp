// The system-call wrappers: restart after EINTR, whole transfers, an unbroken sleep, a select and
// a connect that interruption cannot cut short.
//
// Interruption is real: the call under test runs on a thread of its own while another thread
// sends it SIGCHLD every ~100 microseconds through a handler installed without SA_RESTART, the way
// the library's own SIGCHLD handler is installed. Peers (readers, writers, clients) are threads
// that the main thread starts before the storm and joins after it; the main thread never receives
// the signal. No thread may be started from inside a stormed body: under the emulator that runs
// the i386 tests a signalled thread resumes with the thread pointer of the most recently created
// thread, so the stormed thread must be the last one created.
#include <windows.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tvx_test.h"

namespace {

using tvxtest::kStormEvidence;
using tvxtest::NowMs;
using tvxtest::RunUnderSignalStorm;

std::vector<unsigned char> Pattern(size_t n) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    return v;
}

// Runs `body` on this thread, or under a storm that must reach it.
void MaybeStormed(bool storm, const std::function<void()>& body, long storm_ms = -1) {
    if (storm)
        EXPECT_GT(RunUnderSignalStorm(body, storm_ms), kStormEvidence);
    else
        body();
}

int ChildExit(const std::function<int()>& body, int timeout_seconds = 30) {
    return tvxtest::ExitCodeOf(tvxtest::RunInChild(body, timeout_seconds));
}

sockaddr* AsAddr(void* a) { return static_cast<sockaddr*>(a); }
in_port_t PortOf(const void* a) { return static_cast<const sockaddr_in*>(a)->sin_port; }

// A socket bound to 127.0.0.1 on a free port; `bound` receives its address.
int BoundSocket(int type, sockaddr_in* bound) {
    const int fd = socket(AF_INET, type, 0);
    *bound = sockaddr_in{};
    bound->sin_family = AF_INET;
    bound->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof *bound;
    if (fd >= 0 && bind(fd, AsAddr(bound), len) == 0 && getsockname(fd, AsAddr(bound), &len) == 0)
        return fd;
    close(fd);
    return -1;
}

}  // namespace

// A read returns once the whole count is in (100 bytes in four pieces, the write end left open),
// or at end of file with what arrived (60 bytes, then the writer closes).
TEST(Syswrap, ReadWaitsForTheWholeCountOrEndOfFile) {
    const std::vector<unsigned char> data = Pattern(100);
    for (bool storm : {false, true})
        for (size_t piece : {size_t{60}, size_t{25}}) {
            SCOPED_TRACE(std::string(storm ? "under signals, " : "quiet, ") +
                         (piece == 60 ? "60 bytes then end of file" : "four pieces of 25"));
            const size_t total = piece == 60 ? 60 : 100;
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            std::thread writer([&] {
                for (size_t done = 0; done < total; done += piece) {
                    usleep(40000);
                    EXPECT_EQ(write(p[1], data.data() + done, piece), static_cast<ssize_t>(piece));
                }
                usleep(40000);
                if (total < data.size()) close(p[1]);
            });
            unsigned char buf[100] = {};
            ssize_t got = -2;
            MaybeStormed(storm, [&] { got = Read(p[0], buf, sizeof buf); });
            writer.join();
            EXPECT_EQ(got, static_cast<ssize_t>(total));
            EXPECT_EQ(memcmp(buf, data.data(), total), 0);
            close(p[0]);
            if (total == data.size()) close(p[1]);
        }
}

// A count of 0 makes no call. A non-blocking transfer returns what moved before it would block,
// or the error itself when nothing moved; end of file with nothing read gives 0. An error after
// part of a write fails the whole write, so that it cannot pass for a short success.
TEST(Syswrap, TransfersStopAtWouldBlockEndOfFileOrError) {
    char small[4] = {};
    errno = ENOTTY;
    EXPECT_EQ(Read(-1, small, 0), 0);
    EXPECT_EQ(Write(-1, small, 0), 0);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(Read(-1, small, sizeof small), -1);  // the same descriptor with a count is refused
    EXPECT_EQ(errno, EBADF);

    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    const std::vector<unsigned char> data = Pattern(1 << 20);
    std::vector<unsigned char> buf(data.size());
    ASSERT_EQ(write(p[1], data.data(), 30), 30);
    EXPECT_EQ(Read(p[0], buf.data(), 100), 30);
    EXPECT_EQ(Read(p[0], buf.data(), 100), -1);
    EXPECT_EQ(errno, EAGAIN);
    const ssize_t written = Write(p[1], data.data(), data.size());  // more than the pipe holds
    EXPECT_TRUE(written > 0 && written <= fcntl(p[1], F_GETPIPE_SZ)) << written;
    EXPECT_EQ(Write(p[1], data.data(), 10), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(Read(p[0], buf.data(), buf.size()), written);
    EXPECT_EQ(memcmp(buf.data(), data.data(), static_cast<size_t>(written)), 0);
    close(p[1]);
    EXPECT_EQ(Read(p[0], buf.data(), 100), 0);
    close(p[0]);

    // Under a file size limit of 100 bytes the first write takes 100 of 200, the next one fails.
    const std::string file = tvxtest::Root() + "/mail/tmp/limited";
    EXPECT_EQ(ChildExit([&] {
        const struct rlimit limit = {100, 100};
        signal(SIGXFSZ, SIG_IGN);
        const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        if (fd < 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
        errno = 0;
        return Write(fd, data.data(), 200) == -1 && errno == EFBIG ? 0 : 1;
    }), 0);
    unlink(file.c_str());
}

// 4 MiB through a pipe, with a peer on the other end that moves uneven pieces with pauses.
TEST(Syswrap, WholeTransfersSurviveASignalStorm) {
    signal(SIGPIPE, SIG_IGN);
    const size_t size = 4u << 20;
    std::vector<unsigned char> data = Pattern(size);
    for (bool stormed_read : {false, true}) {
        SCOPED_TRACE(stormed_read ? "Read" : "Write");
        std::vector<unsigned char> copy(size);
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        std::thread peer([&] {
            unsigned char* mine = stormed_read ? data.data() : copy.data();
            for (size_t done = 0, i = 0; done < size; ++i) {
                const size_t piece = std::min<size_t>(size - done, 1 + (i * 7919) % 9000);
                const ssize_t n = stormed_read ? write(p[1], mine + done, piece)
                                               : read(p[0], mine + done, piece);
                if (n <= 0) break;  // the stormed side stopped early and closed its end
                done += static_cast<size_t>(n);
                if (i % 16 == 0) usleep(200);
            }
        });
        ssize_t moved = -2;
        EXPECT_GT(RunUnderSignalStorm([&] {
            moved = stormed_read ? Read(p[0], copy.data(), size) : Write(p[1], data.data(), size);
        }), kStormEvidence);
        close(p[stormed_read ? 0 : 1]);
        peer.join();
        close(p[stormed_read ? 1 : 0]);
        EXPECT_EQ(moved, static_cast<ssize_t>(size));
        EXPECT_TRUE(copy == data);
    }
}

// Semop, the condition waits and Nanosleep wait through signals and return their own results: a
// semaphore posted after 250 ms, a condition signalled 150 ms later, a timed wait that times out,
// two sleeps (one over a second). A stale EINTR in errno must not make a wrapper retry a call that
// gave its own result, and an interval the system refuses comes back at once.
TEST(Syswrap, WaitsLastThroughSignals) {
    const int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    ASSERT_GE(id, 0) << strerror(errno);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool ready = false;
    std::thread peer([&] {
        usleep(250000);
        struct sembuf up = {0, 1, 0};
        EXPECT_EQ(semop(id, &up, 1), 0);
        usleep(150000);
        pthread_mutex_lock(&mutex);
        ready = true;
        pthread_cond_signal(&cond);
        pthread_mutex_unlock(&mutex);
    });
    struct { int result; long long ms; } got[5] = {};
    auto timed = [&](int i, const std::function<int()>& call) {
        const long long start = NowMs();
        got[i].result = call();
        got[i].ms = NowMs() - start;
    };
    EXPECT_GT(RunUnderSignalStorm([&] {
        struct sembuf down = {0, -1, 0};
        struct timespec deadline, remaining, sleeps[2] = {{0, 300000000}, {1, 200000000}};
        timed(0, [&] { return Semop(id, &down, 1); });
        pthread_mutex_lock(&mutex);
        timed(1, [&] {
            int result = 0;
            while (!ready && result == 0) result = Pthread_cond_wait(&cond, &mutex);
            return ready ? result : -1;
        });
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += deadline.tv_nsec >= 750000000;
        deadline.tv_nsec = (deadline.tv_nsec + 250000000) % 1000000000;
        timed(2, [&] { return Pthread_cond_timedwait(&cond, &mutex, &deadline); });
        pthread_mutex_unlock(&mutex);
        timed(3, [&] { return Nanosleep(&sleeps[0], &remaining); });
        timed(4, [&] { return Nanosleep(&sleeps[1], nullptr); });
    }), kStormEvidence);
    peer.join();
    const struct { int result; long long min_ms, max_ms; } want[] = {
        {0, 200, 5000}, {0, 0, 5000}, {ETIMEDOUT, 240, 5000}, {0, 299, 3000}, {0, 1199, 4000}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(got[i].result, want[i].result) << "wait " << i;
        EXPECT_TRUE(got[i].ms >= want[i].min_ms && got[i].ms < want[i].max_ms)
            << "wait " << i << " took " << got[i].ms << " ms";
    }
    EXPECT_EQ(semctl(id, 0, GETVAL), 0);  // exactly one decrement took place
    semctl(id, 0, IPC_RMID);

    EXPECT_EQ(ChildExit([&] {
        const struct timespec past = {0, 0};
        pthread_mutex_lock(&mutex);
        errno = EINTR;
        return Pthread_cond_timedwait(&cond, &mutex, &past) == ETIMEDOUT ? 0 : 1;
    }, 5), 0);
    for (const struct timespec& request : {timespec{0, 1000000000}, timespec{-1, 0}}) {
        const long long start = NowMs();
        errno = 0;
        EXPECT_EQ(Nanosleep(&request, nullptr), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_LT(NowMs() - start, 500);
    }
}

// Select is given the caller's sets and whole time-out again on every restart and copies the
// outcome back: a descriptor that becomes readable after 300 ms of a 5 s time-out, or nothing
// within a 300 ms time-out. Under a 200 ms storm the idle wait lasts about the storm plus the
// time-out.
TEST(Syswrap, SelectRearmsAndReportsThroughSignals) {
    for (bool storm : {false, true})
        for (bool ready : {true, false}) {
            SCOPED_TRACE(std::string(storm ? "under signals, " : "quiet, ") +
                         (ready ? "ready" : "idle"));
            int a[2], b[2];
            ASSERT_EQ(pipe(a), 0);
            ASSERT_EQ(pipe(b), 0);
            std::thread writer([&] {
                if (!ready) return;
                usleep(300000);
                EXPECT_EQ(write(a[1], "x", 1), 1);
            });
            fd_set reads, errors;
            FD_ZERO(&reads);
            FD_ZERO(&errors);
            for (int fd : {a[0], b[0]}) FD_SET(fd, &reads), FD_SET(fd, &errors);
            struct timeval timeout = {ready ? 5 : 0, ready ? 0 : 300000};
            int result = -2;
            long long waited = 0;
            MaybeStormed(storm, [&] {
                const long long start = NowMs();
                result = Select(std::max(a[0], b[0]) + 1, &reads, nullptr, &errors, &timeout);
                waited = NowMs() - start;
            }, 200);
            writer.join();
            EXPECT_EQ(result, ready ? 1 : 0);
            EXPECT_EQ(FD_ISSET(a[0], &reads) != 0, ready);
            EXPECT_FALSE(FD_ISSET(b[0], &reads) || FD_ISSET(a[0], &errors) ||
                         FD_ISSET(b[0], &errors));
            const long long left_us = timeout.tv_sec * 1000000LL + timeout.tv_usec;
            if (ready) {  // the five seconds began anew with each restart
                EXPECT_TRUE(left_us >= 0 && left_us <= (storm ? 5000000 : 4750000)) << left_us;
            } else {  // where signals arrive throughout, the last restart is near the storm's end
                EXPECT_EQ(left_us, 0);
                EXPECT_GE(waited, storm && kStormEvidence > 0 ? 400 : 299);
            }
            for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
        }
}

// Accept, Recv and Recvfrom restart through signals; Accept and Recvfrom write back the length of
// the peer's address, also when the caller's buffer is too small, and take no buffer at all.
TEST(Syswrap, SocketCallsRestartAndWriteBackTheAddressLength) {
    sockaddr_in server, receiver_addr, sender_addr, client_addr{};
    const int listener = BoundSocket(SOCK_STREAM, &server);
    const int receiver = BoundSocket(SOCK_DGRAM, &receiver_addr);
    const int sender = BoundSocket(SOCK_DGRAM, &sender_addr);
    ASSERT_TRUE(listener >= 0 && receiver >= 0 && sender >= 0);
    ASSERT_EQ(listen(listener, 4), 0);
    auto send_to_receiver = [&](const char* text) {
        return sendto(sender, text, strlen(text), 0, AsAddr(&receiver_addr), sizeof receiver_addr);
    };
    char reply[6] = {};
    std::thread client([&] {
        usleep(150000);
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        socklen_t len = sizeof client_addr;
        EXPECT_EQ(connect(c, AsAddr(&server), sizeof server), 0);
        getsockname(c, AsAddr(&client_addr), &len);
        const struct timeval patience = {5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        usleep(150000);
        EXPECT_EQ(send(c, "hello", 5, 0), 5);
        usleep(150000);
        EXPECT_EQ(send_to_receiver("ping"), 4);
        EXPECT_EQ(recv(c, reply, 5, MSG_WAITALL), 5);
        close(c);
    });
    sockaddr_storage peer{}, from{};
    socklen_t peer_len = sizeof peer, from_len = sizeof from;
    int accepted = -2;
    ssize_t got = -2, pinged = -2;
    char hello[8] = {}, ping[8] = {};
    EXPECT_GT(RunUnderSignalStorm([&] {
        accepted = Accept(listener, AsAddr(&peer), &peer_len);
        got = Recv(accepted, hello, sizeof hello, 0);
        pinged = Recvfrom(receiver, ping, sizeof ping, 0, AsAddr(&from), &from_len);
    }), kStormEvidence);
    EXPECT_EQ(Send(accepted, "world", 5, 0), 5);
    client.join();
    EXPECT_EQ(peer_len, sizeof(sockaddr_in));
    EXPECT_EQ(PortOf(&peer), client_addr.sin_port);
    EXPECT_EQ(got, 5);
    EXPECT_STREQ(hello, "hello");
    EXPECT_STREQ(reply, "world");
    EXPECT_EQ(pinged, 4);
    EXPECT_STREQ(ping, "ping");
    EXPECT_EQ(from_len, sizeof(sockaddr_in));
    EXPECT_EQ(PortOf(&from), sender_addr.sin_port);

    sockaddr_in small;
    socklen_t small_len = 4;
    ASSERT_EQ(send_to_receiver("pong"), 4);
    EXPECT_EQ(Recvfrom(receiver, hello, sizeof hello, 0, AsAddr(&small), &small_len), 4);
    EXPECT_EQ(small_len, sizeof(sockaddr_in));
    ASSERT_EQ(send_to_receiver("abc"), 3);
    EXPECT_EQ(Recvfrom(receiver, hello, sizeof hello, 0, nullptr, nullptr), 3);
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c, AsAddr(&server), sizeof server), 0);  // completes in the backlog
    const int plain = Accept(listener, nullptr, nullptr);
    EXPECT_GE(plain, 0);
    for (int fd : {plain, c, accepted, listener, receiver, sender}) close(fd);
}

// A connect that the kernel cannot complete at once (the listener's queue is full, so the first
// SYN is dropped and resent a second later) is interrupted many times; the wrapper then waits for
// the connection it started instead of reporting EINTR. Uninterrupted results pass through.
TEST(Syswrap, ConnectCompletesThroughSignals) {
    sockaddr_in server, closed;
    const int listener = BoundSocket(SOCK_STREAM, &server);
    const int gone = BoundSocket(SOCK_STREAM, &closed);
    ASSERT_TRUE(listener >= 0 && gone >= 0);
    close(gone);  // a port that nobody listens on
    ASSERT_EQ(listen(listener, 0), 0);
    const int filler = socket(AF_INET, SOCK_STREAM, 0), c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, AsAddr(&server), sizeof server), 0);
    std::thread make_room([&] {
        usleep(300000);
        close(accept(listener, nullptr, nullptr));
    });
    int result = -2, error = 0;
    long long took = 0;
    EXPECT_GT(RunUnderSignalStorm([&] {
        const long long start = NowMs();
        errno = 0;
        result = Connect(c, AsAddr(&server), sizeof server);
        error = errno;
        took = NowMs() - start;
    }), kStormEvidence);
    make_room.join();
    EXPECT_GE(result, 0) << strerror(error);
    EXPECT_TRUE(took > 200 && took < 10000) << took;  // it did have to wait for room in the queue
    int pending = -1;
    socklen_t len = sizeof pending;
    EXPECT_EQ(getsockopt(c, SOL_SOCKET, SO_ERROR, &pending, &len), 0);
    EXPECT_EQ(pending, 0);
    const int server_side = accept(listener, nullptr, nullptr);
    EXPECT_GE(server_side, 0);

    const int direct = socket(AF_INET, SOCK_STREAM, 0), refused = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(Connect(direct, AsAddr(&server), sizeof server), 0);
    errno = 0;
    EXPECT_EQ(Connect(refused, AsAddr(&closed), sizeof closed), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    for (int fd : {server_side, c, filler, listener, direct, refused}) close(fd);
}

// The simple wrappers under a storm. Opening a FIFO for reading blocks until a writer arrives, so
// that open is really interrupted; every call gives the system's result, and its errno.
TEST(Syswrap, SimpleWrappersRestartAndPassResultsThrough) {
    const std::string dir = tvxtest::Root() + "/mail/tmp/syswrap", file = dir + "/file";
    const std::string fifo = dir + "/fifo", link = dir + "/link", node = dir + "/node";
    const std::string sub = dir + "/sub";
    const char* const missing = "/nonexistent/missing";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    std::thread fifo_writer([&] {
        usleep(200000);
        // Non-blocking and retried (no reader at this instant gives ENXIO), so that a reader that
        // gave up cannot leave this thread waiting for ever.
        int fd = -1;
        for (long long until = NowMs() + 5000; fd < 0 && NowMs() < until;)
            if ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0) usleep(500);
        EXPECT_EQ(write(fd, "fifo", 4), 4);
        close(fd);
    });
    EXPECT_GT(RunUnderSignalStorm([&] {
        int fd = Open(fifo.c_str(), O_RDONLY);
        char text[512] = {};
        EXPECT_EQ(Read(fd, text, 4), 4) << strerror(errno);
        EXPECT_STREQ(text, "fifo");
        EXPECT_EQ(Close(fd), 0);

        struct stat st;
        fd = OpenEx(file.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0640);
        EXPECT_EQ(Write(fd, "0123456789", 10), 10);
        EXPECT_EQ(FChmod(fd, 0600) | FChown(fd, getuid(), getgid()), 0);
        EXPECT_EQ(FStat(fd, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(Close(fd), 0);
        EXPECT_EQ(Chmod(file.c_str(), 0644) | Chown(file.c_str(), getuid(), getgid()), 0);
        EXPECT_EQ(Stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(st.st_size, 10);
        EXPECT_EQ(Access(file.c_str(), R_OK | W_OK), 0);
        EXPECT_EQ(Readlink(link.c_str(), text, sizeof text), static_cast<ssize_t>(file.size()));
        EXPECT_EQ(std::string(text, file.size()), file);
        EXPECT_TRUE(Mknod(node.c_str(), S_IFIFO | 0600, 0) == 0 && Mkdir(sub.c_str(), 0700) == 0 &&
                    Mkfifo((sub + "/pipe").c_str(), 0600) == 0 && Stat(node.c_str(), &st) == 0)
            << strerror(errno);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        int entries = 0;
        if (DIR* d = Opendir(dir.c_str())) {
            struct dirent entry, *result = nullptr;
            while (Readdir_r(d, &entry, &result) == 0 && result != nullptr) ++entries;
            EXPECT_EQ(Closedir(d), 0);
        }
        EXPECT_EQ(entries, 7);  // . .. file fifo link node sub
        EXPECT_TRUE(Unlink(link.c_str()) == 0 && Unlink(node.c_str()) == 0 &&
                    Remove((sub + "/pipe").c_str()) == 0 && Remove(sub.c_str()) == 0 &&
                    Remove(file.c_str()) == 0)  // remove takes directories too
            << strerror(errno);

        // Failures as the system reports them, errno read right after each call.
        const struct { bool failed; int error, expected; } failures[] = {
            {Stat(file.c_str(), &st) == -1, errno, ENOENT},
            {Open(missing, O_RDONLY) == -1, errno, ENOENT},
            {FOpen(missing, "r") == nullptr, errno, ENOENT},
            {Opendir(missing) == nullptr, errno, ENOENT},
            {Access(missing, F_OK) == -1, errno, ENOENT},
            {Mkdir(dir.c_str(), 0700) == -1, errno, EEXIST},
            {Close(-1) == -1, errno, EBADF}};
        for (size_t i = 0; i < std::size(failures); ++i) {
            EXPECT_TRUE(failures[i].failed) << "case " << i;
            EXPECT_EQ(failures[i].error, failures[i].expected) << "case " << i;
        }
    }), kStormEvidence);
    fifo_writer.join();
    unlink(fifo.c_str());
    rmdir(dir.c_str());
}

// Closing a stream flushes its buffer; when that flush blocks (a full pipe) and is interrupted, the
// C library has already released the stream and dropped the buffer, so neither calling fclose
// again nor giving up is acceptable. The child reports 1 for a failed close, 2 for lost data; a
// stream released twice kills it.
TEST(Syswrap, FCloseDeliversTheBufferDespiteSignals) {
    const std::string fifo = tvxtest::Root() + "/mail/tmp/fclose-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ChildExit([&] {
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        FILE* stream = FOpen(fifo.c_str(), "w");
        if (reader < 0 || stream == nullptr) return 3;
        const int fd = fileno(stream), flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        static char fill[4096];
        size_t filled = 0, received = 0;
        for (ssize_t n; (n = write(fd, fill, sizeof fill)) > 0;) filled += static_cast<size_t>(n);
        fcntl(fd, F_SETFL, flags);
        const std::string words = "the last words";
        fputs(words.c_str(), stream);
        std::string tail;
        std::thread drain([&] {
            usleep(300000);
            fcntl(reader, F_SETFL, fcntl(reader, F_GETFL) & ~O_NONBLOCK);
            char buf[8192];
            for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;) {
                received += static_cast<size_t>(n);
                tail = (tail + std::string(buf, static_cast<size_t>(n)));
                tail.erase(0, tail.size() > 64 ? tail.size() - 64 : 0);
            }
        });
        int closed = -2;
        RunUnderSignalStorm([&] { closed = FClose(stream); });
        drain.join();
        close(reader);
        if (closed != 0) return 1;
        const size_t end = tail.size() >= words.size() ? tail.size() - words.size() : 0;
        return received == filled + words.size() && tail.substr(end) == words ? 0 : 2;
    }, 20), 0);
    unlink(fifo.c_str());
}
