// See lifetime_uses.h. Built without exceptions, like the library whose lifetime code it runs.
#include "lifetime_uses.h"

#include <windows.h>

#include "core/lifetime.h"

namespace uses {
namespace {

struct Record {
    LONG inUse;
    LONG references;
    LONG destroyed;
};

Record g_record;
tarvex::TableLock g_lock;
long g_torn = 0;

void Wake(Record*) {}

void Destroy(Record* record) {
    tarvex::store(record->destroyed, LONG{1});
    tarvex::store(record->inUse, LONG{0});
}

void Pause(int n) {
    for (int i = 0; i < n; ++i) __asm__ __volatile__("");
}

}  // namespace

bool UseOnce(int pause) {
    auto outcome = tarvex::use_record(&g_record, [pause](Record* record) {
        bool torn = tarvex::load(record->destroyed) != 0;
        Pause(pause);
        torn = torn || tarvex::load(record->destroyed) != 0;
        if (torn) __atomic_add_fetch(&g_torn, 1, __ATOMIC_RELAXED);
    });
    return outcome == tarvex::Use::kDone;
}

void CloseAndRevive() {
    tarvex::with_lock(g_lock, [] {
        tarvex::close_reference<Record, Wake, Destroy>(&g_record);
        tarvex::store(g_record.destroyed, LONG{0});
        tarvex::store(g_record.references, LONG{1});
        tarvex::store(g_record.inUse, LONG{1});
    });
    Pause(1000);  // live for a while, so that uses get in
}

long TornUses() { return __atomic_load_n(&g_torn, __ATOMIC_RELAXED); }

}  // namespace uses
