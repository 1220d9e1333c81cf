// Version resources: the version-information block that a program file carries as plain data,
// found by scanning the file for its 16-bit key "VS_VERSION_INFO", copied out whole and queried
// by searching it for 16-bit key strings.
//
// Owns no state: each call works on its own descriptor, its own copy and the caller's buffer.
// Calls the system-call wrappers and the bounded string functions.
//
// The caller's buffer holds the block in its first half and, in its second half, the single-byte
// copies that string queries return: the 16-bit value at byte offset b of the block is copied to
// byte offset wLength + b / 2. Values never overlap inside the block, so their copies never
// overlap each other or the block, and a pointer returned by one query stays valid through the
// next. GetFileVersionInfoSizeA therefore reports twice the block's length, and a block given a
// smaller buffer is refused and marked empty in that buffer (length 0), so that a caller who
// queries it all the same finds nothing and nothing is written beyond the buffer.
//
// The block is data from a file: every length in it is checked against the block's end before
// anything is read or written, and a search never leaves the block.
#include <tarvex/core.h>
#include <tarvex/module.h>
#include <tarvex/text.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <initializer_list>

namespace tarvex {
namespace {

constexpr size_t kChunk = 65535;
// Carried from one chunk into the next, so that a key and the header before it lying across the
// seam are still found.
constexpr size_t kCarry = 64;
constexpr char kRootKey[] = "VS_VERSION_INFO";
constexpr size_t kHeader = 6;                                 // wLength, wValueLength, wType
constexpr size_t kKeyBytes = 2 * sizeof kRootKey;             // 16 units, terminator included
constexpr size_t kSmallestBlock = kHeader + kKeyBytes;        // a header and its key
constexpr size_t kFixedInfo = sizeof(VS_FIXEDFILEINFO);       // 52
constexpr size_t kTranslation = 4;                            // language, code page
constexpr size_t kQuerySize = 1024;
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "the block's fixed information is 52 bytes");

unsigned unit_at(const unsigned char* block, size_t unit) {
    return block[2 * unit] | (unsigned{block[2 * unit + 1]} << 8);
}

// Whole reads up to `size` bytes; fewer only at the end of the file, -1 on an error.
ssize_t read_full(int fd, unsigned char* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = Read(fd, buffer + done, size - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool is_root_key(const unsigned char* at) {
    for (size_t i = 0; i < sizeof kRootKey; ++i)
        if (at[2 * i] != static_cast<unsigned char>(kRootKey[i])) return false;
    return true;
}

// Scans the open file front to back; the block, malloc'd, or null.
unsigned char* scan_file(int fd, unsigned char* buffer, uint32_t* length) {
    size_t have = 0;
    for (;;) {
        size_t carry = have >= kCarry ? kCarry : 0;
        memmove(buffer, buffer + have - carry, carry);
        ssize_t got = read_full(fd, buffer + carry, kChunk - carry);
        if (got <= 0) return nullptr;
        have = carry + static_cast<size_t>(got);
        for (size_t at = kHeader; at + kKeyBytes <= have; ++at) {
            const void* v = memchr(buffer + at, 'V', have - kKeyBytes + 1 - at);
            if (v == nullptr) break;
            at = static_cast<size_t>(static_cast<const unsigned char*>(v) - buffer);
            if (!is_root_key(buffer + at)) continue;
            const unsigned char* start = buffer + at - kHeader;
            size_t block_length = start[0] | (size_t{start[1]} << 8);
            if (block_length < kSmallestBlock) continue;  // a stray key, not a block
            unsigned char* block = static_cast<unsigned char*>(malloc(block_length));
            if (block == nullptr) return nullptr;
            size_t buffered = have - (at - kHeader);
            if (buffered > block_length) buffered = block_length;
            memcpy(block, start, buffered);
            size_t rest = block_length - buffered;
            if (read_full(fd, block + buffered, rest) != static_cast<ssize_t>(rest)) {
                free(block);
                return nullptr;
            }
            *length = static_cast<uint32_t>(block_length);
            return block;
        }
    }
}

// An owned copy of the file's block, or null. A null or empty path means the program's own file.
unsigned char* FindVersionInfo(const char* path, uint32_t* length) {
    if (path == nullptr || path[0] == '\0') path = Argv0;
    // Not blocking: a FIFO under the name must not hang the caller; only regular files are read.
    int fd = Open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    unsigned char* block = nullptr;
    struct stat st;
    unsigned char* buffer = static_cast<unsigned char*>(malloc(kChunk));
    if (buffer != nullptr && FStat(fd, &st) == 0 && S_ISREG(st.st_mode))
        block = scan_file(fd, buffer, length);
    free(buffer);
    Close(fd);
    return block;
}

// The unit where the value of the first `key` at or after unit `from` starts (behind the key's
// terminator and padding), or -1. The key's first character is compared as a whole unit, the
// others by their low byte, as the block's keys are plain text.
long VerFindString(const unsigned char* block, size_t units, size_t from, const char* key) {
    size_t key_length = strlen(key);
    for (size_t at = from; at < units; ++at) {
        if (unit_at(block, at) != static_cast<unsigned char>(key[0])) continue;
        if (key_length >= units - at) return -1;
        size_t k = 1;
        while (k < key_length && (unit_at(block, at + k) & 0xFF) == static_cast<unsigned char>(key[k]))
            ++k;
        if (k < key_length || unit_at(block, at + key_length) != 0) continue;
        size_t value = at + key_length;
        while (value < units && unit_at(block, value) == 0) ++value;
        return static_cast<long>(value);
    }
    return -1;
}

// Stores the value at unit `at` if `size` bytes of it lie inside the block.
BOOL give_fixed(unsigned char* block, size_t units, long at, size_t size, LPVOID* value,
                UINT* length) {
    if (at < 0 || 2 * static_cast<size_t>(at) + size > 2 * units) return FALSE;
    *value = block + 2 * at;
    if (length != nullptr) *length = static_cast<UINT>(size);
    return TRUE;
}

// "\StringFileInfo\<language and code page>\<name>": the single-byte copy of the string value.
BOOL give_string(unsigned char* block, size_t units, const char* query, LPVOID* value,
                 UINT* length) {
    char parts[kQuerySize];
    if (strnlen(query, kQuerySize) >= kQuerySize) return FALSE;  // cut, it would ask for another key
    Strcpy(parts, query, sizeof parts);
    char* second = strchr(parts, '\\');
    char* third = second != nullptr ? strchr(second + 1, '\\') : nullptr;
    if (third == nullptr || second == parts) return FALSE;
    *second++ = '\0';
    *third++ = '\0';
    long at = VerFindString(block, units, 0, parts);
    for (const char* key : {second, third})
        if (at >= 0 && key[0] != '\0') at = VerFindString(block, units, static_cast<size_t>(at), key);
    if (at < 0) return FALSE;
    size_t start = static_cast<size_t>(at), n = 0;
    while (start + n < units && unit_at(block, start + n) != 0) ++n;
    if (start + n == units) return FALSE;  // no terminator inside the block
    unsigned char* copy = block + unit_at(block, 0) + start;  // wLength + byte offset / 2
    for (size_t i = 0; i <= n; ++i) copy[i] = static_cast<unsigned char>(unit_at(block, start + i));
    *value = copy;
    if (length != nullptr) *length = static_cast<UINT>(n + 1);
    return TRUE;
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) {
    if (handle != nullptr) *handle = 0;
    uint32_t length = 0;
    unsigned char* block = FindVersionInfo(path, &length);
    free(block);
    return block != nullptr ? 2 * length : 0;
}

TARVEX_API BOOL GetFileVersionInfoA(LPCSTR path, DWORD, DWORD length, LPVOID buffer) {
    if (buffer == nullptr) return FALSE;
    uint32_t block_length = 0;
    unsigned char* block = FindVersionInfo(path, &block_length);
    if (block == nullptr) return FALSE;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    size_t copied = length < block_length ? length : block_length;
    memcpy(out, block, copied);
    memset(out + copied, 0, length - copied);
    free(block);
    if (length >= 2 * block_length) return TRUE;
    if (copied >= 2) out[0] = out[1] = 0;  // no room for the copies: marked empty for queries
    return FALSE;
}

TARVEX_API BOOL VerQueryValueA(LPCVOID block_in, LPCSTR query, LPVOID* value, UINT* length) {
    if (block_in == nullptr || query == nullptr || value == nullptr) return FALSE;
    unsigned char* block = static_cast<unsigned char*>(const_cast<void*>(block_in));
    size_t units = unit_at(block, 0) / 2;
    if (strcasecmp(query, "\\") == 0)
        return give_fixed(block, units, VerFindString(block, units, 0, kRootKey), kFixedInfo, value,
                          length);
    if (strcasecmp(query, "\\VarFileInfo\\Translation") == 0) {
        long at = VerFindString(block, units, 0, "VarFileInfo");
        if (at >= 0) at = VerFindString(block, units, static_cast<size_t>(at), "Translation");
        return give_fixed(block, units, at, kTranslation, value, length);
    }
    if (query[0] == '\\') return give_string(block, units, query + 1, value, length);
    return FALSE;
}

}  // extern "C"
