/* LD_PRELOAD library that counts the heap calls and the clock reads of the
 * program it is loaded into. A clock read through the vDSO is no system
 * call, so strace does not see it; on a core without a timer the vDSO can
 * read, each is one. The counters live in the file named by CALL_COUNT_FILE,
 * mapped shared, so another process can read them at any time while the
 * program runs: five native-endian 32-bit words, malloc, calloc, realloc,
 * free (aligned allocations count as malloc), clock_gettime. Calls are
 * passed on to glibc.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void __libc_free(void *);
extern void *__libc_memalign(size_t, size_t);

enum { MALLOC, CALLOC, REALLOC, FREE, CLOCK_READ, COUNTERS };
static volatile uint32_t *counts;

__attribute__((constructor)) static void setup(void)
{
    const char *path = getenv("CALL_COUNT_FILE");
    if (!path)
        return;
    const size_t size = COUNTERS * sizeof(uint32_t);
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, size) != 0)
        return;
    void *p = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED)
        counts = p;
}

static void bump(int i)
{
    if (counts)
        __atomic_fetch_add(&counts[i], 1, __ATOMIC_RELAXED);
}

void *malloc(size_t n) { bump(MALLOC); return __libc_malloc(n); }
void *calloc(size_t a, size_t b) { bump(CALLOC); return __libc_calloc(a, b); }
void *realloc(void *p, size_t n) { bump(REALLOC); return __libc_realloc(p, n); }
void free(void *p) { if (p) bump(FREE); __libc_free(p); }
void *memalign(size_t a, size_t n) { bump(MALLOC); return __libc_memalign(a, n); }
void *aligned_alloc(size_t a, size_t n) { bump(MALLOC); return __libc_memalign(a, n); }
int posix_memalign(void **out, size_t a, size_t n)
{
    bump(MALLOC);
    void *p = __libc_memalign(a, n);
    if (!p)
        return 12; /* ENOMEM */
    *out = p;
    return 0;
}

/* A program built with 64-bit time on a 32-bit target calls the *64 symbol;
 * both are counted, each passed on to its own. */
typedef int clock_read_fn(clockid_t, void *);
static int count_clock_read(clock_read_fn **next, const char *name, clockid_t clock, void *now)
{
    bump(CLOCK_READ);
    if (!*next)
        *next = (clock_read_fn *)dlsym(RTLD_NEXT, name);
    return *next ? (*next)(clock, now) : -1;
}
int clock_gettime(clockid_t clock, struct timespec *now)
{
    static clock_read_fn *next;
    return count_clock_read(&next, "clock_gettime", clock, now);
}
#if defined(__arm__) || defined(__i386__)
int __clock_gettime64(clockid_t clock, void *now)
{
    static clock_read_fn *next;
    return count_clock_read(&next, "__clock_gettime64", clock, now);
}
#endif
