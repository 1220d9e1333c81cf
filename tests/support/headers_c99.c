/* Built with -std=c99 -pedantic -Werror: a Win32 source in C must be able to include the umbrella. */
#include <windows.h>

int tvx_header_check_c(void) { return (int)sizeof(FILETIME) + (int)sizeof(SYSTEMTIME); }
