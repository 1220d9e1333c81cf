/* Shared memory: file mappings and their views. */
#ifndef TARVEX_SHM_H
#define TARVEX_SHM_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define PAGE_WRITECOPY 0x08u

#define FILE_MAP_COPY 0x0001u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

/* 0 after InitNTSystem has set up the table; 1 after every mapping of the process is released. */
TARVEX_API int InitSharedMemory(void);
TARVEX_API int FreeAllSharedMemory(void);
/* file: INVALID_HANDLE_VALUE for shared memory (named: a segment every process of the suite
 * reaches by that name; unnamed: private to this process), or a handle from CreateFileA. */
TARVEX_API HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                     DWORD size_high, DWORD size_low, LPCSTR name);
TARVEX_API HANDLE OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name);
TARVEX_API LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low,
                                SIZE_T bytes);
TARVEX_API BOOL UnmapViewOfFile(LPCVOID address);
TARVEX_API BOOL CloseSharedMemory(HANDLE mapping);

TARVEX_EXTERN_C_END

#endif
