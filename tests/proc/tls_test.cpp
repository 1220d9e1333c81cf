// TLS indexes: lowest first, 64 of them, values per thread, free and reuse, bad indexes.
#include <windows.h>

#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

#include "tvx_test.h"

// 0..63 lowest first; the 65th is refused and logged; a freed index comes back first and empty.
TEST(Tls, SixtyFourIndexesLowestFirstAndFreedOnesComeBackEmpty) {
    for (DWORD i = 0; i < 64; ++i) ASSERT_TRUE(TlsAlloc() == i && GetLastError() == 0) << i;
    EXPECT_TRUE(TlsAlloc() == TLS_OUT_OF_INDEXES && GetLastError() == 6);
    EXPECT_EQ(tvxtest::CountLogMessage("TlsAlloc: Out of slots"), 1);
    ASSERT_TRUE(TlsSetValue(5, &errno));
    EXPECT_TRUE(TlsFree(5) && GetLastError() == 0);
    EXPECT_TRUE(!TlsFree(5) && GetLastError() == 6);
    EXPECT_TRUE(TlsAlloc() == 5 && TlsGetValue(5) == nullptr && GetLastError() == 0);
}

// Values are per thread; a thread that set nothing reads 0; a free empties the index everywhere.
TEST(Tls, ValuesArePerThread) {
    DWORD index = TlsAlloc();
    int mine = 0, theirs = 0;
    ASSERT_TRUE(TlsSetValue(index, &mine));
    std::thread([&] {
        EXPECT_TRUE(TlsGetValue(index) == nullptr && GetLastError() == 0);
        EXPECT_TRUE(TlsSetValue(index, &theirs) && TlsGetValue(index) == &theirs);
    }).join();
    EXPECT_EQ(TlsGetValue(index), &mine);
    std::thread([&] { EXPECT_TRUE(TlsFree(index) && TlsAlloc() == index); }).join();
    EXPECT_TRUE(TlsGetValue(index) == nullptr && GetLastError() == 0);  // freed for every thread
}

// Out of range and free indexes fail with 6, and a free index reaches no key of another user.
TEST(Tls, BadIndexesFailWithoutReachingOtherKeys) {
    pthread_key_t foreign;  // the host's own key: no bad index may reach it
    ASSERT_EQ(pthread_key_create(&foreign, nullptr), 0);
    int value = 0;
    pthread_setspecific(foreign, &value);
    TlsFree(TlsAlloc());  // index 0 allocated once, free again
    auto fails = [](bool failed) { bool ok = failed && GetLastError() == 6; SetLastError(0); return ok; };
    for (DWORD index : {DWORD{0}, DWORD{1}, DWORD{63}, DWORD{64}, DWORD{0xFFFFFFFF}})
        EXPECT_TRUE(fails(TlsGetValue(index) == nullptr) && fails(!TlsSetValue(index, &index)) &&
                    fails(!TlsFree(index))) << index;
    EXPECT_EQ(pthread_getspecific(foreign), &value);
}

// Start-up again keeps what is allocated; releasing all frees every index and drops values.
TEST(Tls, InitKeepsIndexesAndFreeAllReleasesThem) {
    int value = 0;
    ASSERT_TRUE(TlsAlloc() == 0 && TlsAlloc() == 1 && TlsSetValue(1, &value));
    EXPECT_EQ(InitTLSSlots(), 0);
    EXPECT_TRUE(TlsGetValue(1) == &value && TlsAlloc() == 2);
    FreeAllTLSSlots();
    FreeAllTLSSlots();
    EXPECT_TRUE(TlsGetValue(1) == nullptr && GetLastError() == 6);
    EXPECT_TRUE(TlsAlloc() == 0 && TlsAlloc() == 1 && TlsGetValue(1) == nullptr);
}
