// Preloaded into the visualiser by bench/windowrate.sh and tst_visualiserwindow: writes the time of
// every picture the window hands to GLX (CLOCK_MONOTONIC seconds, one line each) into the file
// $SWAPCOUNT_FILE.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

void glXSwapBuffers(void* display, unsigned long drawable)
{
    static void (*real)(void*, unsigned long);
    static FILE* out;
    if (!real) {
        // Copied, not cast: ISO C has no conversion from an object pointer to a function pointer.
        void* symbol = dlsym(RTLD_NEXT, "glXSwapBuffers");
        memcpy(&real, &symbol, sizeof real);
        const char* path = getenv("SWAPCOUNT_FILE");
        out = path ? fopen(path, "w") : NULL;
    }
    real(display, drawable);
    if (out) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        // Flushed at once: the bench ends the window with a signal.
        fprintf(out, "%ld.%09ld\n", (long)now.tv_sec, now.tv_nsec);
        fflush(out);
    }
}
