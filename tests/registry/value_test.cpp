// Registry values: byte-exact files, hand-written forms, the backup, and what other processes see
// while a value is rewritten or its writer is killed.
#include <windows.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>
#include <random>

#include "tvx_test.h"

using namespace tvxtest;

namespace {

const std::string kLead = "SOFTWARE\\Velmora\\Server\\";
using Bytes = std::string;
Bytes Get(const std::string& path) { std::ifstream in(path); return {std::istreambuf_iterator<char>(in), {}}; }
void Put(const std::string& path, const Bytes& data) { std::ofstream(path) << data; }
std::string Lower(std::string text) { for (char& c : text) c = char(tolower(c)); return text; }
const BYTE* B(const Bytes& data) { return reinterpret_cast<const BYTE*>(data.data()); }

struct RegistryValues : testing::Test {
    HKEY key = nullptr;  // a key of its own for each test, named after it
    std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string dir = Root() + "/" + Lower(name.substr(0, 40)) + "/";
    void SetUp() override { ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, (kLead + name.substr(0, 40)).c_str(), &key), 0); }
    void TearDown() override { RegCloseKey(key); }
    LONG Set(const char* name, DWORD type, const Bytes& data, DWORD length) {
        return RegSetValueExA(key, name, 0, type, B(data), length);
    }
    // The query's result, and type, length and the bytes delivered appended to `out`.
    LONG Query(const char* name, DWORD capacity, Bytes* out, bool buffer = true) {
        DWORD type = 99, length = capacity;
        Bytes data(capacity + 1, '#');
        LONG result = RegQueryValueExA(key, name, nullptr, &type, buffer ? reinterpret_cast<BYTE*>(data.data()) : nullptr, &length);
        const bool delivered = buffer && (result == 0 || result == ERROR_MORE_DATA);
        *out = std::to_string(type) + "/" + std::to_string(length) + ":" + (delivered ? data.substr(0, std::min(length, capacity)) : "");
        return result;
    }
};

TEST_F(RegistryValues, EveryTypeIsStoredByteExactAndReadBack) {
    const struct { const char* name; DWORD type; Bytes data; DWORD length; Bytes file; } cases[] = {
        {"Sz", REG_SZ, Bytes("x\0", 2), 100, Bytes("  1\0x\0", 6)},
        {"dw", REG_DWORD, "\x04\x03\x02\x01", 4, Bytes("  4\0\x04\x03\x02\x01", 8)},
        {"bin", REG_BINARY, Bytes("\0\xff\n", 3), 3, Bytes("  3\0\0\xff\n", 7)},
        {"exp", REG_EXPAND_SZ, "%A%xyz", 3, Bytes("  2\0%A%", 7)},
        {"multi", REG_MULTI_SZ, Bytes("a\0bc\0\0zz", 8), 1, Bytes("  7\0a\0bc\0\0", 10)},
        {"empty", REG_MULTI_SZ, Bytes("\0", 1), 9, Bytes("  7\0\0", 5)},
        {nullptr, REG_SZ, Bytes("d\0", 2), 0, Bytes("  1\0d\0", 6)},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Set(c.name, c.type, c.data, c.length), 0);
        const std::string lower = Lower(c.name ? c.name : "no_name");
        EXPECT_EQ(Get(dir + "." + lower + ".reg"), c.file) << lower;
        Bytes got;
        EXPECT_EQ(Query(c.name, 64, &got), 0);
        EXPECT_EQ(got, std::to_string(c.type) + "/" + std::to_string(c.file.size() - 4) + ":" + c.file.substr(4));
    }
    ASSERT_EQ(Set("Sz", REG_SZ, Bytes("new\0", 4), 0), 0);  // the backup holds the value before the write
    EXPECT_EQ(Get(dir + ".sz.bak"), Bytes("  1\0x\0", 6));
    unlink((dir + ".sz.reg").c_str());  // removed by hand: the next reader brings the backup back
    Bytes got;
    EXPECT_EQ(Query("SZ", 64, &got), 0);
    EXPECT_EQ(got, Bytes("1/2:x\0", 6));
    EXPECT_EQ(RegDeleteValueA(key, "sz"), 0);
    EXPECT_FALSE(access((dir + ".sz.reg").c_str(), F_OK) == 0 || access((dir + ".sz.bak").c_str(), F_OK) == 0);
    EXPECT_EQ(Query("sz", 64, &got), ERROR_BADKEY);
    EXPECT_EQ(RegDeleteValueA(key, "sz"), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(Set("../../escape", REG_SZ, "e", 0), ERROR_BADKEY);
}

