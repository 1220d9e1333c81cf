// File mappings: named segments shared between processes, their backing files and removal,
// read-only views, refused handles and names, absolute names, unnamed mappings.
#include <windows.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "tvx_test.h"

namespace {

constexpr DWORD kSize = 4096;

std::string BackingFile(const std::string& name) { return tvxtest::Root() + "/mail/tmp/." + name; }
bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
bool SegmentLives(int id) { struct shmid_ds ds; return shmctl(id, IPC_STAT, &ds) == 0; }
struct stat StatOf(const std::string& path) { struct stat st = {}; stat(path.c_str(), &st); return st; }

// The segment that a backing file keys, or -1 when there is none.
int SegmentOf(const std::string& path) {
    key_t key = ftok(path.c_str(), 'w');
    return key == -1 ? -1 : shmget(key, 0, 0);
}

// Segments this process created that still exist (unnamed ones have no key to look them up by).
int SegmentsCreatedByMe() {
    std::ifstream in("/proc/sysvipc/shm");
    int count = 0;
    long key, id, mode, size, creator;
    for (std::string line; std::getline(in, line);)
        count += sscanf(line.c_str(), "%ld %ld %lo %ld %ld", &key, &id, &mode, &size, &creator) == 5 &&
                 creator == getpid();
    return count;
}

// Whether writing `byte` kills a child with SIGSEGV (the system's own action, not a sanitizer's).
bool WriteFaults(volatile char* byte) {
    return tvxtest::ChildExit([&] { signal(SIGSEGV, SIG_DFL); *byte = 1; return 0; }) == -SIGSEGV;
}

HANDLE CreateNamed(const std::string& name, DWORD protect = PAGE_READWRITE) {
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protect, 0, kSize, name.c_str());
}

// Another process, forked before the test touches a mapping so that it shares no table entry or
// attachment with this one: Run(i) has it run step i and gives the step's result.
struct Peer {
    explicit Peer(std::vector<std::function<int()>> steps) {
        if (pipe(to) != 0 || pipe(from) != 0 || (pid = (fflush(nullptr), fork())) != 0) {
            close(to[0]), close(from[1]);  // the child's ends: a child gone reads as a result of -1000
            return;
        }
        close(to[1]), close(from[0]);
        for (int step, result; read(to[0], &step, sizeof step) == sizeof step && step >= 0;)
            if (result = steps.at(step)(), write(from[1], &result, sizeof result) != sizeof result) break;
        _exit(0);
    }
    ~Peer() { Run(-1), close(to[1]), close(from[0]), waitpid(pid, nullptr, 0); }
    int Run(int step) {
        int result = -1000;
        if (write(to[1], &step, sizeof step) != sizeof step || step < 0) return result;
        return read(from[0], &result, sizeof result) == sizeof result ? result : -1000;
    }
    int to[2] = {-1, -1}, from[2] = {-1, -1};
    pid_t pid = -1;
};

// Peer steps: create `name` and keep the handle (the last error it reported, 255: failed); close.
std::function<int()> CreateAndKeep(const std::string& name, HANDLE& kept, DWORD protect = PAGE_READWRITE) {
    return [&kept, name, protect] {
        kept = CreateNamed(name, protect);
        return kept == nullptr ? 255 : static_cast<int>(GetLastError());
    };
}
std::function<int()> Close(HANDLE& kept) { return [&kept] { return CloseHandle(kept) ? 0 : 1; }; }

// 183 rests on the attach count at creation: a view anywhere, not a handle. The segment and its
// backing file go with the last close while nobody is attached, wherever that close happens.
TEST(FileMappings, NamedMappingIsSharedBetweenProcessesAndRemovedAfterTheLastClose) {
    std::string name = tvxtest::UniqueName("share"), file = BackingFile(name);
    HANDLE theirs = nullptr;
    Peer peer({CreateAndKeep(name, theirs), [&] {
                   auto* other = static_cast<char*>(MapViewOfFile(theirs, FILE_MAP_WRITE, 0, 0, 0));
                   if (other == nullptr || strcmp(other, "from the first") != 0) return 2;
                   strcpy(other, "from the second");
                   return UnmapViewOfFile(other) ? 0 : 3;
               }, Close(theirs)});
    HANDLE h = CreateNamed(name);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(0u, GetLastError());
    int id = SegmentOf(file);
    EXPECT_EQ(0, peer.Run(0));  // a handle here, no view
    EXPECT_EQ(0, peer.Run(2));
    auto* view = static_cast<char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(nullptr, view);
    strcpy(view, "from the first");
    EXPECT_EQ(183, peer.Run(0));
    EXPECT_EQ(0, peer.Run(1));
    EXPECT_STREQ("from the second", view);
    EXPECT_EQ(0, peer.Run(2));
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_EQ(0, peer.Run(0));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(Exists(file) && SegmentLives(id));  // the peer holds it
    EXPECT_EQ(0, peer.Run(2));
    EXPECT_FALSE(Exists(file));
    EXPECT_FALSE(SegmentLives(id));
}

