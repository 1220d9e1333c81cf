// Dynamic libraries on the platform's loader, with a Win32 entry point.
//
// Owns DLLSlot, the fixed table of 256 loaded modules, and its lock dlllock. Loading a path that
// the table holds already (letter case ignored) shares that module and counts one more load;
// each record holds one dlopen of its module. Calls UnixLog and the shared log-file opener.
//
// A record is in one of three states: free (in the slot bitmap), loaded (references > 0) and
// closing (claimed, references 0). A record whose last load was dropped stays claimed until its
// module has been detached and closed outside the lock, so that neither a new load of the same
// path (which would get a module whose "DllMain" has already seen its last call) nor a load of
// another path (which would reuse the record under the closer's feet) can meet it half closed.
// Every caller keeps its load while it runs the module's "DllMain", and whoever drops the
// references to 0 closes the module, also when that is a load whose "DllMain" refused: a second
// loader may hold the module by then, and must not be left with a closed one.
//
// "DllMain" and dlclose (which runs the module's destructors) are never called with dlllock held,
// so that either may load or free libraries itself. dlopen is, as the path must be looked up and
// claimed in one step.
#include <tarvex/core.h>
#include <tarvex/module.h>
#include <tarvex/text.h>

#include <dlfcn.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "core/lock.h"
#include "core/log_file.h"
#include "core/slot_table.h"

