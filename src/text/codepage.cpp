// Code-page conversion: MultiByteToWideChar and WideCharToMultiByte on the system's iconv.
//
// A Win32 code page becomes an iconv character-set name; every name can be overridden from the
// environment (KWR_CPACP, KWR_CPUTF8, KWR_CP<number>) so that an installation can point a code
// page at whatever name its iconv knows. The wide side is always "UCS-2". Each call opens and
// closes its own converter, so both functions are re-entrant. Logs failures through UnixLog.
#include <tarvex/core.h>
#include <tarvex/text.h>

#include <errno.h>
#include <iconv.h>
#include <stdlib.h>
#include <string.h>

namespace tarvex {
namespace {

constexpr int kNameSize = 1024;
constexpr char kWide[] = "UCS-2";

// The variable's value when set and not empty, else the default, else "CP<number>".
void env_code_page_name(UINT code_page, const char* variable, const char* fallback, char* name,
                        int size) {
    const char* value = variable != nullptr ? getenv(variable) : nullptr;
    if (value != nullptr && value[0] != '\0')
        Strcpy(name, value, size);
    else if (fallback != nullptr)
        Strcpy(name, fallback, size);
    else
        Snprintf(name, size, "CP%u", code_page);
}

void code_page_name(UINT code_page, char* name, int size) {
    if (code_page == CP_ACP) return env_code_page_name(code_page, "KWR_CPACP", "8859_1", name, size);
    if (code_page == CP_UTF8) return env_code_page_name(code_page, "KWR_CPUTF8", "UTF-8", name, size);
    char variable[kNameSize];
    Snprintf(variable, sizeof variable, "KWR_CP%u", code_page);
    const char* fallback = nullptr;
    switch (code_page) {
        case 20932: case 51932: fallback = "EUC-JP"; break;
        case 20949: case 51949: fallback = "EUC-KR"; break;
        case 50220: fallback = "ISO-2022-JP-3"; break;
        case 50225: fallback = "ISO-2022-KR"; break;
        default: break;
    }
    env_code_page_name(code_page, variable, fallback, name, size);
}

// Code page 50220 designates JIS X 0208 with ESC $ B; the ISO-2022-JP-3 converter wants the
// JIS X 0213 plane-1 designation ESC $ ( O in its place. Copies at most `length` bytes up to a
// NUL into a terminated buffer of the caller's to free, or null without memory. The buffer has
// room for every designation a 3-byte sequence can become (4/3 of the input) and the terminator.
char* rewrite_designations(const char* text, size_t length) {
    size_t size = length / 3 * 4 + 5 + length % 3;
    char* out = static_cast<char*>(malloc(size));
    if (out == nullptr) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length && text[i] != '\0' && o + 4 < size; ++i) {
        if (i + 2 < length && text[i] == '\x1b' && text[i + 1] == '$' && text[i + 2] == 'B') {
            memcpy(out + o, "\x1b$(O", 4);
            o += 4;
            i += 2;
        } else {
            out[o++] = text[i];
        }
    }
    out[o] = '\0';
    return out;
}

size_t wide_length(const WCHAR* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// Converts `in_bytes` bytes into at most `out_bytes`; the bytes written, or -1 with errno set
// (E2BIG for a buffer too small: there is no size query).
long convert(iconv_t converter, const char* in, size_t in_bytes, char* out, size_t out_bytes) {
    char* source = const_cast<char*>(in);
    char none;
    // A null output would ask iconv to reset its state instead of converting.
    char* target = out != nullptr ? out : &none;
    size_t room = out_bytes;
    if (iconv(converter, &source, &in_bytes, &target, &room) == static_cast<size_t>(-1)) return -1;
    return static_cast<long>(out_bytes - room);
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API int MultiByteToWideChar(UINT code_page, DWORD, LPCSTR text, int length, LPWSTR wide,
                                   int capacity) {
    if (text == nullptr || length < -1 || capacity < 0 || (wide == nullptr && capacity > 0))
        return 0;
    char name[kNameSize];
    code_page_name(code_page, name, sizeof name);
    size_t in_bytes = length == -1 ? strlen(text) + 1 : static_cast<size_t>(length);
    char* work = nullptr;
    if (code_page == 50220) {
        if ((work = rewrite_designations(text, in_bytes)) == nullptr) return 0;
        text = work;
        // The terminator is converted only when the caller's length included it.
        in_bytes = strlen(work) + (length == -1 ? 1 : 0);
    }
    int result = 0;
    iconv_t converter = iconv_open(kWide, name);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        UnixLog("MultiByteToWideChar: iconv_open (%s, %s) failed (%d)", kWide, name, errno);
    } else {
        long written = convert(converter, text, in_bytes, reinterpret_cast<char*>(wide),
                               static_cast<size_t>(capacity) * sizeof(WCHAR));
        if (written < 0)
            UnixLog("MultiByteToWideChar: iconv () %s, %s failed (%d)", kWide, name, errno);
        else
            result = static_cast<int>(written / static_cast<long>(sizeof(WCHAR)));
        iconv_close(converter);
    }
    free(work);
    return result;
}

TARVEX_API int WideCharToMultiByte(UINT code_page, DWORD, LPCWSTR wide, int length, LPSTR text,
                                   int capacity, LPCSTR, LPBOOL) {
    if (wide == nullptr || length < -1 || capacity < 0 || (text == nullptr && capacity > 0))
        return 0;
    char name[kNameSize];
    code_page_name(code_page, name, sizeof name);
    iconv_t converter = iconv_open(name, kWide);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        UnixLog("WideCharToMultiByte: iconv_open (%s, %s) failed (%d)", name, kWide, errno);
        return 0;
    }
    size_t characters = length == -1 ? wide_length(wide) + 1 : static_cast<size_t>(length);
    long written = convert(converter, reinterpret_cast<const char*>(wide),
                           characters * sizeof(WCHAR), text, static_cast<size_t>(capacity));
    if (written < 0) UnixLog("WideCharToMultiByte: iconv () %s, %s failed (%d)", name, kWide, errno);
    iconv_close(converter);
    return written < 0 ? 0 : static_cast<int>(written);
}

}  // extern "C"
