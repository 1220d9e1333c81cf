// File handles: the file table (FileSlot, guarded by filelock) and the I/O calls on its handles.
//
// Every disk file is opened through OpenSharedFile (share.cpp), so share modes hold between the
// threads of this process and between processes. Reads and writes go straight to the descriptor:
// no buffering, no overlapped I/O, no byte-range locks.
//
// filelock covers create and close. Every other operation is a use of the record (core/lifetime.h)
// and takes no lock: a handle whose record is free or being closed is refused with
// ERROR_INVALID_HANDLE rather than reaching a stale descriptor, and the last close waits for the
// uses under way before the descriptor is closed, so a read racing a close never reads a
// descriptor number that another open has meanwhile been given.
//
// A handle that has been positioned keeps its file position in the record and moves data with
// pread and pwrite: a seek then costs no system call, and a seek-write-seek-read round trip two
// calls instead of four. The descriptor's own position is stale meanwhile, so the record goes back
// to it for good, after setting it, once the descriptor is handed out (HandleToFileHandle). The
// record's `io` lock orders the transfers and seeks of one handle, as the kernel's own position
// lock would.
//
// Pipe handles and pipe names are handed to the pipe code, which answers for them.
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/pipe.h>
#include <tarvex/text.h>
#include <tarvex/time.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lifetime.h"
#include "core/lock.h"
#include "core/slot_table.h"
#include "core/transfer.h"
#include "files/share.h"