namespace tarvex {
namespace {

constexpr uint32_t kLibraryCount = 256;
constexpr int kNameSize = 260;
constexpr char kLoaderLog[] = "/tmp/library.log";

struct DLLSlot {
    char name[kNameSize];
    DWORD references;
    void* module;
    LPDLL_ENTRY entry;
};

DLLSlot g_slots[kLibraryCount];
constinit SlotTable<DLLSlot> DLLTable;
TableLock& dlllock = DLLTable.lock;

// Under dlllock. The table exists from the first use on, so a load before InitNTSystem works.
bool table_ready() {
    return DLLTable.records != nullptr || DLLTable.adopt(g_slots, kLibraryCount);
}

// Under dlllock: the record is free again.
void release_record(uint32_t index) {
    memset(static_cast<void*>(&g_slots[index]), 0, sizeof g_slots[index]);
    DLLTable.mark_free(index);
}

// The loader is not safe against asynchronous cancellation inside it.
void* open_module(const char* path, char* error, size_t error_size) {
    return without_cancellation([&] {
        void* module = dlopen(path, RTLD_NOW);
        const char* text = module == nullptr ? dlerror() : nullptr;
        Strcpy(error, text != nullptr ? text : "", static_cast<int>(error_size));
        return module;
    });
}

void close_module(void* module) {
    without_cancellation([&] { dlclose(module); });
}

void* find_symbol(void* module, const char* name) {
    return without_cancellation([&] { return dlsym(module, name); });
}

void log_load_failure(const char* path, const char* error) {
    char line[kNameSize + 1024];
    int length = Snprintf(line, sizeof line, "%s error: %s\n", path, error);
    if (length <= 0) return;
    int fd = open_log_file(kLoaderLog);
    if (fd < 0) return;
    size_t size = strlen(line);
    if (Write(fd, line, size) < 0) {
    }
    close(fd);
}

// Drops one load of record `index` once its caller is done with the module; true when that was
// the last and the record is now closing, for the caller to finish. A record that shutdown has
// taken over meanwhile is left to it.
bool drop_load(uint32_t index, void* module) {
    return with_lock(dlllock, [&] {
        DLLSlot& slot = g_slots[index];
        return slot.module == module && slot.references > 0 && --slot.references == 0;
    });
}

// Detaches (when given an entry) and closes the module of closing record `index`, then frees it.
void finish_close(uint32_t index, void* module, LPDLL_ENTRY entry) {
    if (entry != nullptr) entry(module, DLL_PROCESS_DETACH, nullptr);
    close_module(module);
    with_lock(dlllock, [&] { release_record(index); });
}

struct Loaded {
    int64_t index;  // -1: failed
    void* module;
    LPDLL_ENTRY entry;
    DWORD reason;
};

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int InitLibraries(void) {
    without_cancellation([] {
        with_lock(dlllock, [] {
            if (!table_ready()) return;
            for (uint32_t i = 0; i < kLibraryCount; ++i)
                if (!DLLTable.is_free(i)) release_record(i);
        });
    });
    return 0;
}

TARVEX_API HMODULE LoadLibraryA(LPCSTR path) {
    // A name that does not fit the record could be matched by another path sharing its first
    // 259 characters; the empty path would be the program itself.
    if (path == nullptr || path[0] == '\0' || strnlen(path, kNameSize) >= kNameSize)
        return nullptr;
    char error[1024];
    error[0] = '\0';
    Loaded loaded = with_lock(dlllock, [&]() -> Loaded {
        if (!table_ready()) return {-1, nullptr, nullptr, 0};
        int64_t match = DLLTable.find([&](const DLLSlot& slot) {
            return slot.references > 0 && strcasecmp(slot.name, path) == 0;
        });
        if (match >= 0) {
            DLLSlot& slot = g_slots[match];
            ++slot.references;
            return {match, slot.module, slot.entry, DLL_THREAD_ATTACH};
        }
        int64_t index = DLLTable.lowest_free();
        if (index < 0) {
            UnixLog("LoadLibrary: %s - too many libraries", path);
            return {-1, nullptr, nullptr, 0};
        }
        void* module = open_module(path, error, sizeof error);
        if (module == nullptr) return {-1, nullptr, nullptr, 0};
        DLLTable.mark_used(static_cast<uint32_t>(index));
        DLLSlot& slot = g_slots[index];
        Strcpy(slot.name, path, kNameSize);
        slot.references = 1;
        slot.module = module;
        slot.entry = reinterpret_cast<LPDLL_ENTRY>(find_symbol(module, "DllMain"));
        return {index, module, slot.entry, DLL_PROCESS_ATTACH};
    });
    if (loaded.index < 0) {
        if (error[0] != '\0') log_load_failure(path, error);
        return nullptr;
    }
    if (loaded.entry != nullptr && !loaded.entry(loaded.module, loaded.reason, nullptr)) {
        // A refused first attach is not detached; a refused further load may be the last one
        // left of a module that attached, which then is.
        uint32_t index = static_cast<uint32_t>(loaded.index);
        if (drop_load(index, loaded.module))
            finish_close(index, loaded.module,
                         loaded.reason == DLL_THREAD_ATTACH ? loaded.entry : nullptr);
        return nullptr;
    }
    return loaded.module;
}

// A free keeps its load while the module's "DllMain" runs with reason 3, so that no other free can
// close the module under it; if the other loads were freed meanwhile, this free turns out to be
// the last and detaches the module after all.
TARVEX_API BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr) return FALSE;
    Loaded found = with_lock(dlllock, [&]() -> Loaded {
        int64_t index = DLLTable.find([&](const DLLSlot& slot) {
            return slot.references > 0 && slot.module == module;
        });
        if (index < 0) return {-1, nullptr, nullptr, 0};
        DLLSlot& slot = g_slots[index];
        if (slot.references > 1) return {index, module, slot.entry, DLL_THREAD_DETACH};
        slot.references = 0;  // closing
        return {index, module, slot.entry, DLL_PROCESS_DETACH};
    });
    if (found.index < 0) return FALSE;
    uint32_t index = static_cast<uint32_t>(found.index);
    if (found.reason == DLL_THREAD_DETACH) {
        if (found.entry != nullptr) found.entry(module, DLL_THREAD_DETACH, nullptr);
        if (!drop_load(index, module)) return TRUE;
    }
    finish_close(index, module, found.entry);
    return TRUE;
}

TARVEX_API FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<FARPROC>(find_symbol(module, name));
}

// Every loaded module is detached and closed once, from the last record down, whatever its count
// of loads. Each record is taken out of use under the lock and finished outside it, as a last
// FreeLibrary would, so an entry function that frees or loads a library does not deadlock the
// shutdown. Records that another thread is closing are left to it.
TARVEX_API BOOL FreeAllLibraries(void) {
    for (uint32_t i = kLibraryCount; i-- > 0;) {
        Loaded taken = with_lock(dlllock, [&]() -> Loaded {
            if (DLLTable.records == nullptr || DLLTable.is_free(i) || g_slots[i].references == 0)
                return {-1, nullptr, nullptr, 0};
            g_slots[i].references = 0;
            return {i, g_slots[i].module, g_slots[i].entry, DLL_PROCESS_DETACH};
        });
        if (taken.index >= 0) finish_close(i, taken.module, taken.entry);
    }
    return TRUE;
}

}  // extern "C"
