// The shared-file lock table's release, for FreeAllFiles (file.cpp), and the ownership every
// file the library creates gets; OpenSharedFile and CloseSharedFile themselves are exports.
#pragma once

namespace tarvex {

// Gives an open file to the library's owner and group (userID, groupID), if they are set.
void give_to_library_owner(int fd);

// Empties every bucket, logging the entries still in use. Safe to repeat.
void free_file_lock_table();

}  // namespace tarvex
