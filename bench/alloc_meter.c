/* Byte-exact accounting of the memory a process holds, for the benchmark.
 *
 * Loaded with LD_PRELOAD (and PYTHONMALLOC=malloc, so that Python's objects
 * come from malloc too), it wraps the allocator and anonymous mappings and
 * keeps the bytes held now and the highest value since the last reset.  A
 * heap block counts with its usable size, a mapping with its length in whole
 * pages.  Resident-memory figures move in 4 KiB pages and include what the
 * allocator keeps cached; these do not, so they resolve the memory of one
 * small call.
 *
 * From Python:  m = ctypes.CDLL(None); m.alloc_meter_reset();
 *               ...; m.alloc_meter_peak() - live_before
 */
#define _GNU_SOURCE
#include <errno.h>
#include <malloc.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void __libc_free(void*);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static int64_t live_bytes;
static int64_t peak_bytes;

static void add(int64_t delta) {
  int64_t now = __atomic_add_fetch(&live_bytes, delta, __ATOMIC_RELAXED);
  int64_t peak = __atomic_load_n(&peak_bytes, __ATOMIC_RELAXED);
  while (now > peak && !__atomic_compare_exchange_n(&peak_bytes, &peak, now, 1, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
}

static int64_t pages(size_t length) {
  const int64_t page = 4096;
  return ((int64_t)length + page - 1) / page * page;
}

int64_t alloc_meter_live(void) { return __atomic_load_n(&live_bytes, __ATOMIC_RELAXED); }
int64_t alloc_meter_peak(void) { return __atomic_load_n(&peak_bytes, __ATOMIC_RELAXED); }
void alloc_meter_reset(void) { __atomic_store_n(&peak_bytes, alloc_meter_live(), __ATOMIC_RELAXED); }

void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  if (p) add((int64_t)malloc_usable_size(p));
  return p;
}

void free(void* p) {
  if (!p) return;
  add(-(int64_t)malloc_usable_size(p));
  __libc_free(p);
}

void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  if (p) add((int64_t)malloc_usable_size(p));
  return p;
}

void* realloc(void* old, size_t n) {
  const int64_t before = old ? (int64_t)malloc_usable_size(old) : 0;
  void* p = __libc_realloc(old, n);
  if (p) {
    add((int64_t)malloc_usable_size(p) - before);
  } else if (n == 0 && old) {
    add(-before);  /* realloc(p, 0) freed the block */
  }
  return p;
}

void* memalign(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  if (p) add((int64_t)malloc_usable_size(p));
  return p;
}

void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }

int posix_memalign(void** out, size_t align, size_t n) {
  void* p = memalign(align, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(size_t n) { return memalign(4096, n); }

void* pvalloc(size_t n) { return memalign(4096, (size_t)pages(n)); }

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  long r = syscall(SYS_mmap, addr, length, prot, flags, fd, offset);
  if (r < 0 && r > -4096) {
    errno = (int)-r;
    return MAP_FAILED;
  }
  if (r == -1) return MAP_FAILED;
  if (flags & MAP_ANONYMOUS) add(pages(length));
  return (void*)r;
}

/* Mappings of files are not counted when they go, either: only anonymous
 * ones are mapped and unmapped during a measured call. */
int munmap(void* addr, size_t length) {
  long r = syscall(SYS_munmap, addr, length);
  if (r != 0) {
    errno = (int)-r;
    return -1;
  }
  add(-pages(length));
  return 0;
}

void* mremap(void* old, size_t old_length, size_t new_length, int flags, ...) {
  void* target = NULL;
  if (flags & MREMAP_FIXED) {
    va_list ap;
    va_start(ap, flags);
    target = va_arg(ap, void*);
    va_end(ap);
  }
  long r = syscall(SYS_mremap, old, old_length, new_length, flags, target);
  if (r < 0 && r > -4096) {
    errno = (int)-r;
    return MAP_FAILED;
  }
  add(pages(new_length) - pages(old_length));
  return (void*)r;
}
