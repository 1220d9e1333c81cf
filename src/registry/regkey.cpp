// Registry keys, and the finding of RegRootDir and RegBaseDir at start-up.
//
// A key is a directory under RegRootDir holding a ".key" marker; its values are files beside the
// marker (regvalue.cpp). An HKEY is the address of a heap KeyRecord (regkey.h), so a handle costs
// no table and no lock; the records are not shared between threads. Nothing else lives in memory:
// the directories are the registry, seen alike by every process of the installation.
//
// Every key path shares one fixed 24-character leading part that names no directory; the rest,
// lowered and with single '/' separators, is the key's directory under the root. A path that
// could leave the root ("." or ".." components) or does not fit is refused before anything is
// created.
#include <tarvex/core.h>
#include <tarvex/registry.h>
#include <tarvex/text.h>

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "files/share.h"
#include "registry/regkey.h"

extern "C" {
TARVEX_API char RegRootDir[260];
TARVEX_API char RegBaseDir[260];
}

namespace tarvex {
namespace {

constexpr size_t kLeadingPart = 24;
constexpr DWORD kCreateBit = KEY_TARVEX_CREATE;
constexpr mode_t kDirectoryMode = 0775;
constexpr mode_t kFileMode = 0640;
constexpr char kInstalledLink[] = "/usr/lib/libtarvex.so";
constexpr char kDefaultRoot[] = "/opt/velmora";

// The handle values that name no record. On a 64-bit host a handle that went through a DWORD
// comes back zero-extended; both forms are recognised.
bool is_reserved(HKEY key) {
    auto value = reinterpret_cast<uintptr_t>(key);
    auto low = static_cast<uint32_t>(value);
    bool narrow = (value >> 16 >> 16) == 0 || (value >> 16 >> 16) == (UINTPTR_MAX >> 16 >> 16);
    return value == 0 || value == UINTPTR_MAX || low == 0xFFFFFFFFu ||
           (narrow && low >= 0x80000000u && low <= 0x80000006u);
}

bool is_root(HKEY key) {
    auto low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    return is_reserved(key) && low >= 0x80000001u && low <= 0x80000006u;
}

bool exists(const char* path) { return Access(path, F_OK) == 0; }

void ensure_slash(char* dir, int size) {
    size_t length = strlen(dir);
    if (length == 0 || dir[length - 1] != '/') Strcat(dir, "/", size);
}

// Changes into `dir` and reads the working directory back, so that the result names the
// directory whatever relative path or link led to it; `target` is kept when that fails.
void make_absolute(const char* dir, char* target) {
    char saved[kRegPathSize], found[kRegPathSize];
    if (getcwd(saved, sizeof saved) == nullptr || chdir(dir) != 0) return;
    if (getcwd(found, sizeof found) != nullptr) {
        Strcpy(target, found, kRegPathSize);
        ensure_slash(target, kRegPathSize);
    }
    // Start-up reports nothing from here; a directory we just left is there to go back to.
    [[maybe_unused]] int back = chdir(saved);
}

void drop_bin(char* prefix) {
    size_t length = strlen(prefix);
    if (length > 5 && strcasecmp(prefix + length - 5, "/bin/") == 0) prefix[length - 4] = '\0';
}

// The program's own directory, when it (or its parent, for a program in bin/) is a key.
bool base_from_program(char* candidate) {
    const char* slash = strrchr(Argv0, '/');
    if (slash == nullptr) return false;
    StrncpyEx(candidate, Argv0, static_cast<int>(slash - Argv0 + 2), kRegPathSize);  // and a NUL
    if (strcmp(candidate, "./") == 0) {
        if (getcwd(candidate, kRegPathSize) == nullptr) return false;
        ensure_slash(candidate, kRegPathSize);
    }
    drop_bin(candidate);
    char marker[kRegPathSize];
    return join_in_directory(candidate, ".key", "", marker) && exists(marker);
}

// The installed library's directory. A relative link is relative to the link's own directory.
bool base_from_library(char* candidate) {
    char target[521];
    ssize_t n = Readlink(kInstalledLink, target, 520);
    if (n < 0) return false;
    target[n] = '\0';
    char* slash = strrchr(target, '/');
    if (slash == nullptr) return false;
    slash[1] = '\0';
    if (target[0] == '/')
        Strcpy(candidate, target, kRegPathSize);
    else
        Snprintf(candidate, kRegPathSize, "/usr/lib/%s", target);
    drop_bin(candidate);
    return exists(candidate);
}

// The path name of a key: RegRootDir, a backslash, and the full key path after its leading
// part, not yet folded. False when it has no directory: a full path shorter than the leading
// part (it would be read past its end), or one that does not fit.
bool key_pathname(HKEY parent, const char* sub_key, char* full, char* path) {
    KeyRecord* record = is_root(parent) ? nullptr : key_record(parent);
    full[0] = '\0';
    if (record != nullptr && record->keyPath[0] != '\0') {
        Strcpy(full, record->keyPath, kRegPathSize);
        Strcat(full, "\\", kRegPathSize);
    }
    size_t used = strlen(full);
    if (used + strlen(sub_key) >= kRegPathSize) return false;
    Strcat(full, sub_key, kRegPathSize);
    if (strlen(full) < kLeadingPart) return false;
    char mapped[kRegPathSize];
    Strcpy(mapped, full + kLeadingPart, sizeof mapped);
    if (leaves_directory(FixFilename(mapped))) return false;
    return Snprintf(path, kRegPathSize, "%s\\%s", RegRootDir, full + kLeadingPart) < kRegPathSize;
}

// Opens (creating if asked) the marker that makes `directory` a key, and gives it the library's
// owner and mode. Needing write access to the marker is what lets a process open the key.
bool open_marker(const char* marker, bool create) {
    if (create ? CreatePathname(marker) != 0 : !exists(marker)) return false;
    int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT | O_APPEND : 0);
    int fd = OpenEx(marker, flags, kFileMode);
    if (fd < 0) return false;
    give_to_library_owner(fd);
    FChmod(fd, kFileMode);
    Close(fd);
    return true;
}

KeyRecord* new_record() {
    auto* record = static_cast<KeyRecord*>(calloc(1, sizeof(KeyRecord)));
    if (record == nullptr || !is_reserved(reinterpret_cast<HKEY>(record))) return record;
    // An address that reads as a reserved handle could never be used: take another one.
    auto* second = static_cast<KeyRecord*>(calloc(1, sizeof(KeyRecord)));
    free(record);
    if (second != nullptr && is_reserved(reinterpret_cast<HKEY>(second))) {
        free(second);
        UnixLog("RegInitKey: Failed to create unique key");
        return nullptr;
    }
    return second;
}

}  // namespace

