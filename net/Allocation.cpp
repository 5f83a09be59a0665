#include "net/Allocation.h"

#include <atomic>
#include <cstdlib>

namespace Net {
namespace {

void* DefaultMalloc(size_t size) { return std::malloc(size); }
void* DefaultRealloc(void* p, size_t size) { return std::realloc(p, size); }
void DefaultFree(void* p) { std::free(p); }
void* DefaultMallocEx(size_t size, const char*, unsigned int) { return std::malloc(size); }
void* DefaultReallocEx(void* p, size_t size, const char*, unsigned int) { return std::realloc(p, size); }
void DefaultFreeEx(void* p, const char*, unsigned int) { std::free(p); }

// The hooks are read on every allocation from every thread, so they are
// atomics; installing one while allocations are running is still only sound
// when the old and new hooks can free each other's blocks.
std::atomic<MallocHook> g_malloc{DefaultMalloc};
std::atomic<ReallocHook> g_realloc{DefaultRealloc};
std::atomic<FreeHook> g_free{DefaultFree};
std::atomic<MallocExHook> g_mallocEx{DefaultMallocEx};
std::atomic<ReallocExHook> g_reallocEx{DefaultReallocEx};
std::atomic<FreeExHook> g_freeEx{DefaultFreeEx};

}  // namespace

// A null hook puts the default back.
void SetMalloc(MallocHook hook) { g_malloc.store(hook ? hook : DefaultMalloc); }
void SetRealloc(ReallocHook hook) { g_realloc.store(hook ? hook : DefaultRealloc); }
void SetFree(FreeHook hook) { g_free.store(hook ? hook : DefaultFree); }
void SetMalloc_Ex(MallocExHook hook) { g_mallocEx.store(hook ? hook : DefaultMallocEx); }
void SetRealloc_Ex(ReallocExHook hook) { g_reallocEx.store(hook ? hook : DefaultReallocEx); }
void SetFree_Ex(FreeExHook hook) { g_freeEx.store(hook ? hook : DefaultFreeEx); }

void* Malloc(size_t size) { return g_malloc.load()(size); }
void* Realloc(void* p, size_t size) { return g_realloc.load()(p, size); }
void Free(void* p) {
    if (p) g_free.load()(p);
}
void* Malloc_Ex(size_t size, const char* file, unsigned int line) { return g_mallocEx.load()(size, file, line); }
void* Realloc_Ex(void* p, size_t size, const char* file, unsigned int line) {
    return g_reallocEx.load()(p, size, file, line);
}
void Free_Ex(void* p, const char* file, unsigned int line) {
    if (p) g_freeEx.load()(p, file, line);
}

}  // namespace Net
