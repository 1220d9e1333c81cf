// See lifetime_helpers.h. Built without exceptions, like the library, so cancellation unwinds the
// way it does in a host.
#include <windows.h>

#include <pthread.h>

#include "core/lifetime.h"
#include "lifetime_helpers.h"
#include "tvx_test.h"

namespace storm {

EVENT_RECORD g_own_event;

namespace {

// A storm thread's own object is closed by its clean-up, so that cancelled rounds do not fill
// the table (the windows around the create and the close are an instruction or two).
void CloseOwn(void* handle) {
    HANDLE* own = static_cast<HANDLE*>(handle);
    if (*own != INVALID_HANDLE_VALUE) CloseHandle(*own);
}

template <HANDLE (*Create)(), void (*Use)(HANDLE shared, unsigned round)>
void* Storm(void* shared) {
    volatile HANDLE own = INVALID_HANDLE_VALUE;
    pthread_cleanup_push(CloseOwn, const_cast<HANDLE*>(&own));
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    for (unsigned i = 0;; ++i) {
        own = Create();
        Use(own, i);
        CloseHandle(own);
        own = INVALID_HANDLE_VALUE;
        Use(static_cast<HANDLE>(shared), i);
    }
    pthread_cleanup_pop(0);
    return nullptr;
}

HANDLE NewEvent() { return CreateEventA(nullptr, FALSE, TRUE, nullptr); }
HANDLE NewSemaphore() { return CreateSemaphoreA(nullptr, 5, 10, nullptr); }

void UseEvent(HANDLE event, unsigned i) {
    SetEvent(event);
    WaitForSingleObject(event, i % 4 == 0 ? 1 : 0);
    PulseEvent(event);
    ResetEvent(event);
    SetEventIn(&g_own_event);
    WaitForEventIn(&g_own_event, i % 2);
    PulseEventIn(&g_own_event);
}

void UseSemaphore(HANDLE semaphore, unsigned i) {
    ReleaseSemaphore(semaphore, 1, nullptr);
    WaitForSingleObject(semaphore, 0);
    WaitForSingleObject(semaphore, i % 4 == 0 ? 1 : 0);
}

}  // namespace

void* EventStorm(void* shared) { return Storm<NewEvent, UseEvent>(shared); }
void* SemaphoreStorm(void* shared) { return Storm<NewSemaphore, UseSemaphore>(shared); }

}  // namespace storm

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

}  // namespace

bool UseOnce(int pause) {
    auto outcome = tarvex::use_record(&g_record, [pause](Record* record) {
        bool torn = tarvex::load(record->destroyed) != 0;
        tvxtest::Spin(pause);
        if (torn || tarvex::load(record->destroyed) != 0)
            __atomic_add_fetch(&g_torn, 1, __ATOMIC_RELAXED);
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
    tvxtest::Spin(1000);
}

long TornUses() { return __atomic_load_n(&g_torn, __ATOMIC_RELAXED); }

}  // namespace uses
