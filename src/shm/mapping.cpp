// File mappings: the mapping table (SharedmSlot, 256 records, guarded by sharedmlock) and the
// views of its records.
//
// A named shared-memory mapping is a System V segment whose key comes from ftok on a backing
// file, "<base>tmp/.<name>" (or the name itself when it is an absolute path), so every process
// that names the mapping reaches the same segment. No lock spans processes: whether a creation
// found the mapping existing elsewhere rests on the segment's attach count at that moment, and
// the last close in a process removes segment and backing file only when nobody is attached and
// no other process holds the mapping.
// Every process that holds a named mapping keeps its backing file open with a shared record lock,
// which is how a last close tells whether another process still holds the mapping.
// An unnamed shared-memory mapping is a private segment that this process alone can reach; its
// last close marks it for removal at once and the system frees it with its last view.
// A mapping of an open file keeps the file's descriptor; its views are mmap views of the file.
//
// Every operation holds sharedmlock from start to end: views and the one address a record
// remembers change only under it. Calls CreateFileA, CloseHandle and the handle-to-descriptor
// helpers of the file table (files/file.cpp) under sharedmlock, never the other way round;
// reads RegBaseDir, which start-up sets once.
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/registry.h>
#include <tarvex/shm.h>
#include <tarvex/text.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lifetime.h"
#include "core/lock.h"
#include "core/slot_table.h"

