// A storm of SIGCHLD (delivered without SA_RESTART) aimed at one thread, for tests of code
// that must survive interrupted system calls.
#pragma once

#include <functional>

namespace tvxtest {

// How many handled signals show that a storm really reached the body. ThreadSanitizer holds
// asynchronous signals back while a thread sits in many intercepted blocking calls, so there a
// single delivered signal has to do.
#if defined(__SANITIZE_THREAD__)
constexpr long kStormEvidence = 0;
#else
constexpr long kStormEvidence = 10;
#endif

// Runs `body` on a new thread while SIGCHLD storms it; the storm ends when the body returns, or
// after `storm_ms` when that is not negative. Returns the number of signals the body's thread
// handled.
long RunUnderSignalStorm(const std::function<void()>& body, long storm_ms = -1);

}  // namespace tvxtest
