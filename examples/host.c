/* A small host written only against <windows.h>, the way a ported Win32 server uses tarvex:
 * start the library, log, report what start-up found, hand work between two threads with a
 * critical section, an event and a semaphore, and shut down cleanly. */
#include <windows.h>

#include <pthread.h>
#include <stdio.h>

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

int main(int argc, char **argv) {
    pthread_t thread;
    int consumed = 0, total = 0, events = 0;
    HANDLE probe[2048];
    SYSTEMTIME now;

    if (!InitNTSystem(argc, argv, on_shutdown, NULL)) {
        fprintf(stderr, "InitNTSystem reported a failed start-up step (see /tmp/zdrunix.log)\n");
    }
    UnixLog("example host started as %s", Argv0);
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
    UnixLog("example host done");
    CleanupNTResources();
    printf("done; log lines are in /tmp/zdrunix.log\n");
    return total == 204 ? 0 : 1;
}
