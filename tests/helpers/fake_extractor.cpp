// Stand-in for the 7-Zip console program.
//   QUORVEX_FAKE_EXTRACTOR_LOG: when set, one line is appended for the run: "#", then each
//   argument followed by a NUL byte.
//   QUORVEX_FAKE_EXTRACTOR: comma-separated steps run in order:
//     exit:<n>     exit with code n
//     crash        die by SIGSEGV
//     sleep:<ms>   sleep
//     touch:<path> create the file (empty)
//   When the steps end without exit or crash, the program exits 0.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

int main(int argc, char* argv[]) {
    if (const char* log = std::getenv("QUORVEX_FAKE_EXTRACTOR_LOG"); log && *log) {
        std::string line = "#";
        for (int i = 1; i < argc; ++i) {
            line += argv[i];
            line += '\0';
        }
        line += '\n';
        if (FILE* file = std::fopen(log, "a")) {
            std::setvbuf(file, nullptr, _IONBF, 0);
            std::fwrite(line.data(), 1, line.size(), file);
            std::fclose(file);
        }
    }
    const char* behaviour = std::getenv("QUORVEX_FAKE_EXTRACTOR");
    std::stringstream steps(behaviour ? behaviour : "");
    std::string step;
    while (std::getline(steps, step, ',')) {
        const std::string::size_type colon = step.find(':');
        const std::string name = step.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : step.substr(colon + 1);
        if (name == "exit") {
            return std::atoi(value.c_str());
        } else if (name == "crash") {
            std::signal(SIGSEGV, SIG_DFL);
            std::raise(SIGSEGV);
            std::abort();
        } else if (name == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
        } else if (name == "touch") {
            if (FILE* file = std::fopen(value.c_str(), "a")) {
                std::fclose(file);
            }
        } else if (!name.empty()) {
            std::fprintf(stderr, "fake_extractor: unknown step '%s'\n", step.c_str());
            return 99;
        }
    }
    return 0;
}
