// Pipes: the pipe table (PipeSlot and PipeInfo, guarded by pipelock; pipe_table.h), anonymous
// pipes, and the operations every pipe handle shares: transfers, close, duplicate and the lookup
// of the descriptor behind a handle. Named pipes (named_pipe.cpp) live in the same table.
//
// pipelock covers every change to the tables: create, duplicate, close and the release of the
// whole table. Transfers and GetRealHandle find their end without it; a transfer is a use of the
// end (pipe_table.h), so the end's last close waits for it before the descriptor goes.
//
// Reads wait for data by polling the descriptor in 30 ms steps rather than blocking in read:
// between steps a reader sees that its end is being closed and leaves, so a close never waits
// longer than a step for a reader that would otherwise sleep until a writer came. A writer
// blocks in write; a close of the last handle on the write end waits until a reader has made
// room for it.
//
// Called by the generic handle operations (core/obj_nt.cpp: ClosePipe, DuplicatePipe and, from
// named_pipe.cpp, WaitForPipe) and by ReadFile, WriteFile and SetFilePointer (files/file.cpp).
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/pipe.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/kinds.h"
#include "core/lifetime.h"
#include "core/lock.h"
#include "core/slot_table.h"
#include "pipe/pipe_table.h"

namespace tarvex {

constinit SlotTable<PipeRecord> PipeSlot;
PipeInfoRecord* PipeInfo = nullptr;
uint32_t PipeInfoLen = 0;
TableLock& pipelock = PipeSlot.lock;

namespace {

constexpr int kPollMilliseconds = 30;

PipeRecord* record_at(uint32_t index) {
    PipeRecord* records = load(PipeSlot.records);
    if (records == nullptr || index >= load(PipeSlot.length)) return nullptr;
    return &records[index];
}

bool taken(const PipeRecord* record) { return record != nullptr && load(record->inUse) == 1; }

// The live end of an anonymous pipe whose descriptor is `fd`, reached through the handle the
// pipe was created with (a closed handle reaches nothing, even while a duplicate keeps its
// descriptor open). Searches the records in index order.
PipeEnd* find_descriptor_end(int fd) {
    PipeRecord* records = load(PipeSlot.records);
    PipeInfoRecord* infos = load(PipeInfo);
    if (records == nullptr || infos == nullptr || fd < 0) return nullptr;
    uint32_t length = load(PipeSlot.length);
    for (uint32_t i = 0; i < length; ++i) {
        const PipeRecord& record = records[i];
        if (load(record.inUse) != 1 || load(record.named) || load(record.origin) != kNoOrigin)
            continue;
        for (PipeEnd& end : infos[i].ends)
            if (load(end.fd) == fd && load(end.plain) == 1 && load(end.inUse) == 1) return &end;
    }
    return nullptr;
}

// Inside a use: the end still answers to the handle it was found by. A descriptor form names
// its end only while the end is the one the pipe was created with and the descriptor is still
// the handle's; the server handle a named pipe was created with names nothing once closed, though
// duplicates keep its end open; any other record form names its end while the record is taken.
bool still_named_by(const PipeEnd* end, uint32_t value) {
    PipeRecord* record = record_at(pipe_record_index(value));
    if (record == nullptr) return load(end->fd) == descriptor_of(value) && load(end->plain) == 1;
    PipeInfoRecord* info = load(record->info);
    if (info != nullptr && load(record->named) && load(record->origin) == kNoOrigin &&
        !is_client_form(value))
        return load(info->ends[kServerEnd].plain) == 1;
    return true;
}

// Frees a record: a duplicate's, or a pipe's own once neither end has a handle. Safe to repeat.
// The bitmap learns first, so that a second run (a closer cancelled inside the first) still
// finds the record taken.
void release_record(PipeRecord* record) {
    if (load(record->inUse) != 1) return;
    uint32_t index = static_cast<uint32_t>(record - PipeSlot.records);
    PipeSlot.mark_free(index);
    if (load(record->origin) == kNoOrigin && record->info != nullptr) {
        PipeInfoRecord* info = record->info;
        for (PipeEnd& end : info->ends) fill_end(end, -1, 0, 0, 0);
        info->mode = info->maxInstances = info->defaultTimeout = 0;
        info->openFlags = 0;
    }
    if (record->primitivesReady) {
        record->primitivesReady = 0;
        pthread_mutex_destroy(&record->lock);
        pthread_cond_destroy(&record->connectCond);
        memset(static_cast<void*>(&record->lock), 0, sizeof record->lock);
        memset(static_cast<void*>(&record->connectCond), 0, sizeof record->connectCond);
    }
    store(record->info, static_cast<PipeInfoRecord*>(nullptr));
    record->connected = 0;
    record->arrivals = 0;
    store(record->named, DWORD{0});
    if (record->name != nullptr) record->name[0] = '\0';
    store(record->origin, kNoOrigin);
    store(record->endIndex, 0);
    store(record->references, LONG{0});
    store(record->inUse, LONG{0});
}

// An end's last close: waiters of a named pipe are woken (they look at the end's references).
void wake_end(PipeEnd* end) {
    PipeRecord* record = PipeSlot.records != nullptr ? &PipeSlot.records[end->slot] : nullptr;
    if (record != nullptr && load(record->named) && record->primitivesReady)
        broadcast_connection(record);
}

// Closes the end's descriptor (taken out of the end first, so a second run never closes a
// number that may since be someone else's) and frees the pipe's record when the other end has
// no handle either. A named pipe's clients leaving may free an instance a waiter wants.
void end_descriptor(PipeEnd* end) {
    int fd = __atomic_exchange_n(&end->fd, -1, __ATOMIC_SEQ_CST);
    if (fd >= 0) without_cancellation([fd] { Close(fd); });
    store(end->plain, LONG{0});
    PipeRecord* record = PipeSlot.records != nullptr ? &PipeSlot.records[end->slot] : nullptr;
    if (record != nullptr && taken(record)) {
        PipeInfoRecord* info = record->info;
        PipeEnd* other = info != nullptr ? &info->ends[end == &info->ends[0] ? 1 : 0] : nullptr;
        if (other != nullptr && !is_live(*other)) {
            without_cancellation([record] { release_record(record); });
            return;  // the information record, this end with it, is all zeros now
        }
        if (load(record->named) && record->primitivesReady) broadcast_connection(record);
    }
    store(end->inUse, LONG{0});
}

// What a transfer came to.
struct Moved {
    ssize_t count;  // bytes moved, or -1
    int error;      // errno when count is -1
};

// Reads until `count` bytes have come, the writers are gone (end of data), a non-blocking
// descriptor has no more after some bytes, or the end is being closed.
Moved read_end(PipeEnd* end, char* buffer, size_t count) {
    size_t done = 0;
    int fd = load(end->fd);
    while (done < count && !closing(end)) {
        struct pollfd ready = {fd, POLLIN, 0};
        int polled = poll(&ready, 1, kPollMilliseconds);
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        ssize_t n = read(fd, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            break;  // every writer is gone
        } else if (errno == EAGAIN) {
            if (done > 0) break;  // a named pipe's reader takes what is there
        } else if (errno != EINTR) {
            if (done == 0) return {-1, errno};
            break;
        }
    }
    return {static_cast<ssize_t>(done), 0};
}

Moved write_end(PipeEnd* end, const char* buffer, size_t count) {
    ssize_t n = Write(load(end->fd), buffer, count);
    return {n, n < 0 ? errno : 0};
}

// Moves data through the end that `pipe` names. FALSE with the count 0 for a null buffer (87), a
// handle that names no open pipe end (6), a failure of the system (errno kept) or, for a read,
// an end of data before any byte (109: every writer has gone).
template <class Transfer>
BOOL transfer(HANDLE pipe, const void* buffer, DWORD count, LPDWORD moved, bool writing,
              Transfer&& move) {
    if (moved != nullptr) *moved = 0;
    if (buffer == nullptr && count != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint32_t value = handle_value(pipe);
    Moved result = {-1, 0};
    bool found = false;
    bool listening = false;
    PipeEnd* end = end_for_transfer(value);
    Use use = use_end(end, [&](PipeEnd* live) {
        if (!still_named_by(live, value)) return;
        listening = load(live->fd) < 0;  // a named pipe's server that has no descriptor yet
        found = !listening;
        if (found) result = count == 0 ? Moved{0, 0} : move(live);
    });
    if (use == Use::kNoSlot) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (!found) {
        SetLastError(listening ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (result.count < 0) {
        errno = result.error;
        if (writing) perror("write error");
        errno = result.error;
        return FALSE;
    }
    if (result.count == 0 && count != 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if (moved != nullptr) *moved = static_cast<DWORD>(result.count);
    return TRUE;
}

// The source of a duplicate: the end it will hold and the handle it stands for. Under pipelock.
struct Source {
    PipeRecord* record;  // whose information record and name the duplicate shares
    PipeEnd* end;
    uint32_t origin;
    int endIndex;
};

bool find_source(uint32_t value, Source& source) {
    PipeRecord* record = record_at(pipe_record_index(value));
    if (record != nullptr) {
        if (!taken(record) || record->info == nullptr) return false;
        if (record->origin != kNoOrigin) {
            source = {record, &record->info->ends[record->endIndex], record->origin,
                      record->endIndex};
        } else if (record->named) {
            int which = is_client_form(value) ? kClientEnd : kServerEnd;
            source = {record, &record->info->ends[which], value, which};
            if (!still_named_by(source.end, value)) return false;
        } else {
            return false;  // an anonymous pipe's own record has no handle of this form
        }
        return is_live(*source.end);
    }
    PipeEnd* end = find_descriptor_end(descriptor_of(value));
    if (end == nullptr) return false;
    int which = end == &PipeInfo[end->slot].ends[0] ? 0 : 1;
    source = {&PipeSlot.records[end->slot], end, value, which};
    return true;
}

}  // namespace

PipeRecord* named_primary(uint32_t value) {
    if (!is_pipe_value(value)) return nullptr;
    PipeRecord* record = record_at(pipe_record_index(value));
    if (!taken(record) || !load(record->named)) return nullptr;
    uint32_t origin = load(record->origin);
    if (origin == kNoOrigin) return record;
    record = record_at(pipe_record_index(origin));
    return taken(record) && load(record->named) ? record : nullptr;
}

PipeEnd* end_for_transfer(uint32_t value) {
    if (!is_pipe_value(value)) return nullptr;
    PipeRecord* record = record_at(pipe_record_index(value));
    if (record == nullptr) return find_descriptor_end(descriptor_of(value));
    if (!taken(record)) return nullptr;
    PipeInfoRecord* info = load(record->info);
    if (info == nullptr) return nullptr;
    uint32_t origin = load(record->origin);
    if (origin != kNoOrigin && is_client_form(value)) return nullptr;  // duplicates are server forms
    if (!load(record->named))
        return origin == kNoOrigin ? nullptr : &info->ends[load(record->endIndex)];
    // Each side of a named pipe uses its own descriptor on the FIFO, the other's while it has
    // none: both are the same byte queue.
    int which = origin != kNoOrigin ? load(record->endIndex)
                                    : is_client_form(value) ? kClientEnd : kServerEnd;
    PipeEnd* own = &info->ends[which];
    PipeEnd* other = &info->ends[1 - which];
    if (load(own->fd) < 0 && is_live(*other) && load(other->fd) >= 0) return other;
    return own;
}

Closed close_end(PipeEnd* end) {
    return close_reference<PipeEnd, wake_end, end_descriptor>(end);
}

void broadcast_connection(PipeRecord* record) {
    with_lock(record->lock, [&] { pthread_cond_broadcast(&record->connectCond); });
}

void pipe_nap() {
    struct timespec step = {0, kPollMilliseconds * 1000000L};
    Nanosleep(&step, nullptr);
}

bool pipe_is_live(HANDLE handle) {
    uint32_t value = handle_value(handle);
    if (named_primary(value) != nullptr) return true;
    PipeEnd* end = end_for_transfer(value);
    return end != nullptr && is_live(*end) && still_named_by(end, value);
}

}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitPipes(DWORD count) {
    if (open_table(PipeSlot, count) != 0) return -1;
    return with_lock(pipelock, [&] {
        if (PipeInfo != nullptr) return 0;
        auto* infos = static_cast<PipeInfoRecord*>(calloc(count ? count : 1, sizeof(PipeInfoRecord)));
        if (infos == nullptr) return -1;
        for (uint32_t i = 0; i < count; ++i)
            for (PipeEnd& end : infos[i].ends) fill_end(end, -1, 0, 0, i);
        for (uint32_t i = 0; i < PipeSlot.length; ++i) PipeSlot.records[i].origin = kNoOrigin;
        PipeInfoLen = count;
        store(PipeInfo, infos);
        return 0;
    });
}

// Ends every pipe: descriptors closed (nobody can name them once the table is gone), waiters
// woken and transfers waited for; name buffers and both tables freed. FIFOs stay. Safe to repeat.
TARVEX_API void FreeAllPipes(void) {
    without_cancellation([] {
        with_lock(pipelock, [] {
            PipeInfoRecord* infos = PipeInfo;
            uint32_t count = PipeInfoLen;
            if (PipeSlot.records == nullptr) return;
            PipeRecord* records = PipeSlot.records;
            uint32_t length = PipeSlot.length;
            for (uint32_t i = 0; i < length && infos != nullptr; ++i)
                for (PipeEnd& end : infos[i].ends)
                    if (load(end.inUse) == 1) {
                        store(end.references, LONG{0});
                        wait_for_users(&end, &end + 1, [&] { wake_end(&end); });
                        int fd = __atomic_exchange_n(&end.fd, -1, __ATOMIC_SEQ_CST);
                        if (fd >= 0) Close(fd);
                        store(end.inUse, LONG{0});
                    }
            auto detached = PipeSlot.detach();
            store(PipeInfo, static_cast<PipeInfoRecord*>(nullptr));
            PipeInfoLen = 0;
            wait_for_users(infos, infos + count, [] {});
            for (uint32_t i = 0; i < length; ++i) {
                PipeRecord& record = records[i];
                if (record.primitivesReady) {
                    pthread_mutex_destroy(&record.lock);
                    pthread_cond_destroy(&record.connectCond);
                }
                free(record.name);
            }
            detached.free_storage();
            free(infos);
        });
    });
}

TARVEX_API BOOL CreatePipe(PHANDLE read_pipe, PHANDLE write_pipe, LPSECURITY_ATTRIBUTES,
                           DWORD size) {
    if (read_pipe == nullptr || write_pipe == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *read_pipe = *write_pipe = INVALID_HANDLE_VALUE;
    int fds[2] = {-1, -1};
    bool full = false;
    int64_t index = with_lock(pipelock, [&] {
        return claim_record(PipeSlot, full, [&](PipeRecord* record) {
            // Nothing between the pipe's creation and the stores that make it reachable may be
            // cut short: the descriptors would be lost.
            return without_cancellation([&] {
                if (PipeInfo == nullptr || pipe2(fds, O_CLOEXEC) != 0) return false;
                uint32_t slot = static_cast<uint32_t>(record - PipeSlot.records);
                PipeInfoRecord* info = &PipeInfo[slot];
                info->mode = size;
                info->maxInstances = info->defaultTimeout = 0;
                info->openFlags = 0;
                for (int which = kReadEnd; which <= kWriteEnd; ++which)
                    fill_end(info->ends[which], fds[which], 1, 1, slot);
                publish_record(record, info, 0);
                return true;
            });
        });
    });
    if (index < 0) {
        if (full) {
            UnixLog("CreatePipe: Too many pipes");
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        }
        return FALSE;
    }
    *read_pipe = to_handle(descriptor_form(fds[0]));
    *write_pipe = to_handle(descriptor_form(fds[1]));
    return TRUE;
}

TARVEX_API BOOL ReadPipe(HANDLE pipe, LPVOID buffer, DWORD count, LPDWORD read) {
    return transfer(pipe, buffer, count, read, false, [&](PipeEnd* end) {
        return read_end(end, static_cast<char*>(buffer), count);
    });
}

TARVEX_API BOOL WritePipe(HANDLE pipe, LPCVOID buffer, DWORD count, LPDWORD written) {
    return transfer(pipe, buffer, count, written, true, [&](PipeEnd* end) {
        return write_end(end, static_cast<const char*>(buffer), count);
    });
}

TARVEX_API BOOL ClosePipe(HANDLE pipe) {
    uint32_t value = handle_value(pipe);
    if (!is_pipe_value(value)) return FALSE;
    BOOL closed = with_lock(pipelock, [&]() -> BOOL {
        PipeRecord* record = record_at(pipe_record_index(value));
        if (record == nullptr) {
            // The handle the anonymous pipe was created with; it closes once.
            PipeEnd* end = find_descriptor_end(descriptor_of(value));
            if (end == nullptr) return FALSE;
            store(end->plain, LONG{0});
            return close_end(end) != Closed::kNotLive;
        }
        if (!taken(record) || record->info == nullptr) return FALSE;
        if (record->origin != kNoOrigin) {
            if (is_client_form(value)) return FALSE;
            // A duplicate: its record goes with its reference, both or neither.
            PipeEnd* end = &record->info->ends[record->endIndex];
            return without_cancellation([&] {
                Closed result = close_end(end);
                release_record(record);
                return result != Closed::kNotLive;
            });
        }
        if (!record->named) return FALSE;
        if (is_client_form(value)) {
            // A client leaving may make room for one that waits (WaitNamedPipeA).
            Closed result = close_end(&record->info->ends[kClientEnd]);
            if (taken(record) && record->primitivesReady) broadcast_connection(record);
            return result != Closed::kNotLive;
        }
        // The server handle a named pipe was created with closes once; duplicates hold their own.
        PipeEnd* server = &record->info->ends[kServerEnd];
        if (load(server->plain) != 1) return FALSE;
        store(server->plain, LONG{0});
        return close_end(server) != Closed::kNotLive;
    });
    if (!closed) SetLastError(ERROR_INVALID_HANDLE);
    return closed;
}

TARVEX_API HANDLE DuplicatePipe(HANDLE source, DWORD, BOOL, DWORD) {
    uint32_t value = handle_value(source);
    if (!is_pipe_value(value)) return INVALID_HANDLE_VALUE;
    return with_lock(pipelock, [&]() -> HANDLE {
        Source from{};
        if (!find_source(value, from)) return INVALID_HANDLE_VALUE;
        bool full = false;
        bool out_of_memory = false;
        int64_t index = claim_record(PipeSlot, full, [&](PipeRecord* record) {
            if (from.record->named && record->name == nullptr) {
                record->name = static_cast<char*>(without_cancellation([] { return malloc(kPathSize); }));
                if (record->name == nullptr) {
                    out_of_memory = true;
                    return false;
                }
            }
            if (record->name != nullptr) {
                record->name[0] = '\0';
                if (from.record->name != nullptr) strcpy(record->name, from.record->name);
            }
            store(record->named, from.record->named);
            record->connected = 0;
            store(record->origin, from.origin);
            store(record->endIndex, from.endIndex);
            store(record->serial, record->serial + 1);
            store(record->info, from.record->info);
            // The reference and the record together, or a cancelled duplicate would leave one
            // without the other.
            without_cancellation([&] {
                add_reference(*from.end);
                store(record->references, LONG{1});
                store(record->inUse, LONG{1});
            });
            return true;
        });
        if (out_of_memory) UnixLog("DuplicatePipe: Out of memory");
        return index < 0 ? INVALID_HANDLE_VALUE
                         : to_handle(server_form(static_cast<uint32_t>(index)));
    });
}

// The descriptor behind a pipe handle, for a host that hands it to a child or polls it itself.
// A hint from 0 up names a record (halved: the handle shifted right by 5 becomes the record's
// index); any other hint, -1 say, has the handle itself looked up, whichever its form.
TARVEX_API int GetRealHandle(HANDLE handle, int hint) {
    uint32_t value = handle_value(handle);
    int index = hint >> 1;
    PipeEnd* end = nullptr;
    if (index >= 0 && record_at(static_cast<uint32_t>(index)) != nullptr) {
        uint32_t slot = static_cast<uint32_t>(index);
        bool client = is_client_form(value) && pipe_record_index(value) == slot;
        value = client ? client_form(slot) : server_form(slot);
    }
    end = end_for_transfer(value);
    if (end == nullptr || !is_live(*end) || !still_named_by(end, value)) return -1;
    return load(end->fd);
}

}  // extern "C"
