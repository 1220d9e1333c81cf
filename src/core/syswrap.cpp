// System-call wrappers that survive interruption.
//
// The library installs its SIGCHLD and fault handlers without SA_RESTART, so any blocking call in
// any thread can end early with EINTR. Every unit of the library, and the host, calls the system
// through these. Each keeps the wrapped call's arguments, result and errno; the simple ones only
// loop, a few add what a caller of a Win32-style API expects (whole transfers, an unbroken sleep,
// a select and a connect that an interruption cannot cut short).
#include <tarvex/core.h>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "core/transfer.h"

namespace tarvex {
namespace {

// Retries `call` while it reports failure (as `failed` judges its result) with EINTR. errno is
// cleared before each try so that a stale EINTR cannot cause a retry of a call that succeeded.
template <class Call, class Failed>
auto restart(Call&& call, Failed&& failed) {
    for (;;) {
        errno = 0;
        auto result = call();
        if (!(failed(result) && errno == EINTR)) return result;
    }
}

// Retries on EINTR without clearing errno first (the socket calls report failure only through -1).
template <class Call>
auto restart_on_minus_one(Call&& call) {
    for (;;) {
        auto result = call();
        if (!(result == -1 && errno == EINTR)) return result;
    }
}

// fclose and closedir free their object even when they fail, so an interrupted one cannot be
// retried (that would free it twice) and its unflushed data would be lost. They run once, with
// signals held off so that nothing interrupts the final flush.
template <class Call>
auto without_signals(Call&& call) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    auto result = call();
    int saved = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = saved;
    return result;
}

constexpr auto kMinusOne = [](auto r) { return r == -1; };
constexpr auto kNonZero = [](auto r) { return r != 0; };
constexpr auto kNull = [](auto r) { return r == nullptr; };

}  // namespace
}  // namespace tarvex

using tarvex::kMinusOne;
using tarvex::kNonZero;
using tarvex::kNull;
using tarvex::restart;
using tarvex::restart_on_minus_one;
using tarvex::without_signals;

extern "C" {

TARVEX_API int Open(const char* path, int flags) {
    return restart([&] { return open(path, flags); }, kMinusOne);
}

TARVEX_API int OpenEx(const char* path, int flags, mode_t mode) {
    return restart([&] { return open(path, flags, mode); }, kMinusOne);
}

// Not retried: Linux releases the descriptor even when close reports EINTR, and a second close
// could hit a descriptor another thread has opened in the meantime. An interrupted close has
// done its work, so it reports success.
TARVEX_API int Close(int fd) {
    int result = close(fd);
    if (result == -1 && errno == EINTR) return 0;
    return result;
}

TARVEX_API FILE* FOpen(const char* path, const char* mode) {
    return restart([&] { return fopen(path, mode); }, kNull);
}

TARVEX_API int FClose(FILE* stream) {
    return without_signals([&] { return fclose(stream); });
}

TARVEX_API int Stat(const char* path, struct stat* buf) {
    return restart([&] { return stat(path, buf); }, kMinusOne);
}

TARVEX_API int FStat(int fd, struct stat* buf) {
    return restart([&] { return fstat(fd, buf); }, kMinusOne);
}

TARVEX_API int Access(const char* path, int mode) {
    return restart([&] { return access(path, mode); }, kMinusOne);
}

TARVEX_API int Chmod(const char* path, mode_t mode) {
    return restart([&] { return chmod(path, mode); }, kMinusOne);
}

TARVEX_API int FChmod(int fd, mode_t mode) {
    return restart([&] { return fchmod(fd, mode); }, kMinusOne);
}

TARVEX_API int Chown(const char* path, uid_t owner, gid_t group) {
    return restart([&] { return chown(path, owner, group); }, kMinusOne);
}

TARVEX_API int FChown(int fd, uid_t owner, gid_t group) {
    return restart([&] { return fchown(fd, owner, group); }, kMinusOne);
}

TARVEX_API int Unlink(const char* path) {
    return restart([&] { return unlink(path); }, kMinusOne);
}

TARVEX_API int Remove(const char* path) {
    return restart([&] { return remove(path); }, kNonZero);
}

TARVEX_API ssize_t Readlink(const char* path, char* buf, size_t size) {
    return restart([&] { return readlink(path, buf, size); }, kMinusOne);
}

TARVEX_API int Mkdir(const char* path, mode_t mode) {
    return restart([&] { return mkdir(path, mode); }, kMinusOne);
}

TARVEX_API int Mkfifo(const char* path, mode_t mode) {
    return restart([&] { return mkfifo(path, mode); }, kMinusOne);
}

TARVEX_API int Mknod(const char* path, mode_t mode, uint64_t device) {
    return restart([&] { return mknod(path, mode, static_cast<dev_t>(device)); }, kMinusOne);
}

TARVEX_API DIR* Opendir(const char* path) {
    return restart([&] { return opendir(path); }, kNull);
}

TARVEX_API int Closedir(DIR* dir) {
    return without_signals([&] { return closedir(dir); });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
TARVEX_API int Readdir_r(DIR* dir, struct dirent* entry, struct dirent** result) {
    return restart([&] { return readdir_r(dir, entry, result); }, kMinusOne);
}
#pragma GCC diagnostic pop

TARVEX_API int Semop(int semid, struct sembuf* ops, size_t nops) {
    return restart([&] { return semop(semid, ops, nops); }, kNonZero);
}

TARVEX_API int Pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
    return restart([&] { return pthread_cond_wait(cond, mutex); }, kNonZero);
}

TARVEX_API int Pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                      const struct timespec* abstime) {
    return restart([&] { return pthread_cond_timedwait(cond, mutex, abstime); }, kNonZero);
}

