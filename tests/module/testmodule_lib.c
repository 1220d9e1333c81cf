/* A module for the library tests: its "DllMain" appends each reason it is called with, as one
 * digit, to the file named by TESTMODULE_LOG, and refuses the reason named by TESTMODULE_REFUSE.
 * On its last detach it loads and frees the module named by TESTMODULE_NEST through the library
 * that loaded it, and appends '+' when both worked. */
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

typedef void *(*LoadFn)(const char *);
typedef int (*FreeFn)(void *);

static void record(char c) {
    const char *log = getenv("TESTMODULE_LOG");
    int fd = log != NULL ? open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd < 0) return;
    if (write(fd, &c, 1) != 1) {
    }
    close(fd);
}

static int load_and_free(const char *path) {
    LoadFn load = (LoadFn)dlsym(RTLD_DEFAULT, "LoadLibraryA");
    FreeFn release = (FreeFn)dlsym(RTLD_DEFAULT, "FreeLibrary");
    void *module = load != NULL && release != NULL ? load(path) : NULL;
    return module != NULL && release(module);
}

int DllMain(void *module, unsigned reason, void *reserved) {
    const char *refuse = getenv("TESTMODULE_REFUSE");
    const char *nest = getenv("TESTMODULE_NEST");
    char digit = (char)('0' + reason);
    (void)module;
    (void)reserved;
    record(digit);
    if (reason == 0 && nest != NULL && load_and_free(nest)) record('+');
    return !(refuse != NULL && refuse[0] == digit);
}

int TestModuleAnswer(void) { return 42; }
