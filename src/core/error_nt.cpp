// The per-thread last error and the translation of errno into Win32 codes.
//
// An operation that fails inside a POSIX call leaves errno set; GetLastError translates a pending
// errno through one table (and clears it) before falling back to the code the thread stored with
// SetLastError. SetLastError clears errno so that its code is what the next GetLastError sees.
//
// The stored code is a thread_local word rather than a pthread key: it exists before
// InitNTSystem, cannot fail to be created, and reads 0 in a thread that never stored one.
#include <tarvex/core.h>

#include <errno.h>

#include <array>
#include <utility>

#include "core/errno_table.h"
#include "core/last_error.h"

namespace tarvex {
namespace {

// Sorted by errno value. EOPNOTSUPP (95) translates to 10045, the socket code: on this system it
// is the same number as ENOTSUP, and the socket meaning is the one with a defined Win32 code.
constexpr ErrnoCode kErrnoTable[] = {
    {EPERM, 288},          {ENOENT, 2},         {ESRCH, 3},         {EINTR, 4},
    {EIO, 31},             {ENXIO, 6},          {E2BIG, 160},       {ENOEXEC, 191},
    {EBADF, 9},            {ECHILD, 10},        {EAGAIN, 10035},    {ENOMEM, 8},
    {EACCES, 5},           {EFAULT, 14},        {ENOTBLK, 15},      {EBUSY, 16},
    {EEXIST, 183},         {EXDEV, 18},         {ENODEV, 19},       {ENOTDIR, 3},
    {EISDIR, 21},          {EINVAL, 160},       {ENFILE, 4},        {EMFILE, 4},
    {ENOTTY, 25},          {ETXTBSY, 26},       {EFBIG, 10000},     {ENOSPC, 39},
    {ESPIPE, 25},          {EROFS, 109},        {EMLINK, 31},       {EPIPE, 110},
    {EDOM, 33},            {ERANGE, 34},        {EDEADLK, 1131},    {ENAMETOOLONG, 161},
    {ENOLCK, 46},          {ENOSYS, 89},        {ENOTEMPTY, 145},   {ELOOP, 90},
    {ENOMSG, 35},          {EIDRM, 36},         {ECHRNG, 37},       {EL2NSYNC, 38},
    {EL3HLT, 39},          {EL3RST, 40},        {ELNRNG, 41},       {EUNATCH, 42},
    {ENOCSI, 43},          {EL2HLT, 44},        {EBADE, 50},        {EBADR, 51},
    {EXFULL, 52},          {ENOANO, 53},        {EBADRQC, 54},      {EBADSLT, 55},
    {EBFONT, 57},          {ENOSTR, 60},        {ENODATA, 61},      {ETIME, 62},
    {ENOSR, 63},           {ENONET, 1232},      {ENOPKG, 65},       {EREMOTE, 66},
    {ENOLINK, 1236},       {EADV, 68},          {ESRMNT, 69},       {ECOMM, 70},
    {EPROTO, 1233},        {EMULTIHOP, 1238},   {EBADMSG, 77},      {EOVERFLOW, 79},
    {ENOTUNIQ, 80},        {EBADFD, 81},        {EREMCHG, 82},      {ELIBACC, 83},
    {ELIBBAD, 1392},       {ELIBSCN, 1392},     {ELIBMAX, 214},     {ELIBEXEC, 87},
    {EILSEQ, 13},          {ERESTART, 91},      {ESTRPIPE, 92},     {EUSERS, 94},
    {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040}, {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},  {ENETUNREACH, 10051}, {ENETRESET, 10052},
    {ECONNABORTED, 10053}, {ECONNRESET, 10054}, {ENOBUFS, 10055},   {EISCONN, 10056},
    {ENOTCONN, 10057},     {ESHUTDOWN, 10058},  {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {EHOSTDOWN, 10064},  {EHOSTUNREACH, 10065}, {EALREADY, 10036},
    {EINPROGRESS, 10036},  {ESTALE, 151},       {EDQUOT, 49},       {ECANCELED, 47},
};

static_assert(is_sorted_by_errno(kErrnoTable), "the errno table is searched by bisection");
static_assert(std::size(kErrnoTable) == 115, "one row per translated errno value");

}  // namespace
}  // namespace tarvex

extern "C" {

// Nothing is left to prepare at start-up: the stored codes are thread_local (zero in every new
// thread) and the table is sorted at compile time. Kept because hosts and start-up call it.
TARVEX_API void InitNTError(void) {}

TARVEX_API void SetLastError(DWORD code) { tarvex::set_last_error(code); }

TARVEX_API DWORD GetLastError(void) {
    int pending = errno;
    if (pending == 0) return tarvex::t_last_error.code;
    DWORD code = tarvex::translate_errno(tarvex::kErrnoTable, pending);
    if (code == 0) return tarvex::t_last_error.code;
    errno = 0;
    return code;
}

}  // extern "C"
