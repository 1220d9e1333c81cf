// Process enumeration and module names, read from the Linux process file system.
//
// A process is named by its identifier throughout (what GetCurrentProcess returns), and its
// module is always its program: GetModuleFileNameExA reads the first argument string from
// /proc/<pid>/cmdline, GetModuleBaseNameA the name in parentheses from /proc/<pid>/stat. Each
// file is read once, at most 520 bytes. Holds no state and takes no lock.
//
// Calls the restarting wrappers (core/syswrap.cpp) and the bounded strings (text/).
#include <tarvex/core.h>
#include <tarvex/proc.h>
#include <tarvex/text.h>

#include <dirent.h>
#include <fcntl.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvex {
namespace {

constexpr int kPathSize = 260;
constexpr int kReadLimit = 520;
constexpr char kProcDir[] = "/proc";

// A /proc entry names a process when it is a decimal number above 0.
long process_number(const char* name) {
    long number = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || number > 0x7FFFFFFF / 10) return 0;
        number = number * 10 + (*c - '0');
    }
    return number;
}

bool proc_is_directory() {
    struct stat st;
    return Stat(kProcDir, &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads at most 520 bytes of /proc/<pid>/<file> into `text` (terminated after them). -1 when the
// file cannot be examined or opened (last error 3), else the count read (0 when a read failed).
int read_process_file(HANDLE process, const char* file, char (&text)[kReadLimit + 1]) {
    char path[kPathSize];
    int pid = static_cast<int>(reinterpret_cast<intptr_t>(process));
    Snprintf(path, kPathSize, "%s%s%d%s%s", kProcDir, "/", pid, "/", file);
    struct stat st;
    int fd = Stat(path, &st) == 0 ? Open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return -1;
    }
    ssize_t n = Read(fd, text, kReadLimit);
    Close(fd);
    if (n < 0) n = 0;
    text[n] = '\0';
    return static_cast<int>(n);
}

bool bad_buffer(LPSTR buffer, DWORD size) {
    if (buffer != nullptr && size >= 1) return false;
    SetLastError(ERROR_INVALID_PARAMETER);
    return true;
}

// Copies `text` into the caller's buffer, at most size - 1 characters and a terminator.
void copy_out(LPSTR buffer, DWORD size, const char* text) {
    int bounded = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    Strcpy(buffer, text, bounded);
}

template <class Visit>
void for_each_process_entry(DIR* dir, Visit&& visit) {
    struct dirent entry;
    struct dirent* result = nullptr;
    while (Readdir_r(dir, &entry, &result) == 0 && result != nullptr)
        if (process_number(result->d_name) > 0) visit(result->d_name);
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

// The program's first argument: the text between the quotes when it is stored quoted, else up
// to its first space. The result is the length of the whole first argument as stored.
TARVEX_API DWORD GetModuleFileNameExA(HANDLE process, HMODULE, LPSTR buffer, DWORD size) {
    if (bad_buffer(buffer, size)) return 0;
    buffer[0] = '\0';
    char text[kReadLimit + 1];
    if (read_process_file(process, "cmdline", text) <= 0) return 0;
    bool quoted = text[0] == '"';
    copy_out(buffer, size, text + (quoted ? 1 : 0));
    char* end = quoted ? strchr(buffer, '"') : nullptr;
    if (end == nullptr) end = strchr(buffer, ' ');
    if (end != nullptr) *end = '\0';
    return static_cast<DWORD>(strlen(text));
}

TARVEX_API DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    return GetModuleFileNameExA(reinterpret_cast<HANDLE>(static_cast<intptr_t>(getpid())), module,
                                buffer, size);
}

// The name in parentheses on the status line, which must be this process's. The name ends at the
// line's last ")": a program may put parentheses in its own name, the fields after it never do.
TARVEX_API DWORD GetModuleBaseNameA(HANDLE process, HMODULE, LPSTR buffer, DWORD size) {
    if (bad_buffer(buffer, size)) return 0;
    buffer[0] = '\0';
    char text[kReadLimit + 1];
    if (read_process_file(process, "stat", text) <= 0) return 0;
    if (strtol(text, nullptr, 10) != static_cast<long>(reinterpret_cast<intptr_t>(process)))
        return 0;
    char* open = strchr(text, '(');
    char* close = strrchr(text, ')');
    if (open == nullptr || close == nullptr || close < open) return 0;
    *close = '\0';
    copy_out(buffer, size, open + 1);
    return static_cast<DWORD>(close - open - 1);
}

TARVEX_API DWORD GetProcessCount(LPDWORD count) {
    if (count == nullptr) return ERROR_INVALID_PARAMETER;
    *count = 0;
    if (!proc_is_directory()) return ERROR_PATH_NOT_FOUND;
    DIR* dir = Opendir(kProcDir);
    if (dir == nullptr) return 0;
    for_each_process_entry(dir, [&](const char*) { ++*count; });
    Closedir(dir);
    return 0;
}

// Stores up to `capacity` identifiers and reports in *count every process found, so a caller
// learns how large an array it needs. TRUE on success.
TARVEX_API BOOL EnumProcesses(DWORD* process_ids, DWORD capacity, LPDWORD count) {
    if (count == nullptr || (process_ids == nullptr && capacity > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *count = 0;
    if (!proc_is_directory()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    DIR* dir = Opendir(kProcDir);
    if (dir == nullptr) return FALSE;
    for_each_process_entry(dir, [&](const char* name) {
        char path[kPathSize];
        Strcpy(path, kProcDir, kPathSize);
        Strcat(path, "/", kPathSize);
        Strcat(path, name, kPathSize);
        struct stat st;
        if (Stat(path, &st) != 0) return;  // ended since the directory was read
        if (*count < capacity) process_ids[*count] = static_cast<DWORD>(process_number(name));
        ++*count;
    });
    Closedir(dir);
    return TRUE;
}

}  // extern "C"
