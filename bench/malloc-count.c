/* LD_PRELOAD library that counts the heap calls of the program it is loaded
 * into. The counters live in the file named by MALLOC_COUNT_FILE, mapped
 * shared, so another process can read them at any time while the program
 * runs: four native-endian 32-bit words, malloc, calloc, realloc, free
 * (aligned allocations count as malloc). Calls are passed on to glibc.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void __libc_free(void *);
extern void *__libc_memalign(size_t, size_t);

static volatile uint32_t *counts;

__attribute__((constructor)) static void setup(void)
{
    const char *path = getenv("MALLOC_COUNT_FILE");
    if (!path)
        return;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, 16) != 0)
        return;
    void *p = mmap(NULL, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED)
        counts = p;
}

static void bump(int i)
{
    if (counts)
        __atomic_fetch_add(&counts[i], 1, __ATOMIC_RELAXED);
}

void *malloc(size_t n) { bump(0); return __libc_malloc(n); }
void *calloc(size_t a, size_t b) { bump(1); return __libc_calloc(a, b); }
void *realloc(void *p, size_t n) { bump(2); return __libc_realloc(p, n); }
void free(void *p) { if (p) bump(3); __libc_free(p); }
void *memalign(size_t a, size_t n) { bump(0); return __libc_memalign(a, n); }
void *aligned_alloc(size_t a, size_t n) { bump(0); return __libc_memalign(a, n); }
int posix_memalign(void **out, size_t a, size_t n)
{
    bump(0);
    void *p = __libc_memalign(a, n);
    if (!p)
        return 12; /* ENOMEM */
    *out = p;
    return 0;
}
