// The generic handle operations: dispatch by the handle's kind, and what they refuse.
#include <windows.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/handle.h"
#include "tvx_test.h"

namespace {

HANDLE H(uint32_t value) { return tarvex::to_handle(value); }

TEST(Handles, InvalidHandleIsAllOnesAndRoundTrips) {
    EXPECT_EQ(~uintptr_t{0}, reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(0xFFFFFFFFu, tarvex::handle_value(INVALID_HANDLE_VALUE));
    EXPECT_EQ(INVALID_HANDLE_VALUE, H(0xFFFFFFFFu));
    // A value with the top bit set survives a trip through a HANDLE on both targets.
    EXPECT_EQ(0x80000022u, tarvex::handle_value(H(0x80000022u)));
    EXPECT_EQ(162u, tarvex::make_handle_value(5, tarvex::kTagEvent));
    EXPECT_EQ(7u, tarvex::make_handle_value(0, tarvex::kTagFile));
}

TEST(Handles, CloseRefusesValuesThatNameNoKind) {
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(H(0)));
    for (uint32_t tag : {0u, 4u, 8u, 9u, 10u, 12u, 13u, 15u, 16u, 19u, 25u, 31u})
        EXPECT_FALSE(CloseHandle(H((3u << 5) | tag))) << "tag " << tag;
    // Reserved tag and directory searches: nothing to do, success.
    EXPECT_TRUE(CloseHandle(H((3u << 5) | 17)));
    EXPECT_TRUE(CloseHandle(H((3u << 5) | 18)));
}

TEST(Handles, WaitOnKindsThatCannotBeWaitedForAnswers128AtOnce) {
    long long start = tvxtest::NowMs();
    // The invalid value, a thread, a file, a directory search, handle 0.
    for (uint32_t value : {0xFFFFFFFFu, (1u << 5) | 6, (1u << 5) | 7, (1u << 5) | 18, 0u})
        EXPECT_EQ(128u, WaitForSingleObject(H(value), INFINITE)) << value;
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(128u, WaitForMultipleObjects(1, &e, TRUE, INFINITE));
    EXPECT_EQ(128u, WaitForMultipleObjectsEx(1, &e, TRUE, INFINITE, FALSE));
    EXPECT_EQ(128u, WaitForSingleObjectEx(e, INFINITE, FALSE));
    EXPECT_LT(tvxtest::NowMs() - start, 1000);
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Handles, DuplicateOnlyWithinCallingProcessAndOnlyPipes) {
    HANDLE self = H(static_cast<uint32_t>(getpid()));
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE target : {self, H(static_cast<uint32_t>(getpid()) + 1)}) {
        HANDLE copy = H(12345);
        EXPECT_FALSE(DuplicateHandle(self, e, target, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
        EXPECT_EQ(INVALID_HANDLE_VALUE, copy);
    }
    HANDLE copy = H(12345);
    EXPECT_FALSE(DuplicateHandle(INVALID_HANDLE_VALUE, e, INVALID_HANDLE_VALUE, &copy, 0, FALSE, 0));
    EXPECT_FALSE(DuplicateHandle(self, e, self, nullptr, 0, FALSE, 0));
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_TRUE(CloseServiceHandle(H(42)));
}

TEST(Handles, OwnProcessIdNeverReachesAKind) {
    // Whatever kind the pid's low bits happen to name, the pseudo handle is not an object.
    HANDLE self = H(static_cast<uint32_t>(getpid()));
    EXPECT_EQ(128u, WaitForSingleObject(self, 0));
    EXPECT_TRUE(CloseHandle(self));
}

}  // namespace
