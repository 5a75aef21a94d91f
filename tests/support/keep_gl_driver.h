#pragma once

#include <dlfcn.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// The OpenGL driver is unloaded at exit before the leak checker looks, which
// turns its process-lifetime allocations into leaks "in an unknown module" that
// no suppression can name. Loading it up front with RTLD_NODELETE keeps it
// mapped, so the driver's allocations keep their names.
inline void keepGLDriverLoaded() {
    for (const char* library : {"libGLX_mesa.so.0", "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so",
                                "libGLdispatch.so.0", "libGLX.so.0"})
        dlopen(library, RTLD_LAZY | RTLD_GLOBAL | RTLD_NODELETE);
}

// Runs the leak check now, while the application and the driver's threads are
// still in their ordinary state; at exit the driver tears its threads down
// while the checker stops the world, which now and then crashes the checker.
inline void checkLeaksNow() {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
}
