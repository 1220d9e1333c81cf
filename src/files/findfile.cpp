// Directory search: the search table (FindSlot, guarded by findlock, as long as the file table)
// and FindFirstFileA, FindNextFileA and FindClose on its records.
//
// A record holds only the directory stream of a wildcard search. The pattern and the directory
// travel in the caller's find-data record, which the caller hands unchanged to every call of the
// search. findlock covers claiming a record, the close and the release of the table; the work on
// the file system runs outside it. FindNextFileA is a use of its record (core/lifetime.h) and
// takes no lock: a handle whose record is free or out of range is refused, and a FindClose that
// races it waits for it to finish before the stream is closed.
//
// Names are matched with WildCardMatch (text/wildcard.cpp), ignoring case, and the registry's
// own files (IsRegistryFile, registry/regname.cpp) are never reported. Records are filled with
// ConvertFileAttributes and ConvertFileTime (files/path.cpp).
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/registry.h>
#include <tarvex/text.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lifetime.h"
#include "core/lock.h"
#include "core/slot_table.h"

namespace tarvex {
namespace {

struct FindRecord {
    LONG inUse;
    LONG references;
    DIR* dir;  // the stream of a wildcard search; null for a search of one named entry
};

constinit SlotTable<FindRecord> FindSlot;
TableLock& findlock = FindSlot.lock;

// Entry names are reported whole or not at all; the system's longest fits.
static_assert(sizeof(dirent::d_name) <= sizeof(WIN32_FIND_DATAA::cFileName));

// What the last close of this thread's stream said, for FindClose's result.
thread_local int t_closedir_result = 0;

// Nothing blocks inside a search, so a last close has nobody to wake.
void wake_nobody(FindRecord*) {}

// Safe to repeat: the stream is closed and forgotten with cancellation held off, so a second run
// finds it gone rather than freeing it again.
void release_search(FindRecord* record) {
    without_cancellation([record] {
        if (record->dir != nullptr) t_closedir_result = Closedir(record->dir);
        record->dir = nullptr;
    });
    store(record->inUse, LONG{0});
}

// The last close of a table record: freed in the bitmap before the record says so itself.
void end_search(FindRecord* record) {
    FindSlot.mark_free(static_cast<uint32_t>(record - FindSlot.records));
    release_search(record);
}

void fill(WIN32_FIND_DATAA* record, const char* name, const struct stat& status) {
    Strcpy(record->cFileName, name, MAX_PATH);
    record->cAlternateFileName[0] = '\0';
    ConvertFileAttributes(record, &status);
    ConvertFileTime(&record->ftCreationTime, status.st_ctime);
    ConvertFileTime(&record->ftLastAccessTime, status.st_atime);
    ConvertFileTime(&record->ftLastWriteTime, status.st_mtime);
}

// Length of the directory part of `path`: up to the last '/' before the first wildcard, or
// before the path's end when it has none; 0 without such a '/'.
size_t directory_length(const char* path, const char* wildcard, size_t length) {
    size_t end = wildcard != nullptr ? static_cast<size_t>(wildcard - path) + 1 : length;
    while (end > 0 && path[end - 1] != '/') --end;
    return end;
}

// A path without wildcards names one entry: it must open (without waiting, should it be a FIFO)
// and its status be readable.
bool find_named(const char* path, const char* name, WIN32_FIND_DATAA* record) {
    int fd = Open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    struct stat status;
    bool known = FStat(fd, &status) == 0;
    Close(fd);
    if (!known) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    fill(record, name, status);
    return true;
}

enum class Next { kFound, kEnd, kNoStatus };

// Reads on to the next entry the search reports and fills the record with it. The status is
// read relative to the open directory: the same file as the joined path names, without joining
// or walking the path again.
Next next_entry(DIR* dir, const char* pattern, WIN32_FIND_DATAA* record) {
    struct dirent entry;
    struct dirent* read;
    while (Readdir_r(dir, &entry, &read) == 0 && read != nullptr) {
        if (IsRegistryFile(entry.d_name) || !WildCardMatch(entry.d_name, pattern)) continue;
        struct stat status;
        if (fstatat(dirfd(dir), entry.d_name, &status, 0) != 0) return Next::kNoStatus;
        fill(record, entry.d_name, status);
        return Next::kFound;
    }
    return Next::kEnd;
}

}  // namespace

bool find_file_is_live(HANDLE handle) { return names_live(FindSlot, handle); }

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitFindFiles(int count) {
    return count < 0 ? -1 : open_table(FindSlot, static_cast<uint32_t>(count));
}

TARVEX_API void FreeAllFindFiles(void) {
    release_table<FindRecord, wake_nobody, release_search>(FindSlot);
}

// The failures the caller must see as "last error unchanged" (no match, no free record) put
// back the errno it came with, which is what GetLastError would have reported.
TARVEX_API HANDLE FindFirstFileA(LPCSTR path, LPWIN32_FIND_DATAA record) {
    if (path == nullptr || record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int caller_errno = errno;
    const char* wildcard = strpbrk(path, "?*");
    size_t length = strlen(path);
    // A path that does not fit the record's 260-byte fields is refused, not cut: a cut path
    // names another directory or file, and the search would report what was never asked for.
    if (length >= MAX_PATH) {
        SetLastError(wildcard != nullptr ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    size_t directory = directory_length(path, wildcard, length);
    memcpy(record->cDirectory, path, directory);
    record->cDirectory[directory] = '\0';
    Strcpy(record->cPattern, wildcard != nullptr ? path + directory : "", MAX_PATH);

    DIR* dir = nullptr;
    if (wildcard == nullptr) {
        if (!find_named(path, path + directory, record)) return INVALID_HANDLE_VALUE;
    } else {
        dir = directory > 0 ? Opendir(record->cDirectory) : nullptr;
        if (dir == nullptr) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (next_entry(dir, record->cPattern, record) != Next::kFound) {
            Closedir(dir);
            errno = caller_errno;
            return INVALID_HANDLE_VALUE;
        }
    }
    bool full = false;
    int64_t index = with_lock(findlock, [&] {
        return claim_record(FindSlot, full, [dir](FindRecord* slot) {
            slot->dir = dir;
            store(slot->references, LONG{1});
            store(slot->inUse, LONG{1});
            return true;
        });
    });
    if (index < 0) {
        if (dir != nullptr) Closedir(dir);
        UnixLog("FindFirstFile: Too many searches");
        errno = caller_errno;
        return INVALID_HANDLE_VALUE;
    }
    return make_handle(static_cast<uint32_t>(index), kTagFindFile);
}

TARVEX_API BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA record) {
    BOOL found = FALSE;
    DWORD error = ERROR_NO_MORE_FILES;
    bool search_kind = handle_tag(handle_value(search)) == kTagFindFile;
    Use use = !search_kind ? Use::kNotLive : use_handle(FindSlot, search, [&](FindRecord* slot) {
        if (record == nullptr) {
            error = ERROR_INVALID_PARAMETER;
            return;
        }
        // The pattern lives in the caller's memory: one without an end within its field is no
        // pattern, rather than a read past the record.
        const char* pattern = record->cPattern;
        if (slot->dir == nullptr || pattern[0] == '\0' || memchr(pattern, '\0', MAX_PATH) == nullptr)
            return;
        Next next = next_entry(slot->dir, pattern, record);
        found = next == Next::kFound ? TRUE : FALSE;
        if (next == Next::kNoStatus) error = ERROR_FILE_NOT_FOUND;
    });
    if (use != Use::kDone) error = use == Use::kNoSlot ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE;
    if (!found) SetLastError(error);
    return found;
}

// A search is closed once: a handle whose record is already free is refused like any other.
TARVEX_API BOOL FindClose(HANDLE search) {
    uint32_t value = handle_value(search);
    bool closed = handle_tag(value) == kTagFindFile && with_lock(findlock, [value] {
        t_closedir_result = 0;
        FindRecord* record = FindSlot.at(handle_index(value));
        return close_reference<FindRecord, wake_nobody, end_search>(record) != Closed::kNotLive;
    });
    if (!closed || t_closedir_result != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
