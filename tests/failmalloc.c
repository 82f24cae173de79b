/* Fails one chosen allocation, for the allocation-failure sweep
 * (tests/test_allocation_failures.py), loaded with LD_PRELOAD.
 *
 * failmalloc_arm(n) makes the n-th malloc/calloc/realloc made by the arming
 * thread from then on return NULL (once); other threads are never failed:
 * CPython 3.11 leaves Thread.start() waiting for ever when a new thread's
 * bootstrap (thread_run) fails to allocate; a worker thread to be swept arms
 * the shim itself once it runs, while the others go on allocating (so the
 * arming state is read atomically). Before failing, the call stack is
 * written to the file named by FAILMALLOC_LOG, so that a crash that follows
 * can be traced to the failed allocation and, when it lies in CPython itself,
 * recognised by name. The real allocator is found with RTLD_NEXT, so this
 * also works in front of AddressSanitizer's. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void* (*real_malloc)(size_t);
static void* (*real_calloc)(size_t, size_t);
static void* (*real_realloc)(void*, size_t);
static void (*real_free)(void*);

/* dlsym() itself allocates before the real functions are known. */
static char bootstrap[4096];
static size_t bootstrap_used;
static int resolving;

static long countdown;      /* allocations left before the one to fail; 0: disarmed */
static long seen;           /* allocations by the arming thread since arming */
static int failed;          /* 1 once the chosen allocation has been failed */
static pthread_t owner;
static int log_fd = -1;

static void resolve(void) {
    if (real_malloc || resolving) return;
    resolving = 1;
    real_malloc = dlsym(RTLD_NEXT, "malloc");
    real_calloc = dlsym(RTLD_NEXT, "calloc");
    real_realloc = dlsym(RTLD_NEXT, "realloc");
    real_free = dlsym(RTLD_NEXT, "free");
    resolving = 0;
}

static void* from_bootstrap(size_t size) {
    size = (size + 15) & ~(size_t)15;
    if (bootstrap_used + size > sizeof bootstrap) return NULL;
    void* p = bootstrap + bootstrap_used;
    bootstrap_used += size;
    return p;
}

static int in_bootstrap(void* p) {
    return (char*)p >= bootstrap && (char*)p < bootstrap + sizeof bootstrap;
}

static void put_hex(char* out, size_t* at, uintptr_t v) {
    char digits[2 * sizeof v];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v);
    while (n) out[(*at)++] = digits[--n];
}

/* One line: "fail" and, per frame, "<library>+0x<offset>(<symbol>)". */
static void log_stack(void) {
    if (log_fd < 0) return;
    void* frames[48];
    int n = backtrace(frames, 48);
    char line[48 * 320];
    size_t at = 0;
    memcpy(line, "fail", 4);
    at = 4;
    for (int i = 1; i < n; ++i) {
        Dl_info info;
        line[at++] = ' ';
        if (dladdr(frames[i], &info) && info.dli_fname) {
            size_t len = strlen(info.dli_fname);
            if (len > 250) len = 250;
            memcpy(line + at, info.dli_fname, len);
            at += len;
            memcpy(line + at, "+0x", 3);
            at += 3;
            /* minus one: the call instruction, not the one after it */
            put_hex(line, &at, (uintptr_t)frames[i] - (uintptr_t)info.dli_fbase - 1);
            if (info.dli_sname) { /* the nearest exported symbol, for libraries without debug info */
                size_t len = strlen(info.dli_sname);
                if (len > 60) len = 60;
                line[at++] = '(';
                memcpy(line + at, info.dli_sname, len);
                at += len;
                line[at++] = ')';
            }
        } else {
            line[at++] = '?';
        }
    }
    line[at++] = '\n';
    ssize_t ignored = write(log_fd, line, at);
    (void)ignored;
}

/* True when this allocation is the one to fail. */
static int should_fail(void) {
    if (__atomic_load_n(&countdown, __ATOMIC_ACQUIRE) == 0 ||
        !pthread_equal(pthread_self(), __atomic_load_n(&owner, __ATOMIC_RELAXED)))
        return 0;
    ++seen;
    if (--countdown) return 0;
    failed = 1;
    log_stack();
    errno = ENOMEM; /* as the real allocator reports it; glibc asserts on it */
    return 1;
}

void* malloc(size_t size) {
    resolve();
    if (!real_malloc) return from_bootstrap(size);
    return should_fail() ? NULL : real_malloc(size);
}

void* calloc(size_t count, size_t size) {
    resolve();
    if (!real_calloc) {
        void* p = from_bootstrap(count * size);
        if (p) memset(p, 0, count * size);
        return p;
    }
    return should_fail() ? NULL : real_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    resolve();
    if (in_bootstrap(p) || !real_realloc) {
        void* q = malloc(size);
        if (q && p) memcpy(q, p, size);
        return q;
    }
    return should_fail() ? NULL : real_realloc(p, size);
}

void free(void* p) {
    if (p == NULL || in_bootstrap(p)) return;
    resolve();
    real_free(p);
}

/* Fails the n-th allocation of the calling thread from now on (n >= 1). */
void failmalloc_arm(long n) {
    if (log_fd < 0) {
        const char* path = getenv("FAILMALLOC_LOG");
        if (path) log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        void* warm[1];
        backtrace(warm, 1); /* loads the unwinder now, not while failing */
    }
    __atomic_store_n(&owner, pthread_self(), __ATOMIC_RELAXED);
    seen = 0;
    failed = 0;
    __atomic_store_n(&countdown, n, __ATOMIC_RELEASE); /* last: the owner is set */
}

/* Disarms; returns the allocations seen since arming, negated when the
 * chosen one was failed. */
long failmalloc_disarm(void) {
    __atomic_store_n(&countdown, 0, __ATOMIC_RELEASE);
    return failed ? -seen : seen;
}
