/* Pipes: anonymous and named pipes. Handles of kind 14; ReadFile, WriteFile, CloseHandle,
 * DuplicateHandle and WaitForSingleObject accept them, and CreateFileA opens a named pipe's client
 * end for any path containing "\\pipe\\". */
#ifndef TARVEX_PIPE_H
#define TARVEX_PIPE_H

#include <tarvex/base.h>
#include <tarvex/files.h>

TARVEX_EXTERN_C_BEGIN

#define PIPE_ACCESS_INBOUND 0x00000001u
#define PIPE_ACCESS_OUTBOUND 0x00000002u
#define PIPE_ACCESS_DUPLEX 0x00000003u

#define PIPE_TYPE_BYTE 0x00000000u
#define PIPE_READMODE_BYTE 0x00000000u
#define PIPE_WAIT 0x00000000u
#define PIPE_UNLIMITED_INSTANCES 255u

#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000u
#define NMPWAIT_WAIT_FOREVER 0xFFFFFFFFu

#define ERROR_SEM_TIMEOUT 121L
#define ERROR_PIPE_BUSY 231L
#define ERROR_PIPE_NOT_CONNECTED 233L

/* The table, sized at start-up with the file count; FreeAllPipes ends every pipe. */
TARVEX_API int InitPipes(DWORD count);
TARVEX_API void FreeAllPipes(void);

/* Anonymous pipes, and what every pipe handle takes. */
TARVEX_API BOOL CreatePipe(PHANDLE read_pipe, PHANDLE write_pipe, LPSECURITY_ATTRIBUTES attributes,
                           DWORD size);
TARVEX_API BOOL ReadPipe(HANDLE pipe, LPVOID buffer, DWORD count, LPDWORD read);
TARVEX_API BOOL WritePipe(HANDLE pipe, LPCVOID buffer, DWORD count, LPDWORD written);
TARVEX_API BOOL ClosePipe(HANDLE pipe);
TARVEX_API HANDLE DuplicatePipe(HANDLE source, DWORD access, BOOL inherit, DWORD options);

/* Named pipes, met by server and client threads of one process. */
TARVEX_API HANDLE CreateNamedPipeA(LPCSTR name, DWORD open_mode, DWORD pipe_mode,
                                   DWORD max_instances, DWORD out_buffer_size,
                                   DWORD in_buffer_size, DWORD default_timeout,
                                   LPSECURITY_ATTRIBUTES attributes);
TARVEX_API HANDLE CreatePipeFile(LPCSTR path, DWORD access, DWORD disposition,
                                 DWORD flags_and_attributes, LPSECURITY_ATTRIBUTES attributes);
TARVEX_API BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped);
TARVEX_API BOOL DisconnectNamedPipe(HANDLE pipe);
TARVEX_API BOOL WaitNamedPipeA(LPCSTR name, DWORD timeout);
TARVEX_API DWORD WaitForPipe(HANDLE pipe, DWORD milliseconds);

TARVEX_EXTERN_C_END

#endif
