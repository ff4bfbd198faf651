// Preloaded, it stands for a driver without one GL entry point the renderer calls: GLEW asks for
// glVertexAttribDivisor through glXGetProcAddressARB (in a GLX and in an EGL context alike) and
// is told there is none; every other name is answered as the driver answers it.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>

typedef void (*Function)(void);
typedef Function (*Lookup)(const unsigned char*);

Function glXGetProcAddressARB(const unsigned char* name) {
    if (strcmp((const char*)name, "glVertexAttribDivisor") == 0) {
        return NULL;
    }
    const Lookup next = (Lookup)dlsym(RTLD_NEXT, "glXGetProcAddressARB");
    return next != NULL ? next(name) : NULL;
}
