// tessaroll_test_main <run number>
//   Stands in for the main program under the monitor's keeper. Appends its argument as a
//   line to $TESSAROLL_TEST_MAIN_DIR/runs, then does what $TESSAROLL_TEST_MAIN_DIR/mode
//   says: a number ends it at once with that exit code, "stay" (or no mode file) keeps it
//   running until it is killed.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    const char* dir = std::getenv("TESSAROLL_TEST_MAIN_DIR");
    if (dir == nullptr) return 2;
    {
        std::ofstream runs(std::string(dir) + "/runs", std::ios::app);
        runs << (argc > 1 ? argv[1] : "") << "\n";
    }
    std::string mode = "stay";
    std::ifstream(std::string(dir) + "/mode") >> mode;
    if (mode != "stay") return std::atoi(mode.c_str());
    for (;;) pause();
}