TEST_F(RegistryValues, HandWrittenFilesSizeQueriesAndShortBuffers) {
    const struct { Bytes file; DWORD capacity; bool buffer; LONG result; Bytes got; } cases[] = {
        {Bytes("  4\0" "1234\n", 9), 4, true, 0, Bytes("4/4:\xd2\x04\0\0", 8)},
        {Bytes("  4\0" "1234\n", 9), 4, false, 0, "4/5:"},  // a size query reports the text's length
        {Bytes("  4 ") + Bytes(60, ' ') + "77", 64, true, 0, Bytes("4/4:\0\0\0\0", 8)},  // bounded text
        {Bytes("  1\0" "abc\r\n", 9), 16, true, 0, Bytes("1/4:abc\0", 8)},
        {Bytes("  1\0" "ab\ncd\n", 10), 16, true, ERROR_MORE_DATA, Bytes("1/3:ab\0", 7)},
        {Bytes("  7\0" "one\ntwo\n\n", 13), 16, true, 0, Bytes("7/9:one\0two\0\0", 13)},
        {Bytes("  3\0" "abcdef", 10), 0, true, ERROR_MORE_DATA, "3/6:"},
        {Bytes("  3\0", 4), 0, true, 0, "3/0:"},
        {Bytes("  3\0" "abcdef", 10), 4, true, ERROR_MORE_DATA, "3/6:abcd"},
        {Bytes("  1", 3), 8, true, ERROR_BADKEY, "99/8:"},  // no header: not a value
    };
    for (const auto& c : cases) {
        Put(dir + ".hand.reg", c.file);
        Bytes got;
        EXPECT_EQ(Query("Hand", c.capacity, &got, c.buffer), c.result) << c.got;
        EXPECT_EQ(got, c.got);
    }
}

TEST_F(RegistryValues, AFailedWriteKeepsThePreviousValueAndSaysSo) {
    ASSERT_EQ(Set("v", REG_SZ, "old", 0), 0);
    unlink((dir + ".v.bak").c_str()), mkdir((dir + ".v.bak").c_str(), 0775);  // no backup can be made
    EXPECT_NE(Set("v", REG_SZ, "new", 0), 0);
    rmdir((dir + ".v.bak").c_str());
    EXPECT_EQ(ChildExit([&] {  // room for the 8-byte backup, not for the 11-byte new file
        const struct rlimit limit = {10, 10};
        signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &limit);
        return Set("v", REG_SZ, "longer", 0) == ERROR_REGISTRY_IO_FAILED ? 0 : 1;
    }), 0);
    EXPECT_EQ(Get(dir + ".v.reg"), Bytes("  1\0old\0", 8));
    EXPECT_NE(access((dir + ".v.new").c_str(), F_OK), 0);
}

