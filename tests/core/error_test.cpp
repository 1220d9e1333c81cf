// The per-thread last error and the translation of a pending errno.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

// Codes are per thread (0 if none); SetLastError clears errno; a pending errno is translated once.
TEST(LastError, StoredPerThreadAndAPendingErrnoIsTranslatedOnce) {
    errno = EACCES;
    SetLastError(1234);
    EXPECT_TRUE(GetLastError() == 1234u && GetLastError() == 1234u);
    std::vector<DWORD> seen;  // a braced list is evaluated in order: none, translated, errno, again
    std::thread([&] {
        seen = {GetLastError(), open("/nonexistent/really/not", O_RDONLY) == -1 ? GetLastError() : 1,
                DWORD(errno), GetLastError()};
        SetLastError(5678);
        seen.push_back(GetLastError());
    }).join();
    EXPECT_EQ(seen, (std::vector<DWORD>{0, 2, 0, 0, 5678}));
    EXPECT_EQ(GetLastError(), 1234u);
}

// Rows encoding a choice (EOPNOTSUPP == ENOTSUP); an errno with no row (41, 117) stays pending.
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
