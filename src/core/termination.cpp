// The receiving end of TerminateThread: the signal handler that decides, on the marked thread
// itself, whether it can end now (core/termination.h).
#include "core/termination.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

namespace tarvex {
namespace {

pthread_once_t g_install_once = PTHREAD_ONCE_INIT;
int g_install_result = 0;

// The C library loads its unwinder the first time a thread ends through pthread_exit or a
// cancellation; that load allocates and takes the loader's lock, which must not first happen
// inside a signal handler that may have interrupted either. One throw-away thread ends that way
// before any thread can be terminated.
void* end_at_once(void*) { pthread_exit(nullptr); }

void on_terminate_signal(int) {
    TerminationState& state = t_termination;
    if (state.ending) return;
    state.requested = 1;
    // A thread that has not yet reached its start routine ends when it does (see ThreadEntry).
    if (!state.terminable) return;
    if (state.pins != 0) return;  // the leave or end of the pinned region ends it
    if (state.locks == 0 || state.wait_point) end_this_thread();
    if (state.cancel_point) {
        // The C library acts on this at once inside its cancellable wait; otherwise the end of the
        // cancel point ends the thread.
        int saved = errno;
        state.cancel_asked = 1;
        state.ending = 1;
        pthread_cancel(pthread_self());
        errno = saved;
    }
    // Otherwise the release that brings `locks` to zero ends it.
}

void install() {
    pthread_t warm;
    if (pthread_create(&warm, nullptr, end_at_once, nullptr) == 0) pthread_join(warm, nullptr);
    struct sigaction action {};
    action.sa_handler = on_terminate_signal;
    sigemptyset(&action.sa_mask);
    // Restarted: a thread that is pinned when the signal comes goes on with what it was doing.
    action.sa_flags = SA_RESTART;
    g_install_result = sigaction(terminate_signal(), &action, nullptr) == 0 ? 0 : errno;
}

}  // namespace

void end_this_thread() {
    t_termination.ending = 1;
    compiler_order();
    pthread_exit(nullptr);
}

int install_terminate_handler() {
    pthread_once(&g_install_once, install);
    return g_install_result;
}

}  // namespace tarvex