namespace tarvex {
namespace {

constexpr int kNameSize = 260;

struct FileRecord {
    int fd;
    char name[kNameSize];  // the path given to CreateFileA; CloseSharedFile needs the same text
    DWORD access;
    DWORD shareMode;
    DWORD disposition;
    DWORD flagsAndAttributes;
    LONG inUse;
    LONG references;
    BOOL closed;  // what the last close came to, read by CloseFile under filelock
    int64_t position;  // the file position while ownPosition is set
    LONG ownPosition;  // 1: a regular file positioned through the handle; the fd's position is stale
    LONG escaped;      // 1: the descriptor was handed out; its own position is the only one
    TableLock io;
};

constinit SlotTable<FileRecord> FileSlot;
TableLock& filelock = FileSlot.lock;

void wake_nobody(FileRecord*) {}

// The last close: gives the path back to the share table, closes the descriptor and carries out
// FILE_FLAG_DELETE_ON_CLOSE. The descriptor is taken out of the record first, so a second run
// (a closer cancelled inside the first) never closes a number that may since belong to someone
// else.
// Runs under filelock; a record of a table being released is no longer the table's to mark.
void end_file(FileRecord* record) {
    if (FileSlot.records != nullptr)
        FileSlot.mark_free(static_cast<uint32_t>(record - FileSlot.records));
    int fd = __atomic_exchange_n(&record->fd, -1, __ATOMIC_RELAXED);
    if (fd >= 0) {
        without_cancellation([&] {
            BOOL closed = CloseSharedFile(record->name, fd) == 0;
            if (closed && (record->flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE))
                closed = Remove(record->name) == 0;
            record->closed = closed;
        });
    }
    record->name[0] = '\0';
    record->access = record->shareMode = record->disposition = record->flagsAndAttributes = 0;
    store(record->inUse, LONG{0});
}

// Runs body(record) on the live file record `file` names; false (last error 6) when there is
// none. Pipe handles never get here.
template <class Body>
bool with_file(HANDLE file, Body&& body) {
    if (handle_tag(handle_value(file)) != kTagFile ||
        use_handle(FileSlot, file, [&](FileRecord* record) {
            with_lock(record->io, [&] { body(record); });
        }) != Use::kDone) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

bool is_pipe(HANDLE handle) {
    uint32_t value = handle_value(handle);
    return value != kInvalidHandleValue && handle_tag(value) == kTagPipe;
}

bool creating(DWORD disposition) {
    return disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
}

// The rest of the handle operations run under the record's io lock.

// Moves the position as lseek would, and answers as lseek would. The first successful seek on a
// regular file hands the position to the record.
int64_t seek(FileRecord* record, int64_t offset, int method) {
    if (!record->ownPosition) {
        off_t at = lseek(record->fd, offset, method);
        struct stat status;
        if (at >= 0 && !record->escaped && fstat(record->fd, &status) == 0 &&
            S_ISREG(status.st_mode)) {
            record->position = at;
            record->ownPosition = 1;
        }
        return at;
    }
    int64_t base = 0;
    if (method == SEEK_CUR) {
        base = record->position;
    } else if (method == SEEK_END) {
        struct stat status;
        if (fstat(record->fd, &status) != 0) return -1;
        base = status.st_size;
    } else if (method != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    int64_t at;
    if (__builtin_add_overflow(base, offset, &at) || at < 0) {
        errno = EINVAL;
        return -1;
    }
    record->position = at;
    return at;
}

ssize_t transfer(FileRecord* record, void* buffer, size_t count, bool writing) {
    char* bytes = static_cast<char*>(buffer);
    if (!record->ownPosition) return writing ? Write(record->fd, bytes, count) : Read(record->fd, bytes, count);
    int64_t& position = record->position;
    return transfer_all(record->fd, bytes, count, [&](int fd, char* p, size_t n) {
        ssize_t moved = writing ? pwrite(fd, p, n, position) : pread(fd, p, n, position);
        if (moved > 0) position += moved;
        return moved;
    });
}

// ReadFile and WriteFile: a pipe handle goes to the pipe code, another kind is refused without
// touching the count, and a file handle moves the data and reports how much (0 on failure).
BOOL transfer_through(HANDLE file, void* buffer, DWORD count, LPDWORD moved, bool writing) {
    if (is_pipe(file))
        return writing ? WritePipe(file, buffer, count, moved) : ReadPipe(file, buffer, count, moved);
    if (handle_tag(handle_value(file)) != kTagFile || handle_value(file) == kInvalidHandleValue)
        return FALSE;
    ssize_t result = -1;
    if (buffer == nullptr && count != 0)
        errno = EFAULT;
    else
        with_file(file, [&](FileRecord* record) { result = transfer(record, buffer, count, writing); });
    if (moved != nullptr) *moved = result < 0 ? 0 : static_cast<DWORD>(result);
    return result < 0 ? FALSE : TRUE;
}

// The size without disturbing the position; -1 on failure.
int64_t file_size(FileRecord* record) {
    int fd = record->fd;
    if (record->ownPosition) {
        struct stat status;
        return fstat(fd, &status) == 0 ? status.st_size : -1;
    }
    off_t here = lseek(fd, 0, SEEK_CUR);
    if (here < 0) return -1;
    off_t end = lseek(fd, 0, SEEK_END);
    if (lseek(fd, here, SEEK_SET) < 0) return -1;
    return end;
}

BOOL resize_to(int fd, off_t size) {
    return ftruncate(fd, size) == 0 && fsync(fd) == 0;
}

}  // namespace

bool file_is_live(HANDLE handle) { return names_live(FileSlot, handle); }

}  // namespace tarvex

using namespace tarvex;

extern "C" {

// The share table needs no set-up: its buckets and their locks are static.
TARVEX_API int InitFiles(int count) {
    return count <= 0 ? -1 : open_table(FileSlot, static_cast<uint32_t>(count));
}

TARVEX_API void FreeAllFiles(void) {
    release_table<FileRecord, wake_nobody, end_file>(FileSlot);
    free_file_lock_table();
}

TARVEX_API HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share_mode,
                              LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                              DWORD flags_and_attributes, HANDLE) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (strstr(path, "\\pipe\\") != nullptr)
        return CreatePipeFile(path, access, disposition, flags_and_attributes, attributes);
    bool existed = false;
    DWORD error = 0;
    HANDLE handle = with_lock(filelock, [&]() -> HANDLE {
        if (FileSlot.lowest_free() < 0) {
            UnixLog("CreateFile: %s - too many open files (%d)", path,
                    static_cast<int>(FileSlot.length));
            error = ERROR_TOO_MANY_OPEN_FILES;
            return INVALID_HANDLE_VALUE;
        }
        if (creating(disposition)) existed = Access(path, F_OK) == 0;
        bool full = false;
        int64_t index = claim_record(FileSlot, full, [&](FileRecord* record) {
            int fd = OpenSharedFile(path, access, share_mode, disposition, flags_and_attributes, 0);
            if (fd < 0) return false;
            // The record takes the descriptor in one store: a creator cancelled from here on
            // leaves a live record whose handle was lost, never a lost descriptor with a free one.
            Strcpy(record->name, path, kNameSize);
            record->access = access;
            record->shareMode = share_mode;
            record->disposition = disposition;
            record->flagsAndAttributes = flags_and_attributes;
            record->closed = TRUE;
            record->position = 0;
            record->ownPosition = 0;
            record->escaped = 0;
            store(record->references, LONG{1});
            store(record->fd, fd);
            store(record->inUse, LONG{1});
            return true;
        });
        if (index < 0) {
            // A path too long to be told apart from others keeps its errno, which reads as the
            // name-too-long error.
            if (errno != ENAMETOOLONG)
                error = disposition == CREATE_NEW && existed ? ERROR_FILE_EXISTS
                                                             : ERROR_INVALID_HANDLE;
            return INVALID_HANDLE_VALUE;
        }
        if (disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING &&
            (userID != 0xFFFFFFFFu || groupID != 0xFFFFFFFFu))
            Chown(path, static_cast<uid_t>(userID), static_cast<gid_t>(groupID));
        return make_handle(static_cast<uint32_t>(index), kTagFile);
    });
    if (handle == INVALID_HANDLE_VALUE) {
        if (error != 0) SetLastError(error);
        return handle;
    }
    // A creating disposition says whether the file was there: 80, not 183, as callers expect.
    if (creating(disposition)) SetLastError(existed ? ERROR_FILE_EXISTS : 0);
    return handle;
}

TARVEX_API BOOL CloseFile(HANDLE file) {
    uint32_t index = handle_index(handle_value(file));
    return with_lock(filelock, [&]() -> BOOL {
        FileRecord* record = FileSlot.at(index);
        if (record == nullptr) return FALSE;
        switch (close_reference<FileRecord, wake_nobody, end_file>(record)) {
            case Closed::kNotLive:
                UnixLog("Assert failed in %s line %d", "file.cpp", __LINE__);
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            case Closed::kStillOpen:
                return TRUE;
            case Closed::kLast:
                return record->closed;
        }
        return FALSE;
    });
}

TARVEX_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED) {
    return transfer_through(file, buffer, to_read, read, false);
}