KeyRecord* key_record(HKEY key) {
    return is_reserved(key) ? nullptr : reinterpret_cast<KeyRecord*>(key);
}

bool leaves_directory(const char* path) {
    for (const char* part = path; part != nullptr;) {
        const char* end = strchr(part, '/');
        size_t length = end != nullptr ? static_cast<size_t>(end - part) : strlen(part);
        if ((length == 1 && part[0] == '.') || (length == 2 && part[0] == '.' && part[1] == '.'))
            return true;
        part = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

bool join_in_directory(const char* directory, const char* name, const char* suffix, char* out) {
    size_t length = strlen(directory);
    const char* slash = length > 0 && directory[length - 1] == '/' ? "" : "/";
    return Snprintf(out, kRegPathSize, "%s%s%s%s", directory, slash, name, suffix) <
           kRegPathSize;
}

char* fix_below_root(char* path) {
    size_t root = strlen(RegRootDir);
    if (root > 0 && strncmp(path, RegRootDir, root) == 0) FixFilename(path + root - 1);
    else FixFilename(path);
    return path;
}

void end_enumeration(KeyRecord* record) {
    if (record->stream != nullptr) Closedir(record->stream);
    record->stream = nullptr;
    record->nextValue = 0;
    record->cachedType = 0;
    free(record->cachedName);
    free(record->cachedData);
    record->cachedName = nullptr;
    record->cachedData = nullptr;
    record->cachedLength = 0;
}

}  // namespace tarvex

using namespace tarvex;

extern "C" {

// Runs inside start-up, before other threads exist: it changes the working directory for a
// moment. Whatever it cannot find falls through to the defaults, silently.
TARVEX_API void InitRegistry(void) {
    char candidate[kRegPathSize] = "";
    RegRootDir[0] = RegBaseDir[0] = '\0';
    if (base_from_program(candidate) || base_from_library(candidate)) {
        make_absolute(candidate, RegBaseDir);
        size_t length = strlen(candidate);
        if (length > 0 && candidate[length - 1] == '/') candidate[length - 1] = '\0';
        char* slash = strrchr(candidate, '/');
        char marker[kRegPathSize];
        if (slash != nullptr) {
            slash[1] = '\0';
            if (join_in_directory(candidate, ".key", "", marker) && exists(marker))
                make_absolute(candidate, RegRootDir);
        }
    }
    if (RegRootDir[0] == '\0') {
        const char* root = getenv("ROOTDIR");
        Strcpy(RegRootDir, root != nullptr ? root : kDefaultRoot, sizeof RegRootDir);
        ensure_slash(RegRootDir, sizeof RegRootDir);
    }
    if (RegBaseDir[0] == '\0') Snprintf(RegBaseDir, sizeof RegBaseDir, "%smail/", RegRootDir);
}

TARVEX_API char* FixFilename(char* path) {
    if (path == nullptr) return path;
    char* out = path;
    for (const char* in = path; *in != '\0'; ++in) {
        char c = *in == '\\' ? '/' : static_cast<char>(tolower(static_cast<unsigned char>(*in)));
        if (c == '/' && out > path && out[-1] == '/') continue;
        *out++ = c;
    }
    *out = '\0';
    return path;
}

TARVEX_API int CreatePathname(const char* path) {
    if (path == nullptr) return -1;
    char copy[kRegPathSize];
    Strcpy(copy, path, sizeof copy);
    for (char* slash = strchr(copy + 1, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        if (Mkdir(copy, kDirectoryMode) == 0)
            Chown(copy, static_cast<uid_t>(userID), static_cast<gid_t>(groupID));
        else if (errno != EEXIST)
            return -1;
        *slash = '/';
    }
    return 0;
}

TARVEX_API LONG RegKeyToPathname(HKEY parent, LPCSTR sub_key, char* path, int size) {
    char full[kRegPathSize], built[kRegPathSize];
    if (path == nullptr || size < 1) return ERROR_CANTOPEN;
    if (!key_pathname(parent, sub_key != nullptr ? sub_key : "", full, built)) {
        path[0] = '\0';
        return ERROR_CANTOPEN;
    }
    Strcpy(path, built, size);
    return ERROR_SUCCESS;
}

TARVEX_API LONG RegInitKey(HKEY parent, LPCSTR sub_key, DWORD access, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    if (sub_key == nullptr || sub_key[0] == '\0') {
        *result = parent;
        return ERROR_SUCCESS;
    }
    *result = reinterpret_cast<HKEY>(UINTPTR_MAX);
    if (!is_root(parent) && key_record(parent) == nullptr) return ERROR_BADKEY;
    char full[kRegPathSize], path[kRegPathSize], marker[kRegPathSize];
    if (!key_pathname(parent, sub_key, full, path) || !join_in_directory(path, ".key", "", marker))
        return ERROR_CANTOPEN;
    KeyRecord* record = new_record();
    if (record == nullptr) return ERROR_CANTOPEN;
    if (!open_marker(fix_below_root(marker), (access & kCreateBit) != 0)) {
        free(record);
        return ERROR_CANTOPEN;
    }
    record->access = access & ~kCreateBit;
    record->parent = parent;
    Strcpy(record->keyPath, full, sizeof record->keyPath);
    Strcpy(record->directory, fix_below_root(path), sizeof record->directory);
    *result = reinterpret_cast<HKEY>(record);
    return ERROR_SUCCESS;
}

TARVEX_API LONG RegOpenKeyExA(HKEY parent, LPCSTR sub_key, DWORD, DWORD access, PHKEY result) {
    return RegInitKey(parent, sub_key, access, result);
}

TARVEX_API LONG RegOpenKeyA(HKEY parent, LPCSTR sub_key, PHKEY result) {
    return RegInitKey(parent, sub_key, KEY_ALL_ACCESS, result);
}

TARVEX_API LONG RegCreateKeyA(HKEY parent, LPCSTR sub_key, PHKEY result) {
    return RegInitKey(parent, sub_key, KEY_ALL_ACCESS | kCreateBit, result);
}

// Keys are never deleted through the registry interface.
TARVEX_API LONG RegDeleteKeyA(HKEY, LPCSTR) { return ERROR_BADKEY; }

TARVEX_API LONG RegCloseKey(HKEY key) {
    KeyRecord* record = key_record(key);
    if (record == nullptr) return ERROR_BADKEY;
    end_enumeration(record);
    free(record);
    return ERROR_SUCCESS;
}

// The index is not consulted: each call goes on along the one open stream, and the call after
// the last sub-key closes it, so the next enumeration starts from the beginning.
TARVEX_API LONG RegEnumKeyA(HKEY key, DWORD, LPSTR name, DWORD capacity) {
    if (name != nullptr && capacity > 0) name[0] = '\0';
    KeyRecord* record = key_record(key);
    if (record == nullptr || record->directory[0] == '\0') return ERROR_BADKEY;
    if (record->stream == nullptr) record->stream = Opendir(record->directory);
    if (record->stream == nullptr) return ERROR_NO_MORE_ITEMS;
    struct dirent entry;
    struct dirent* read;
    while (Readdir_r(record->stream, &entry, &read) == 0 && read != nullptr) {
        if (strcmp(entry.d_name, ".") == 0 || strcmp(entry.d_name, "..") == 0) continue;
        char marker[kRegPathSize];
        if (!join_in_directory(record->directory, entry.d_name, "/.key", marker) || !exists(marker))
            continue;
        if (name != nullptr) Strcpy(name, entry.d_name, static_cast<int>(capacity));
        return ERROR_SUCCESS;
    }
    Closedir(record->stream);
    record->stream = nullptr;
    return ERROR_NO_MORE_ITEMS;
}

}  // extern "C"
