// Built with -pedantic -Werror: the umbrella header must be clean C++ too.
#include <windows.h>

int tvx_header_check_cxx() { return static_cast<int>(sizeof(LARGE_INTEGER)); }
