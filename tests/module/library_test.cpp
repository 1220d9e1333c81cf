// Dynamic libraries: shared loads, "DllMain" reasons, the fixed table, the loader-error log.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tvx_test.h"

namespace {

const std::string kModule = TESTMODULE_PATH;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The reasons the test module's "DllMain" has been called with since this was created.
struct Reasons {
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("reasons");
    Reasons() { setenv("TESTMODULE_LOG", path.c_str(), 1); }
    std::string operator()() const { return ReadFile(path); }
};

bool Mapped(const std::string& path) {
    return ReadFile("/proc/self/maps").find(path) != std::string::npos;
}

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), ::toupper);
    return s;
}

using DllMainFn = BOOL (*)(HMODULE, DWORD, LPVOID);
using AnswerFn = int (*)(void);

TEST(Libraries, OtherLetterCaseSharesTheModuleAndEachLoadNeedsAFree) {
    Reasons reasons;
    HMODULE first = LoadLibraryA(kModule.c_str());
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, LoadLibraryA(Upper(kModule).c_str()));
    EXPECT_EQ("12", reasons());
    AnswerFn answer = reinterpret_cast<AnswerFn>(GetProcAddress(first, "TestModuleAnswer"));
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(42, answer());
    EXPECT_EQ(nullptr, GetProcAddress(first, "NoSuchSymbol"));
    EXPECT_EQ(nullptr, GetProcAddress(nullptr, "TestModuleAnswer"));
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ("123", reasons());
    EXPECT_TRUE(Mapped(kModule));
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ("1230", reasons());
    EXPECT_FALSE(Mapped(kModule));
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_EQ("1230", reasons());
}

TEST(Libraries, RefusingDllMainFailsTheLoadAndDropsItsReference) {
    struct Case {
        const char* refuse;   // the reason "DllMain" refuses
        int loads;            // loads tried
        const char* results;  // per load: 'h' a handle, '0' null
        const char* after_loads;
        int frees_to_unload;
    };
    const Case cases[] = {
        {"1", 1, "0", "1", 0},        // a refused first load unloads the module at once
        {"2", 3, "h00", "122", 1},    // refused further loads leave the first one's reference
        {"3", 2, "hh", "12", 2},      // a refused detach is ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refuse);
        Reasons reasons;
        setenv("TESTMODULE_REFUSE", c.refuse, 1);
        HMODULE handle = nullptr;
        for (int i = 0; i < c.loads; ++i) {
            HMODULE got = LoadLibraryA(kModule.c_str());
            EXPECT_EQ(c.results[i] == 'h', got != nullptr) << i;
            if (got != nullptr) handle = got;
        }
        EXPECT_EQ(c.after_loads, reasons());
        EXPECT_EQ(c.frees_to_unload > 0, Mapped(kModule));
        for (int i = 0; i < c.frees_to_unload; ++i) EXPECT_TRUE(FreeLibrary(handle));
        EXPECT_FALSE(Mapped(kModule));
        EXPECT_FALSE(FreeLibrary(handle));
        unsetenv("TESTMODULE_REFUSE");
    }
}

TEST(Libraries, AModuleWithoutDllMainLoadsAndFrees) {
    std::string path = std::string(MESSAGE_MODULE_DIR) + "/zdrmsg.so";
    HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_NE(nullptr, module);
    EXPECT_NE(nullptr, GetProcAddress(module, "GetMessageFromId"));
    EXPECT_EQ(nullptr, GetProcAddress(module, "DllMain"));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(Mapped(path));
}

TEST(Libraries, PathsThatCannotLoadReturnNullAndLogTheLoadersText) {
    std::string missing = tvxtest::Root() + "/" + tvxtest::UniqueName("missing") + ".so";
    std::string not_a_module = tvxtest::Root() + "/" + tvxtest::UniqueName("text") + ".so";
    std::ofstream(not_a_module) << "not an object\n";
    for (const std::string& path : {missing, not_a_module}) {
        EXPECT_EQ(nullptr, LoadLibraryA(path.c_str()));
        std::string log = ReadFile("/tmp/library.log");
        size_t at = log.rfind(path + " error: ");
        ASSERT_NE(std::string::npos, at) << path;
        EXPECT_NE(std::string::npos, log.find('\n', at));
    }
    // Refused before the loader: nothing to load, or a name no record can hold.
    std::string too_long = tvxtest::Root() + "/" + std::string(300, 'x') + ".so";
    for (const char* path : {static_cast<const char*>(nullptr), "", too_long.c_str()})
        EXPECT_EQ(nullptr, LoadLibraryA(path));
    EXPECT_EQ(std::string::npos, ReadFile("/tmp/library.log").find(std::string(300, 'x')));
    // Failed loads left no record behind: the whole table is still free.
    Reasons reasons;
    for (int i = 0; i < 256; ++i) {
        std::string link = tvxtest::Root() + "/m" + std::to_string(i) + ".so";
        ASSERT_EQ(0, symlink(kModule.c_str(), link.c_str()));
        ASSERT_NE(nullptr, LoadLibraryA(link.c_str())) << i;
    }
    EXPECT_EQ(std::string(256, '1'), reasons());
}

