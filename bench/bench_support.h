// What every benchmark file needs: the library started once, and a scratch directory.
#pragma once

#include <windows.h>

#include <stdlib.h>

#include <string>

inline std::string ScratchDirectory(const char* what);

// The registry goes to a scratch root of its own unless ROOTDIR names one.
inline void StartLibrary() {
    static const bool started = [] {
        setenv("ROOTDIR", ScratchDirectory("root").c_str(), 0);
        static char name[] = "tarvex_bench";
        static char* argv[] = {name, nullptr};
        return InitNTSystem(1, argv, nullptr, nullptr) != 0;
    }();
    (void)started;
}

// A fresh directory under the temporary directory, made once per call (left behind on purpose:
// it is small, and a benchmark that crashed can be looked at).
inline std::string ScratchDirectory(const char* what) {
    std::string path = std::string("/tmp/tarvex-bench-") + what + "-XXXXXX";
    return mkdtemp(path.data()) != nullptr ? path : std::string("/tmp");
}
