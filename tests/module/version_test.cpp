// Version resources: finding the block anywhere in a file, copying it, and every query form, on
// blocks built here; cut and lying blocks must fail without reading or writing outside them.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

using Bytes = std::vector<unsigned char>;

void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}
void Pad4(Bytes& b) {
    while (b.size() % 4 != 0) b.push_back(0);
}
Bytes Wide(const std::string& s) {
    Bytes b;
    for (char c : s) Put16(b, static_cast<unsigned char>(c));
    Put16(b, 0);
    return b;
}

// One node of the block: header, key, padding, value, padding, children.
Bytes Node(const std::string& key, const Bytes& value, unsigned value_length, unsigned type,
           const std::vector<Bytes>& children = {}) {
    Bytes b(6, 0);
    Bytes k = Wide(key);
    b.insert(b.end(), k.begin(), k.end());
    Pad4(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        Pad4(b);
        b.insert(b.end(), child.begin(), child.end());
    }
    b[0] = static_cast<unsigned char>(b.size());
    b[1] = static_cast<unsigned char>(b.size() >> 8);
    b[2] = static_cast<unsigned char>(value_length);
    b[3] = static_cast<unsigned char>(value_length >> 8);
    b[4] = static_cast<unsigned char>(type);
    return b;
}
Bytes Text(const std::string& key, const std::string& value) {
    return Node(key, Wide(value), static_cast<unsigned>(value.size() + 1), 1);
}

Bytes Block() {
    Bytes fixed;
    const DWORD words[13] = {0xFEEF04BD, 0x10000, 0x10002, 0x30004, 0x10002, 0x30004, 0x3F,
                             0,          0x40004, 1,       0,       0,       0};
    for (DWORD w : words) {
        Put16(fixed, w & 0xFFFF);
        Put16(fixed, w >> 16);
    }
    Bytes translation;
    for (unsigned v : {0x0409u, 0x04B0u}) Put16(translation, v);
    return Node("VS_VERSION_INFO", fixed, 52, 0,
                {Node("StringFileInfo", {}, 0, 1,
                      {Node("040904b0", {}, 0, 1,
                            {Text("CompanyName", "Tarvex Test"), Text("FileVersion", "1.2.3.4"),
                             Text("ProductName", "Tarvex Tool")})}),
                 Node("VarFileInfo", {}, 0, 1, {Node("Translation", translation, 4, 0)})});
}

// A file with `block` at `offset`, behind filler full of near misses of the key.
std::string WriteFile(size_t offset, const Bytes& block, size_t trailing = 100) {
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("ver");
    const char miss[] = {'V', 0, 'S', 0, '_', 0, 'V', 0, 'E', 0, 'R', 0, 'S', 0, 'X', 0};
    std::string data;
    while (data.size() < offset) data.push_back(miss[data.size() % sizeof miss]);
    data.append(reinterpret_cast<const char*>(block.data()), block.size());
    data.append(trailing, 'V');
    std::ofstream(path, std::ios::binary) << data;
    return path;
}

TEST(VersionInfo, TheBlockIsFoundWhereverItLiesInTheFile) {
    const Bytes block = Block();
    const size_t seam = 65535;
    const size_t offsets[] = {0, 1, 1000, seam - 40, seam - 38, seam - 20, seam - 7, seam - 6,
                              seam - 1, seam, seam + 3, seam - block.size() / 2,
                              2 * seam - 100 - 64, 3 * seam - 30};
    for (size_t offset : offsets) {
        SCOPED_TRACE(offset);
        std::string path = WriteFile(offset, block);
        DWORD handle = 7;
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        EXPECT_EQ(0u, handle);
        ASSERT_EQ(2 * block.size(), size);
        Bytes buffer(size, 0xEE);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, buffer.data()));
        EXPECT_EQ(block, Bytes(buffer.begin(), buffer.begin() + block.size()));
        EXPECT_EQ(Bytes(block.size(), 0), Bytes(buffer.begin() + block.size(), buffer.end()));
    }
}

TEST(VersionInfo, FilesWithoutAWholeBlockGiveNothing) {
    const Bytes block = Block();
    Bytes tiny = block;  // a stray key with a length too small for a block
    tiny[0] = 10;
    tiny[1] = 0;
    Bytes past_end = block;
    past_end[1] = 0x7F;  // longer than the file
    std::string fifo = tvxtest::Root() + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::string paths[] = {tvxtest::Root() + "/missing", tvxtest::Root(), fifo,
                                 WriteFile(500, {}), WriteFile(0, {}, 0), WriteFile(70000, tiny, 0),
                                 WriteFile(1000, past_end, 0)};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(0u, GetFileVersionInfoSizeA(path.c_str(), nullptr));
        Bytes buffer(4 * block.size(), 0xEE);
        EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, buffer.size(), buffer.data()));
        EXPECT_EQ(Bytes(buffer.size(), 0xEE), buffer);
    }
}

TEST(VersionInfo, ABufferWithoutRoomForTheCopiesIsRefusedAndQueriesFindNothing) {
    const Bytes block = Block();
    std::string path = WriteFile(1000, block);
    for (size_t length : {size_t{0}, size_t{1}, size_t{40}, block.size(), 2 * block.size() - 1}) {
        SCOPED_TRACE(length);
        // Exactly the given length, so that any access beyond it shows under AddressSanitizer.
        unsigned char* buffer = static_cast<unsigned char*>(malloc(length + 1));
        EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(length), buffer));
        size_t copied = std::min(length, block.size());
        if (copied > 2) {
            EXPECT_EQ(0, memcmp(buffer + 2, block.data() + 2, copied - 2));
        }
        if (length >= 2) {
            EXPECT_EQ(0, buffer[0] | buffer[1]);  // marked empty
            LPVOID value = nullptr;
            UINT size = 0;
            for (const char* query : {"\\", "\\VarFileInfo\\Translation",
                                      "\\StringFileInfo\\040904b0\\FileVersion"})
                EXPECT_FALSE(VerQueryValueA(buffer, query, &value, &size)) << query;
        }
        free(buffer);
    }
}

