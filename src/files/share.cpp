// Share modes: the per-process table of open shared files (fileLockTbl) and the record locks
// between processes.
//
// POSIX record locks belong to the process, so they keep other processes out but never another
// thread of this one: a second lock request from the same process always succeeds. The table
// supplies the missing half. Each path that is open in the process has one entry, which remembers
// the share mode of the opener that made it go into use; later openers in the process are
// checked against that share mode. Between processes a whole-file fcntl lock does the work:
// shared when the opener lets others read or write but not both, exclusive when it lets nobody
// in, none when it shares everything.
//
// 193 buckets hashed by base name, each with its own lock, so unrelated opens rarely meet.
// Entries are allocated once and reused, never unlinked before FreeAllFiles, so a chain can be
// walked under its bucket lock without any further care. A bucket lock may be taken under a
// kind's table lock (CreateFileA holds filelock), never the other way round.
//
// Called by CreateFileA and CloseFile (file.cpp), and later by named mutexes and registry values.
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/text.h>
#include <tarvex/time.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/lock.h"
#include "core/termination.h"
#include "files/share.h"

namespace tarvex {
namespace {

constexpr unsigned kBucketCount = 193;
constexpr size_t kNameSize = 260;
constexpr uint32_t kNoOwner = 0xFFFFFFFFu;

struct FileLockEntry {
    uint32_t inUse;
    char name[kNameSize];
    uint32_t ownerThread;  // kernel thread id of the opener that made it go into use
    int32_t refCount;
    uint32_t access;
    uint32_t shareMode;
    FileLockEntry* next;
};

struct Bucket {
    TableLock lock;
    FileLockEntry* head;
};

constinit Bucket fileLockTbl[kBucketCount];

constexpr uint32_t kShareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;

Bucket& bucket_of(const char* path) {
    const char* slash = strrchr(path, '/');
    return fileLockTbl[hash_fn(slash != nullptr ? slash + 1 : path, kBucketCount)];
}

FileLockEntry* find_entry(Bucket& bucket, const char* path) {
    for (FileLockEntry* entry = bucket.head; entry != nullptr; entry = entry->next)
        if (entry->inUse && strcmp(entry->name, path) == 0) return entry;
    return nullptr;
}

void free_entry(FileLockEntry* entry) {
    entry->inUse = 0;
    entry->ownerThread = kNoOwner;
    entry->name[0] = '\0';
    entry->access = 0;
    entry->shareMode = 0;
}

// A new path: the first free entry of the chain, or a new one at its front; null without memory.
FileLockEntry* take_entry(Bucket& bucket) {
    for (FileLockEntry* entry = bucket.head; entry != nullptr; entry = entry->next)
        if (!entry->inUse) return entry;
    auto* entry = static_cast<FileLockEntry*>(calloc(1, sizeof(FileLockEntry)));
    if (entry == nullptr) return nullptr;
    free_entry(entry);
    entry->next = bucket.head;
    bucket.head = entry;
    return entry;
}

bool conflicts(const FileLockEntry& entry, uint32_t access) {
    return ((access & GENERIC_WRITE) && !(entry.shareMode & FILE_SHARE_WRITE)) ||
           ((access & GENERIC_READ) && !(entry.shareMode & FILE_SHARE_READ));
}

// What an open asks of the system, from the Win32 access, share mode and disposition.
struct OpenRequest {
    int flags;
    mode_t mode;
    int lock_kind;  // F_RDLCK, F_WRLCK, or -1 for none
};

OpenRequest request_for(uint32_t access, uint32_t share, uint32_t disposition, uint32_t attributes) {
    OpenRequest request{};
    bool reading = access & GENERIC_READ;
    bool writing = access & GENERIC_WRITE;
    int mode = reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
    int creation = 0;
    switch (disposition) {
        case CREATE_NEW: creation = O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS: creation = O_CREAT | O_TRUNC; break;
        case OPEN_ALWAYS: creation = O_CREAT; break;
        case TRUNCATE_EXISTING: creation = O_TRUNC; break;
        default: break;
    }
    request.mode = (attributes & FILE_ATTRIBUTE_READONLY) ? 0440 : 0640;
    // A shared lock needs a descriptor open for reading, an exclusive one a descriptor open for
    // writing: the access mode is widened to what the lock needs.
    share &= kShareBoth;
    request.lock_kind = -1;
    if (share == FILE_SHARE_READ || share == FILE_SHARE_WRITE) {
        request.lock_kind = F_RDLCK;
        if (mode == O_WRONLY) mode = O_RDWR;
    } else if (share == 0 && access != 0) {
        request.lock_kind = F_WRLCK;
        if (mode == O_RDONLY) mode = O_RDWR;
    }
    request.flags = mode | creation;
    return request;
}

// Asks for the whole-file lock, the file's growth included.
int lock_whole_file(int fd, int kind, bool wait) {
    struct flock region {};
    region.l_type = static_cast<short>(kind);
    region.l_whence = SEEK_SET;
    region.l_start = 0;
    region.l_len = 0;
    for (;;) {
        int rc = wait ? at_cancel_point([&] { return fcntl(fd, F_SETLKW, &region); })
                      : fcntl(fd, F_SETLK, &region);
        if (rc == 0) return 0;
        if (errno == EINTR || (errno == EAGAIN && wait)) continue;
        return -1;
    }
}

// An open that has been granted in the table but not yet handed to the caller. If the thread is
// cancelled in one of the blocking calls (an open of a FIFO, a waiting lock request), the bucket
// lock's clean-up gives the grant and the descriptor back before it releases the lock. The
// clean-up runs in the frame of the call that took the lock, below which the stack is reused by
// then: the grant lives in OpenSharedFile's frame, above it, not in try_open's.
struct Grant {
    FileLockEntry* entry;
    int fd;
};

void undo_grant(void* arg) {
    auto* grant = static_cast<Grant*>(arg);
    if (grant->fd >= 0) close(grant->fd);
    grant->fd = -1;
    if (grant->entry != nullptr && --grant->entry->refCount <= 0) free_entry(grant->entry);
    grant->entry = nullptr;
}

enum class Attempt { kOpened, kFailed, kBusy };

// One pass under the bucket lock: the in-process check, then the open and the record lock.
Attempt try_open(Bucket& bucket, const char* path, uint32_t access, uint32_t share,
                 uint32_t disposition, uint32_t attributes, bool wait, Grant& grant, int& fd) {
    FileLockEntry* entry = find_entry(bucket, path);
    if (entry != nullptr) {
        if (conflicts(*entry, access)) return Attempt::kBusy;
        ++entry->refCount;
    } else {
        entry = take_entry(bucket);
        if (entry == nullptr) {
            errno = ENOMEM;
            return Attempt::kFailed;
        }
        entry->ownerThread = lock_detail::thread_id();
        entry->refCount = 1;
        entry->access = access;
        entry->shareMode = share;
        Strcpy(entry->name, path, kNameSize);
        entry->inUse = 1;
    }
    grant = Grant{entry, -1};
    set_pending(undo_grant, &grant);
    OpenRequest request = request_for(access, share, disposition, attributes);
    // An open of a FIFO blocks; the descriptor lands in the grant before the thread can end.
    at_cancel_point([&] { return grant.fd = OpenEx(path, request.flags | O_CLOEXEC, request.mode); });
    bool opened = grant.fd >= 0;
    if (!opened) {
        if (errno != ENOENT && errno != EEXIST) {
            int saved = errno;
            UnixLog("OpenSharedFile: Failed to open %s, 0x%08x, %d", path, request.flags, saved);
            errno = saved;
        }
    } else {
        give_to_library_owner(grant.fd);
        if (request.lock_kind >= 0 && lock_whole_file(grant.fd, request.lock_kind, wait) != 0) {
            int saved = errno;
            if (wait || (saved != EAGAIN && saved != EACCES))
                UnixLog("OpenSharedFile: Failed to lock %s, %d, 0x%08x, %d, %d", path, grant.fd,
                        request.flags, request.lock_kind == F_WRLCK ? 1 : 0, saved);
            opened = false;
            errno = saved;
        }
    }
    if (opened) {
        fd = grant.fd;
        finish_pending();
        return Attempt::kOpened;
    }
    int saved = errno;
    undo_grant(&grant);
    finish_pending();
    errno = saved;
    return Attempt::kFailed;
}

}  // namespace

void give_to_library_owner(int fd) {
    // Both all ones means "leave owner and group alone": the call would change nothing.
    if (userID != 0xFFFFFFFFu || groupID != 0xFFFFFFFFu)
        FChown(fd, static_cast<uid_t>(userID), static_cast<gid_t>(groupID));
}

void free_file_lock_table() {
    for (Bucket& bucket : fileLockTbl) {
        FileLockEntry* entries = with_lock(bucket.lock, [&bucket] {
            FileLockEntry* chain = bucket.head;
            bucket.head = nullptr;
            return chain;
        });
        while (entries != nullptr) {
            FileLockEntry* next = entries->next;
            if (entries->inUse)
                UnixLog("FreeAllFiles: file %s locked by tid=%d", entries->name,
                        static_cast<int>(entries->ownerThread));
            free(entries);
            entries = next;
        }
    }
}

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int OpenSharedFile(const char* path, DWORD access, DWORD share_mode, DWORD disposition,
                              DWORD flags_and_attributes, BOOL wait) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    // Two long paths cut to the same 259 characters would share an entry and with it a share
    // mode: refuse them instead.
    if (strlen(path) >= kNameSize) {
        errno = ENAMETOOLONG;
        return -1;
    }
    Bucket& bucket = bucket_of(path);
    for (int attempt = 0;; ++attempt) {
        int fd = -1;
        Grant grant{nullptr, -1};
        Attempt outcome = with_lock(bucket.lock, [&] {
            return try_open(bucket, path, access, share_mode, disposition, flags_and_attributes,
                            wait != 0, grant, fd);
        });
        if (outcome == Attempt::kOpened) return fd;
        if (outcome == Attempt::kFailed || !wait) {
            // A share conflict inside the process is what the sharing error stands for.
            if (outcome == Attempt::kBusy) errno = EBUSY;
            return -1;
        }
        Sleep(attempt < 2 ? 1 : 10);
    }
}

TARVEX_API int CloseSharedFile(const char* path, int fd) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    Bucket& bucket = bucket_of(path);
    int result = with_lock(bucket.lock, [&] {
        FileLockEntry* entry = find_entry(bucket, path);
        if (entry == nullptr) {
            UnixLog("Assert failed in %s line %d", "share.cpp", __LINE__);
            return 1;
        }
        // Closing the descriptor drops every record lock this process holds on the file, which
        // is all an explicit unlock would do; it saves a system call on every close.
        int closed = Close(fd);
        if (closed != 0) {
            int saved = errno;
            UnixLog("CloseSharedFile: Close failed %d", saved);
            errno = saved;
        }
        if (--entry->refCount <= 0) free_entry(entry);
        return closed != 0 ? -1 : 0;
    });
    if (result != 0) {
        int saved = errno;
        UnixLog("CloseSharedFile: Failed to close %d, %s", fd, path);
        errno = saved;
        return -1;
    }
    return 0;
}

}  // extern "C"
