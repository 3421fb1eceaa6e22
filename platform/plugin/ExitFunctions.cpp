// Compiled into every plug-in that the service loads and unloads many times (one copy per
// session): the copy keeps its own static destructors instead of registering them with the
// C library. The C library's list of exit functions reuses a freed entry only at its end,
// so with 32 copies loaded and unloaded in turn, every unloaded copy left its entries
// behind (about 0.2 KB per evicted session, for the life of the service). Here they run,
// last registered first, when the copy is unloaded, or at exit for copies still loaded.
#include <pthread.h>

namespace {

struct ExitFunction {
    void (*function)(void*);
    void* argument;
};

// Static storage only: the list must exist before any constructor and after every
// destructor of the copy.
constexpr int exitFunctionCapacity = 1024;
ExitFunction exitFunctions[exitFunctionCapacity];
int exitFunctionCount = 0;
pthread_mutex_t exitFunctionLock = PTHREAD_MUTEX_INITIALIZER;

__attribute__((destructor)) void runExitFunctions() {
    for (;;) {
        pthread_mutex_lock(&exitFunctionLock);
        if (exitFunctionCount == 0) {
            pthread_mutex_unlock(&exitFunctionLock);
            return;
        }
        const ExitFunction next = exitFunctions[--exitFunctionCount];
        pthread_mutex_unlock(&exitFunctionLock);
        next.function(next.argument);
    }
}

}  // namespace

// Binds every registration inside this library (the symbol is hidden, so the service and
// the other copies keep the C library's).
extern "C" __attribute__((visibility("hidden"))) int __cxa_atexit(void (*function)(void*),
                                                                  void* argument,
                                                                  void* /*library*/) {
    pthread_mutex_lock(&exitFunctionLock);
    const bool room = exitFunctionCount < exitFunctionCapacity;
    if (room) exitFunctions[exitFunctionCount++] = ExitFunction{function, argument};
    pthread_mutex_unlock(&exitFunctionLock);
    return room ? 0 : -1;
}
