// tessaroll_mutex_holder <name> hold|exit
//   Takes the named mutex (waiting as long as it takes), prints "held" and then either
//   holds it until killed ("hold") or ends the process without releasing it ("exit").
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "platform/NamedMutex.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <name> hold|exit\n", argv[0]);
        return 2;
    }
    auto mutex = NamedMutex::create(argv[1]);
    if (!mutex) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 3;
    }
    MutexWait result = mutex->wait(kInfiniteWait);
    if (result != MutexWait::Obtained && result != MutexWait::Abandoned) return 4;
    std::printf("held\n");
    std::fflush(stdout);
    if (std::strcmp(argv[2], "exit") == 0) _exit(0);
    for (;;) pause();
}
