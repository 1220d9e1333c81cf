// A 256-bit membership set over byte values, for the units that test characters against a set
// the caller spells as a string (delimiters, separators, characters to keep or strip). Plain data
// on the caller's stack: building one allocates nothing and takes one pass over the string.
#pragma once

#include <stdint.h>

namespace tarvex {

struct ByteSet {
    uint32_t words[8] = {};
    void Add(unsigned char b) { words[b >> 5] |= uint32_t{1} << (b & 31); }
    bool Has(unsigned char b) const { return (words[b >> 5] >> (b & 31)) & 1u; }
    bool Has(char c) const { return Has(static_cast<unsigned char>(c)); }

    // Every byte of `s` before its terminator. The terminator is not a member, so a scan that runs
    // while it meets members stops at the end of the string too. A null `s` gives the empty set.
    static ByteSet Of(const char* s) {
        ByteSet set;
        for (; s != nullptr && *s != '\0'; ++s) set.Add(static_cast<unsigned char>(*s));
        return set;
    }
};

}  // namespace tarvex
