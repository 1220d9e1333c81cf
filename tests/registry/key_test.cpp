// Registry keys: where start-up puts the root, how key names map to directories, what is refused.
#include <windows.h>

#include <gtest/gtest.h>

#include "tvx_test.h"

using namespace tvxtest;

namespace {

const std::string kLead = "SOFTWARE\\Velmora\\Server\\";  // the 24 characters that map to nothing
const HKEY kInvalid = reinterpret_cast<HKEY>(UINTPTR_MAX);
bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

LONG Open(const std::string& sub, HKEY* key, bool create = false, HKEY parent = HKEY_LOCAL_MACHINE) {
    return create ? RegCreateKeyA(parent, sub.c_str(), key) : RegOpenKeyA(parent, sub.c_str(), key);
}

TEST(Keys, StartUpFindsRootAndBaseFromTheProgramPathThenTheDefaults) {
    EXPECT_EQ(std::string(RegRootDir), Root() + "/");
    EXPECT_EQ(std::string(RegBaseDir), Root() + "/mail/");
    EXPECT_EQ(0, ChildExit([] {  // "./" from inside bin, then no markers with and without ROOTDIR
        if (chdir((Root() + "/mail/bin").c_str()) != 0) return 1;
        Strcpy(Argv0, "./tvx", sizeof Argv0), InitRegistry();
        if (RegRootDir != Root() + "/" || RegBaseDir != Root() + "/mail/") return 2;
        Strcpy(Argv0, "tvx", sizeof Argv0), unsetenv("ROOTDIR"), InitRegistry();
        if (std::string(RegRootDir) != "/opt/velmora/" || std::string(RegBaseDir) != "/opt/velmora/mail/") return 3;
        setenv("ROOTDIR", "/srv/x", 1), InitRegistry();
        return std::string(RegRootDir) == "/srv/x/" && std::string(RegBaseDir) == "/srv/x/mail/" ? 0 : 4;
    }));
}

TEST(Keys, NamesMapToLowerCaseDirectoriesAndOnlyMarkedDirectoriesAreKeys) {
    HKEY key = nullptr, other = nullptr, same = nullptr;
    EXPECT_EQ(Open(kLead + "Deep\\A\\B", &key), ERROR_CANTOPEN);
    EXPECT_EQ(key, kInvalid);
    ASSERT_EQ(Open(kLead + "Deep\\A\\B", &key, true), 0);
    EXPECT_TRUE(Exists(Root() + "/deep/a/b/.key"));
    EXPECT_FALSE(Exists(Root() + "/deep/a/.key"));  // intermediate directories are not keys
    EXPECT_EQ(Open(kLead + "deep\\A", &other), ERROR_CANTOPEN);
    ASSERT_EQ(Open(kLead + "dEEp\\\\a//b", &same, false, HKEY_CURRENT_USER), 0);
    EXPECT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &other), 0);  // an empty name gives the parent back
    EXPECT_EQ(other, key);
    EXPECT_EQ(Open(kLead + "deep\\a", &other, true), 0);  // creating marks an existing directory
    HKEY child = nullptr;
    ASSERT_EQ(Open("b", &child, false, other), 0);  // under a key: the key's path and the name
    EXPECT_EQ(RegDeleteKeyA(other, "b"), ERROR_BADKEY);
    EXPECT_TRUE(Exists(Root() + "/deep/a/b/.key"));
    for (HKEY k : {key, same, other, child}) EXPECT_EQ(RegCloseKey(k), 0);
}

// None of these may create anything or touch memory behind a handle that is not a record.
TEST(Keys, PathsLeavingTheRootShortPathsAndNonRecordHandlesAreRefused) {
    HKEY key = nullptr;
    for (const std::string& sub : {kLead + "..\\escape", kLead + "a\\..\\..\\escape", kLead + ".",
                                   kLead + "x/./y", std::string("short\\escape"), kLead.substr(0, 23)}) {
        EXPECT_EQ(Open(sub, &key, true), ERROR_CANTOPEN) << sub;
        EXPECT_EQ(key, kInvalid);
    }
    EXPECT_FALSE(Exists(Root() + "/../escape") || Exists(Root() + "/escape") || Exists(Root() + "/x"));
    ASSERT_EQ(Open(kLead, &key), 0);  // exactly the leading part: the root key itself
    char name[64] = "";
    EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), 0);
    EXPECT_STREQ(name, "mail");
    RegCloseKey(key);
    for (HKEY bad : {HKEY(nullptr), kInvalid, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE, HKEY_DYN_DATA,
                     reinterpret_cast<HKEY>(uintptr_t{0x80000002})}) {
        DWORD size = 4, type;
        BYTE data[4];
        EXPECT_EQ(RegCloseKey(bad), ERROR_BADKEY);
        EXPECT_EQ(RegEnumKeyA(bad, 0, name, sizeof name), ERROR_BADKEY);
        EXPECT_EQ(RegSetValueExA(bad, "v", 0, REG_DWORD, data, 4), ERROR_BADKEY);
        EXPECT_EQ(RegQueryValueExA(bad, "v", nullptr, &type, data, &size), ERROR_BADKEY);
        EXPECT_EQ(RegEnumValueA(bad, 0, name, &size, nullptr, &type, data, &size), ERROR_BADKEY);
        EXPECT_EQ(RegDeleteValueA(bad, "v"), ERROR_BADKEY);
    }
    for (HKEY parent : {HKEY(nullptr), kInvalid, HKEY_CLASSES_ROOT})
        EXPECT_EQ(Open(kLead + "p", &key, true, parent), ERROR_BADKEY);
    EXPECT_FALSE(Exists(Root() + "/p"));
}

TEST(Keys, EnumerationIgnoresTheIndexAndStartsOverAfterTheLast) {
    HKEY key = nullptr, sub = nullptr;
    ASSERT_EQ(Open(kLead + "list", &key, true), 0);
    for (const char* name : {"One", "two", "three"}) Open(name, &sub, true, key), RegCloseKey(sub);
    mkdir((Root() + "/list/nokey").c_str(), 0775);
    std::vector<std::string> order;
    char name[8];
    for (DWORD index : {0, 5, 1}) {
        EXPECT_EQ(RegEnumKeyA(key, index, name, sizeof name), 0);
        order.push_back(name);
    }
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<std::string>{"one", "three", "two"}));
    EXPECT_EQ(RegEnumKeyA(key, 3, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key, 0, name, 3), 0);  // starts over; bounded to the capacity
    EXPECT_EQ(strlen(name), 2u);
    RegCloseKey(key);
}

}  // namespace