TEST(Libraries, TheTableHolds256ModulesAndFreeAllDetachesEachOnce) {
    Reasons reasons;
    HMODULE handle = nullptr;
    for (int i = 0; i <= 256; ++i) {
        std::string link = tvxtest::Root() + "/lib" + std::to_string(i) + ".so";
        ASSERT_EQ(0, symlink(kModule.c_str(), link.c_str()));
        HMODULE got = LoadLibraryA(link.c_str());
        if (i < 256) {
            ASSERT_NE(nullptr, got) << i;
            handle = got;
        } else {
            EXPECT_EQ(nullptr, got);
            EXPECT_EQ(1, tvxtest::CountLogMessage("LoadLibrary: " + link + " - too many libraries"));
        }
    }
    EXPECT_EQ(nullptr, LoadLibraryA(kModule.c_str()));  // a further path finds no record
    EXPECT_EQ(handle, LoadLibraryA((tvxtest::Root() + "/LIB7.SO").c_str()));  // a match needs none
    EXPECT_EQ(std::string(256, '1') + "2", reasons());
    // Shutdown detaches every module once, whatever its count of loads, and may run again.
    CleanupNTResources();
    CleanupNTResources();
    EXPECT_EQ(std::string(256, '1') + "2" + std::string(256, '0'), reasons());
    EXPECT_FALSE(Mapped(kModule));
    EXPECT_FALSE(FreeLibrary(handle));
    // Every record is free again, and a load opens its module afresh.
    HMODULE again = LoadLibraryA(kModule.c_str());
    ASSERT_NE(nullptr, again);
    EXPECT_EQ('1', reasons().back());
    EXPECT_TRUE(FreeAllLibraries());
    EXPECT_EQ('0', reasons().back());
}

// Loads and frees of one path racing each other: a thread that holds a load always finds the
// module open, however the others' last frees and fresh loads interleave with it.
TEST(Libraries, RacingLoadsAndFreesNeverMeetAClosedModule) {
    std::atomic<long> wrong{0};
    auto round = [&wrong] {
        HMODULE module = LoadLibraryA(kModule.c_str());
        AnswerFn answer = reinterpret_cast<AnswerFn>(GetProcAddress(module, "TestModuleAnswer"));
        if (answer == nullptr || answer() != 42) ++wrong;
        if (!FreeLibrary(module)) ++wrong;
    };
    std::vector<long> rounds = tvxtest::Hammer({round, round, round}, 2000, 300);
    EXPECT_EQ(0, wrong.load());
    for (long n : rounds) EXPECT_GE(n, 2000);
    EXPECT_FALSE(Mapped(kModule));
}

// An entry function may load and free libraries: no table lock is held while it runs, not even
// during shutdown. The module's detach loads and frees another module and records '+' if both
// worked; a lock held across it would hang the child.
TEST(Libraries, DllMainMayLoadAndFreeLibrariesItself) {
    Reasons reasons;
    setenv("TESTMODULE_NEST", (std::string(MESSAGE_MODULE_DIR) + "/zdrmsg.so").c_str(), 1);
    for (bool shutdown : {false, true}) {
        EXPECT_EQ(0, tvxtest::ChildExit([shutdown] {
            HMODULE module = LoadLibraryA(kModule.c_str());
            if (module == nullptr) return 1;
            if (shutdown) return FreeAllLibraries() ? 0 : 2;
            return FreeLibrary(module) ? 0 : 3;
        }, 10)) << shutdown;
    }
    EXPECT_EQ("10+10+", reasons());
}

}  // namespace