TEST_F(RegistryValues, EnumerationNamesValuesInLowerCaseAndServesARepeatFromTheCache) {
    ASSERT_EQ(Set("Big", REG_BINARY, "0123456789", 10), 0);
    ASSERT_EQ(Set(nullptr, REG_SZ, "d", 0), 0);
    std::map<std::string, Bytes> seen;
    for (DWORD index = 0;; ++index) {
        char name[16];
        DWORD name_length = sizeof name, type = 0, length = 4;  // in: capacities; out: lengths
        BYTE data[16];
        LONG result = RegEnumValueA(key, index, name, &name_length, nullptr, &type, data, &length);
        if (result == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(name_length, strlen(name));
        if (std::string(name) == "big") {
            EXPECT_EQ(result, ERROR_MORE_DATA);
            EXPECT_EQ(length, 10u);
            name_length = sizeof name;
            ASSERT_EQ(RegEnumValueA(key, index, name, &name_length, nullptr, &type, data, &length), 0);
        }
        seen[name] = std::to_string(type) + ":" + Bytes(reinterpret_cast<char*>(data), length);
    }
    EXPECT_EQ(seen, (std::map<std::string, Bytes>{{"big", "3:0123456789"}, {"no_name", Bytes("1:d\0", 4)}}));
}

// The count a query's answer "type/length:data" holds: data of one repeated byte, else 999 (torn).
DWORD Counter(const Bytes& answer) {
    const Bytes value = answer.substr(answer.find(':') + 1);
    return !value.empty() && value == Bytes(value.size(), value[0]) ? BYTE(value[0]) : 999;
}

// A child rewrites one value between two contents until killed at a random point; whatever the
// point, the next query finds one of the two, whole. Same-sized contents are written over the
// old ones, others replace the file.
TEST_F(RegistryValues, AWriterKilledAnywhereLeavesTheOldOrTheNewValue) {
    std::mt19937 random(getpid());
    for (const auto& [old_value, new_value] : {std::pair{Bytes(3000, 'o'), Bytes(3000, 'n')},
                                               std::pair{Bytes(100, 'o'), Bytes(6000, 'n')}}) {
        ASSERT_EQ(Set("crash", REG_BINARY, old_value, DWORD(old_value.size())), 0);
        const int trials = getenv("TVX_SOAK") != nullptr ? 5000 : 200;  // the soak preset sets it
        for (int trial = 0; trial < trials; ++trial) {
            const pid_t child = fork();
            if (child == 0)
                for (;;) Set("crash", REG_BINARY, new_value, DWORD(new_value.size())), Set("crash", REG_BINARY, old_value, DWORD(old_value.size()));
            usleep(random() % 3000);
            kill(child, SIGKILL), waitpid(child, nullptr, 0);
            Bytes got;
            ASSERT_EQ(Query("crash", 8000, &got), 0) << "trial " << trial;
            ASSERT_TRUE(got == "3/100:" + old_value || got == "3/3000:" + old_value ||
                        got == "3/3000:" + new_value || got == "3/6000:" + new_value) << "trial " << trial;
        }
    }
}

// Two processes each count their own value up while reading the other's and a shared one: no
// count goes backwards or is lost, and no value is ever read half old, half new.
TEST_F(RegistryValues, TwoProcessesWritingAndReadingLoseNothingAndNeverReadATornValue) {
    auto run = [&](const char* self, const char* other) {
        for (DWORD n = 1, last = 0; n <= 200; ++n) {
            // Every write replaces the file (its size changes); the two write different bytes and
            // sizes into the shared value, so two writers at once would show.
            const DWORD shift = self[0] == 'a' ? 0 : 51;
            const Bytes mine(100 + n % 2 * 3000, char(n)), shared(100 + (n + shift) % 2 * 3000, char(n + shift));
            if (Set(self, REG_BINARY, mine, DWORD(mine.size())) != 0 || Set("both", REG_BINARY, shared, DWORD(shared.size())) != 0) return 1;
            Bytes theirs, both;
            DWORD seen = Query(other, 8000, &theirs) == 0 ? Counter(theirs) : 0;
            if (seen < last || seen > 200 || (Query("both", 8000, &both) == 0 && Counter(both) == 999)) return 2;
            last = seen;
        }
        return 0;
    };
    const pid_t a = fork();
    if (a == 0) _exit(run("a", "b"));
    EXPECT_EQ(ChildExit([&] { return run("b", "a"); }), 0);
    int status = 0;
    waitpid(a, &status, 0);
    EXPECT_EQ(ExitCodeOf(status), 0);
    for (const char* name : {"a", "b"}) {
        Bytes got;
        EXPECT_EQ(Query(name, 8000, &got), 0);
        EXPECT_EQ(Counter(got), 200u) << name;
    }
}

}  // namespace
