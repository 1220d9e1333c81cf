// File mappings: named segments shared between processes, their backing files and removal,
// read-only views, refused names, unnamed and file mappings, handles that name nothing.
#include <windows.h>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <new>
#include <fstream>
#include <sstream>
#include <string>

#include "tvx_test.h"

namespace {

constexpr DWORD kSize = 4096;

std::string BackingFile(const std::string& name) { return tvxtest::Root() + "/mail/tmp/." + name; }
bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The segment that a backing file keys, or -1 when there is none.
int SegmentOf(const std::string& path) {
    key_t key = ftok(path.c_str(), 'w');
    return key == -1 ? -1 : shmget(key, 0, 0);
}

// Whether writing `byte` kills a child with SIGSEGV (the system's own action, not a sanitizer's).
bool WriteFaults(volatile char* byte) {
    return tvxtest::ChildExit([&] {
        signal(SIGSEGV, SIG_DFL);
        *byte = 1;
        return 0;
    }) == -SIGSEGV;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

mode_t SegmentMode(int id) {
    struct shmid_ds ds;
    return shmctl(id, IPC_STAT, &ds) == 0 ? ds.shm_perm.mode & 0777 : 0;
}

// Segments this process created that still exist (unnamed ones have no key to look them up by).
int SegmentsCreatedByMe() {
    std::ifstream in("/proc/sysvipc/shm");
    std::string line;
    std::getline(in, line);
    int count = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        long key, id, perms, size, cpid;
        if (fields >> key >> id >> perms >> size >> cpid && cpid == getpid()) ++count;
    }
    return count;
}

HANDLE CreateNamed(const std::string& name, DWORD protect = PAGE_READWRITE, DWORD size = kSize) {
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protect, 0, size, name.c_str());
}

