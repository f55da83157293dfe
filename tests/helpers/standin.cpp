// Stand-in for every program the updater starts (the application, the update programs, 7-Zip).
// Appends one line to the file named by QUORVEX_MARKER (else "<argv[0]>.marker"): argv[0] and
// each argument, separated by tabs. Then runs the comma-separated steps of QUORVEX_STANDIN:
// "exit:<n>", "crash", "sleep:<ms>", "touch:<path>", "print:<text>" (to standard output);
// exits 0 when they end.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

int main(int argc, char* argv[]) {
    const char* marker = std::getenv("QUORVEX_MARKER");
    const std::string target = marker && *marker ? marker : std::string(argv[0]) + ".marker";
    std::string line = argv[0];
    for (int i = 1; i < argc; ++i) {
        line += std::string("\t") + argv[i];
    }
    line += '\n';
    // One unbuffered write on an append-mode file: lines of concurrent runs do not interleave.
    if (FILE* file = std::fopen(target.c_str(), "a")) {
        std::setvbuf(file, nullptr, _IONBF, 0);
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }
    const char* steps = std::getenv("QUORVEX_STANDIN");
    std::stringstream list(steps ? steps : "");
    std::string step;
    while (std::getline(list, step, ',')) {
        const std::string name = step.substr(0, step.find(':'));
        const std::string value = step.substr(step.find(':') + 1);
        if (name == "exit") {
            return std::atoi(value.c_str());
        } else if (name == "crash") {
            std::signal(SIGSEGV, SIG_DFL);
            std::raise(SIGSEGV);
        } else if (name == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
        } else if (name == "print") {
            std::fputs(value.c_str(), stdout);
            std::fflush(stdout);
        } else if (name == "touch") {
            if (FILE* file = std::fopen(value.c_str(), "a")) {
                std::fclose(file);
            }
        }
    }
    return 0;
}
