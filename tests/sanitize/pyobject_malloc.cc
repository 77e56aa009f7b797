// Preloaded under the sanitizer run: the interpreter's small-object
// allocator hands every object to malloc and free, so that a freed object
// is seen as freed (and a read past its end as such) instead of staying
// inside one of the allocator's pools.
#include <dlfcn.h>

#include <cstdlib>

extern "C" {
void* PyObject_Malloc(size_t n) { return std::malloc(n ? n : 1); }
void* PyObject_Realloc(void* p, size_t n) { return std::realloc(p, n ? n : 1); }
void PyObject_Free(void* p) { std::free(p); }

// Leaks are looked for only in processes that run the interpreter: the
// programs the tests start (the shell, ip, the stand-in tools) are not ours.
int __lsan_is_turned_off() { return dlsym(RTLD_DEFAULT, "Py_IsInitialized") == nullptr; }
}
