// The string hash and the prime sizing function for the hash tables of the library and its host
// (the shared-file lock table hashes names with it). No state, no calls into other units.
#include <tarvex/text.h>

#include <stdint.h>

extern "C" {

// The ELF symbol hash. Bytes enter as signed chars, sign-extended: names with bytes above 127
// must land in the same buckets as in every other program that shares these tables, so this is
// part of the contract, not an accident of the char type.
unsigned int hash_fn(const char* key, unsigned int buckets) {
    if (key == nullptr || buckets == 0) return 0;
    uint32_t h = 0;
    for (const char* p = key; *p != '\0'; ++p) {
        h = (h << 4) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        uint32_t high = h & 0xF0000000u;
        if (high != 0) {
            h ^= high;
            h ^= high >> 24;
        }
    }
    return h % buckets;
}

// Trial division is enough for table sizes; the divisors run through every integer from 3 (even
// ones included), which only costs time, never correctness.
int NextPrime(int n) {
    if (n <= 3) return n;
    int candidate = n;
    for (;;) {
        if (candidate % 2 == 0) {
            ++candidate;
            continue;
        }
        bool composite = false;
        // 64-bit square: near INT_MAX the divisor's square would overflow an int.
        for (int64_t divisor = 3; divisor * divisor <= candidate; ++divisor) {
            if (candidate % divisor == 0) {
                composite = true;
                break;
            }
        }
        // INT_MAX is itself prime, so the search stops before the candidate could overflow.
        if (!composite) return candidate;
        ++candidate;
    }
}

}  // extern "C"
