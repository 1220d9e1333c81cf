// The string hash and the prime sizing function. Expected hashes were worked out by hand from the
// ELF hash steps (shift by four, add the signed byte, fold the top nibble down), not by running
// the code under test.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(HashFn, EmptyKeyIsZeroForAnyBucketCount) {
    EXPECT_EQ(hash_fn("", 1), 0u);
    EXPECT_EQ(hash_fn("", 193), 0u);
    EXPECT_EQ(hash_fn("", 0xFFFFFFFFu), 0u);
}

TEST(HashFn, ShortAsciiKeysGiveTheElfHash) {
    // A bucket count above any possible hash (the top nibble is always folded away) shows the
    // raw value.
    const unsigned int kWhole = 0xFFFFFFFFu;
    EXPECT_EQ(hash_fn("a", kWhole), 0x61u);
    EXPECT_EQ(hash_fn("ab", kWhole), 0x672u);           // 0x610 + 0x62
    EXPECT_EQ(hash_fn("printf", kWhole), 0x077905A6u);  // no byte reaches the top nibble
    // The seventh and eighth bytes push bits into the top nibble, which is folded back in.
    EXPECT_EQ(hash_fn("abcdefgh", kWhole), 0x089ABAA8u);
}

TEST(HashFn, BytesAbove127AreSignExtended) {
    const unsigned int kWhole = 0xFFFFFFFFu;
    // 0 + 0xFFFFFF80, then the top nibble 0xF0000000 is cleared and 0xF0 is xored in.
    EXPECT_EQ(hash_fn("\x80", kWhole), 0x0FFFFF70u);
    // 0x610 + (-1) = 0x60F; an unsigned byte would have given 0x70F.
    EXPECT_EQ(hash_fn("a\xFF", kWhole), 0x60Fu);
    EXPECT_EQ(hash_fn("a\xFF", 193), 7u);
}

TEST(HashFn, ResultIsReducedModuloTheBucketCount) {
    EXPECT_EQ(hash_fn("a", 193), 97u);
    EXPECT_EQ(hash_fn("ab", 193), 106u);      // 1650 = 8 * 193 + 106
    EXPECT_EQ(hash_fn("ab", 10), 0u);         // 1650
    EXPECT_EQ(hash_fn("printf", 193), 172u);  // 125371814 = 649594 * 193 + 172
    EXPECT_EQ(hash_fn("\x80", 193), 104u);    // 268435312 = 1390856 * 193 + 104
    EXPECT_EQ(hash_fn("printf", 1), 0u);

    const char* keys[] = {"C:\\mail\\inbox", "/var/spool/x", "\xC4\xD6\xDC", "zzzzzzzzzzzzzzzz"};
    for (const char* key : keys) {
        for (unsigned int buckets : {1u, 2u, 7u, 193u, 1024u}) {
            EXPECT_LT(hash_fn(key, buckets), buckets) << key << " into " << buckets;
        }
    }
}

TEST(HashFn, NoBucketsOrNoKeyGiveZero) {
    EXPECT_EQ(hash_fn("abc", 0), 0u);
    EXPECT_EQ(hash_fn(nullptr, 193), 0u);
}

TEST(NextPrime, SmallAndNegativeValuesAreReturnedUnchanged) {
    EXPECT_EQ(NextPrime(3), 3);
    EXPECT_EQ(NextPrime(2), 2);
    EXPECT_EQ(NextPrime(1), 1);
    EXPECT_EQ(NextPrime(0), 0);
    EXPECT_EQ(NextPrime(-7), -7);
    EXPECT_EQ(NextPrime(INT_MIN), INT_MIN);
}

TEST(NextPrime, GivesTheSmallestPrimeNotBelowTheArgument) {
    EXPECT_EQ(NextPrime(4), 5);
    EXPECT_EQ(NextPrime(5), 5);
    EXPECT_EQ(NextPrime(9), 11);
    EXPECT_EQ(NextPrime(24), 29);
    EXPECT_EQ(NextPrime(25), 29);   // 25 and 27 are odd composites
    EXPECT_EQ(NextPrime(49), 53);   // a prime square
    EXPECT_EQ(NextPrime(193), 193);
    EXPECT_EQ(NextPrime(7919), 7919);
    EXPECT_EQ(NextPrime(7920), 7927);
}

TEST(NextPrime, AgreesWithASieveUpTo5000) {
    constexpr int kLimit = 5000;
    bool composite[kLimit + 200] = {};
    for (int i = 2; i * i < kLimit + 200; ++i) {
        if (composite[i]) continue;
        for (int j = i * i; j < kLimit + 200; j += i) composite[j] = true;
    }
    int next = 0;
    for (int n = kLimit + 199; n >= 4; --n) {
        if (!composite[n]) next = n;
        if (n < kLimit) {
            ASSERT_EQ(NextPrime(n), next) << "n = " << n;
        }
    }
}

TEST(NextPrime, StopsAtTheLargestIntWithoutOverflowing) {
    // 2147483629 and 2147483647 are consecutive primes.
    EXPECT_EQ(NextPrime(2147483629), 2147483629);
    EXPECT_EQ(NextPrime(2147483630), INT_MAX);
    EXPECT_EQ(NextPrime(INT_MAX), INT_MAX);
}

}  // namespace