TARVEX_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
                          LPOVERLAPPED) {
    return transfer_through(file, const_cast<void*>(buffer), to_write, written, true);
}

TARVEX_API DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
    if (handle_value(file) == kInvalidHandleValue) return INVALID_SET_FILE_POINTER;
    // A pipe has no position: 0 for a pipe handle that is open.
    if (is_pipe(file)) {
        if (!pipe_is_live(file)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return INVALID_SET_FILE_POINTER;
        }
        if (distance_high != nullptr) *distance_high = 0;
        return 0;
    }
    // With a high half the distance is 64 bits: the high half signed, the low half unsigned.
    int64_t offset = distance_high == nullptr
                         ? distance
                         : static_cast<int64_t>((static_cast<uint64_t>(*distance_high) << 32) |
                                                static_cast<uint32_t>(distance));
    int64_t position = -1;
    if (!with_file(file, [&](FileRecord* record) {
            position = seek(record, offset, static_cast<int>(method));
        }))
        return INVALID_SET_FILE_POINTER;
    if (distance_high != nullptr) *distance_high = static_cast<LONG>(position >> 32);
    return static_cast<DWORD>(position);
}

TARVEX_API BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position,
                                 DWORD method) {
    if (handle_value(file) == kInvalidHandleValue) return FALSE;
    if (is_pipe(file)) {
        if (!pipe_is_live(file)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (position != nullptr) position->QuadPart = 0;
        return TRUE;
    }
    int64_t moved = -1;
    if (!with_file(file, [&](FileRecord* record) {
            moved = seek(record, distance.QuadPart, static_cast<int>(method));
        }) ||
        moved < 0)
        return FALSE;
    if (position != nullptr) position->QuadPart = moved;
    return TRUE;
}

TARVEX_API DWORD GetFileSize(HANDLE file, LPDWORD size_high) {
    int64_t size = -1;
    with_file(file, [&](FileRecord* record) { size = file_size(record); });
    if (size < 0) {
        if (size_high != nullptr) *size_high = 0xFFFFFFFFu;
        return INVALID_FILE_SIZE;
    }
    if (size_high != nullptr) *size_high = static_cast<DWORD>(static_cast<uint64_t>(size) >> 32);
    return static_cast<DWORD>(size);
}

TARVEX_API BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    int64_t found = -1;
    with_file(file, [&](FileRecord* record) { found = file_size(record); });
    if (found < 0) return FALSE;
    if (size == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size->QuadPart = found;
    return TRUE;
}

TARVEX_API BOOL SetEndOfFile(HANDLE file) {
    BOOL result = FALSE;
    with_file(file, [&](FileRecord* record) {
        int64_t here = seek(record, 0, SEEK_CUR);
        result = here >= 0 && resize_to(record->fd, here);
    });
    return result;
}

TARVEX_API BOOL SetFileSize(HANDLE file, LONG distance, PLONG, DWORD method) {
    BOOL result = FALSE;
    with_file(file, [&](FileRecord* record) {
        int64_t end = seek(record, distance, static_cast<int>(method));
        result = end >= 0 && resize_to(record->fd, end);
    });
    return result;
}

TARVEX_API BOOL FlushFileBuffers(HANDLE file) {
    BOOL result = FALSE;
    with_file(file, [&](FileRecord* record) { result = fsync(record->fd) == 0; });
    return result;
}

TARVEX_API BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access,
                            LPFILETIME last_write) {
    struct stat status;
    int rc = -1;
    with_file(file, [&](FileRecord* record) { rc = FStat(record->fd, &status); });
    if (rc != 0) return FALSE;
    if (creation != nullptr) UnixToNT(status.st_ctime, creation);
    if (last_access != nullptr) UnixToNT(status.st_atime, last_access);
    if (last_write != nullptr) UnixToNT(status.st_mtime, last_write);
    return TRUE;
}