// The handle of a read-only mapping's backing file cannot write, so the file is sized through a
// descriptor of its own; a second process finds it sized and 0440 and must not need to write.
TEST(FileMappings, ReadOnlyNamedMappingCanBeCreatedAndItsViewsFaultOnWrite) {
    std::string name = tvxtest::UniqueName("readonly"), file = BackingFile(name);
    ASSERT_EQ(0, chown((tvxtest::Root() + "/mail/tmp").c_str(), tvxtest::kNobody, tvxtest::kNobody));
    EXPECT_EQ(0, tvxtest::AsUnprivilegedUser([&] {
        HANDLE theirs = nullptr;
        Peer peer({CreateAndKeep(name, theirs, PAGE_READONLY), Close(theirs)});
        HANDLE h = CreateNamed(name, PAGE_READONLY);
        struct stat st = StatOf(file);
        if (h == nullptr || st.st_size != kSize || (st.st_mode & 0777) != 0440) return 1;
        if (peer.Run(0) != 0 || peer.Run(1) != 0) return 2;
        if (MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0) != nullptr) return 3;  // a 0440 segment
        auto* view = static_cast<volatile char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0));
        if (view == nullptr || view[0] != 0 || !WriteFaults(view)) return 4;
        return UnmapViewOfFile(const_cast<char*>(view)) && CloseHandle(h) ? 0 : 5;
    }));
    EXPECT_FALSE(Exists(file));
}

TEST(FileMappings, HandlesAndNamesThatNameNoMappingAreRefused) {
    HANDLE freed = CreateNamed(tvxtest::UniqueName("freed"));
    ASSERT_TRUE(CloseHandle(freed));
    auto beyond_table = reinterpret_cast<HANDLE>(uintptr_t{300 * 32 + 11});
    for (HANDLE h : {freed, beyond_table, reinterpret_cast<HANDLE>(uintptr_t{0x7FFFFFEB})}) {
        SetLastError(0);
        EXPECT_EQ(nullptr, MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0)) << h;
        EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError()) << h;
        EXPECT_FALSE(CloseSharedMemory(h)) << h;
    }
    // The file table reads only the index: another kind with a file's index names no file.
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("file"), long_name(300, 'n');
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    auto other_kind = reinterpret_cast<HANDLE>((reinterpret_cast<uintptr_t>(file) & ~uintptr_t{31}) | 2);
    EXPECT_EQ(nullptr, CreateFileMappingA(other_kind, nullptr, PAGE_READWRITE, 0, 0, nullptr));
    EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
    mode_t base_mode = StatOf(tvxtest::Root() + "/mail").st_mode;  // "." would make it tmp/..
    for (std::string name : {"a/b", ".", "..", "../escape", long_name.c_str()}) {
        EXPECT_EQ(nullptr, CreateNamed(name)) << name;
        EXPECT_EQ(DWORD{ERROR_INVALID_NAME}, GetLastError()) << name;
    }
    EXPECT_GE(tvxtest::CountLogMessage("CreateFileMapping: invalid name a/b"), 1);
    EXPECT_FALSE(Exists(tvxtest::Root() + "/mail/tmp/../escape"));
    EXPECT_FALSE(Exists(tvxtest::Root() + "/mail/tmp/..."));
    EXPECT_EQ(base_mode, StatOf(tvxtest::Root() + "/mail").st_mode);
}

// An absolute name is the backing file itself; a file of the caller's is neither cut nor removed.
TEST(FileMappings, AbsoluteNameLeavesTheCallersFileAlone) {
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("absolute"), text;
    std::ofstream(path) << "precious data";
    mode_t mode = StatOf(path).st_mode;
    HANDLE h = CreateNamed(path);
    int id = SegmentOf(path);
    EXPECT_TRUE(h != nullptr && SegmentLives(id) && CloseHandle(h));
    EXPECT_FALSE(SegmentLives(id));
    EXPECT_TRUE(std::getline(std::ifstream(path), text));
    EXPECT_EQ("precious data", text);
    EXPECT_EQ(mode, StatOf(path).st_mode);
}

// Each unnamed creation is a private segment of its own, gone after close and unmap.
TEST(FileMappings, UnnamedMappingsArePrivateAndLeaveNoSegment) {
    ASSERT_EQ(0, SegmentsCreatedByMe());
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        HANDLE a = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, name);
        HANDLE b = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, name);
        ASSERT_TRUE(a != nullptr && b != nullptr && a != b);
        EXPECT_EQ(0u, GetLastError());
        auto* va = static_cast<char*>(MapViewOfFile(a, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        auto* vb = static_cast<char*>(MapViewOfFile(b, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_TRUE(va != nullptr && vb != nullptr);
        EXPECT_EQ(2, SegmentsCreatedByMe());
        va[0] = 'a', vb[0] = 'b';
        EXPECT_FALSE(WriteFaults(va));  // the child writes the shared segment
        EXPECT_TRUE(CloseHandle(a) && CloseHandle(b));
        EXPECT_EQ(1, va[0]);  // a view outlives its handle
        EXPECT_EQ('b', vb[0]);
        EXPECT_TRUE(UnmapViewOfFile(va) && UnmapViewOfFile(vb));
        EXPECT_EQ(0, SegmentsCreatedByMe());
    }
}

}  // namespace
