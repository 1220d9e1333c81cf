/* A small host written only against <windows.h>, the way a ported Win32 server uses tarvex:
 * start the library, log, report what start-up found, hand work between two threads with a
 * critical section, an event and a semaphore, write, read and list files, run a child program
 * and collect its output through a pipe, and shut down cleanly. */
#include <windows.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static CRITICAL_SECTION g_lock;
static HANDLE g_ready;   /* auto-reset event: the worker has produced an item */
static HANDLE g_slots;   /* semaphore: free places in the queue */
static LONG g_produced;
static int g_queue[4];
static int g_queue_length;

static void on_shutdown(void) { UnixLog("example host: shutdown callback ran"); }

static void *worker(void *arg) {
    int i;
    (void)arg;
    for (i = 1; i <= 8; ++i) {
        if (WaitForSingleObject(g_slots, 5000) != WAIT_OBJECT_0) break;
        EnterCriticalSection(&g_lock);
        g_queue[g_queue_length++] = i * i;
        LeaveCriticalSection(&g_lock);
        InterlockedIncrement(&g_produced);
        SetEvent(g_ready);
    }
    return NULL;
}

/* Writes a few message files into a scratch directory, reads one back and lists them by pattern.
 * Returns the number of files listed, or -1. */
static int files_demo(void) {
    char dir[MAX_PATH], path[MAX_PATH], text[64];
    WIN32_FIND_DATAA found;
    HANDLE h, search;
    DWORD n;
    int i, listed = 0;

    if (GetTempPathA(sizeof dir, dir) == 0) return -1;
    Snprintf(path, sizeof path, "%starvex-example-%lu", dir, (unsigned long)getpid());
    if (!CreateDirectoryA(path, NULL)) return -1;
    Strcpy(dir, path, sizeof dir);
    for (i = 1; i <= 3; ++i) {
        Snprintf(path, sizeof path, "%s/%d.msg", dir, i);
        h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE) return -1;
        n = (DWORD)Snprintf(text, sizeof text, "message %d\n", i);
        WriteFile(h, text, n, &n, NULL);
        CloseHandle(h);
    }
    Snprintf(path, sizeof path, "%s/2.msg", dir);
    h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE && ReadFile(h, text, sizeof text - 1, &n, NULL)) {
        text[n] = '\0';
        printf("read back    : %s", text);
    }
    CloseHandle(h);
    Snprintf(path, sizeof path, "%s/*.MSG", dir);
    search = FindFirstFileA(path, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            printf("listed       : %s, %lu bytes\n", found.cFileName, (unsigned long)found.nFileSizeLow);
            ++listed;
            Snprintf(path, sizeof path, "%s/%s", dir, found.cFileName);
            DeleteFileA(path);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir);
    return listed;
}

/* The host's configuration lives in the registry: a greeting it reads and a run counter it
 * counts up. Returns the run number, or -1. Key paths begin with a fixed 24-character part. */
static long registry_demo(void) {
    HKEY key;
    DWORD runs = 0, type, length = sizeof runs;
    char greeting[64];
    LONG found;

    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvex\\Servers\\Example", &key) != ERROR_SUCCESS)
        return -1;
    length = sizeof greeting;
    found = RegQueryValueExA(key, "Greeting", NULL, &type, (LPBYTE)greeting, &length);
    if (found != ERROR_SUCCESS) {
        Strcpy(greeting, "hello from the registry", sizeof greeting);
        RegSetValueExA(key, "Greeting", 0, REG_SZ, (const BYTE *)greeting, (DWORD)strlen(greeting) + 1);
    }
    length = sizeof runs;
    if (RegQueryValueExA(key, "RunCount", NULL, &type, (LPBYTE)&runs, &length) != ERROR_SUCCESS) runs = 0;
    ++runs;
    RegSetValueExA(key, "RunCount", 0, REG_DWORD, (const BYTE *)&runs, sizeof runs);
    RegCloseKey(key);
    printf("registry     : %s (root %s), run %lu\n", greeting, RegRootDir, (unsigned long)runs);
    return (long)runs;
}

/* Runs a child program with its standard output on a pipe, reads what it writes until it is done
 * and waits for it. Returns the child's exit code, or -1. */
