/* Registry: keys and values kept as directories and files under RegRootDir. */
#ifndef TARVEX_REGISTRY_H
#define TARVEX_REGISTRY_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

/* Absolute directories ending in '/', found once at start-up (InitRegistry). */
TARVEX_API extern char RegRootDir[260];
TARVEX_API extern char RegBaseDir[260];

/* The predefined roots all stand for the one tree; HKEY_CLASSES_ROOT is not among them and is
 * refused like every other value that is not a key record. */
#define HKEY_CLASSES_ROOT ((HKEY)(LONG_PTR)(LONG)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(LONG_PTR)(LONG)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(LONG_PTR)(LONG)0x80000002)
#define HKEY_USERS ((HKEY)(LONG_PTR)(LONG)0x80000003)
#define HKEY_PERFORMANCE_DATA ((HKEY)(LONG_PTR)(LONG)0x80000004)
#define HKEY_CURRENT_CONFIG ((HKEY)(LONG_PTR)(LONG)0x80000005)
#define HKEY_DYN_DATA ((HKEY)(LONG_PTR)(LONG)0x80000006)

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
/* The library's own request to create a missing key; no Win32 access right uses the bit. */
#define KEY_TARVEX_CREATE 0x0040u

#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_REGISTRY_IO_FAILED 1016L

typedef LONG LSTATUS;

/* ---- Store and keys ---- */

TARVEX_API void InitRegistry(void);
TARVEX_API LONG RegOpenKeyExA(HKEY parent, LPCSTR sub_key, DWORD options, DWORD access,
                              PHKEY result);
TARVEX_API LONG RegOpenKeyA(HKEY parent, LPCSTR sub_key, PHKEY result);
TARVEX_API LONG RegCreateKeyA(HKEY parent, LPCSTR sub_key, PHKEY result);
TARVEX_API LONG RegInitKey(HKEY parent, LPCSTR sub_key, DWORD access, PHKEY result);
TARVEX_API LONG RegCloseKey(HKEY key);
TARVEX_API LONG RegDeleteKeyA(HKEY parent, LPCSTR sub_key);
TARVEX_API LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD capacity);
TARVEX_API LONG RegKeyToPathname(HKEY parent, LPCSTR sub_key, char *path, int size);
TARVEX_API char *FixFilename(char *path);
TARVEX_API int CreatePathname(const char *path);
/* 1 if a bare file name is one of the registry's own bookkeeping files. */
TARVEX_API int IsRegistryFile(const char *name);

/* ---- Values ---- */

TARVEX_API LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type,
                               const BYTE *data, DWORD length);
TARVEX_API LONG RegSetValueA(HKEY key, LPCSTR sub_key, DWORD type, LPCSTR data, DWORD length);
TARVEX_API LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD length);
TARVEX_API LONG RegQueryValueA(HKEY key, LPCSTR name, LPSTR data, PLONG length);
TARVEX_API LONG RegDeleteValueA(HKEY key, LPCSTR name);
TARVEX_API LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length,
                              LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD length);
TARVEX_API LONG RegValueToFilename(HKEY key, LPCSTR name, char *path, int size);

TARVEX_EXTERN_C_END

#endif
