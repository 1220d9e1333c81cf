// The shared-file lock table's release, for FreeAllFiles (file.cpp); OpenSharedFile and
// CloseSharedFile themselves are exports.
#pragma once

namespace tarvex {

// Empties every bucket, logging the entries still in use. Safe to repeat.
void free_file_lock_table();

}  // namespace tarvex
