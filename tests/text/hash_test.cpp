// The string hash and the prime sizing function. Expected hashes were worked out by hand from the
// ELF hash steps (shift by four, add the signed byte, fold the top nibble down), not by running
// the code under test.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(HashFn, GivesTheElfHashOfSignedBytesReducedModuloTheBuckets) {
    constexpr unsigned int kAll = 0xFFFFFFFFu;  // above any hash: the top nibble is folded away
    const struct { const char* key; unsigned int buckets, want; } cases[] = {
        {"", 1, 0}, {"", kAll, 0}, {"a", kAll, 0x61}, {"ab", kAll, 0x672},  // 0x610 + 0x62
        {"printf", kAll, 0x077905A6},    // no byte reaches the top nibble
        {"abcdefgh", kAll, 0x089ABAA8},  // the seventh and eighth bytes are folded back in
        {"\x80", kAll, 0x0FFFFF70},      // 0xFFFFFF80, top nibble cleared and 0xF0 xored in
        {"a\xFF", kAll, 0x60F},          // 0x610 - 1; an unsigned byte would give 0x70F
        {"a", 193, 97}, {"ab", 193, 106}, {"ab", 10, 0}, {"printf", 193, 172}, {"\x80", 193, 104},
        {"a\xFF", 193, 7}, {"printf", 1, 0}, {"abc", 0, 0}, {nullptr, 193, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hash_fn(c.key, c.buckets), c.want)
            << (c.key != nullptr ? c.key : "(null)") << " into " << c.buckets;
    }
}

TEST(NextPrime, GivesTheSmallestPrimeNotBelowTheArgumentAndLeavesSmallValues) {
    const struct { int n, want; } cases[] = {
        {INT_MIN, INT_MIN}, {-7, -7}, {0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 5}, {9, 11}, {25, 29},
        {49, 53}, {7919, 7919}, {7920, 7927}, {2147483629, 2147483629},  // consecutive primes:
        {2147483630, INT_MAX}, {INT_MAX, INT_MAX},  // the search stops without overflowing
    };
    for (const auto& c : cases) EXPECT_EQ(NextPrime(c.n), c.want) << "n = " << c.n;

    constexpr int kEnd = 5200;  // a sieve's answers for every n below 5000 (5003 is prime)
    bool composite[kEnd] = {};
    for (int i = 2; i * i < kEnd; ++i) {
        for (int j = i * i; j < kEnd; j += i) composite[j] = true;
    }
    for (int n = kEnd - 1, next = 0; n >= 4; --n) {
        if (!composite[n]) next = n;
        if (n < 5000) {
            ASSERT_EQ(NextPrime(n), next) << "n = " << n;
        }
    }
}

}  // namespace
