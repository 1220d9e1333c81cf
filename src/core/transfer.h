// The loop behind Read and Write and the positioned transfers of file handles: moves the whole
// count unless the end of the file or an error stops it, restarting interrupted calls.
#pragma once

#include <errno.h>
#include <sys/types.h>

#include <cstddef>

namespace tarvex {

// A short count is returned when the end of the file (or EAGAIN) stops the transfer part-way;
// -1 when an error does.
template <class Transfer>
ssize_t transfer_all(int fd, char* buf, size_t count, Transfer&& transfer) {
    if (count == 0) return 0;
    size_t done = 0;
    for (;;) {
        ssize_t n = transfer(fd, buf + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            if (done == count) return static_cast<ssize_t>(count);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (done == 0) return n;
        if (n == 0 || errno == EAGAIN) return static_cast<ssize_t>(done);
        return -1;
    }
}

}  // namespace tarvex
