// Where named mutexes keep their lock files: the tmp directory of the installation's base
// directory, which start-up finds (the registry's InitRegistry fills RegBaseDir).
#pragma once

// Weak until the registry defines it: a library without it refuses named mutexes instead of
// failing to load.
extern "C" __attribute__((weak)) char RegBaseDir[260];

namespace tarvex {

// The base directory, ending in "/", or "" when there is none.
inline const char* mutex_base_directory() {
    const char* base = RegBaseDir;
    return base != nullptr ? base : "";
}

}  // namespace tarvex