TARVEX_API ssize_t Recv(int fd, void* buf, size_t len, int flags) {
    return restart_on_minus_one([&] { return recv(fd, buf, len, flags); });
}

TARVEX_API ssize_t Send(int fd, const void* buf, size_t len, int flags) {
    return restart_on_minus_one([&] { return send(fd, buf, len, flags); });
}

TARVEX_API ssize_t Sendto(int fd, const void* buf, size_t len, int flags,
                          const struct sockaddr* to, socklen_t tolen) {
    return restart_on_minus_one([&] { return sendto(fd, buf, len, flags, to, tolen); });
}

// Recvfrom and Accept give each try a fresh copy of the caller's address length, so a try that
// was interrupted after the kernel shortened it cannot shrink the next one.
TARVEX_API ssize_t Recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* from,
                            socklen_t* fromlen) {
    socklen_t length = 0;
    ssize_t result = restart_on_minus_one([&] {
        length = fromlen ? *fromlen : 0;
        return recvfrom(fd, buf, len, flags, from, fromlen ? &length : nullptr);
    });
    if (fromlen) *fromlen = length;
    return result;
}

TARVEX_API int Accept(int fd, struct sockaddr* addr, socklen_t* addrlen) {
    socklen_t length = 0;
    int result = restart_on_minus_one([&] {
        length = addrlen ? *addrlen : 0;
        return accept(fd, addr, addrlen ? &length : nullptr);
    });
    if (addrlen) *addrlen = length;
    return result;
}

TARVEX_API ssize_t Read(int fd, void* buf, size_t count) {
    return tarvex::transfer_all(fd, static_cast<char*>(buf), count,
                                [](int f, char* p, size_t n) { return read(f, p, n); });
}

TARVEX_API ssize_t Write(int fd, const void* buf, size_t count) {
    return tarvex::transfer_all(
        fd, const_cast<char*>(static_cast<const char*>(buf)), count,
        [](int f, char* p, size_t n) { return write(f, p, n); });
}

// Sleeps the whole interval even when signals keep interrupting it: each retry sleeps what the
// interrupted call reported as left.
TARVEX_API int Nanosleep(const struct timespec* request, struct timespec* remaining) {
    if (request == nullptr) {
        errno = EFAULT;
        return -1;
    }
    struct timespec interval = *request;
    for (;;) {
        struct timespec left = {0, 0};
        int result = nanosleep(&interval, &left);
        if (result == -1 && errno == ENOSYS) {
            unsigned int seconds_left = sleep(static_cast<unsigned int>(interval.tv_sec));
            while (seconds_left != 0) seconds_left = sleep(seconds_left);
            return result;
        }
        if (result == -1 && errno == EINTR) {
            interval = left;
            continue;
        }
        if (remaining != nullptr) *remaining = left;
        return result;
    }
}

// A restarted select waits the caller's full time-out again and sees the caller's original sets,
// not the ones the interrupted try left behind.
TARVEX_API int Select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* errorfds,
                      struct timeval* timeout) {
    fd_set read_set, write_set, error_set;
    struct timeval time_left;
    int result;
    do {
        if (readfds) read_set = *readfds;
        if (writefds) write_set = *writefds;
        if (errorfds) error_set = *errorfds;
        if (timeout) time_left = *timeout;
        result = select(nfds, readfds ? &read_set : nullptr, writefds ? &write_set : nullptr,
                        errorfds ? &error_set : nullptr, timeout ? &time_left : nullptr);
    } while (result == -1 && errno == EINTR);
    if (readfds) *readfds = read_set;
    if (writefds) *writefds = write_set;
    if (errorfds) *errorfds = error_set;
    if (timeout) *timeout = time_left;
    return result;
}

// An interrupted connect goes on in the background; wait until the socket is readable or
// writable and take that as the outcome.
TARVEX_API int Connect(int fd, const struct sockaddr* addr, socklen_t addrlen) {
    int result = connect(fd, addr, addrlen);
    if (!(result == -1 && errno == EINTR)) return result;
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set read_set, write_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_SET(fd, &read_set);
    FD_SET(fd, &write_set);
    int ready = Select(fd + 1, &read_set, &write_set, nullptr, nullptr);
    if (FD_ISSET(fd, &read_set) || FD_ISSET(fd, &write_set)) return ready;
    return -1;
}

}  // extern "C"
