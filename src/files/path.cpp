// Files and directories by name: copy, move, delete, make and remove directories, attributes,
// the temporary and current directories, free space, and the two conversions the directory
// search fills its records with.
//
// No table and no lock: each operation acts on the file system at once, through the wrappers
// that restart after interruption (core/syswrap.cpp). None sets the last error itself; a failed
// call leaves its errno for GetLastError to translate, and a null pointer is refused with EFAULT,
// what the system itself answers for a bad address. Times go through UnixToNT (time/time.cpp),
// bounded copies through Strcpy (text/str.cpp).
#include <tarvex/core.h>
#include <tarvex/files.h>
#include <tarvex/text.h>
#include <tarvex/time.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>

namespace tarvex {
namespace {

constexpr mode_t kFileMode = 0640;
constexpr mode_t kDirectoryMode = 0775;
constexpr mode_t kPermissionBits = 0777;
constexpr size_t kChunk = 32768;
constexpr char kDefaultTemp[] = "/tmp/";
constexpr DWORD kDefaultTempLength = sizeof kDefaultTemp - 1;

// True, with errno set to `error`, when `refused`.
bool refuse(bool refused, int error) {
    if (refused) errno = error;
    return refused;
}

bool refuse_null(const void* pointer) { return refuse(pointer == nullptr, EFAULT); }

bool is_empty(const char* path) { return path[0] == '\0'; }

DWORD attributes_of(const struct stat& status) {
    DWORD attributes = S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if ((status.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// Bytes [from, to) of `in` to the same offsets of `out`, every chunk read and written whole: a
// short read means the source shrank under us, and the copy is then not a copy.
bool copy_range(int in, int out, off_t from, off_t to, char* buffer) {
    if (lseek(in, from, SEEK_SET) != from || lseek(out, from, SEEK_SET) != from) return false;
    while (from < to) {
        auto count = static_cast<ssize_t>(std::min<off_t>(to - from, kChunk));
        if (Read(in, buffer, count) != count || Write(out, buffer, count) != count) return false;
        from += count;
    }
    return true;
}

// The first `size` bytes of `in` into the empty `out`. Only the regions the file system reports
// as data are copied and the size is set at the end, so holes stay holes: a sparse file copies in
// the time its data takes and takes no more room than the original. A file system that cannot
// say where data lies gets the whole file copied as one region.
bool copy_data(int in, int out, off_t size) {
    char buffer[kChunk];
    for (off_t at = 0; at < size;) {
        off_t data = lseek(in, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // nothing but a hole up to the end
        off_t hole = data < 0 ? size : lseek(in, data, SEEK_HOLE);
        if (data < 0) data = at;
        hole = hole < 0 ? size : std::min(hole, size);
        if (data >= size) break;
        if (!copy_range(in, out, data, hole, buffer)) return false;
        at = hole;
    }
    // A source cut short while we copied would otherwise leave zeros where its data was.
    struct stat now;
    if (FStat(in, &now) != 0 || now.st_size < size) return false;
    return ftruncate(out, size) == 0;
}

// Runs `undo` without losing the errno of the failure that made it necessary.
template <class Undo>
void undo_keeping_errno(Undo&& undo) {
    int failure = errno;
    undo();
    errno = failure;
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

// The size is taken once, 64 bits wide, and the copy is TRUE only when every byte of it reached
// the new file; anything less removes the new file, so a move by copy never drops its source
// over a partial copy.
TARVEX_API BOOL CopyFileA(LPCSTR existing, LPCSTR new_path, BOOL fail_if_exists) {
    if (refuse_null(existing) || refuse_null(new_path)) return FALSE;
    if (fail_if_exists && Access(new_path, F_OK) == 0) return FALSE;
    // Non-blocking so that a FIFO cannot hold the caller until a writer comes.
    int in = Open(existing, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return FALSE;
    struct stat source, target;
    if (FStat(in, &source) != 0 || refuse(S_ISDIR(source.st_mode), EISDIR)) {
        undo_keeping_errno([in] { Close(in); });
        return FALSE;
    }
    // Not truncated on open: when both names lead to one file that would empty the source. The
    // file is looked at first, and such a copy fails without touching either name.
    int out = OpenEx(new_path, O_RDWR | O_CREAT | O_CLOEXEC, kFileMode);
    if (out < 0 || FStat(out, &target) != 0 ||
        refuse(target.st_dev == source.st_dev && target.st_ino == source.st_ino, EINVAL)) {
        undo_keeping_errno([in, out] {
            if (out >= 0) Close(out);
            Close(in);
        });
        return FALSE;
    }
    bool copied = ftruncate(out, 0) == 0 && copy_data(in, out, source.st_size);
    copied = Close(out) == 0 && copied;
    copied = copied && Chown(new_path, userID, groupID) == 0 &&
             Chmod(new_path, source.st_mode & kPermissionBits) == 0;
    if (!copied) undo_keeping_errno([new_path] { Unlink(new_path); });
    undo_keeping_errno([in] { Close(in); });
    return copied ? TRUE : FALSE;
}

TARVEX_API BOOL MoveFileExA(LPCSTR existing, LPCSTR new_path, DWORD flags) {
    if (refuse_null(existing) || refuse_null(new_path)) return FALSE;
    if (is_empty(existing) || is_empty(new_path)) return FALSE;
    if (flags & MOVEFILE_REPLACE_EXISTING) Remove(new_path);
    if (rename(existing, new_path) == 0) return TRUE;
    if (!(flags & MOVEFILE_COPY_ALLOWED) || !CopyFileA(existing, new_path, FALSE)) return FALSE;
    Remove(existing);
    return TRUE;
}

TARVEX_API BOOL MoveFileA(LPCSTR existing, LPCSTR new_path) {
    if (refuse_null(existing) || refuse_null(new_path)) return FALSE;
    if (is_empty(existing) || is_empty(new_path) || Access(new_path, F_OK) == 0) return FALSE;
    return rename(existing, new_path) == 0 ? TRUE : FALSE;
}

TARVEX_API BOOL DeleteFileA(LPCSTR path) {
    if (refuse_null(path) || is_empty(path)) return FALSE;
    return Remove(path) == 0 ? TRUE : FALSE;
}

TARVEX_API BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (refuse_null(path) || Mkdir(path, kDirectoryMode) != 0) return FALSE;
    Chown(path, userID, groupID);
    return TRUE;
}

TARVEX_API BOOL CreateDirectoryExA(LPCSTR, LPCSTR path, LPSECURITY_ATTRIBUTES attributes) {
    return CreateDirectoryA(path, attributes);
}

// rmdir removes an empty directory and nothing else, so TRUE always means the directory is gone.
// A directory that still holds anything stays, the registry's own bookkeeping files included (a
// key directory holds its .key marker and value files: removing it would lose the key), and a
// path that names a file is not a directory to remove; errno says which it was.
TARVEX_API BOOL RemoveDirectoryA(LPCSTR path) {
    if (refuse_null(path)) return FALSE;
    return rmdir(path) == 0 ? TRUE : FALSE;
}

TARVEX_API DWORD GetFileAttributesA(LPCSTR path) {
    struct stat status;
    if (refuse_null(path) || Stat(path, &status) != 0) return INVALID_FILE_ATTRIBUTES;
    const char* slash = strrchr(path, '/');
    const char* last = slash != nullptr ? slash + 1 : path;
    return attributes_of(status) | (last[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
}

TARVEX_API BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    struct stat status;
    if (refuse_null(path) || Stat(path, &status) != 0) return FALSE;
    mode_t mode = status.st_mode & 07777;
    if (attributes == FILE_ATTRIBUTE_NORMAL)
        mode |= kFileMode;
    else if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~mode_t{0220};  // the others' write bit is not ours to take
    else
        return TRUE;
    return Chmod(path, mode) == 0 ? TRUE : FALSE;
}

// An empty TMPDIR names no directory, so it counts as unset.
TARVEX_API DWORD GetTempPathA(DWORD size, LPSTR buffer) {
    if (refuse_null(buffer)) return 0;
    if (size > 0) buffer[0] = '\0';
    const char* directory = getenv("TMPDIR");
    if (directory != nullptr && directory[0] != '\0') {
        size_t length = strlen(directory);
        bool slash = directory[length - 1] == '/';
        size_t needed = length + (slash ? 0 : 1);
        if (needed < size) {
            memcpy(buffer, directory, length);
            if (!slash) buffer[length] = '/';
            buffer[needed] = '\0';
            return static_cast<DWORD>(needed);
        }
    }
    if (size > kDefaultTempLength) memcpy(buffer, kDefaultTemp, sizeof kDefaultTemp);
    return kDefaultTempLength;
}

TARVEX_API DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    char current[MAX_PATH];
    if (refuse_null(buffer) || getcwd(current, sizeof current) == nullptr) return 0;
    auto length = static_cast<DWORD>(strlen(current));
    if (length >= size) return length;
    memcpy(buffer, current, length + 1);
    return length;
}

// Paths of 260 characters or more are refused rather than cut: a cut path names another
// directory, and the caller would carry on in the wrong place.
TARVEX_API BOOL SetCurrentDirectoryA(LPCSTR path) {
    if (refuse_null(path)) return FALSE;
    char target[MAX_PATH];
    size_t used = 0;
    if (path[0] != '/') {
        if (getcwd(target, sizeof target) == nullptr) return FALSE;
        used = strlen(target);
        if (used <= MAX_PATH - 2 && target[used - 1] != '/') target[used++] = '/';
    }
    size_t length = strlen(path);
    if (used + length > MAX_PATH - 1) {
        errno = ENAMETOOLONG;
        return FALSE;
    }
    memcpy(target + used, path, length + 1);
    if (target[0] != '/') return FALSE;
    return chdir(target) == 0 ? TRUE : FALSE;
}

// Copies without expanding anything ("%HOME%" stays as written). A size of 0 only asks how much
// room the text needs.
TARVEX_API DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
    if (refuse_null(source) || (size > 0 && refuse_null(destination))) return 0;
    size_t length = strlen(source);
    if (size > 0) {
        size_t count = std::min<size_t>(length, size - 1);
        memcpy(destination, source, count);
        destination[count] = '\0';
        destination[size - 1] = '\0';
    }
    return static_cast<DWORD>(length + 1);
}

TARVEX_API BOOL GetDiskFreeSpaceA(LPCSTR path, LPDWORD sectors_per_cluster,
                                  LPDWORD bytes_per_sector, LPDWORD free_clusters,
                                  LPDWORD total_clusters) {
    struct statfs fs;
    if (refuse_null(path) || statfs(path, &fs) != 0) return FALSE;
    if (sectors_per_cluster != nullptr) *sectors_per_cluster = 1;
    if (bytes_per_sector != nullptr) *bytes_per_sector = static_cast<DWORD>(fs.f_bsize);
    if (free_clusters != nullptr) *free_clusters = static_cast<DWORD>(fs.f_bavail);
    if (total_clusters != nullptr) *total_clusters = static_cast<DWORD>(fs.f_blocks);
    return TRUE;
}

TARVEX_API BOOL GetDiskFreeSpaceExA(LPCSTR path, PULARGE_INTEGER free_for_caller,
                                    PULARGE_INTEGER total_bytes, PULARGE_INTEGER total_free) {
    struct statfs fs;
    if (refuse_null(path) || statfs(path, &fs) != 0) return FALSE;
    auto block = static_cast<ULONGLONG>(fs.f_bsize);
    if (free_for_caller != nullptr) free_for_caller->QuadPart = block * fs.f_bavail;
    if (total_bytes != nullptr) total_bytes->QuadPart = block * fs.f_blocks;
    if (total_free != nullptr) total_free->QuadPart = block * fs.f_bfree;
    return TRUE;
}

TARVEX_API void ConvertFileAttributes(LPWIN32_FIND_DATAA record, const struct stat* status) {
    if (record == nullptr || status == nullptr) return;
    record->dwFileAttributes = attributes_of(*status);
    auto size = S_ISDIR(status->st_mode) ? 0 : static_cast<uint64_t>(status->st_size);
    record->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record->nFileSizeLow = static_cast<DWORD>(size);
}

// UnixToNT is the one conversion; time_t is 64 bits on both targets, so files dated after 2038
// come out right.
TARVEX_API void ConvertFileTime(LPFILETIME file_time, time_t seconds) {
    UnixToNT(seconds, file_time);
}

}  // extern "C"
