// Opening a log file that lives in world-writable /tmp (the diagnostic log, the loader-error log).
#pragma once

namespace tarvex {

// Opens `path` for appending, created 0640, without following a symbolic link and without
// blocking; -1 unless it is then a regular file with no other name. Write each line in a single
// write: the descriptor is O_APPEND, so lines of different processes never mix.
int open_log_file(const char* path);

}  // namespace tarvex
