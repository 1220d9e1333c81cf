// Registry values: one file ".<name>.reg" per value in its key's directory, holding a 4-byte
// header (the type in three right-aligned decimal digits and a NUL) and the data.
//
// Every access to a value holds that file's lock in the shared-file lock table (OpenSharedFile,
// files/share.cpp): share mode 0 and waiting, so reads, writes and deletes of one value are
// serialised between all threads and processes, while other values proceed in parallel.
//
// Every write first copies the current contents to ".<name>.bak". The value file itself only
// ever changes in one step that leaves it whole, so that a writer killed at any instruction
// leaves the old contents or the new ones for the next reader:
//   - contents of the same size within one page are written over the old ones by one call,
//     which the kernel carries out whole or not at all, even for a writer killed inside it;
//   - anything else is written in full to ".<name>.new", which a rename puts in the value's
//     place.
// The first form keeps the common case (a REG_DWORD rewritten) to a few cheap calls; creating
// and removing files costs far more than writing one.
//
// A rename leaves a process that was waiting for the lock holding it on a file that no longer
// has the value's name. Every opener therefore checks, once it holds the lock, that its file is
// still linked (the library never gives a replaced value file another name), and opens again if
// not. A value file removed by hand is brought back from its backup by the next reader.
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/registry.h>
#include <tarvex/text.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/transfer.h"
#include "files/share.h"
#include "registry/regkey.h"

