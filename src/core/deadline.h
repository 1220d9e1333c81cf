// Absolute deadlines for timed waits, on the monotonic clock so that a change of the wall clock
// neither stretches nor cuts a wait.
#pragma once

#include <time.h>

#include <tarvex/base.h>

namespace tarvex {

inline struct timespec monotonic_deadline(DWORD milliseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec > 999999999L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

}  // namespace tarvex
