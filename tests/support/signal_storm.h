// A storm of SIGCHLD (delivered without SA_RESTART) aimed at one thread, for tests of code
// that must survive interrupted system calls.
#pragma once

#include <functional>

namespace tvxtest {

// Runs `body` on a new thread while SIGCHLD storms it; the storm ends when the body returns, or
// after `storm_ms` when that is not negative. Returns the number of signals the body's thread
// handled.
long RunUnderSignalStorm(const std::function<void()>& body, long storm_ms = -1);

}  // namespace tvxtest
