/* Text utilities: bounded strings, hashing, wildcard matching and line parsing. Every size
 * argument is the whole destination size, terminator included. */
#ifndef TARVEX_TEXT_H
#define TARVEX_TEXT_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

/* ASCII-only lower-casing table, independent of the locale. */
TARVEX_API extern const unsigned char downCaseArray[256];

TARVEX_API char *Strcpy(char *dst, const char *src, int size);
TARVEX_API char *Strncpy(char *dst, const char *src, int count);
TARVEX_API char *StrncpyEx(char *dst, const char *src, int count, int size);
TARVEX_API char *Strcat(char *dst, const char *src, int size);
TARVEX_API char *Strncat(char *dst, const char *src, int count, int size);
TARVEX_API int Snprintf(char *buf, int size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
TARVEX_API char *Strtok(char *str, const char *delims, char **next, char *found);
TARVEX_API char *Stristr(const char *text, const char *pattern);
TARVEX_API char *Strristr(const char *text, const char *pattern);
TARVEX_API char *Strlwr(char *s);
TARVEX_API char *strlwr(char *s);
TARVEX_API char *strupr(char *s);
TARVEX_API unsigned int hash_fn(const char *key, unsigned int buckets);
TARVEX_API int NextPrime(int n);

/* ---- Wildcard matching and line parsing ---- */

/* 1 if the text holds ?, *, [ or (. */
TARVEX_API int WildCardExists(const char *text);
/* 1 if the whole text matches the pattern; match_start and match_end may be null. */
TARVEX_API int WildCardMatchEx(const char *text, const char *pattern, int ignore_case,
                               const char **match_start, const char **match_end);
TARVEX_API int WildCardMatch(const char *text, const char *pattern);
TARVEX_API int ParseLine(char *line, char **fields, int *count, const char *separators,
                         unsigned char flags);
TARVEX_API int ParseLineRo(const char *line, const char **starts, DWORD *lengths, int *count,
                           const char *separators, unsigned char flags);
TARVEX_API char *StripCharsEx(char *text, const char *keep, const char *strip, DWORD where,
                              DWORD *removed);
TARVEX_API char *StripChars(char *text, const char *keep, const char *strip, DWORD where);
TARVEX_API char *StripSpaceEx(char *text, DWORD where);
TARVEX_API char *StripSpace(char *text);
TARVEX_API char *RemoveCRLF(char *text);

/* ---- Code-page conversion: the wide side is 16-bit UCS-2. Lengths of -1 convert up to and
 * including the terminator; no terminator is added otherwise. 0 on every failure, also when the
 * buffer cannot hold the whole result (there is no size query). ---- */

#define CP_ACP 0u
#define CP_UTF8 65001u

TARVEX_API int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int length,
                                   LPWSTR wide, int capacity);
TARVEX_API int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int length,
                                   LPSTR text, int capacity, LPCSTR default_char,
                                   LPBOOL used_default);

TARVEX_EXTERN_C_END

#endif
