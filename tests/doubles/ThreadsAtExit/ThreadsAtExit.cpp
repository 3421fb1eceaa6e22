// Preloaded with LD_PRELOAD, this library is the first one set up and so the last one torn
// down: its destructor runs after the program returned from main and after every static
// object of the program is gone. It writes the number of threads the process still has
// then (1: the main thread alone) to the file named by TESSAROLL_THREADS_AT_EXIT.
#include <dirent.h>
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((destructor)) void writeThreadsAtExit() {
    const char* path = std::getenv("TESSAROLL_THREADS_AT_EXIT");
    if (!path) return;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return;
    int threads = 0;
    while (const dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.') ++threads;
    closedir(tasks);
    if (FILE* out = std::fopen(path, "w")) {
        std::fprintf(out, "%d\n", threads);
        std::fclose(out);
    }
}

}  // namespace
