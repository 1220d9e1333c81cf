// The pipe table that anonymous and named pipes share (pipe.cpp owns it, named_pipe.cpp uses
// it): the records, their information records, the three forms of a pipe handle and the lifetime
// of a pipe's descriptors.
//
// PipeSlot holds the records and pipelock guards both tables. Record n uses information record
// n of PipeInfo; a duplicate takes a record of its own and shares the information record of the
// pipe it duplicates, and `origin` says which handle it stands for.
//
// A pipe's descriptors live in its two ends (PipeEnd). An end is an object of its own lifetime
// (core/lifetime.h): its `references` count the handles on it, a read or write is a use of it,
// and its last close waits for the uses under way before the descriptor is closed, so a transfer
// never reaches a descriptor number that has meanwhile been given to another open. Closes run
// under pipelock; a use never takes pipelock, or a close waiting for it would wait for ever.
#pragma once

#include <pthread.h>

#include <cstdint>

#include <tarvex/base.h>

#include "core/atomic.h"
#include "core/handle.h"
#include "core/lifetime.h"
#include "core/slot_table.h"

namespace tarvex {

// One descriptor of a pipe and the handles on it. An anonymous pipe's ends are its read end
// (fd0; references: readRefs) and its write end (fd1; writeRefs). A named pipe's are the server's
// descriptor (fd0; references: refs, the server-side handles) and the clients' (fd1; references:
// clients, the client handles open).
struct PipeEnd {
    int fd;           // -1 while the end has no descriptor (a server before ConnectNamedPipe)
    LONG inUse;
    LONG references;
    LONG plain;       // 1 while the handle the pipe was created with is open on this end
    uint32_t slot;    // the index of the pipe's record
};

enum : int { kReadEnd = 0, kWriteEnd = 1, kServerEnd = 0, kClientEnd = 1 };

// Sets an end whole, under pipelock; transfers read it without the lock, so every field is
// stored as they load it, and `inUse` last. No references: an end without handles.
inline void fill_end(PipeEnd& end, int fd, LONG references, LONG plain, uint32_t slot) {
    store(end.slot, slot);
    store(end.fd, fd);
    store(end.plain, plain);
    store(end.references, references);
    store(end.inUse, references > 0 ? LONG{1} : LONG{0});
}

struct PipeInfoRecord {
    PipeEnd ends[2];
    DWORD mode;            // anonymous: CreatePipe's size argument; named: the open mode
    DWORD maxInstances;
    DWORD defaultTimeout;  // milliseconds
    int openFlags;         // how both sides of a named pipe open its FIFO
};

struct PipeRecord {
    PipeInfoRecord* info;  // null while the record is free
    pthread_mutex_t lock;  // guards `connected` and `arrivals`; goes with connectCond
    pthread_cond_t connectCond;
    DWORD connected;       // a client has connected and no disconnect has followed
    DWORD arrivals;        // clients that have connected so far; a waiter watches it change
    DWORD named;
    char* name;            // the FIFO's path; allocated once, kept emptied when the record is freed
    LONG inUse;
    LONG references;       // 1 while taken: the record belongs to its handles together
    uint32_t origin;       // a duplicate: the handle it stands for; all ones otherwise
    int endIndex;          // a duplicate: which end of the shared information record it holds
    uint32_t serial;       // tells this pipe from a later one in the same record
    LONG primitivesReady;  // `lock` and `connectCond` are initialised
};

constexpr uint32_t kNoOrigin = 0xFFFFFFFFu;
constexpr int kPathSize = 260;

extern SlotTable<PipeRecord> PipeSlot;
extern PipeInfoRecord* PipeInfo;
extern uint32_t PipeInfoLen;
extern TableLock& pipelock;

// Handle forms. The descriptor form names an end of an anonymous pipe by its descriptor; the
// server and client forms name a record (bit 5 tells them apart). A record form is one whose
// value shifted right by 6 is below the table's length; the complement in a descriptor form sets
// the high bits, so no descriptor below 2^25 ever reads as one.
constexpr uint32_t descriptor_form(int fd) {
    return (~static_cast<uint32_t>(fd) << 5) + kTagPipe;
}
constexpr uint32_t server_form(uint32_t index) { return (index << 6) + kTagPipe; }
constexpr uint32_t client_form(uint32_t index) { return (index << 6) + 32 + kTagPipe; }
constexpr uint32_t pipe_record_index(uint32_t value) { return value >> 6; }
constexpr bool is_client_form(uint32_t value) { return (value & 32u) != 0; }
constexpr int descriptor_of(uint32_t value) {
    return static_cast<int>(~(value >> 5) & 0x07FFFFFFu);
}

inline bool is_pipe_value(uint32_t value) {
    return value != kInvalidHandleValue && handle_tag(value) == kTagPipe;
}

inline bool closing(const PipeEnd* end) { return load(end->references) == 0; }

// Makes a filled record live, under pipelock: its information record, a fresh serial (so that
// handles of the record's earlier life no longer match), one reference, and in use last.
inline void publish_record(PipeRecord* record, PipeInfoRecord* info, DWORD named) {
    store(record->named, named);
    record->connected = 0;
    store(record->origin, kNoOrigin);
    store(record->endIndex, 0);
    store(record->serial, record->serial + 1);
    store(record->info, info);
    store(record->references, LONG{1});
    store(record->inUse, LONG{1});
}

// The record a named pipe's handle or duplicate stands for (the one clients find by name), or
// null. Read without pipelock: the caller's use or pipelock keeps what it then reaches.
PipeRecord* named_primary(uint32_t value);

// The end a handle's transfers go through, or null. Read without pipelock.
PipeEnd* end_for_transfer(uint32_t value);

// Drops one handle's reference to `end`; the last one closes the descriptor and frees the pipe's
// record once neither end has a handle. Under pipelock.
Closed close_end(PipeEnd* end);

// Runs body(end) as a use of `end`, with the table checked still to be the one it was found in.
template <class Body>
Use use_end(PipeEnd* end, Body&& body) {
    if (end == nullptr) return Use::kNotLive;
    PipeInfoRecord* table = load(PipeInfo);
    return use_record(end, [&] { return load(PipeInfo) == table && table != nullptr; }, body);
}

// Wakes everyone waiting on a named pipe's connection. Under pipelock or with nothing held.
void broadcast_connection(PipeRecord* record);

// Sleeps the pipe code's polling step (30 ms).
void pipe_nap();

}  // namespace tarvex
