// The version number GetVersion makes of a kernel release string, for GetVersion and its tests.
#pragma once

#include <tarvex/base.h>

namespace tarvex {

// Up to two digits of major, a dot, up to two digits of minor; each stays 0 where the digits stop
// ("2.6.18" is 2.6, "123.4" is 12.0). Major in the low byte, minor in the next, the rest 0.
constexpr DWORD version_from_release(const char* release) {
    DWORD major = 0, minor = 0;
    if (release == nullptr) return 0;
    int i = 0;
    for (; i < 2 && release[i] >= '0' && release[i] <= '9'; ++i) major = major * 10 + (release[i] - '0');
    if (i > 0 && release[i] == '.') {
        const char* rest = release + i + 1;
        for (int j = 0; j < 2 && rest[j] >= '0' && rest[j] <= '9'; ++j) minor = minor * 10 + (rest[j] - '0');
    }
    return (major & 0xFF) | (minor & 0xFF) << 8;
}

}  // namespace tarvex
