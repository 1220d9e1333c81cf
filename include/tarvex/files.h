/* Files: share modes, file handles and I/O, paths and directories, directory search. */
#ifndef TARVEX_FILES_H
#define TARVEX_FILES_H

#include <tarvex/base.h>

#include <sys/stat.h>
#include <time.h>

TARVEX_EXTERN_C_BEGIN

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

#define FILE_TYPE_UNKNOWN 0

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u

#define ERROR_NO_MORE_FILES 18L
#define ERROR_FILE_EXISTS 80L

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef void (*LPOVERLAPPED_COMPLETION_ROUTINE)(DWORD error, DWORD transferred,
                                                LPOVERLAPPED overlapped);

/* The find-data record of a directory search. After the Win32 fields come two of the library's
 * own, which carry the search from FindFirstFileA to each FindNextFileA: the caller allocates the
 * whole record and hands the same one, unchanged, to every call of the search. */
typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
    CHAR cPattern[MAX_PATH];   /* the search's name pattern; empty without wildcards */
    CHAR cDirectory[MAX_PATH]; /* the searched directory, ending in '/', or empty */
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

/* ---- Shared-file lock table ---- */

TARVEX_API int OpenSharedFile(const char *path, DWORD access, DWORD share_mode, DWORD disposition,
                              DWORD flags_and_attributes, BOOL wait);
TARVEX_API int CloseSharedFile(const char *path, int fd);

/* ---- File handles and file I/O ---- */

TARVEX_API int InitFiles(int count);
TARVEX_API void FreeAllFiles(void);
TARVEX_API HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share_mode,
                              LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                              DWORD flags_and_attributes, HANDLE template_file);
TARVEX_API BOOL CloseFile(HANDLE file);
TARVEX_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read,
                         LPOVERLAPPED overlapped);
TARVEX_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
                          LPOVERLAPPED overlapped);
TARVEX_API DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
TARVEX_API BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position,
                                 DWORD method);
TARVEX_API DWORD GetFileSize(HANDLE file, LPDWORD size_high);
TARVEX_API BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
TARVEX_API BOOL SetEndOfFile(HANDLE file);
TARVEX_API BOOL SetFileSize(HANDLE file, LONG distance, PLONG unused, DWORD method);
TARVEX_API BOOL FlushFileBuffers(HANDLE file);
TARVEX_API BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access,
                            LPFILETIME last_write);
TARVEX_API BOOL SetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *last_access,
                            const FILETIME *last_write);
TARVEX_API int HandleToFileHandle(HANDLE file);
TARVEX_API int HandleToFilename(HANDLE file, char *buffer, int size);

/* Not supported: each returns 0 (FALSE, FILE_TYPE_UNKNOWN, or no characters). */
TARVEX_API BOOL ReadFileEx(HANDLE file, LPVOID buffer, DWORD to_read, LPOVERLAPPED overlapped,
                           LPOVERLAPPED_COMPLETION_ROUTINE routine);
TARVEX_API BOOL WriteFileEx(HANDLE file, LPCVOID buffer, DWORD to_write, LPOVERLAPPED overlapped,
                            LPOVERLAPPED_COMPLETION_ROUTINE routine);
TARVEX_API BOOL LockFile(HANDLE file, DWORD offset_low, DWORD offset_high, DWORD bytes_low,
                         DWORD bytes_high);
TARVEX_API BOOL UnlockFile(HANDLE file, DWORD offset_low, DWORD offset_high, DWORD bytes_low,
                           DWORD bytes_high);
TARVEX_API BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                             LPOVERLAPPED overlapped);
TARVEX_API DWORD GetFileType(HANDLE file);
TARVEX_API DWORD GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR *file_part);

/* ---- Paths, directories and attributes ---- */

TARVEX_API BOOL CopyFileA(LPCSTR existing, LPCSTR new_path, BOOL fail_if_exists);
TARVEX_API BOOL MoveFileExA(LPCSTR existing, LPCSTR new_path, DWORD flags);
TARVEX_API BOOL MoveFileA(LPCSTR existing, LPCSTR new_path);
TARVEX_API BOOL DeleteFileA(LPCSTR path);
TARVEX_API BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes);
TARVEX_API BOOL CreateDirectoryExA(LPCSTR template_directory, LPCSTR path,
                                   LPSECURITY_ATTRIBUTES attributes);
TARVEX_API BOOL RemoveDirectoryA(LPCSTR path);
TARVEX_API DWORD GetFileAttributesA(LPCSTR path);
TARVEX_API BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
TARVEX_API DWORD GetTempPathA(DWORD size, LPSTR buffer);
TARVEX_API DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
TARVEX_API BOOL SetCurrentDirectoryA(LPCSTR path);
TARVEX_API DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size);
TARVEX_API BOOL GetDiskFreeSpaceA(LPCSTR path, LPDWORD sectors_per_cluster,
                                  LPDWORD bytes_per_sector, LPDWORD free_clusters,
                                  LPDWORD total_clusters);
TARVEX_API BOOL GetDiskFreeSpaceExA(LPCSTR path, PULARGE_INTEGER free_for_caller,
                                    PULARGE_INTEGER total_bytes, PULARGE_INTEGER total_free);
TARVEX_API void ConvertFileAttributes(LPWIN32_FIND_DATAA record, const struct stat *status);
TARVEX_API void ConvertFileTime(LPFILETIME file_time, time_t seconds);

/* ---- Directory search ---- */

TARVEX_API int InitFindFiles(int count);
TARVEX_API void FreeAllFindFiles(void);
TARVEX_API HANDLE FindFirstFileA(LPCSTR path, LPWIN32_FIND_DATAA record);
TARVEX_API BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA record);
TARVEX_API BOOL FindClose(HANDLE search);

TARVEX_EXTERN_C_END

#endif
