/* Counts the process's heap allocations (malloc, calloc, realloc and the
   aligned forms, which operator new reaches too), for tools/call_cost.py.
   Loaded with LD_PRELOAD; read through alloc_count(). */
#include <stddef.h>
#include <stdint.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void __libc_free(void*);

static uint64_t allocations;

uint64_t alloc_count(void) { return allocations; }

void* malloc(size_t n) {
  ++allocations;
  return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
  ++allocations;
  return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
  ++allocations;
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
int posix_memalign(void** out, size_t alignment, size_t n) {
  ++allocations;
  void* p = __libc_memalign(alignment, n);
  if (p == NULL) return 12; /* ENOMEM */
  *out = p;
  return 0;
}
void* aligned_alloc(size_t alignment, size_t n) {
  ++allocations;
  return __libc_memalign(alignment, n);
}
void* memalign(size_t alignment, size_t n) {
  ++allocations;
  return __libc_memalign(alignment, n);
}
