#pragma once
// Memory hooks of the network library. Every allocation that Net makes for
// itself (packets, bit-stream buffers, queues) goes through the "_Ex" hooks,
// and every allocation of ENet goes through the plain hooks (ENet is
// initialised with them). Install the hooks before the first peer exists.
#include <cstddef>

namespace Net {

using MallocHook = void* (*)(size_t size);
using ReallocHook = void* (*)(void* p, size_t size);
using FreeHook = void (*)(void* p);
using MallocExHook = void* (*)(size_t size, const char* file, unsigned int line);
using ReallocExHook = void* (*)(void* p, size_t size, const char* file, unsigned int line);
using FreeExHook = void (*)(void* p, const char* file, unsigned int line);

void SetMalloc(MallocHook hook);
void SetRealloc(ReallocHook hook);
void SetFree(FreeHook hook);
void SetMalloc_Ex(MallocExHook hook);
void SetRealloc_Ex(ReallocExHook hook);
void SetFree_Ex(FreeExHook hook);

// Allocation through the installed hooks (the defaults are malloc, realloc
// and free). Used by Net itself.
void* Malloc(size_t size);
void* Realloc(void* p, size_t size);
void Free(void* p);
void* Malloc_Ex(size_t size, const char* file, unsigned int line);
void* Realloc_Ex(void* p, size_t size, const char* file, unsigned int line);
void Free_Ex(void* p, const char* file, unsigned int line);

}  // namespace Net
