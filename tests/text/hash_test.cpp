// The string hash and the prime sizing function. Expected hashes were worked out by hand from the
// ELF hash steps (shift by four, add the signed byte, fold the top nibble down).
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>

TEST(HashFn, GivesTheElfHashOfSignedBytesReducedModuloTheBuckets) {
    constexpr unsigned int kAll = 0xFFFFFFFFu;  // above any hash: the top nibble is folded away
    const struct { const char* key; unsigned int buckets, want; } cases[] = {
        {"", 1, 0}, {"", kAll, 0}, {"a", kAll, 0x61}, {"ab", kAll, 0x672},  // 0x610 + 0x62
        {"printf", kAll, 0x077905A6},    // no byte reaches the top nibble
        {"abcdefgh", kAll, 0x089ABAA8},  // the seventh and eighth bytes are folded back in
        {"\x80", kAll, 0x0FFFFF70},      // 0xFFFFFF80, top nibble cleared and 0xF0 xored in
        {"a\xFF", kAll, 0x60F},          // 0x610 - 1; an unsigned byte would give 0x70F
        {"a", 193, 97}, {"ab", 193, 106}, {"ab", 10, 0}, {"printf", 193, 172}, {"\x80", 193, 104},
        {"a\xFF", 193, 7}, {"printf", 1, 0}, {"abc", 0, 0}, {nullptr, 193, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(hash_fn(c.key, c.buckets), c.want) << (c.key ? c.key : "(null)") << " % " << c.buckets;
}

// Below 4 a value is left as it is; a sieve gives the answers for 4..4999 (5003 is prime).
TEST(NextPrime, GivesTheSmallestPrimeNotBelowTheArgumentAndLeavesSmallValues) {
    const struct { int n, want; } cases[] = {{INT_MIN, INT_MIN}, {-7, -7}, {0, 0}, {1, 1}, {3, 3},
        {7920, 7927}, {2147483629, 2147483629}, {2147483630, INT_MAX}, {INT_MAX, INT_MAX}};
    for (const auto& c : cases) EXPECT_EQ(NextPrime(c.n), c.want) << "n = " << c.n;
    bool composite[5200] = {};
    for (int i = 2; i * i < 5200; ++i)
        for (int j = i * i; j < 5200; j += i) composite[j] = true;
    for (int n = 5199, next = 0; n >= 4; --n) {
        if (!composite[n]) next = n;
        ASSERT_TRUE(n >= 5000 || NextPrime(n) == next) << "n = " << n << ": " << NextPrime(n);
    }
}