static long child_demo(void) {
    HANDLE read_end, write_end;
    STARTUPINFOA startup;
    PROCESS_INFORMATION child;
    char line[] = "/bin/echo hello from a child process";
    char output[128];
    DWORD n, total = 0, code = 0;

    if (!CreatePipe(&read_end, &write_end, NULL, 0)) return -1;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = NULL; /* /dev/null */
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    if (!CreateProcessA(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        return -1;
    }
    /* The child holds its own copy: once it exits, the read below sees the end. */
    CloseHandle(write_end);
    while (total < sizeof output - 1 &&
           ReadFile(read_end, output + total, (DWORD)(sizeof output - 1 - total), &n, NULL) && n > 0)
        total += n;
    output[total] = '\0';
    CloseHandle(read_end);
    if (WaitForSingleObject(child.hProcess, 10000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.hProcess, &code))
        code = (DWORD)-1;
    CloseHandle(child.hProcess);
    printf("child        : pid %lu said \"%.*s\", exit code %ld\n", (unsigned long)child.dwProcessId,
           total > 0 && output[total - 1] == '\n' ? (int)total - 1 : (int)total, output, (long)(LONG)code);
    return strcmp(output, "hello from a child process\n") == 0 ? (long)(LONG)code : -1;
}

int main(int argc, char **argv) {
    pthread_t thread;
    int consumed = 0, total = 0, events = 0, files;
    long runs, child;
    HANDLE instance;
    HANDLE probe[2048];
    SYSTEMTIME now;

    if (!InitNTSystem(argc, argv, on_shutdown, NULL)) {
        fprintf(stderr, "InitNTSystem reported a failed start-up step (see /tmp/zdrunix.log)\n");
    }
    UnixLog("example host started as %s", Argv0);
    /* One instance at a time: a second one waits here until the first is done. */
    instance = CreateMutexA(NULL, FALSE, "tarvex-example-host");
    if (instance != INVALID_HANDLE_VALUE && WaitForSingleObject(instance, 0) == WAIT_TIMEOUT) {
        printf("instance     : another one is running; waiting for it\n");
        WaitForSingleObject(instance, INFINITE);
    }
    GetLocalTime(&now);
    printf("program path : %s\n", Argv0);
    printf("owner, group : %ld, %ld (-1: left alone)\n", (long)(LONG)userID, (long)(LONG)groupID);
    printf("local time   : %04u-%02u-%02u %02u:%02u:%02u\n", now.wYear, now.wMonth, now.wDay,
           now.wHour, now.wMinute, now.wSecond);

    /* The event table's size, found the way a host can: by filling it. */
    while (events < 2048) {
        HANDLE h = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (h == INVALID_HANDLE_VALUE) break;
        probe[events++] = h;
    }
    printf("event table  : %d events (KWR_MAX_EVENTS)\n", events);
    while (events > 0) CloseHandle(probe[--events]);

    InitializeCriticalSection(&g_lock);
    g_ready = CreateEventA(NULL, FALSE, FALSE, NULL);
    g_slots = CreateSemaphoreA(NULL, 4, 4, "example-queue");
    pthread_create(&thread, NULL, worker, NULL);
    while (consumed < 8) {
        int i, n;
        if (WaitForSingleObject(g_ready, 5000) != WAIT_OBJECT_0) {
            printf("worker stalled\n");
            break;
        }
        EnterCriticalSection(&g_lock);
        n = g_queue_length;
        for (i = 0; i < n; ++i) total += g_queue[i];
        g_queue_length = 0;
        LeaveCriticalSection(&g_lock);
        consumed += n;
        ReleaseSemaphore(g_slots, n, NULL);
    }
    pthread_join(thread, NULL);
    printf("worker       : %ld items, sum of squares 1..8 = %d\n", (long)g_produced, total);

    CloseHandle(g_slots);
    CloseHandle(g_ready);
    DeleteCriticalSection(&g_lock);
    files = files_demo();
    runs = registry_demo();
    child = child_demo();
    printf("files        : %d message files written, read and listed\n", files);
    ReleaseMutex(instance);
    CloseHandle(instance);
    UnixLog("example host done");
    CleanupNTResources();
    printf("done; log lines are in /tmp/zdrunix.log\n");
    return total == 204 && files == 3 && runs > 0 && child == 0 ? 0 : 1;
}