// Sets the times through the descriptor: the file the handle has open, even if its path has been
// renamed since, and a time that is not given is left exactly as it is.
TARVEX_API BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* last_access,
                            const FILETIME* last_write) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    time_t seconds;
    if (last_access != nullptr) {
        NTToUnix(last_access, &seconds);
        times[0] = {seconds, 0};
    }
    if (last_write != nullptr) {
        NTToUnix(last_write, &seconds);
        times[1] = {seconds, 0};
    }
    BOOL result = FALSE;
    with_file(file, [&](FileRecord* record) { result = futimens(record->fd, times) == 0; });
    return result;
}

// The caller may read, write or seek the descriptor itself from now on: its position is made the
// handle's and stays so.
TARVEX_API int HandleToFileHandle(HANDLE file) {
    int fd = -1;
    with_file(file, [&](FileRecord* record) {
        if (record->ownPosition) lseek(record->fd, record->position, SEEK_SET);
        record->ownPosition = 0;
        record->escaped = 1;
        fd = record->fd;
    });
    return fd;
}

TARVEX_API int HandleToFilename(HANDLE file, char* buffer, int size) {
    if (buffer == nullptr || size < 1) return 0;
    int found = 0;
    use_handle(FileSlot, file, [&](FileRecord* record) {
        Strcpy(buffer, record->name, size);
        found = 1;
    });
    return found;
}

TARVEX_API BOOL ReadFileEx(HANDLE, LPVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) {
    return FALSE;
}
TARVEX_API BOOL WriteFileEx(HANDLE, LPCVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE) {
    return FALSE;
}
TARVEX_API BOOL LockFile(HANDLE, DWORD, DWORD, DWORD, DWORD) { return FALSE; }
TARVEX_API BOOL UnlockFile(HANDLE, DWORD, DWORD, DWORD, DWORD) { return FALSE; }
TARVEX_API BOOL UnlockFileEx(HANDLE, DWORD, DWORD, DWORD, LPOVERLAPPED) { return FALSE; }
TARVEX_API DWORD GetFileType(HANDLE) { return FILE_TYPE_UNKNOWN; }
TARVEX_API DWORD GetFullPathNameA(LPCSTR, DWORD, LPSTR, LPSTR*) { return 0; }

}  // extern "C"
