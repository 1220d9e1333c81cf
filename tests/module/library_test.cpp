// Dynamic libraries: shared loads, "DllMain" reasons, refused paths, races and shutdown.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

const std::string kModule = TESTMODULE_PATH;
using AnswerFn = int (*)(void);

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The reasons the test module's "DllMain" has been called with since this was created.
struct Reasons {
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("reasons");
    Reasons() { setenv("TESTMODULE_LOG", path.c_str(), 1); }
    std::string operator()() const { return ReadFile(path); }
};

bool Mapped() { return ReadFile("/proc/self/maps").find(kModule) != std::string::npos; }

TEST(Libraries, OtherLetterCaseSharesTheModuleAndEachLoadNeedsAFree) {
    Reasons reasons;
    std::string upper = kModule;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    HMODULE first = LoadLibraryA(kModule.c_str());
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, LoadLibraryA(upper.c_str()));
    AnswerFn answer = reinterpret_cast<AnswerFn>(GetProcAddress(first, "TestModuleAnswer"));
    EXPECT_TRUE(answer != nullptr && answer() == 42);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ("123", reasons());
    EXPECT_TRUE(Mapped());
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ("1230", reasons());
    EXPECT_FALSE(Mapped());
    EXPECT_FALSE(FreeLibrary(first));
}

TEST(Libraries, RefusingDllMainFailsTheLoadAndDropsItsReference) {
    // The reason refused; per load, a handle ('h') or null ('0'); the reasons recorded.
    const struct { const char *refuse, *loads, *reasons; } cases[] = {
        {"1", "0", "1"}, {"2", "h00", "122"}, {"3", "hh", "12"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refuse);
        Reasons reasons;
        setenv("TESTMODULE_REFUSE", c.refuse, 1);
        std::vector<HMODULE> held;
        for (const char* load = c.loads; *load != '\0'; ++load) {
            HMODULE got = LoadLibraryA(kModule.c_str());
            EXPECT_EQ(*load == 'h', got != nullptr);
            if (got != nullptr) held.push_back(got);
        }
        EXPECT_EQ(c.reasons, reasons());
        EXPECT_EQ(!held.empty(), Mapped());
        for (HMODULE module : held) EXPECT_TRUE(FreeLibrary(module));
        EXPECT_FALSE(Mapped());
        unsetenv("TESTMODULE_REFUSE");
    }
}

TEST(Libraries, NullEmptyAndOverlongPathsAreRefused) {
    std::string link = tvxtest::Root() + "/m.so";
    ASSERT_EQ(0, symlink(kModule.c_str(), link.c_str()));
    for (size_t length : {size_t{259}, size_t{260}, size_t{300}}) {
        std::string path = tvxtest::Root() + std::string(length - link.size() + 1, '/') + "m.so";
        HMODULE module = LoadLibraryA(path.c_str());
        EXPECT_EQ(length < 260, module != nullptr && FreeLibrary(module)) << length;
    }
    EXPECT_EQ(nullptr, LoadLibraryA(nullptr));
    EXPECT_EQ(nullptr, LoadLibraryA(""));
    EXPECT_FALSE(Mapped());
}

// A free that runs "DllMain" with reason 3 while another thread's last free closes the module
// would crash inside it.
TEST(Libraries, RacingLoadsAndFreesNeverMeetAClosedModule) {
    std::atomic<long> wrong{0};
    auto round = [&wrong] {
        HMODULE module = LoadLibraryA(kModule.c_str());
        AnswerFn answer = reinterpret_cast<AnswerFn>(GetProcAddress(module, "TestModuleAnswer"));
        if (answer == nullptr || answer() != 42 || !FreeLibrary(module)) ++wrong;
    };
    for (long n : tvxtest::Hammer({round, round, round}, 2000, 300)) EXPECT_GE(n, 2000);
    EXPECT_EQ(0, wrong.load());
    EXPECT_FALSE(Mapped());
}

// The module's last detach loads and frees another module and records '+' if both worked; a
// table lock held across it, by FreeLibrary or at shutdown, would hang the child.
TEST(Libraries, DllMainMayLoadAndFreeLibrariesItself) {
    Reasons reasons;
    setenv("TESTMODULE_NEST", (std::string(MESSAGE_MODULE_DIR) + "/zdrmsg.so").c_str(), 1);
    for (bool shutdown : {false, true}) {
        EXPECT_EQ(0, tvxtest::ChildExit([shutdown] {
            HMODULE module = LoadLibraryA(kModule.c_str());
            if (module == nullptr) return 1;
            return (shutdown ? FreeAllLibraries() : FreeLibrary(module)) ? 0 : 2;
        }, 10)) << shutdown;
    }
    EXPECT_EQ("10+10+", reasons());
}

}  // namespace
