// The key record that an HKEY points to, shared by the key and value units.
#pragma once

#include <tarvex/registry.h>

#include <dirent.h>

namespace tarvex {

constexpr int kRegPathSize = 260;
constexpr int kKeyTextSize = 256;

// One per successful open or create, owned by its handle until RegCloseKey. Not guarded: a handle
// belongs to one thread at a time, and sub-key and value enumeration share its one stream.
struct KeyRecord {
    DWORD access;     // what the caller asked for, without the create bit
    DWORD nextValue;  // position of the value enumeration
    HKEY parent;
    char keyPath[kKeyTextSize];    // as the caller wrote it, backslashes and case kept
    char directory[kKeyTextSize];  // lower case, '/' separators
    char* cachedName;              // the value enumeration's last answer, for a repeated index
    BYTE* cachedData;
    DWORD cachedLength;
    DWORD cachedType;
    DIR* stream;  // open while an enumeration runs
};

// The record behind `key`, or null for the values that have none: null, all ones, and the
// predefined roots with HKEY_CLASSES_ROOT. Those are never dereferenced.
KeyRecord* key_record(HKEY key);

// True when a '/'-separated path has a component "." or "..", which could lead out of the root.
bool leaves_directory(const char* path);

// `directory`, a '/' unless it ends in one, `name` and `suffix` into `out` (kRegPathSize bytes);
// false when that does not fit.
bool join_in_directory(const char* directory, const char* name, const char* suffix, char* out);

// FixFilename of the part of `path` below RegRootDir. The root is kept as start-up found it:
// it is a real directory, and its name lowered would name another one (or none).
char* fix_below_root(char* path);

// Drops the value enumeration's position and cache, and closes the stream.
void end_enumeration(KeyRecord* record);

}  // namespace tarvex
