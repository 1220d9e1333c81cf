// The per-thread last error and the translation of a pending errno.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include "tvx_test.h"

namespace {

TEST(LastError, StoredCodeWinsOnceErrnoIsCleared) {
    errno = EACCES;
    SetLastError(183);
    EXPECT_EQ(183u, GetLastError());
    EXPECT_EQ(183u, GetLastError());
}

TEST(LastError, PendingErrnoIsTranslatedOnceThenStoredCodeReturns) {
    pthread_t thread;
    DWORD seen[3] = {};
    int errno_after = -1;
    struct Ctx {
        DWORD* seen;
        int* errno_after;
    } ctx{seen, &errno_after};
    // A fresh thread, so no code was ever stored.
    pthread_create(
        &thread, nullptr,
        [](void* arg) -> void* {
            Ctx* c = static_cast<Ctx*>(arg);
            c->seen[0] = GetLastError();
            if (open("/nonexistent/really/not", O_RDONLY) != -1) return nullptr;
            c->seen[1] = GetLastError();
            *c->errno_after = errno;
            c->seen[2] = GetLastError();
            return nullptr;
        },
        &ctx);
    pthread_join(thread, nullptr);
    EXPECT_EQ(0u, seen[0]);
    EXPECT_EQ(2u, seen[1]);
    EXPECT_EQ(0, errno_after);
    EXPECT_EQ(0u, seen[2]);
}

TEST(LastError, UntranslatedErrnoIsLeftPending) {
    SetLastError(7);
    errno = 41;
    EXPECT_EQ(7u, GetLastError());
    EXPECT_EQ(41, errno);
    errno = 117;
    EXPECT_EQ(7u, GetLastError());
    EXPECT_EQ(117, errno);
    errno = 0;
}

TEST(LastError, TranslationTableSamples) {
    const struct {
        int error_number;
        DWORD code;
    } samples[] = {{EPERM, 288},       {ENOENT, 2},        {EIO, 31},         {EAGAIN, 10035},
                   {ENOMEM, 8},        {EACCES, 5},        {EEXIST, 183},     {ENOTDIR, 3},
                   {EINVAL, 160},      {EMFILE, 4},        {ENOSPC, 39},      {EPIPE, 110},
                   {ENAMETOOLONG, 161}, {ENOTEMPTY, 145},  {EILSEQ, 13},      {EOPNOTSUPP, 10045},
                   {ECONNREFUSED, 10061}, {EINPROGRESS, 10036}, {EALREADY, 10036},
                   {ESTALE, 151},      {EDQUOT, 49},       {ECANCELED, 47},   {EPROTO, 1233}};
    for (const auto& s : samples) {
        SetLastError(0);
        errno = s.error_number;
        EXPECT_EQ(s.code, GetLastError()) << "errno " << s.error_number;
        EXPECT_EQ(0, errno);
    }
}

TEST(LastError, CodesArePerThread) {
    SetLastError(1234);
    DWORD other = 99;
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void* arg) -> void* {
            DWORD* out = static_cast<DWORD*>(arg);
            DWORD before = GetLastError();
            SetLastError(5678);
            *out = before == 0 ? GetLastError() : 1;
            return nullptr;
        },
        &other);
    pthread_join(thread, nullptr);
    EXPECT_EQ(5678u, other);
    EXPECT_EQ(1234u, GetLastError());
}

}  // namespace
