// Version resources: finding the block in a file, copying it, and every query form, on blocks
// built here; cut blocks must fail without reading or writing outside their buffer.
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Wide(const std::string& s) {
    Bytes b;
    for (char c : s + '\0') b.insert(b.end(), {static_cast<unsigned char>(c), 0});
    return b;
}

// One node: length, value length, type, key, then the value and each child 4-aligned.
Bytes Node(const std::string& key, const Bytes& value, unsigned value_length, unsigned char type,
           std::vector<Bytes> parts = {}) {
    Bytes b = {0, 0, static_cast<unsigned char>(value_length), 0, type, 0}, k = Wide(key);
    b.insert(b.end(), k.begin(), k.end());
    parts.insert(parts.begin(), value);
    for (const Bytes& part : parts) {
        b.resize((b.size() + 3) & ~size_t{3});
        b.insert(b.end(), part.begin(), part.end());
    }
    b[0] = b.size() & 0xFF, b[1] = b.size() >> 8;
    return b;
}

const Bytes kBlock = [] {
    Bytes fixed = {0xBD, 0x04, 0xEF, 0xFE};
    fixed.resize(52);
    return Node("VS_VERSION_INFO", fixed, 52, 0,
                {Node("StringFileInfo", {}, 0, 1,
                      {Node("040904b0", {}, 0, 1,
                            {Node("FileVersion", Wide("1.2.3.4"), 8, 1),
                             Node("ProductName", Wide("Tarvex"), 7, 1)})}),
                 Node("VarFileInfo", {}, 0, 1, {Node("Translation", {9, 4, 0xB0, 4}, 4, 0)})});
}();

// A file with the block at `offset`, behind filler full of near misses of the key.
std::string WriteFile(size_t offset) {
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("ver"), data;
    while (data.size() < offset) data.push_back("V\0S\0_\0V\0E\0R\0S\0X"[data.size() % 16]);
    data.append(kBlock.begin(), kBlock.end());
    std::ofstream(path, std::ios::binary) << data << std::string(100, 'V');
    return path;
}

// Each query, the first bytes of its value (nullptr: not found) and the length it gives.
const struct Query { const char *query, *value; UINT length; } kQueries[] = {
    {"\\", "\xBD\x04\xEF\xFE", 52},
    {"\\VarFileInfo\\Translation", "\x09\x04\xB0\x04", 4},
    {"\\VARFILEINFO\\TRANSLATION", "\x09\x04\xB0\x04", 4},
    {"\\StringFileInfo\\040904b0\\FileVersion", "1.2.3.4", 8},
    {"\\StringFileInfo\\040904b0\\ProductName", "Tarvex", 7},
    {"\\StringFileInfo\\\\FileVersion", "1.2.3.4", 8},
    {"\\stringfileinfo\\040904b0\\FileVersion", nullptr, 0},
    {"\\StringFileInfo\\040904b0", nullptr, 0},
};

// The size is twice the block's length; a buffer short of it gets FALSE and nothing past it.
TEST(VersionInfo, TheBlockIsFoundAt1000AndAcrossThe65535SeamAndAnswersEveryQueryForm) {
    for (size_t offset : {size_t{1000}, 65535 - kBlock.size() / 2, size_t{65535 - 7}}) {
        SCOPED_TRACE(offset);
        std::string path = WriteFile(offset);
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
        ASSERT_EQ(2 * kBlock.size(), size);
        for (DWORD short_of : {size, size / 2 + 1, DWORD{1}}) {
            Bytes buffer(size - short_of + 16, 0xEE);
            EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, size - short_of, buffer.data()));
            EXPECT_EQ(Bytes(16, 0xEE), Bytes(buffer.end() - 16, buffer.end())) << short_of;
        }
        Bytes buffer(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, buffer.data()));
        EXPECT_EQ(kBlock, Bytes(buffer.begin(), buffer.begin() + kBlock.size()));
        for (const Query& q : kQueries) {
            LPVOID value = nullptr;
            UINT length = 0;
            BOOL found = VerQueryValueA(buffer.data(), q.query, &value, &length);
            ASSERT_EQ(q.value != nullptr, found != FALSE) << q.query;
            if (!found) continue;
            EXPECT_EQ(q.length, length) << q.query;
            EXPECT_EQ(0, memcmp(q.value, value, 4)) << q.query;
            EXPECT_LE(static_cast<unsigned char*>(value) + length, buffer.data() + size) << q.query;
        }
    }
}

// Every cut of the block, its length saying so while its children's lengths point past it, in a
// buffer of exactly twice that length: each query either fails or answers inside the buffer.
TEST(VersionInfo, CutBlocksAnswerOnlyInsideTheirBuffer) {
    int answered = 0;
    for (size_t cut = 0; cut <= kBlock.size(); ++cut) {
        Bytes buffer(std::max<size_t>(2 * cut, 2));  // exactly: ASan sees any access past it
        std::copy_n(kBlock.begin(), cut, buffer.begin());
        buffer[0] = cut & 0xFF, buffer[1] = cut >> 8;
        for (const Query& q : kQueries) {
            LPVOID value = nullptr;
            UINT length = 0;
            if (!VerQueryValueA(buffer.data(), q.query, &value, &length)) continue;
            ++answered;
            unsigned char* at = static_cast<unsigned char*>(value);
            EXPECT_TRUE(at >= &buffer[0] && at + length <= &buffer[0] + buffer.size()) << cut;
        }
    }
    EXPECT_GT(answered, 0);
}

}  // namespace