namespace tarvex {
namespace {

constexpr size_t kHeaderSize = 4;
constexpr DWORD kMaxType = 999;  // what the three header digits can say
constexpr size_t kDwordText = 32;  // a REG_DWORD written as text is read from its first 32 bytes
constexpr size_t kPage = 4096;  // the unit a write is copied in, and so never torn within
constexpr size_t kChunk = 32768;
constexpr mode_t kFileMode = 0640;
constexpr DWORD kValueAccess = GENERIC_READ | GENERIC_WRITE;

struct ValuePaths {
    char value[kRegPathSize];
    char backup[kRegPathSize];
    char fresh[kRegPathSize];
};

// The value's file and its two companions. A name holding a separator would name a file in
// another directory, and with "." or ".." one outside the root: such names are refused.
bool value_paths(const KeyRecord* record, const char* name, ValuePaths& paths) {
    if (name == nullptr || name[0] == '\0') name = "no_name";
    if (strpbrk(name, "/\\") != nullptr ||
        Snprintf(paths.value, kRegPathSize, "%s/.%s.reg", record->directory, name) >= kRegPathSize)
        return false;
    fix_below_root(paths.value);
    size_t stem = strlen(paths.value) - 4;  // ".reg" stays the last four bytes after folding
    Strcpy(paths.backup, paths.value, kRegPathSize);
    Strcpy(paths.fresh, paths.value, kRegPathSize);
    memcpy(paths.backup + stem, ".bak", 4);
    memcpy(paths.fresh + stem, ".new", 4);
    return true;
}

ssize_t read_at(int fd, void* buffer, size_t count, off_t offset) {
    return transfer_all(fd, static_cast<char*>(buffer), count, [&](int f, char* p, size_t n) {
        ssize_t moved = pread(f, p, n, offset);
        if (moved > 0) offset += moved;
        return moved;
    });
}

// Opens and locks the value file, and makes sure the locked file still is the value: a writer
// may have renamed a new file into its place while this process waited for the lock.
// -1 with errno when it cannot be opened (ENOENT: no such value).
int open_value(const char* path, DWORD disposition, off_t& size) {
    for (;;) {
        int fd = OpenSharedFile(path, kValueAccess, 0, disposition, FILE_ATTRIBUTE_NORMAL, TRUE);
        if (fd < 0) return -1;
        struct stat held;
        if (FStat(fd, &held) != 0) {
            int error = errno;
            CloseSharedFile(path, fd);
            errno = error;
            return -1;
        }
        if (held.st_nlink > 0) {
            size = held.st_size;
            return fd;
        }
        CloseSharedFile(path, fd);
    }
}

ssize_t write_at(int fd, const void* buffer, size_t count, off_t offset) {
    return transfer_all(fd, static_cast<char*>(const_cast<void*>(buffer)), count,
                        [&](int f, char* p, size_t n) {
                            ssize_t moved = pwrite(f, p, n, offset);
                            if (moved > 0) offset += moved;
                            return moved;
                        });
}

// The type at the start of the header: leading spaces, then decimal digits up to a non-digit.
DWORD header_type(const char* header) {
    DWORD type = 0;
    size_t at = 0;
    while (at < kHeaderSize && header[at] == ' ') ++at;
    for (; at < kHeaderSize && header[at] >= '0' && header[at] <= '9'; ++at)
        type = type * 10 + static_cast<DWORD>(header[at] - '0');
    return type;
}

size_t multi_length(const char* list) {
    const char* at = list;
    while (*at != '\0') at += strlen(at) + 1;
    return static_cast<size_t>(at - list) + 1;
}

// The locked value file's `size` bytes into the backup, overwritten in place: the value file
// is untouched until this has succeeded.
bool write_backup(int value, off_t size, const char* backup) {
    int fd = OpenEx(backup, O_WRONLY | O_CREAT | O_CLOEXEC, kFileMode);
    if (fd < 0) return false;
    give_to_library_owner(fd);
    char buffer[kChunk];
    bool copied = true;
    for (off_t at = 0; copied && at < size; at += static_cast<off_t>(kChunk)) {
        auto count = static_cast<ssize_t>(std::min<off_t>(size - at, kChunk));
        copied = read_at(value, buffer, static_cast<size_t>(count), at) == count;
        if (copied && write_at(fd, buffer, static_cast<size_t>(count), at) != count) {
            UnixLog("Assert failed in %s line %d", "regvalue.cpp", __LINE__);
            copied = false;
        }
    }
    // Most rewrites keep the size, and a look costs less than a truncation to the same size.
    struct stat status;
    copied = copied && FStat(fd, &status) == 0 && (status.st_size == size || ftruncate(fd, size) == 0);
    return Close(fd) == 0 && copied;
}

// Writes the new contents, holding the value's lock (so no other writer uses the ".new" name
// meanwhile), after the backup has been made.
LONG replace_value(int value, off_t old_size, const ValuePaths& paths, DWORD type,
                   const BYTE* data, size_t length) {
    char page[kPage];
    size_t total = kHeaderSize + length;
    Snprintf(page, static_cast<int>(kHeaderSize), "%3u", static_cast<unsigned>(type));
    if (total <= kPage && length > 0) memcpy(page + kHeaderSize, data, length);
    if (total <= kPage && static_cast<off_t>(total) == old_size) {
        if (write_at(value, page, total, 0) == static_cast<ssize_t>(total)) return ERROR_SUCCESS;
        // Whatever reached the file, the backup holds what was there before.
        rename(paths.backup, paths.value);
        return ERROR_REGISTRY_IO_FAILED;
    }
    int fd = OpenEx(paths.fresh, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
    if (fd < 0) return ERROR_REGISTRY_IO_FAILED;
    give_to_library_owner(fd);
    bool written = total <= kPage
                       ? Write(fd, page, total) == static_cast<ssize_t>(total)
                       : Write(fd, page, kHeaderSize) == static_cast<ssize_t>(kHeaderSize) &&
                             Write(fd, data, length) == static_cast<ssize_t>(length);
    written = Close(fd) == 0 && written;
    if (written && rename(paths.fresh, paths.value) == 0) return ERROR_SUCCESS;
    Unlink(paths.fresh);
    return ERROR_REGISTRY_IO_FAILED;
}

// The reading rules for hand-written files, applied to the `got` bytes read; returns the number
// of bytes delivered and may change the data length.
size_t apply_text_rules(DWORD type, char* bytes, size_t got, DWORD& length) {
    if (type == REG_SZ) {
        bytes[got - 1] = '\0';
        size_t text = strlen(bytes);
        char* end = static_cast<char*>(memchr(bytes, '\n', text));
        size_t cut = end != nullptr ? 1 : 0;
        if (end != nullptr && end > bytes && end[-1] == '\r') --end, ++cut;
        if (end == nullptr && (end = static_cast<char*>(memchr(bytes, '\r', text))) != nullptr)
            cut = 1;
        if (end == nullptr) return got;
        *end = '\0';
        length = static_cast<DWORD>(end - bytes) + 1;
        return got - cut;
    }
    if (type == REG_MULTI_SZ) {
        if (got >= 2) bytes[got - 1] = bytes[got - 2] = '\0';
        std::replace(bytes, bytes + got, '\n', '\0');
    }
    return got;
}

// Reads the locked value file of `size` bytes as a query does.
LONG read_value(int fd, off_t size, LPDWORD type_out, LPBYTE data, LPDWORD length_out) {
    if (size < static_cast<off_t>(kHeaderSize)) return ERROR_BADKEY;  // a create cut short
    auto length = static_cast<DWORD>(std::min<off_t>(size - kHeaderSize, 0xFFFFFFFF));
    bool reading = data != nullptr && length_out != nullptr;
    DWORD capacity = reading ? *length_out : 0;
    size_t wanted = std::min(capacity, length);
    // The header and the first bytes in one call; a REG_DWORD never needs more.
    char head[kHeaderSize + kDwordText + 1] = {};
    size_t first = kHeaderSize + std::min(wanted, kDwordText);
    if (read_at(fd, head, first, 0) != static_cast<ssize_t>(first)) return ERROR_BADKEY;
    DWORD type = header_type(head);
    size_t delivered = first - kHeaderSize;
    char* bytes = head + kHeaderSize;
    if (type == REG_DWORD && delivered > 0) {
        if (length != 4) {  // decimal text: bounded by the local buffer, whatever its length
            auto number = static_cast<uint32_t>(strtoul(bytes, nullptr, 10));
            memcpy(bytes, &number, 4);
            length = 4;
            delivered = 4;
        }
        memcpy(data, bytes, std::min<size_t>(capacity, 4));
    } else if (delivered > 0) {
        memcpy(data, bytes, delivered);
        if (wanted > delivered) {
            ssize_t more = read_at(fd, data + delivered, wanted - delivered, static_cast<off_t>(first));
            if (more > 0) delivered += static_cast<size_t>(more);
        }
        delivered = apply_text_rules(type, reinterpret_cast<char*>(data), delivered, length);
    }
    if (type_out != nullptr) *type_out = type;
    if (length_out != nullptr) *length_out = length;
    return reading && delivered != length ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

// Deliveries of RegEnumValueA: the data exactly as stored.
struct Found {
    LONG result = ERROR_SUCCESS;
    bool whole = false;
    DWORD length = 0;
};

Found read_entry(const char* path, LPDWORD type_out, LPBYTE data, LPDWORD length_out,
                 KeyRecord* record) {
    Found found;
    off_t size = 0;
    int fd = open_value(path, OPEN_EXISTING, size);
    if (fd < 0) return found;
    char header[kHeaderSize];
    if (size >= static_cast<off_t>(kHeaderSize) &&
        read_at(fd, header, kHeaderSize, 0) == static_cast<ssize_t>(kHeaderSize)) {
        found.length = static_cast<DWORD>(std::min<off_t>(size - kHeaderSize, 0xFFFFFFFF));
        bool reading = data != nullptr && length_out != nullptr;
        ssize_t got = 0;
        if (reading) got = read_at(fd, data, std::min(*length_out, found.length), kHeaderSize);
        record->cachedType = header_type(header);
        if (type_out != nullptr) *type_out = record->cachedType;
        if (length_out != nullptr) *length_out = found.length;
        found.whole = reading && got == static_cast<ssize_t>(found.length);
        if (reading && !found.whole) found.result = ERROR_MORE_DATA;
    }
    CloseSharedFile(path, fd);
    return found;
}

void deliver_name(const char* text, LPSTR name, LPDWORD name_length) {
    if (name != nullptr && name_length != nullptr)
        Strcpy(name, text, static_cast<int>(*name_length));
    if (name_length != nullptr) *name_length = static_cast<DWORD>(strlen(text));
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API LONG RegValueToFilename(HKEY key, LPCSTR name, char* path, int size) {
    KeyRecord* record = key_record(key);
    ValuePaths paths;
    if (path == nullptr || size < 1) return ERROR_BADKEY;
    path[0] = '\0';
    if (record == nullptr || !value_paths(record, name, paths)) return ERROR_BADKEY;
    Strcpy(path, paths.value, size);
    return ERROR_SUCCESS;
}

TARVEX_API LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data,
                               DWORD length) {
    KeyRecord* record = key_record(key);
    if (record == nullptr || !(record->access & KEY_SET_VALUE)) return ERROR_BADKEY;
    if (type > kMaxType || (data == nullptr && (length > 0 || type == REG_SZ || type == REG_MULTI_SZ)))
        return ERROR_INVALID_PARAMETER;
    const char* text = reinterpret_cast<const char*>(data);
    size_t stored = type == REG_SZ         ? strlen(text) + 1
                    : type == REG_MULTI_SZ ? multi_length(text)
                                           : length;
    ValuePaths paths;
    off_t size = 0;
    if (!value_paths(record, name, paths)) return ERROR_BADKEY;
    int fd = open_value(paths.value, OPEN_ALWAYS, size);
    if (fd < 0) return ERROR_BADKEY;
    LONG result = write_backup(fd, size, paths.backup)
                      ? replace_value(fd, size, paths, type, data, stored)
                      : ERROR_BADKEY;
    CloseSharedFile(paths.value, fd);
    return result;
}

TARVEX_API LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                                 LPDWORD length) {
    KeyRecord* record = key_record(key);
    ValuePaths paths;
    if (record == nullptr || !(record->access & KEY_QUERY_VALUE) || !value_paths(record, name, paths))
        return ERROR_BADKEY;
    off_t size = 0;
    int fd = open_value(paths.value, OPEN_EXISTING, size);
    if (fd < 0 && errno == ENOENT) {
        // Removed by hand: the backup holds the value as it was before its latest write. Never
        // over a value file that a writer has created meanwhile.
        renameat2(AT_FDCWD, paths.backup, AT_FDCWD, paths.value, RENAME_NOREPLACE);
        fd = open_value(paths.value, OPEN_EXISTING, size);
    }
    if (fd < 0) return ERROR_BADKEY;
    LONG result = read_value(fd, size, type, data, length);
    CloseSharedFile(paths.value, fd);
    return result;
}

TARVEX_API LONG RegQueryValueA(HKEY key, LPCSTR name, LPSTR data, PLONG length) {
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(data),
                            reinterpret_cast<LPDWORD>(length));
}

// Writes the default value of a sub-key (or of the key itself for an empty name), which the
// sub-key must already have.
TARVEX_API LONG RegSetValueA(HKEY key, LPCSTR sub_key, DWORD type, LPCSTR data, DWORD length) {
    auto value = reinterpret_cast<uintptr_t>(key);
    if (type != REG_SZ || value == 0 || value == UINTPTR_MAX) return ERROR_BADKEY;
    HKEY target;
    LONG opened = RegOpenKeyExA(key, sub_key, 0, KEY_ALL_ACCESS, &target);
    if (opened != ERROR_SUCCESS) return opened;
    LONG result = RegSetValueExA(target, nullptr, 0, type, reinterpret_cast<const BYTE*>(data), length);
    if (target != key) RegCloseKey(target);
    return result;
}

// The backup goes first: a reader that finds the value file missing brings the backup back, and
// must not find one of a value that is being deleted.
TARVEX_API LONG RegDeleteValueA(HKEY key, LPCSTR name) {
    KeyRecord* record = key_record(key);
    char marker[kRegPathSize];
    ValuePaths paths;
    if (record == nullptr || !join_in_directory(record->directory, ".key", "", marker) ||
        Access(marker, F_OK) != 0 || !value_paths(record, name, paths))
        return ERROR_BADKEY;
    off_t size = 0;
    int fd = open_value(paths.value, OPEN_EXISTING, size);
    if (fd < 0) return ERROR_REGISTRY_IO_FAILED;
    Unlink(paths.backup);
    LONG result = Unlink(paths.value) == 0 ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
    CloseSharedFile(paths.value, fd);
    return result;
}

// Enumerating 0, 1, 2, ... continues one directory stream; any other index starts counting
// again from the directory's start. A repeated index is answered from the cache when the first
// answer held the whole value (a size query followed by the real one).
TARVEX_API LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length, LPDWORD,
                              LPDWORD type, LPBYTE data, LPDWORD length) {
    if (data != nullptr && (length == nullptr || *length > 0)) data[0] = 0;
    KeyRecord* record = key_record(key);
    if (record == nullptr || record->directory[0] == '\0') return ERROR_BADKEY;
    if (record->nextValue != 0 && index == record->nextValue - 1 && record->cachedName != nullptr &&
        record->cachedData != nullptr) {
        if (type != nullptr) *type = record->cachedType;
        deliver_name(record->cachedName, name, name_length);
        if (data != nullptr && length != nullptr) {
            *length = std::min(*length, record->cachedLength);
            memcpy(data, record->cachedData, *length);
        }
        return ERROR_SUCCESS;
    }
    if (record->stream != nullptr && (index != record->nextValue || record->nextValue == 0))
        end_enumeration(record);
    if (record->stream == nullptr && (record->stream = Opendir(record->directory)) == nullptr)
        return ERROR_NO_MORE_ITEMS;
    struct dirent entry;
    struct dirent* read;
    char path[kRegPathSize];
    for (;;) {
        if (Readdir_r(record->stream, &entry, &read) != 0 || read == nullptr) {
            end_enumeration(record);
            return ERROR_NO_MORE_ITEMS;
        }
        if (!WildCardMatch(entry.d_name, ".*.reg") || strcasecmp(entry.d_name, ".key") == 0)
            continue;
        if (record->nextValue == index && join_in_directory(record->directory, entry.d_name, "", path) &&
            Access(path, F_OK) == 0)
            break;
        ++record->nextValue;
    }
    Found found = read_entry(path, type, data, length, record);
    char stripped[kRegPathSize];
    Strcpy(stripped, entry.d_name + 1, sizeof stripped);
    stripped[strlen(stripped) - 4] = '\0';  // the ".reg" the pattern matched
    deliver_name(stripped, name, name_length);
    free(record->cachedName);
    free(record->cachedData);
    record->cachedData = nullptr;
    record->cachedLength = 0;
    record->cachedName = strdup(stripped);
    if (found.whole && record->cachedName != nullptr) {
        record->cachedData = static_cast<BYTE*>(malloc(std::max<DWORD>(found.length, 1)));
        if (record->cachedData == nullptr) {
            free(record->cachedName);
            record->cachedName = nullptr;
        } else {
            memcpy(record->cachedData, data, found.length);
            record->cachedLength = found.length;
        }
    }
    ++record->nextValue;
    return found.result;
}

}  // extern "C"