// Another process of the suite: forked before the test touches a mapping, so that it shares no
// table entry or attachment with this one, it runs step i of its list when asked and answers
// with the step's result.
class Peer {
  public:
    explicit Peer(std::vector<std::function<int()>> steps) {
        channel_ = static_cast<Channel*>(mmap(nullptr, sizeof(Channel), PROT_READ | PROT_WRITE,
                                              MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        new (channel_) Channel{};
        pid_t parent = getpid();
        pid_ = (fflush(nullptr), fork());
        if (pid_ != 0) return;
        for (int seen = 0;;) {
            while (channel_->seq.load() == seen)
                if (getppid() != parent) _exit(1);
                else usleep(200);
            seen = channel_->seq.load();
            int step = channel_->step.load();
            if (step < 0 || step >= static_cast<int>(steps.size())) _exit(0);
            channel_->result.store(steps[step]());
            channel_->done.store(seen);
        }
    }
    ~Peer() {
        Run(-1, false);
        waitpid(pid_, nullptr, 0);
        munmap(channel_, sizeof(Channel));
    }
    int Run(int step, bool wait = true) {
        channel_->step.store(step);
        int n = channel_->seq.fetch_add(1) + 1;
        if (!wait) return 0;
        return tvxtest::WaitUntil([&] { return channel_->done.load() == n; }) ? channel_->result.load()
                                                                             : -1000;
    }

  private:
    struct Channel { std::atomic<int> seq, step, done, result; };
    Channel* channel_;
    pid_t pid_;
};

// A peer step: create `name` and keep the handle; the result is the last error it reported
// (255: the creation failed).
std::function<int()> CreateAndKeep(const std::string& name, HANDLE& kept, DWORD protect = PAGE_READWRITE,
                                   DWORD size = kSize) {
    return [&kept, name, protect, size] {
        kept = CreateNamed(name, protect, size);
        return kept == nullptr ? 255 : static_cast<int>(GetLastError());
    };
}
std::function<int()> Close(HANDLE& kept) {
    return [&kept] { return CloseHandle(kept) ? 0 : 1; };
}

TEST(FileMappings, NamedMappingCarriesDataBetweenProcesses) {
    std::string name = tvxtest::UniqueName("share");
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
    auto* view = static_cast<char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(nullptr, view);
    strcpy(view, "from the first");
    EXPECT_EQ(183, peer.Run(0));
    EXPECT_EQ(0, peer.Run(1));
    EXPECT_STREQ("from the second", view);
    EXPECT_EQ(0, peer.Run(2));
    // The peer's close left segment and file: this process is attached.
    EXPECT_TRUE(Exists(BackingFile(name)));
    EXPECT_GE(SegmentOf(BackingFile(name)), 0);
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(Exists(BackingFile(name)));
    EXPECT_EQ(-1, SegmentOf(BackingFile(name)));
}

// 183 rests on the attach count at the moment of creation: a view anywhere, not a handle. A
// process holding only a handle keeps the mapping through another process's last close.
TEST(FileMappings, SecondCreationReportsExistingOnlyWhileAViewIsAttached) {
    std::string name = tvxtest::UniqueName("attach");
    std::string file = BackingFile(name);
    HANDLE theirs = nullptr;
    Peer peer({CreateAndKeep(name, theirs), Close(theirs)});
    HANDLE h = CreateNamed(name);
    ASSERT_NE(nullptr, h);
    int id = SegmentOf(file);
    EXPECT_EQ(0, peer.Run(0));  // a handle, no view
    EXPECT_EQ(0, peer.Run(1));
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ(id, SegmentOf(file));
    void* view = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ASSERT_NE(nullptr, view);
    EXPECT_EQ(183, peer.Run(0));
    EXPECT_EQ(0, peer.Run(1));
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_EQ(0, peer.Run(0));
    EXPECT_TRUE(CloseHandle(h));  // the peer holds it
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ(0, peer.Run(1));  // the last holder, nobody attached
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(-1, SegmentOf(file));
}

TEST(FileMappings, LastCloseWithNobodyAttachedRemovesSegmentAndBackingFile) {
    std::string name = tvxtest::UniqueName("last");
    std::string file = BackingFile(name);
    HANDLE h = CreateNamed(name);
    ASSERT_NE(nullptr, h);
    int id = SegmentOf(file);
    ASSERT_GE(id, 0);
    EXPECT_EQ(static_cast<mode_t>(0640), ModeOf(file));
    EXPECT_EQ(static_cast<mode_t>(0640), SegmentMode(id));
    // A second create in this process is the same mapping; only its close ends it.
    HANDLE again = CreateNamed(name);
    EXPECT_EQ(h, again);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    void* view = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ASSERT_NE(nullptr, view);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(CloseHandle(again));  // the last close, but this process's view is attached
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ(id, SegmentOf(file));
    EXPECT_FALSE(CloseHandle(h));  // the record is free
    // Another process that creates and closes while nobody is attached removes both.
    ASSERT_TRUE(UnmapViewOfFile(view));  // still within reach after the close
    EXPECT_EQ(0, tvxtest::ChildExit([&] {
        HANDLE h2 = CreateNamed(name);
        return h2 != nullptr && GetLastError() == 0 && CloseHandle(h2) ? 0 : 1;
    }));
    EXPECT_FALSE(Exists(file));
    struct shmid_ds ds;
    EXPECT_EQ(-1, shmctl(id, IPC_STAT, &ds));
    EXPECT_EQ(-1, SegmentOf(file));
}

// The handle of a read-only mapping's backing file cannot write, so the file is sized through a
// descriptor of its own; the second creation finds it sized and 0440 and must not need to write.
TEST(FileMappings, ReadOnlyNamedMappingCanBeCreatedAndItsViewsFaultOnWrite) {
    std::string name = tvxtest::UniqueName("readonly");
    std::string file = BackingFile(name);
    for (const std::string& dir : {tvxtest::Root(), tvxtest::Root() + "/mail"}) chmod(dir.c_str(), 0755);
    chmod((tvxtest::Root() + "/mail/tmp").c_str(), 0777);
    EXPECT_EQ(0, tvxtest::ChildExit([&] {
        if (setgroups(0, nullptr) != 0 || setgid(tvxtest::kNobody) != 0 || setuid(tvxtest::kNobody) != 0)
            return 100;
        HANDLE theirs = nullptr;
        Peer peer({CreateAndKeep(name, theirs, PAGE_READONLY, 3 * kSize), Close(theirs)});
        HANDLE h = CreateNamed(name, PAGE_READONLY, 3 * kSize);
        if (h == nullptr) return 1;
        struct stat st;
        if (stat(file.c_str(), &st) != 0 || st.st_size != 3 * kSize || (st.st_mode & 0777) != 0440)
            return 2;
        if (SegmentMode(SegmentOf(file)) != 0440) return 3;
        if (peer.Run(0) != 0 || peer.Run(1) != 0) return 4;
        // No write permission on a 0440 segment: a writable view is refused, a read view given.
        if (MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0) != nullptr) return 5;
        auto* view = static_cast<volatile char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0));
        if (view == nullptr || view[0] != 0) return 6;
        if (!WriteFaults(view)) return 7;
        return UnmapViewOfFile(const_cast<char*>(view)) && CloseHandle(h) ? 0 : 8;
    }));
    EXPECT_FALSE(Exists(file));
}

