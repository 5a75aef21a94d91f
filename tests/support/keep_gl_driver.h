#pragma once

#include <dlfcn.h>

// The OpenGL driver is unloaded at exit before the leak checker looks, which
// turns its process-lifetime allocations into leaks "in an unknown module" that
// no suppression can name. Loading it up front with RTLD_NODELETE keeps it
// mapped, so the driver's allocations keep their names.
inline void keepGLDriverLoaded() {
    for (const char* library : {"libGLX_mesa.so.0", "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so",
                                "libGLdispatch.so.0", "libGLX.so.0"})
        dlopen(library, RTLD_LAZY | RTLD_GLOBAL | RTLD_NODELETE);
}
