// The diagnostic log: one time-stamped line per message appended to a file that every process of
// the suite shares, with runs of identical messages folded into a repeat count.
//
// Owns LogMutex, which orders the messages of this process, and the repeat state (lastmes,
// msgcount). Calls GetLocalTime for the time stamp.
//
// The log lives in world-writable /tmp and the library often runs as root, so the file is opened
// without following a symbolic link and without blocking (a FIFO planted there must not hang a
// server), is used only if it is a regular file with no other name (a hard link planted there
// would have the library append to a file of the planter's choosing), and is created 0640. Each line goes out in a
// single write on an O_APPEND descriptor, so lines of different processes never mix.
#include <tarvex/core.h>
#include <tarvex/time.h>

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/lock.h"
#include "core/log_file.h"
#include "core/test_hook.h"

namespace tarvex {
namespace {

constexpr char kLogPath[] = "/tmp/zdrunix.log";
constexpr char kDisableMarker[] = "/tmp/.disable_kwr_log";
constexpr int kMessageSize = 10240;
// A message keeps at most this many characters; longer ones are cut.
constexpr int kMessageLimit = 10238;

constinit TableLock LogMutex;
char lastmes[kMessageSize];
int msgcount = 0;

}  // namespace

int open_log_file(const char* path) {
    int fd;
    do {
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

// Writes one line with the common prefix; errors are ignored (the log never fails its caller).
void write_line(int fd, const SYSTEMTIME& now, const char* text) {
    static_assert(sizeof(unsigned long) >= sizeof(pthread_t), "thread ids print as unsigned long");
    char line[kMessageSize + 96];
    int n = snprintf(line, sizeof line, "%02d/%02d/%04d %02d:%02d:%02d.%03d %04x %08lx %s\n",
                     now.wDay, now.wMonth, now.wYear, now.wHour, now.wMinute, now.wSecond,
                     now.wMilliseconds, static_cast<unsigned>(getpid()),
                     static_cast<unsigned long>(pthread_self()), text);
    if (n <= 0) return;
    size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    if (Write(fd, line, length) < 0) {
    }
}

void log_message(const char* message) {
    struct stat st;
    if (stat(kDisableMarker, &st) == 0) return;
    with_lock(LogMutex, [&] {
        test_hook("log-locked", message);
        SYSTEMTIME now;
        GetLocalTime(&now);
        int fd = open_log_file(kLogPath);
        if (fd < 0) return;
        if (strcmp(message, lastmes) == 0) {
            ++msgcount;
        } else {
            if (msgcount == 1) {
                write_line(fd, now, "Last message repeated once");
            } else if (msgcount > 1) {
                char repeat[64];
                snprintf(repeat, sizeof repeat, "Last message repeated %d times", msgcount);
                write_line(fd, now, repeat);
            }
            msgcount = 0;
            if (message[0] != '\0') write_line(fd, now, message);
            memcpy(lastmes, message, strlen(message) + 1);
        }
        // Not retried on EINTR: Linux releases the descriptor even then, and a second close could
        // hit a descriptor another thread has just opened.
        close(fd);
    });
}

}  // namespace
}  // namespace tarvex

extern "C" TARVEX_API void UnixLog(const char* format, ...) {
    // A caller that stored a last error and then logs must still read that error afterwards.
    int saved_errno = errno;
    char message[tarvex::kMessageSize];
    message[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        vsnprintf(message, tarvex::kMessageLimit + 1, format, args);
        va_end(args);
    }
    tarvex::log_message(message);
    errno = saved_errno;
}
