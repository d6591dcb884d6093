// Loaded into a measured process with LD_PRELOAD: counts its heap allocations (malloc,
// calloc, realloc and the aligned kinds, C++'s operator new included, which comes here)
// into the 8-byte file named by VMAH_ALLOCATION_COUNTER, mapped shared, so that the
// benchmark reads the count at any moment without disturbing the process. Without that
// variable it counts into a word of its own that nobody reads.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

static _Atomic unsigned long own_count;
static _Atomic unsigned long* counter = &own_count;

__attribute__((constructor)) static void map_counter(void) {
    const char* path = getenv("VMAH_ALLOCATION_COUNTER");
    if (path == NULL) return;
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void* mapped = mmap(NULL, sizeof *counter, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped != MAP_FAILED) counter = mapped;
}

static void count(void) { atomic_fetch_add_explicit(counter, 1, memory_order_relaxed); }

void* malloc(size_t size) {
    count();
    return __libc_malloc(size);
}

void* calloc(size_t count_of, size_t size) {
    count();
    return __libc_calloc(count_of, size);
}

void* realloc(void* block, size_t size) {
    count();
    return __libc_realloc(block, size);
}

void* memalign(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* block = memalign(alignment, size);
    if (block == NULL) return ENOMEM;
    *out = block;
    return 0;
}
