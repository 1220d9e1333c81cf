/* Runtime core: start-up and shutdown, the diagnostic log, the last error, generic handle
 * operations and the system-call wrappers that restart after interruption. */
#ifndef TARVEX_CORE_H
#define TARVEX_CORE_H

#include <tarvex/base.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/select.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

TARVEX_EXTERN_C_BEGIN

/* ---- Start-up, shutdown and signals ---- */

typedef void (*TARVEX_CLOSEDOWN)(void);
typedef void (*TARVEX_FAULT_HANDLER)(int, siginfo_t *, void *);

TARVEX_API extern char Argv0[260];
TARVEX_API extern DWORD userID;
TARVEX_API extern DWORD groupID;

TARVEX_API BOOL InitNTSystem(int argc, char **argv, TARVEX_CLOSEDOWN closedown,
                             TARVEX_FAULT_HANDLER fault_handler);
TARVEX_API void CleanupNTResources(void);
TARVEX_API void cleanupHandler(int signo);
TARVEX_API BOOL WaitForServiceStop(int *stop_flag);
TARVEX_API void SetSystemInterrupts(int ignore);

/* ---- Diagnostic log ---- */

TARVEX_API void UnixLog(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* ---- Last error ---- */

TARVEX_API void InitNTError(void);
TARVEX_API void SetLastError(DWORD code);
TARVEX_API DWORD GetLastError(void);

/* ---- Environment, system information, socket start-up, pointer checks ---- */

TARVEX_API LPSTR GetEnvironmentStrings(void);
TARVEX_API BOOL FreeEnvironmentStringsA(LPSTR block);
TARVEX_API DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
TARVEX_API BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value);
TARVEX_API DWORD GetVersion(void);
TARVEX_API BOOL GetUserNameA(LPSTR buffer, LPDWORD size);
TARVEX_API BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);
TARVEX_API BOOL GetProcessorType(LPSTR buffer, LPDWORD size);

#define WSANOTINITIALISED 10093

/* 400 bytes on every target; the library sets wVersion and leaves the rest zero. */
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    DWORD dwVendorInfo;
} WSADATA, *LPWSADATA;

TARVEX_API int WSAStartup(WORD version, LPWSADATA data);
TARVEX_API int WSACleanup(void);
TARVEX_API int WSAGetLastError(void);
TARVEX_API void WSASetLastError(int code);

/* Bad only when the pointer is at most 0xFFFF; the sizes are not looked at. */
TARVEX_API BOOL IsBadReadPtr(const void *pointer, UINT_PTR size);
TARVEX_API BOOL IsBadWritePtr(LPVOID pointer, UINT_PTR size);
TARVEX_API BOOL IsBadCodePtr(int (*code)(void));
TARVEX_API BOOL IsBadStringPtrA(LPCSTR text, UINT_PTR size);

/* ---- Generic handle operations ---- */

typedef HANDLE SC_HANDLE;

#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002

TARVEX_API BOOL CloseHandle(HANDLE handle);
TARVEX_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
TARVEX_API DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable);
TARVEX_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all,
                                        DWORD milliseconds);
TARVEX_API DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE *handles, BOOL wait_all,
                                          DWORD milliseconds, BOOL alertable);
TARVEX_API BOOL DuplicateHandle(HANDLE source_process, HANDLE source_handle, HANDLE target_process,
                                LPHANDLE target_handle, DWORD desired_access, BOOL inherit,
                                DWORD options);
TARVEX_API BOOL CloseServiceHandle(SC_HANDLE service);
/* The POSIX descriptor behind a pipe handle, or -1; pass -1 as the hint for any handle. */
TARVEX_API int GetRealHandle(HANDLE handle, int hint);

/* ---- System-call wrappers: same arguments and results as the calls they wrap, restarted
 * after EINTR ---- */

TARVEX_API int Open(const char *path, int flags);
TARVEX_API int OpenEx(const char *path, int flags, mode_t mode);
TARVEX_API int Close(int fd);
TARVEX_API FILE *FOpen(const char *path, const char *mode);
TARVEX_API int FClose(FILE *stream);
TARVEX_API int Stat(const char *path, struct stat *buf);
TARVEX_API int FStat(int fd, struct stat *buf);
TARVEX_API int Access(const char *path, int mode);
TARVEX_API int Chmod(const char *path, mode_t mode);
TARVEX_API int FChmod(int fd, mode_t mode);
TARVEX_API int Chown(const char *path, uid_t owner, gid_t group);
TARVEX_API int FChown(int fd, uid_t owner, gid_t group);
TARVEX_API int Unlink(const char *path);
TARVEX_API int Remove(const char *path);
TARVEX_API ssize_t Readlink(const char *path, char *buf, size_t size);
TARVEX_API int Mkdir(const char *path, mode_t mode);
TARVEX_API int Mkfifo(const char *path, mode_t mode);
TARVEX_API int Mknod(const char *path, mode_t mode, uint64_t device);
TARVEX_API DIR *Opendir(const char *path);
TARVEX_API int Closedir(DIR *dir);
TARVEX_API int Readdir_r(DIR *dir, struct dirent *entry, struct dirent **result);
TARVEX_API int Semop(int semid, struct sembuf *ops, size_t nops);
TARVEX_API int Pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex);
TARVEX_API int Pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex,
                                      const struct timespec *abstime);
TARVEX_API ssize_t Recv(int fd, void *buf, size_t len, int flags);
TARVEX_API ssize_t Send(int fd, const void *buf, size_t len, int flags);
TARVEX_API ssize_t Sendto(int fd, const void *buf, size_t len, int flags,
                          const struct sockaddr *to, socklen_t tolen);
TARVEX_API ssize_t Recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *from,
                            socklen_t *fromlen);
TARVEX_API int Accept(int fd, struct sockaddr *addr, socklen_t *addrlen);
TARVEX_API ssize_t Read(int fd, void *buf, size_t count);
TARVEX_API ssize_t Write(int fd, const void *buf, size_t count);
TARVEX_API int Nanosleep(const struct timespec *request, struct timespec *remaining);
TARVEX_API int Select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *errorfds,
                      struct timeval *timeout);
TARVEX_API int Connect(int fd, const struct sockaddr *addr, socklen_t addrlen);

TARVEX_EXTERN_C_END

#endif