TEST(VersionInfo, EveryQueryForm) {
    const Bytes block = Block();
    std::string path = WriteFile(1000, block);
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
    unsigned char* buffer = static_cast<unsigned char*>(malloc(size));
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, buffer));
    struct Case {
        const char* query;
        bool found;
        std::string text;  // a string value, or empty
        UINT length;
    };
    const Case cases[] = {
        {"\\", true, "", 52},
        {"\\VarFileInfo\\Translation", true, "", 4},
        {"\\VARFILEINFO\\TRANSLATION", true, "", 4},
        {"\\StringFileInfo\\040904b0\\FileVersion", true, "1.2.3.4", 8},
        {"\\StringFileInfo\\040904b0\\CompanyName", true, "Tarvex Test", 12},
        {"\\StringFileInfo\\040904b0\\ProductName", true, "Tarvex Tool", 12},
        {"\\StringFileInfo\\\\FileVersion", true, "1.2.3.4", 8},  // empty parts are skipped
        {"\\StringFileInfo", false, "", 0},
        {"\\StringFileInfo\\040904b0", false, "", 0},
        {"\\\\040904b0\\FileVersion", false, "", 0},
        {"\\StringFileInfo\\040904b0\\Missing", false, "", 0},
        {"\\stringfileinfo\\040904b0\\FileVersion", false, "", 0},  // keys keep their case
        {"\\StringFileInfo\\040904e4\\FileVersion", false, "", 0},
        {"FileVersion", false, "", 0},
        {"", false, "", 0},
    };
    const char* pointers[3] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        LPVOID value = nullptr;
        UINT length = 0;
        BOOL found = VerQueryValueA(buffer, c.query, &value, &length);
        ASSERT_EQ(c.found, found != FALSE);
        if (!found) continue;
        EXPECT_EQ(c.length, length);
        unsigned char* at = static_cast<unsigned char*>(value);
        if (c.text.empty()) {
            EXPECT_LT(at, buffer + block.size());
            continue;
        }
        EXPECT_STREQ(c.text.c_str(), static_cast<const char*>(value));
        EXPECT_GE(at, buffer + block.size());  // the copies lie in the second half
        EXPECT_LE(at + length, buffer + size);
        if (c.text == "Tarvex Test") pointers[0] = static_cast<const char*>(value);
        if (c.text == "Tarvex Tool") pointers[1] = static_cast<const char*>(value);
    }
    DWORD signature;
    LPVOID fixed;
    UINT fixed_length;
    ASSERT_TRUE(VerQueryValueA(buffer, "\\", &fixed, &fixed_length));
    memcpy(&signature, fixed, 4);
    EXPECT_EQ(0xFEEF04BDu, signature);
    LPVOID translation;
    ASSERT_TRUE(VerQueryValueA(buffer, "\\VarFileInfo\\Translation", &translation, &fixed_length));
    EXPECT_EQ(0, memcmp(translation, "\x09\x04\xb0\x04", 4));
    // Two values of one length keep their own copies: an earlier answer is not overwritten.
    EXPECT_STREQ("Tarvex Test", pointers[0]);
    EXPECT_STREQ("Tarvex Tool", pointers[1]);
    EXPECT_EQ(0, memcmp(buffer, block.data(), block.size()));  // the block itself is untouched
    std::string long_query = "\\StringFileInfo\\040904b0\\" + std::string(2000, 'F');
    LPVOID value;
    EXPECT_FALSE(VerQueryValueA(buffer, long_query.c_str(), &value, nullptr));
    EXPECT_FALSE(VerQueryValueA(nullptr, "\\", &value, nullptr));
    EXPECT_FALSE(VerQueryValueA(buffer, nullptr, &value, nullptr));
    free(buffer);
}

// Every cut of the block, its length field saying so, in a buffer of exactly twice that length:
// each query either fails or answers inside the buffer.
TEST(VersionInfo, CutBlocksAnswerOnlyInsideTheirBuffer) {
    const Bytes block = Block();
    const char* queries[] = {"\\", "\\VarFileInfo\\Translation",
                             "\\StringFileInfo\\040904b0\\FileVersion",
                             "\\StringFileInfo\\040904b0\\ProductName", "\\StringFileInfo\\\\"};
    int answered = 0;
    for (size_t cut = 0; cut <= block.size(); ++cut) {
        size_t room = std::max<size_t>(2 * cut, 2);
        unsigned char* buffer = static_cast<unsigned char*>(malloc(room));
        memset(buffer, 0, room);
        memcpy(buffer, block.data(), cut);
        buffer[0] = static_cast<unsigned char>(cut);
        buffer[1] = static_cast<unsigned char>(cut >> 8);
        for (const char* query : queries) {
            LPVOID value = nullptr;
            UINT length = 0;
            if (!VerQueryValueA(buffer, query, &value, &length)) continue;
            ++answered;
            unsigned char* at = static_cast<unsigned char*>(value);
            EXPECT_GE(at, buffer) << cut << query;
            EXPECT_LE(at + length, buffer + room) << cut << query;
        }
        free(buffer);
    }
    EXPECT_GT(answered, 0);
}

}  // namespace