TEST(FileMappings, ReadAccessViewOfWritableMappingFaultsOnWrite) {
    HANDLE h = CreateNamed(tvxtest::UniqueName("readview"));
    ASSERT_NE(nullptr, h);
    auto* view = static_cast<volatile char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(nullptr, view);
    EXPECT_TRUE(WriteFaults(view));
    auto* writable = static_cast<volatile char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, writable);
    EXPECT_FALSE(WriteFaults(writable));
    EXPECT_EQ(1, view[0]);  // the child wrote the shared segment
    EXPECT_TRUE(UnmapViewOfFile(const_cast<char*>(writable)));
    EXPECT_EQ(0, shmdt(const_cast<char*>(view)));
    EXPECT_TRUE(CloseHandle(h));
}

TEST(FileMappings, NamesThatWouldLeaveTmpAreRefused) {
    std::string long_name(300, 'n');
    for (const std::string& name : {std::string("a/b"), std::string("."), std::string(".."),
                                    std::string("../escape"), long_name}) {
        SetLastError(0);
        EXPECT_EQ(nullptr, CreateNamed(name)) << name;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError()) << name;
    }
    EXPECT_GE(tvxtest::CountLogMessage("CreateFileMapping: invalid name a/b"), 1);
    EXPECT_FALSE(Exists(tvxtest::Root() + "/mail/tmp/../escape"));
    EXPECT_FALSE(Exists(tvxtest::Root() + "/mail/tmp/.../escape"));
}

// An absolute name is the backing file itself; a file of the caller's is neither cut nor removed.
TEST(FileMappings, AbsoluteNameIsTheBackingFileAndAnExistingOneIsKept) {
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("absolute");
    { std::ofstream(path) << "precious data"; }
    mode_t mode = ModeOf(path);
    HANDLE h = CreateNamed(path, PAGE_READONLY);
    ASSERT_NE(nullptr, h);
    int id = SegmentOf(path);
    EXPECT_GE(id, 0);
    EXPECT_TRUE(CloseHandle(h));
    struct shmid_ds ds;
    EXPECT_EQ(-1, shmctl(id, IPC_STAT, &ds));
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ("precious data", text);
    EXPECT_EQ(mode, ModeOf(path));
}

