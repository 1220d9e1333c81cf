// Named pipes: a FIFO under the base directory's tmp carries the bytes, a record of the pipe
// table (pipe_table.h) carries the connection. Server and client meet within one process: a
// client finds the server's record by the FIFO's path in this process's table.
//
// The record's `lock` guards `connected` and `arrivals` and goes with `connectCond`, which is
// broadcast when a client arrives or leaves and when the server's last handle closes. Where both
// are held pipelock comes first. A thread that sleeps on connectCond is a use of the server end
// (pipe_table.h), so the record's primitives stay until it has left; it holds only the record's
// lock, never pipelock. Opens of the FIFO that must wait for the other side (ENXIO) poll every
// 30 ms holding nothing, and look at each step whether the pipe is still there.
//
// Reads RegBaseDir, which start-up sets once.
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/pipe.h>
#include <tarvex/registry.h>
#include <tarvex/text.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include "core/atomic.h"
#include "core/deadline.h"
#include "core/handle.h"
#include "core/lifetime.h"
#include "core/lock.h"
#include "pipe/pipe_table.h"

namespace tarvex {
namespace {

constexpr char kPipeMarker[] = "\\pipe\\";
constexpr DWORD kWaitFailed = 128;

// The FIFO a pipe name stands for, "<base>tmp/<final part>", or the error that refuses the
// name. The final part may not lead out of tmp ('/' or a dot directory would make the library
// create a FIFO elsewhere), and a path that does not fit would be cut into another name's.
DWORD fifo_path(const char* name, char (&path)[kPathSize]) {
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    const char* marker = strstr(name, kPipeMarker);
    if (marker == nullptr) return ERROR_INVALID_NAME;
    const char* last = marker + sizeof kPipeMarker - 1;
    if (last[0] == '\0' || strchr(last, '/') != nullptr || strcmp(last, ".") == 0 ||
        strcmp(last, "..") == 0)
        return ERROR_INVALID_NAME;
    if (RegBaseDir[0] == '\0') return ERROR_PATH_NOT_FOUND;
    if (strnlen(RegBaseDir, kPathSize) + 4 + strlen(last) >= kPathSize) return ERROR_INVALID_NAME;
    Snprintf(path, kPathSize, "%stmp/%s", RegBaseDir, last);
    return 0;
}

int open_flags_for(DWORD pipe_mode) {
    return pipe_mode == 1 ? O_WRONLY : pipe_mode == 2 ? O_RDONLY : O_RDWR;
}

// Time-outs are measured on the monotonic clock.
bool init_primitives(PipeRecord* record) {
    if (record->primitivesReady) return true;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    bool ready = pthread_mutex_init(&record->lock, nullptr) == 0;
    if (ready && pthread_cond_init(&record->connectCond, &attr) != 0) {
        pthread_mutex_destroy(&record->lock);
        ready = false;
    }
    pthread_condattr_destroy(&attr);
    record->primitivesReady = ready ? 1 : 0;
    return ready;
}

PipeEnd* server_end(PipeRecord* record) { return &record->info->ends[kServerEnd]; }
PipeEnd* client_end(PipeRecord* record) { return &record->info->ends[kClientEnd]; }

LONG clients_of(PipeRecord* record) {
    PipeEnd* clients = client_end(record);
    return is_live(*clients) ? load(clients->references) : 0;
}

// What a caller learns of a pipe under pipelock and works with after letting it go. `serial`
// tells whether the record still holds the same pipe when the caller comes back.
struct Found {
    PipeRecord* record = nullptr;
    uint32_t index = 0;
    uint32_t serial = 0;
    int openFlags = 0;
    char path[kPathSize] = {};
};

bool still_there(const Found& found) {
    return load(found.record->inUse) == 1 && load(found.record->serial) == found.serial &&
           is_live(*server_end(found.record));
}

void note(PipeRecord* record, Found& found) {
    found.record = record;
    found.index = static_cast<uint32_t>(record - PipeSlot.records);
    found.serial = record->serial;
    found.openFlags = record->info->openFlags;
    Strcpy(found.path, record->name, kPathSize);
}

// The named pipe whose FIFO is `path`, the lowest record first; only pipes whose server still
// has a handle. Searches the whole table. Under pipelock.
PipeRecord* find_by_path(const char* path) {
    int64_t index = PipeSlot.find([path](const PipeRecord& record) {
        return load(record.inUse) == 1 && record.named && record.origin == kNoOrigin &&
               record.name != nullptr && record.info != nullptr &&
               is_live(record.info->ends[kServerEnd]) && strcasecmp(record.name, path) == 0;
    });
    return index < 0 ? nullptr : &PipeSlot.records[index];
}

// Opens the FIFO for one side and hands the descriptor to install() under pipelock, waiting in
// 30 ms steps while a write-only open finds no reader. No step between the open and the
// descriptor's keeper can be cut short. Returns what install() said, or false with errno set.
template <class Install>
bool open_fifo(const Found& found, mode_t permission, Install&& install) {
    for (;;) {
        int error = 0;
        bool installed = false;
        without_cancellation([&] {
            int fd = OpenEx(found.path, found.openFlags | O_NONBLOCK | O_CLOEXEC, permission);
            if (fd < 0) {
                error = errno;
                return;
            }
            installed = with_lock(pipelock, [&] { return still_there(found) && install(fd); });
            if (!installed) {
                Close(fd);
                error = ENOENT;
            }
        });
        if (installed) return true;
        if (error != ENXIO || !still_there(found)) {
            errno = error;
            return false;
        }
        pipe_nap();
    }
}

// Blocks on the pipe's connectCond until ready() holds (WAIT_OBJECT_0), the time is up
// (WAIT_TIMEOUT) or the server's last handle is being closed (128). A use of the server end.
template <class Ready>
DWORD wait_on(const Found& found, DWORD milliseconds, Ready&& ready) {
    DWORD result = kWaitFailed;
    PipeRecord* record = found.record;
    use_end(server_end(record), [&](PipeEnd* server) {
        if (load(record->serial) != found.serial) return;
        struct timespec deadline = monotonic_deadline(milliseconds == INFINITE ? 0 : milliseconds);
        result = with_lock(record->lock, [&]() -> DWORD {
            for (;;) {
                if (closing(server)) return kWaitFailed;
                if (ready()) return WAIT_OBJECT_0;
                int rc = at_cancel_point([&] {
                    return milliseconds == INFINITE
                               ? Pthread_cond_wait(&record->connectCond, &record->lock)
                               : Pthread_cond_timedwait(&record->connectCond, &record->lock,
                                                        &deadline);
                });
                if (rc == ETIMEDOUT) {
                    if (ready()) return WAIT_OBJECT_0;
                    fprintf(stderr, "pthread_cond_timedwait error: %s\n", strerror(rc));
                    return WAIT_TIMEOUT;
                }
                if (rc != 0) return kWaitFailed;
            }
        });
    });
    return result;
}

// The named pipe a handle stands for, noted under pipelock; false for any other handle.
bool find_by_handle(HANDLE handle, Found& found) {
    return with_lock(pipelock, [&] {
        PipeRecord* record = named_primary(handle_value(handle));
        if (record == nullptr || record->info == nullptr || !is_live(*server_end(record)))
            return false;
        note(record, found);
        return true;
    });
}

// A client has arrived: the pipe is connected and whoever waits for that learns it.
void announce_client(PipeRecord* record) {
    with_lock(record->lock, [&] {
        record->connected = 1;
        ++record->arrivals;
        pthread_cond_broadcast(&record->connectCond);
    });
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API HANDLE CreateNamedPipeA(LPCSTR name, DWORD open_mode, DWORD pipe_mode,
                                   DWORD max_instances, DWORD, DWORD, DWORD default_timeout,
                                   LPSECURITY_ATTRIBUTES) {
    char path[kPathSize];
    DWORD error = fifo_path(name, path);
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    bool full = false;
    bool out_of_memory = false;
    int64_t index = with_lock(pipelock, [&] {
        return claim_record(PipeSlot, full, [&](PipeRecord* record) {
            return without_cancellation([&] {
                if (PipeInfo == nullptr) return false;
                if (record->name == nullptr) record->name = static_cast<char*>(malloc(kPathSize));
                if (record->name == nullptr) {
                    out_of_memory = true;
                    return false;
                }
                record->name[0] = '\0';
                // A FIFO left by an earlier run is used as it is; anything else of that name is not
                // ours to read and write as a pipe.
                struct stat status;
                if (Mkfifo(path, 0640) != 0 &&
                    (errno != EEXIST || Stat(path, &status) != 0 || !S_ISFIFO(status.st_mode))) {
                    error = errno == EEXIST ? ERROR_ALREADY_EXISTS : 0;
                    return false;
                }
                if (!init_primitives(record)) return false;
                if (userID != 0xFFFFFFFFu || groupID != 0xFFFFFFFFu)
                    Chown(path, static_cast<uid_t>(userID), static_cast<gid_t>(groupID));
                uint32_t slot = static_cast<uint32_t>(record - PipeSlot.records);
                PipeInfoRecord* info = &PipeInfo[slot];
                fill_end(info->ends[kServerEnd], -1, 1, 1, slot);
                fill_end(info->ends[kClientEnd], -1, 0, 0, slot);
                info->mode = open_mode;
                info->maxInstances = max_instances;
                info->defaultTimeout = default_timeout;
                info->openFlags = open_flags_for(pipe_mode);
                Strcpy(record->name, path, kPathSize);
                record->arrivals = 0;
                publish_record(record, info, 1);
                return true;
            });
        });
    });
    if (index < 0) {
        if (full) UnixLog("CreateNamedPipe: %s - too many pipes", name);
        if (out_of_memory) UnixLog("CreateNamedPipe: Out of memory");
        if (full) error = ERROR_TOO_MANY_OPEN_FILES;
        if (error != 0) SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return to_handle(server_form(static_cast<uint32_t>(index)));
}

// The client's open, reached through CreateFileA. Clients share one descriptor on the FIFO
// while any of them is open: it is the same byte queue, and each open then costs no descriptor.
TARVEX_API HANDLE CreatePipeFile(LPCSTR path, DWORD access, DWORD, DWORD flags_and_attributes,
                                 LPSECURITY_ATTRIBUTES) {
    char fifo[kPathSize];
    DWORD error = fifo_path(path, fifo);
    if (error != 0) {
        SetLastError(error == ERROR_INVALID_PARAMETER ? error : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    mode_t permission = (flags_and_attributes & FILE_ATTRIBUTE_READONLY) ? 0440 : 0640;
    Found found;
    bool joined = false;
    // Room for one more client, a client descriptor to share, or neither: under pipelock.
    auto admit = [&](PipeRecord* record) -> DWORD {
        if (static_cast<DWORD>(clients_of(record)) >= record->info->maxInstances)
            return ERROR_PIPE_BUSY;
        if (is_live(*client_end(record))) {
            add_reference(*client_end(record));
            joined = true;
        }
        return 0;
    };
    error = with_lock(pipelock, [&]() -> DWORD {
        PipeRecord* record = find_by_path(fifo);
        if (record == nullptr) return ERROR_FILE_NOT_FOUND;
        if ((record->info->mode & PIPE_ACCESS_DUPLEX) == 0 ||
            (access & (GENERIC_READ | GENERIC_WRITE)) == 0)
            return ERROR_ACCESS_DENIED;
        note(record, found);
        return admit(record);
    });
    if (error == 0 && !joined) {
        bool opened = open_fifo(found, permission, [&](int fd) {
            error = admit(found.record);
            if (error != 0 || joined) return false;
            fill_end(*client_end(found.record), fd, 1, 0, found.index);
            return true;
        });
        if (!opened && error == 0 && !joined) return INVALID_HANDLE_VALUE;  // errno tells why
    }
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    with_lock(pipelock, [&] {
        if (still_there(found)) announce_client(found.record);
    });
    return to_handle(client_form(found.index));
}

TARVEX_API BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED) {
    Found found;
    if (!find_by_handle(pipe, found)) {
        UnixLog("ConnectNamedPipe: Invalid handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The server's own descriptor, opened once; one opened meanwhile by another thread wins.
    PipeEnd* server = server_end(found.record);
    if (load(server->fd) < 0 &&
        !open_fifo(found, 0640, [&](int fd) {
            int none = -1;
            return __atomic_compare_exchange_n(&server->fd, &none, fd, false, __ATOMIC_SEQ_CST,
                                               __ATOMIC_SEQ_CST);
        }) &&
        load(server->fd) < 0)
        return FALSE;
    PipeRecord* record = found.record;
    return wait_on(found, INFINITE, [record] { return record->connected != 0; }) == WAIT_OBJECT_0;
}

TARVEX_API BOOL DisconnectNamedPipe(HANDLE pipe) {
    BOOL done = with_lock(pipelock, [&]() -> BOOL {
        PipeRecord* record = named_primary(handle_value(pipe));
        if (record == nullptr || !record->primitivesReady) return FALSE;
        with_lock(record->lock, [&] { record->connected = 0; });
        return TRUE;
    });
    if (!done) SetLastError(ERROR_INVALID_HANDLE);
    return done;
}

// TRUE once the pipe has room for another client: at once when it has, else when a client
// leaves within the time-out (0: the pipe's default time-out).
TARVEX_API BOOL WaitNamedPipeA(LPCSTR name, DWORD timeout) {
    char fifo[kPathSize];
    DWORD error = fifo_path(name, fifo);
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    Found found;
    DWORD wait = timeout;
    bool exists = with_lock(pipelock, [&] {
        PipeRecord* record = find_by_path(fifo);
        if (record == nullptr) return false;
        note(record, found);
        if (wait == NMPWAIT_USE_DEFAULT_WAIT) wait = record->info->defaultTimeout;
        return true;
    });
    if (!exists) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    PipeRecord* record = found.record;
    DWORD result = wait_on(found, wait, [record] {
        return static_cast<DWORD>(clients_of(record)) < record->info->maxInstances;
    });
    if (result == WAIT_TIMEOUT) SetLastError(ERROR_SEM_TIMEOUT);
    return result == WAIT_OBJECT_0;
}

// The wait behind WaitForSingleObject: a named pipe's handle is signalled while a client is
// connected. An anonymous pipe's handle cannot be waited for.
TARVEX_API DWORD WaitForPipe(HANDLE pipe, DWORD milliseconds) {
    Found found;
    if (!find_by_handle(pipe, found)) return kWaitFailed;
    PipeRecord* record = found.record;
    return wait_on(found, milliseconds, [record] { return record->connected != 0; });
}

}  // extern "C"
