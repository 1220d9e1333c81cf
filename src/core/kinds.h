// What the generic handle operations ask of each kind besides its close and wait: whether a
// handle value names one of its live records. Each kind defines its own in its unit.
#pragma once

#include <tarvex/base.h>

#include <cstdint>

namespace tarvex {

bool semaphore_is_live(HANDLE handle);
bool event_is_live(HANDLE handle);
bool mutex_is_live(HANDLE handle);
bool file_is_live(HANDLE handle);
bool find_file_is_live(HANDLE handle);
bool mapping_is_live(HANDLE handle);
bool thread_is_live(HANDLE handle);
bool process_is_live(HANDLE handle);
bool pipe_is_live(HANDLE handle);

// The calling process's id, cached; a forked child learns its own.
uint32_t own_pid();

}  // namespace tarvex