// An unnamed mapping is a private segment: each creation its own, gone after close and unmap.
TEST(FileMappings, UnnamedMappingsArePrivateAndLeaveNoSegment) {
    ASSERT_EQ(0, SegmentsCreatedByMe());
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        HANDLE a = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, name);
        HANDLE b = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, name);
        ASSERT_TRUE(a != nullptr && b != nullptr);
        EXPECT_NE(a, b);
        EXPECT_EQ(0u, GetLastError());
        auto* va = static_cast<char*>(MapViewOfFile(a, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        auto* vb = static_cast<char*>(MapViewOfFile(b, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_TRUE(va != nullptr && vb != nullptr);
        va[0] = 'a', vb[0] = 'b';
        EXPECT_EQ('a', va[0]);
        EXPECT_EQ(2, SegmentsCreatedByMe());
        EXPECT_TRUE(CloseHandle(a) && CloseHandle(b));
        EXPECT_EQ('a', va[0]);  // a view outlives its handle
        EXPECT_TRUE(UnmapViewOfFile(va) && UnmapViewOfFile(vb));
        EXPECT_EQ(0, SegmentsCreatedByMe());
    }
}

TEST(FileMappings, FileMappingViewsTheFileFromTheOffsetWithoutASegment) {
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("file");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::string bytes(2 * kSize, 'x');
    bytes[kSize] = 'S';
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    HANDLE h = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(0, SegmentsCreatedByMe());
    auto* view = static_cast<char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, kSize, 0));
    ASSERT_NE(nullptr, view);
    EXPECT_EQ('S', view[0]);
    view[1] = 'W';
    char back = 0;
    EXPECT_EQ(1, pread(HandleToFileHandle(file), &back, 1, kSize + 1));
    EXPECT_EQ('W', back);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ('S', view[0]);  // the view and the caller's file stay, the view within reach
    EXPECT_TRUE(UnmapViewOfFile(view));
    // A handle of another kind with the same index, or one that names no open file: no mapping.
    auto other_kind = reinterpret_cast<HANDLE>((reinterpret_cast<uintptr_t>(file) & ~uintptr_t{31}) | 2);
    EXPECT_EQ(nullptr, CreateFileMappingA(other_kind, nullptr, PAGE_READWRITE, 0, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(nullptr, CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr));
}

TEST(FileMappings, OnlyTheLastViewIsRemembered) {
    HANDLE h = CreateNamed(tvxtest::UniqueName("views"));
    ASSERT_NE(nullptr, h);
    void* first = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    void* second = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ASSERT_TRUE(first != nullptr && second != nullptr);
    EXPECT_FALSE(UnmapViewOfFile(first));
    EXPECT_TRUE(UnmapViewOfFile(second));
    EXPECT_FALSE(UnmapViewOfFile(second));
    EXPECT_FALSE(UnmapViewOfFile(nullptr));
    EXPECT_EQ(0, shmdt(first));
    EXPECT_TRUE(CloseHandle(h));
}

TEST(FileMappings, HandlesThatNameNoMappingAreRefused) {
    HANDLE live = CreateNamed(tvxtest::UniqueName("refuse"));
    ASSERT_NE(nullptr, live);
    HANDLE freed = CreateNamed(tvxtest::UniqueName("freed"));
    ASSERT_TRUE(CloseHandle(freed));
    for (HANDLE h : {INVALID_HANDLE_VALUE, freed, reinterpret_cast<HANDLE>(uintptr_t{300 * 32 + 11}),
                     reinterpret_cast<HANDLE>(uintptr_t{0x7FFFFFEB})}) {
        SetLastError(0);
        EXPECT_EQ(nullptr, MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        }
        EXPECT_FALSE(CloseSharedMemory(h));
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "refuse"));
    EXPECT_TRUE(CloseHandle(live));
}

TEST(FileMappings, FullTableRefusesWithAllOnes) {
    std::string path = tvxtest::Root() + "/" + tvxtest::UniqueName("full");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::vector<HANDLE> handles;
    for (int i = 0; i < 256; ++i) {
        handles.push_back(CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr));
        ASSERT_NE(nullptr, handles.back());
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr));
    EXPECT_EQ(1, tvxtest::CountLogMessage("CreateFileMapping: too many mappings"));
    for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h)) << h;
    EXPECT_TRUE(CloseHandle(file));
}

// Shutdown detaches the last views and removes what nobody else holds; running it again is
// harmless.
TEST(FileMappings, ShutdownReleasesSegmentsAndBackingFiles) {
    std::string name = tvxtest::UniqueName("exit");
    std::string file = BackingFile(name);
    EXPECT_EQ(0, tvxtest::ChildExit([&] {
        HANDLE h = CreateNamed(name);
        if (h == nullptr || MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0) == nullptr) return 1;
        if (!Exists(file)) return 2;
        CleanupNTResources();
        CleanupNTResources();
        return Exists(file) || SegmentOf(file) >= 0 ? 3 : 0;
    }));
    EXPECT_FALSE(Exists(file));
}

}  // namespace
