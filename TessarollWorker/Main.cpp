// ZEFAGPKITessarollWorker: one command per run, the command being the arguments after
// the program's name joined with single blanks.
#include <unistd.h>
#include <cstdio>
#include <string>

#include "TessarollWorker/Worker.h"
#include "platform/Privacy.h"

int main(int argc, char** argv) {
    keepFilesPrivate();
    const std::string commandText = commandTextFromArguments(argc, argv);
    const int exitCode = runWorker(commandText);
    // The watchdog leaves detached receiver and watcher threads behind: end without
    // tearing down static objects under them.
    std::fflush(nullptr);
    ::_exit(exitCode);
}
