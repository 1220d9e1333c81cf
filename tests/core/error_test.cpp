// The per-thread last error and the translation of a pending errno.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

// A stored code is per thread and reads 0 where none was stored. SetLastError clears errno, so
// its code is what the next call sees; an errno that a failed call leaves pending is translated
// once, and cleared, and then the stored code is back.
TEST(LastError, StoredPerThreadAndAPendingErrnoIsTranslatedOnce) {
    errno = EACCES;
    SetLastError(1234);
    EXPECT_TRUE(GetLastError() == 1234u && GetLastError() == 1234u);
    DWORD seen[4] = {};
    int errno_after = -1;
    std::thread([&] {
        seen[0] = GetLastError();
        seen[1] = open("/nonexistent/really/not", O_RDONLY) == -1 ? GetLastError() : 1;
        errno_after = errno;
        seen[2] = GetLastError();
        SetLastError(5678);
        seen[3] = GetLastError();
    }).join();
    EXPECT_EQ(std::vector<DWORD>(seen, seen + 4), (std::vector<DWORD>{0, 2, 0, 5678}));
    EXPECT_TRUE(errno_after == 0 && GetLastError() == 1234u);
}

// Only rows that encode a choice: two errno values that share a code, the socket meaning of
// EOPNOTSUPP (the same number as ENOTSUP), EPIPE and EEXIST. An errno without a row (41, 117) is
// left pending and the stored code is returned.
TEST(LastError, TranslationRowsThatEncodeAChoice) {
    const struct { int error_number; DWORD code; } rows[] = {{EMFILE, 4}, {ENFILE, 4},
        {EALREADY, 10036}, {EINPROGRESS, 10036}, {EOPNOTSUPP, 10045}, {EPIPE, 110}, {EEXIST, 183},
        {41, 7}, {117, 7}};
    for (const auto& r : rows) {
        SetLastError(7);
        errno = r.error_number;
        EXPECT_EQ(GetLastError(), r.code) << "errno " << r.error_number;
        EXPECT_EQ(errno, r.code == 7 ? r.error_number : 0) << "errno " << r.error_number;
    }
    errno = 0;
}