namespace tarvex {
namespace {

constexpr uint32_t kMappingCount = 256;
constexpr int kNameSize = 260;
constexpr int kProjectId = 'w';
constexpr char kBackingPrefix[] = "tmp/.";

struct MappingRecord {
    char name[kNameSize];  // "" for an unnamed mapping
    char path[kNameSize];  // the backing file of a named shared-memory mapping
    DWORD protect;
    DWORD size;
    key_t key;
    int id;        // segment identifier, or the file's descriptor for a file mapping
    void* view;    // the last view mapped, or null
    HANDLE file;   // the backing file's handle, or the caller's file handle
    LONG backing;  // 1: `file` is a backing file this library opened and must close
    LONG inUse;
    LONG fileMapping;  // 1: views by mmap of the caller's file; 0: by shmat of the segment
    LONG references;   // CreateFileMappingA calls of this process not yet closed
    BOOL closed;       // what the last close came to, read by CloseSharedMemory
    LONG removable;    // 1: the backing file lies under tmp and is the library's to delete
};

MappingRecord g_records[kMappingCount];

// Views whose mapping was closed while they were still mapped. A view outlives its handle, and
// a host may well close the handle first and unmap later; the record is gone by then, so its
// last view moves here to stay within UnmapViewOfFile's reach. Guarded by sharedmlock.
struct OrphanView {
    void* address;
    DWORD size;
    LONG fileMapping;
};
OrphanView g_orphans[kMappingCount];
constinit SlotTable<MappingRecord> SharedmSlot;
TableLock& sharedmlock = SharedmSlot.lock;

bool writable(DWORD protect) { return (protect & (PAGE_READWRITE | PAGE_WRITECOPY)) != 0; }
mode_t mode_for(DWORD protect) { return writable(protect) ? 0640 : 0440; }

// The backing file of `name`, or the error that refuses it. A relative name may not leave tmp
// ("." would make the path tmp/.., the base directory itself), and a path that does not fit
// would be cut into another name's.
DWORD backing_path(const char* name, char (&path)[kNameSize]) {
    if (name[0] == '/') {
        if (strlen(name) >= kNameSize) return ERROR_INVALID_NAME;
        Strcpy(path, name, kNameSize);
        return 0;
    }
    if (RegBaseDir[0] == '\0') return ERROR_PATH_NOT_FOUND;
    if (strchr(name, '/') != nullptr || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
        strnlen(RegBaseDir, kNameSize) + sizeof kBackingPrefix - 1 + strlen(name) >= kNameSize)
        return ERROR_INVALID_NAME;
    Snprintf(path, kNameSize, "%s%s%s", RegBaseDir, kBackingPrefix, name);
    return 0;
}

// Gives the backing file its size before the handle is opened. The handle of a read-only
// mapping cannot write, and a descriptor of our own closed after the handle is open would drop
// the handle's share lock (record locks belong to the process, not the descriptor), so the
// sizing descriptor comes and goes first. A file already of that size is left alone: it may be
// another process's read-only backing file, which we could not open for writing. An absolute
// name is the caller's own file: one that exists is never cut or grown.
bool size_backing_file(const char* path, DWORD size, bool absolute) {
    struct stat status;
    if (Stat(path, &status) == 0 && (absolute || status.st_size == static_cast<off_t>(size)))
        return true;
    int fd = OpenEx(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    bool sized = ftruncate(fd, static_cast<off_t>(size)) == 0;
    int saved = errno;
    Close(fd);
    errno = saved;
    return sized;
}

int attach_count(int id) {
    struct shmid_ds status;
    return shmctl(id, IPC_STAT, &status) == 0 ? static_cast<int>(status.shm_nattch) : -1;
}

// A segment for the mapping: the named one of `path`, or a private one. Sets `attached` when
// another process already has it attached.
bool open_segment(MappingRecord* record, const char* path, bool& attached) {
    mode_t mode = mode_for(record->protect);
    if (path == nullptr) {
        record->key = IPC_PRIVATE;
        record->id = shmget(IPC_PRIVATE, record->size, IPC_CREAT | mode);
        return record->id >= 0;
    }
    // An absolute name is the caller's file and keeps the caller's mode.
    if (record->removable && Chmod(path, mode) != 0) return false;
    record->key = ftok(path, kProjectId);
    if (record->key == -1) return false;
    // Created with its mode at once: a segment of mode 0 could not even be read back by an
    // owner without privileges.
    record->id = shmget(record->key, record->size, IPC_CREAT | mode);
    if (record->id < 0) return false;
    struct shmid_ds status;
    if (shmctl(record->id, IPC_STAT, &status) != 0) return false;
    attached = status.shm_nattch > 0;
    if (!attached) {
        status.shm_perm.mode = mode;
        shmctl(record->id, IPC_SET, &status);
    }
    return true;
}

// Fills a free record with a shared-memory mapping; the last error on failure is left in errno.
bool fill_segment(MappingRecord* record, const char* name, const char* path, DWORD protect,
                  DWORD size, DWORD& error) {
    record->protect = protect;
    record->size = size;
    record->file = INVALID_HANDLE_VALUE;
    record->backing = 0;
    record->removable = 0;
    bool attached = false;
    if (path != nullptr) {
        bool absolute = name[0] == '/';
        if (!size_backing_file(path, size, absolute)) return false;
        DWORD access = writable(protect) ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
        record->file = CreateFileA(path, access, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (record->file == INVALID_HANDLE_VALUE) return false;
        record->backing = 1;
        record->removable = absolute ? 0 : 1;
        Strcpy(record->path, path, kNameSize);
    }
    if (!open_segment(record, path, attached)) {
        int saved = errno;
        if (record->backing) CloseHandle(record->file);
        errno = saved;
        return false;
    }
    error = attached ? ERROR_ALREADY_EXISTS : 0;
    Strcpy(record->name, name, kNameSize);
    record->view = nullptr;
    record->fileMapping = 0;
    record->closed = TRUE;
    store(record->references, LONG{1});
    store(record->inUse, LONG{1});
    return true;
}

// Fills a free record with a mapping of the caller's open file. No segment: views of a file are
// mmap views, and a System V segment keyed on the file would only be one more object to leak
// (and would refuse files larger than the system's segment limit).
bool fill_file(MappingRecord* record, HANDLE file, const char* name, DWORD protect) {
    char file_name[kNameSize];
    if (!HandleToFilename(file, file_name, kNameSize) || file_name[0] == '\0') return false;
    DWORD size = GetFileSize(file, nullptr);
    int fd = HandleToFileHandle(file);
    if (size == INVALID_FILE_SIZE || fd < 0) return false;
    record->protect = protect;
    record->size = size;
    record->key = -1;
    record->id = fd;
    record->view = nullptr;
    record->file = file;
    record->backing = 0;
    record->removable = 0;
    record->fileMapping = 1;
    record->closed = TRUE;
    Strcpy(record->name, name, kNameSize);
    store(record->references, LONG{1});
    store(record->inUse, LONG{1});
    return true;
}

// Whether a process other than this one holds the mapping: every holder keeps the backing file
// open with a shared record lock, which F_GETLK reports to anyone but its owner.
bool held_elsewhere(MappingRecord* record) {
    int fd = HandleToFileHandle(record->file);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return fd >= 0 && fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// The segment goes when nobody is attached and no other process holds the mapping (a process
// between views must not lose its data); the backing file goes with it. A private segment is
// marked at once: the system frees it with its last view.
void release_segment(MappingRecord* record) {
    if (record->id < 0) return;
    if (record->name[0] == '\0') {
        shmctl(record->id, IPC_RMID, nullptr);
    } else if (attach_count(record->id) == 0 && !held_elsewhere(record)) {
        shmctl(record->id, IPC_RMID, nullptr);
        if (record->removable) Unlink(record->path);
    }
    record->id = -1;
}

void wake_nobody(MappingRecord*) {}

// The last close of a record, safe to repeat (a closer cancelled inside it runs it again): every
// step clears what it released. Freed in the bitmap first, as the lifetime mechanism wants; the
// caller's file and any view stay as they are.
void end_mapping(MappingRecord* record) {
    // A record of a table being released is no longer the table's to mark.
    if (SharedmSlot.records != nullptr)
        SharedmSlot.mark_free(static_cast<uint32_t>(record - g_records));
    if (!record->fileMapping) release_segment(record);
    if (record->backing) {
        record->closed = CloseHandle(record->file);
        record->backing = 0;
    }
    record->file = INVALID_HANDLE_VALUE;
    if (record->view != nullptr) {
        for (OrphanView& orphan : g_orphans)
            if (orphan.address == nullptr) {
                orphan = {record->view, record->size, record->fileMapping};
                break;
            }
        record->view = nullptr;
    }
    record->name[0] = '\0';
    record->path[0] = '\0';
    store(record->inUse, LONG{0});
}

// At shutdown a segment's last view is detached first, so that the segment can go with it.
void end_mapping_at_exit(MappingRecord* record) {
    if (!record->fileMapping && record->view != nullptr) shmdt(record->view);
    record->view = nullptr;
    end_mapping(record);
}

void adopt_table() {
    if (SharedmSlot.records == nullptr) SharedmSlot.adopt(g_records, kMappingCount);
}

bool unmap(void* view, DWORD size, bool file_mapping) {
    return file_mapping ? munmap(view, size) == 0 : shmdt(view) == 0;
}

HANDLE create_mapping(HANDLE file, DWORD protect, DWORD size, const char* name, DWORD& error) {
    bool named = name != nullptr && name[0] != '\0';
    bool shared = handle_value(file) == kInvalidHandleValue;
    char path[kNameSize];
    if (shared && named && (error = backing_path(name, path)) != 0) return nullptr;
    // The file table reads only the index: a handle of another kind would name whatever file
    // has that index.
    if (!shared && handle_tag(handle_value(file)) != kTagFile) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return with_lock(sharedmlock, [&]() -> HANDLE {
        adopt_table();
        int64_t existing = !named ? -1 : find_live(SharedmSlot, [name](const MappingRecord& r) {
            return r.name[0] != '\0' && strcasecmp(r.name, name) == 0;
        });
        if (existing >= 0) {
            add_reference(g_records[existing]);
            error = ERROR_ALREADY_EXISTS;
            return make_handle(static_cast<uint32_t>(existing), kTagFileMapping);
        }
        bool full = false;
        // Not cancelled between opening the backing file or segment and the record holding it.
        int64_t index = claim_record(SharedmSlot, full, [&](MappingRecord* record) {
            return without_cancellation([&] {
                return shared ? fill_segment(record, named ? name : "", named ? path : nullptr,
                                             protect, size, error)
                              : fill_file(record, file, named ? name : "", protect);
            });
        });
        if (full) {
            UnixLog("CreateFileMapping: too many mappings");
            error = ERROR_TOO_MANY_OPEN_FILES;
            return INVALID_HANDLE_VALUE;
        }
        if (index < 0) return nullptr;  // errno says why
        return make_handle(static_cast<uint32_t>(index), kTagFileMapping);
    });
}

}  // namespace

bool mapping_is_live(HANDLE handle) { return names_live(SharedmSlot, handle); }

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitSharedMemory(void) {
    without_cancellation([] {
        with_lock(sharedmlock, [] {
            if (SharedmSlot.records == nullptr) adopt_table();
        });
    });
    return 0;
}

TARVEX_API int FreeAllSharedMemory(void) {
    release_table<MappingRecord, wake_nobody, end_mapping_at_exit>(SharedmSlot);
    return 1;
}

// 0 on failure with the reason as the last error (a system error stays in errno for
// GetLastError); all ones when the table is full; 183 when the name was live already.
TARVEX_API HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD,
                                     DWORD size_low, LPCSTR name) {
    DWORD error = 0;
    HANDLE handle = create_mapping(file, protect, size_low, name, error);
    if (handle == nullptr && error == ERROR_INVALID_NAME)
        UnixLog("CreateFileMapping: invalid name %.200s", name);
    if (handle != nullptr || error != 0) SetLastError(error);
    return handle;
}

TARVEX_API HANDLE OpenFileMappingA(DWORD, BOOL, LPCSTR) { return INVALID_HANDLE_VALUE; }

// A handle out of range or of a free record gives null with ERROR_INVALID_HANDLE.
TARVEX_API LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD, DWORD offset_low, SIZE_T) {
    uint32_t index = handle_index(handle_value(mapping));
    DWORD error = ERROR_INVALID_HANDLE;
    void* view = with_lock(sharedmlock, [&]() -> void* {
        MappingRecord* record = SharedmSlot.at(index);
        if (handle_value(mapping) == kInvalidHandleValue || record == nullptr || !is_live(*record))
            return nullptr;
        error = 0;
        void* address;
        if (record->fileMapping) {
            int prot = writable(record->protect) ? PROT_READ | PROT_WRITE : PROT_READ;
            address = mmap(nullptr, record->size, prot, MAP_SHARED, record->id,
                           static_cast<off_t>(offset_low));
            if (address == MAP_FAILED) return nullptr;
        } else {
            address = shmat(record->id, nullptr, access == FILE_MAP_READ ? SHM_RDONLY : 0);
            if (address == reinterpret_cast<void*>(-1)) return nullptr;
        }
        record->view = address;
        return address;
    });
    if (error != 0) SetLastError(error);
    return view;
}

TARVEX_API BOOL UnmapViewOfFile(LPCVOID address) {
    if (address == nullptr) return FALSE;
    return with_lock(sharedmlock, [&]() -> BOOL {
        int64_t index = SharedmSlot.find([address](const MappingRecord& r) {
            return load(r.inUse) == 1 && r.view == address;
        });
        if (index >= 0) {
            MappingRecord& record = g_records[index];
            if (!unmap(record.view, record.size, record.fileMapping)) return FALSE;
            record.view = nullptr;
            return TRUE;
        }
        for (OrphanView& orphan : g_orphans)
            if (orphan.address == address) {
                if (!unmap(orphan.address, orphan.size, orphan.fileMapping)) return FALSE;
                orphan.address = nullptr;
                return TRUE;
            }
        return FALSE;
    });
}

TARVEX_API BOOL CloseSharedMemory(HANDLE mapping) {
    uint32_t index = handle_index(handle_value(mapping));
    BOOL closed = with_lock(sharedmlock, [&]() -> BOOL {
        MappingRecord* record = SharedmSlot.at(index);
        if (record == nullptr) return FALSE;
        switch (close_reference<MappingRecord, wake_nobody, end_mapping>(record)) {
            case Closed::kNotLive: return FALSE;
            case Closed::kStillOpen: return TRUE;
            case Closed::kLast: return record->closed;
        }
        return FALSE;
    });
    if (!closed) SetLastError(ERROR_INVALID_HANDLE);
    return closed;
}

}  // extern "C"
