// The event log on the system log: one event source per process.
//
// Owns EventLog, the process's one event-source record, and eventloglock, which keeps a report
// from using the message module while a deregistration closes it. Calls the loader for the
// optional message module "zdrmsg.so" (looked for in the working directory at registration) and
// the bounded string functions.
//
// A message text comes from outside the library and may contain anything: it reaches syslog only
// as the argument of "%s", never as a format. The caller's strings are put into it at its inserts
// "%1" to "%99" first; an insert without a string, and every other "%", stay as they are.
#include <tarvex/core.h>
#include <tarvex/module.h>
#include <tarvex/text.h>

#include <dlfcn.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "core/lock.h"

namespace tarvex {
namespace {

constexpr int kNameSize = 260;
constexpr int kTextSize = 10240;
constexpr int kOptions = LOG_PID | LOG_CONS;  // 3
constexpr int kFacility = LOG_DAEMON;         // 24
constexpr int kLogMask = LOG_UPTO(LOG_CRIT);  // 7: emergency, alert, critical
constexpr char kMessageModule[] = "zdrmsg.so";

using MessageFunction = const char* (*)(DWORD event_id);

struct EventLogRecord {
    char source[kNameSize];  // also the identifier syslog keeps pointing at
    int options;
    int facility;
    int registered;
    void* module;
    MessageFunction message;
};

EventLogRecord EventLog;
constinit TableLock eventloglock;

struct Priority {
    WORD type;
    int priority;
};
constexpr Priority kPriorities[] = {
    {EVENTLOG_SUCCESS, LOG_INFO},          {EVENTLOG_ERROR_TYPE, LOG_CRIT},
    {EVENTLOG_WARNING_TYPE, LOG_WARNING},  {EVENTLOG_INFORMATION_TYPE, LOG_INFO},
    {EVENTLOG_AUDIT_SUCCESS, LOG_NOTICE},  {EVENTLOG_AUDIT_FAILURE, LOG_CRIT},
};

int priority_of(WORD type) {
    for (const Priority& p : kPriorities)
        if (p.type == type) return p.priority;
    return LOG_INFO;
}

// The module path from the working directory; false when the directory cannot be read (it is
// not "/", where an empty text would point) or the path does not fit, since a cut path would name
// some other file.
bool module_path(char* path, size_t size) {
    if (getcwd(path, size) == nullptr) return false;
    size_t length = strlen(path);
    const char* slash = length > 0 && path[length - 1] == '/' ? "" : "/";
    return static_cast<size_t>(Snprintf(path + length, static_cast<int>(size - length), "%s%s",
                                        slash, kMessageModule)) < size - length;
}

void load_message_module(EventLogRecord& log) {
    char path[kNameSize];
    if (!module_path(path, sizeof path)) return;
    without_cancellation([&] {
        void* module = dlopen(path, RTLD_NOW);
        if (module == nullptr) return;
        void* message = dlsym(module, "GetMessageFromId");
        if (message == nullptr) {
            dlclose(module);
            return;
        }
        log.module = module;
        log.message = reinterpret_cast<MessageFunction>(message);
    });
}

// Copies `text` into `out` with "%N" replaced by the caller's N-th string (1-based).
void expand_inserts(const char* text, WORD count, LPCSTR* strings, char* out, int size) {
    int used = 0;
    for (const char* p = text; *p != '\0' && used < size - 1;) {
        int number = 0;
        const char* digits = p + 1;
        if (p[0] == '%' && digits[0] >= '1' && digits[0] <= '9') {
            number = digits[0] - '0';
            ++digits;
            if (*digits >= '0' && *digits <= '9') number = number * 10 + (*digits++ - '0');
        }
        if (number > 0 && number <= count && strings != nullptr && strings[number - 1] != nullptr) {
            Strcpy(out + used, strings[number - 1], size - used);
            used += static_cast<int>(strlen(out + used));
            p = digits;
        } else {
            out[used++] = *p++;
        }
    }
    out[used] = '\0';
}

// Each byte as "0x%02x " while a whole item still fits.
void dump_bytes(const unsigned char* data, DWORD size, char* out, int out_size) {
    constexpr int kItem = 5;
    int used = 0;
    out[0] = '\0';
    for (DWORD i = 0; i < size && used + kItem < out_size; ++i)
        used += Snprintf(out + used, out_size - used, "0x%02x ", data[i]);
}

}  // namespace
}  // namespace tarvex

using namespace tarvex;

extern "C" {

TARVEX_API HANDLE RegisterEventSourceA(LPCSTR, LPCSTR source) {
    return with_lock(eventloglock, [&]() -> HANDLE {
        if (EventLog.registered) return INVALID_HANDLE_VALUE;
        Strcpy(EventLog.source, source != nullptr ? source : "", kNameSize);
        EventLog.options = kOptions;
        EventLog.facility = kFacility;
        EventLog.registered = 1;
        load_message_module(EventLog);
        openlog(EventLog.source, EventLog.options, EventLog.facility);
        setlogmask(kLogMask);
        return &EventLog;
    });
}

TARVEX_API BOOL ReportEventA(HANDLE event_log, WORD type, WORD, DWORD event_id, PSID,
                             WORD string_count, DWORD data_size, LPCSTR* strings, LPVOID data) {
    // Only the handle registration gave is accepted: a stale or stray one finds nothing.
    if (event_log != &EventLog) return FALSE;
    return with_lock(eventloglock, [&]() -> BOOL {
        if (!EventLog.registered) return FALSE;
        int priority = priority_of(type);
        const char* text = EventLog.message != nullptr ? EventLog.message(event_id) : nullptr;
        char message[kTextSize];
        if (text != nullptr) {
            expand_inserts(text, string_count, strings, message, sizeof message);
            syslog(priority, "%s", message);
        } else {
            syslog(priority, "The message entry for event id %lu could not be found",
                   static_cast<unsigned long>(event_id));
        }
        if (data_size != 0 && data != nullptr) {
            dump_bytes(static_cast<const unsigned char*>(data), data_size, message,
                       sizeof message);
            if (message[0] != '\0') syslog(priority, "%s", message);
        }
        return TRUE;
    });
}

TARVEX_API BOOL DeregisterEventSource(HANDLE) {
    return with_lock(eventloglock, [&]() -> BOOL {
        if (!EventLog.registered) return FALSE;
        EventLog.message = nullptr;
        if (EventLog.module != nullptr) without_cancellation([] { dlclose(EventLog.module); });
        closelog();
        memset(&EventLog, 0, sizeof EventLog);
        return TRUE;
    });
}

}  // extern "C"
