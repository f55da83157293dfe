// Stand-in for every program the updater starts (the application, the update programs, 7-Zip).
// Appends one line to the file named by QUORVEX_MARKER (else "<argv[0]>.marker"): argv[0] and
// each argument, separated by tabs. Then runs the comma-separated steps of QUORVEX_STANDIN:
// "exit:<n>", "crash", "sleep:<ms>", "touch:<path>", "print:<text>" (to standard output);
// exits 0 when they end. As 7-Zip asked for a listing ("l"), it prints $QUORVEX_STANDIN_LISTING
// and exits 0, recording nothing.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// Windows passes arguments, the environment and file names as UTF-16: they are handled here as
// UTF-8, as on Linux.
namespace {
std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size_t(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}
std::wstring utf16(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring result(size > 0 ? size_t(size) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &result[0], size);
    result.resize(result.size() - 1);
    return result;
}
std::vector<std::string> arguments(int, char*[]) {
    int count = 0;
    wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i) {
        result.push_back(utf8(list[i]));
    }
    LocalFree(list);
    return result;
}
std::string variable(const char* name) {
    const wchar_t* value = _wgetenv(utf16(name).c_str());
    return value ? utf8(value) : std::string();
}
FILE* openFile(const std::string& path, const char* mode) {
    return _wfopen(utf16(path).c_str(), utf16(mode).c_str());
}
// Ends as a program that crashed ends on Windows.
void crash() {
    TerminateProcess(GetCurrentProcess(), EXCEPTION_ACCESS_VIOLATION);
}
} // namespace
#else
namespace {
std::vector<std::string> arguments(int argc, char* argv[]) {
    return std::vector<std::string>(argv, argv + argc);
}
std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : std::string();
}
FILE* openFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}
void crash() {
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
}
} // namespace
#endif

int main(int argc, char* argv[]) {
    const std::vector<std::string> args = arguments(argc, argv);
    if (args.size() > 1 && args[1] == "l") {
        std::fputs(variable("QUORVEX_STANDIN_LISTING").c_str(), stdout);
        return 0;
    }
    const std::string marker = variable("QUORVEX_MARKER");
    const std::string target = !marker.empty() ? marker : args[0] + ".marker";
    std::string line = args[0];
    for (size_t i = 1; i < args.size(); ++i) {
        line += "\t" + args[i];
    }
    line += '\n';
    // One unbuffered write on an append-mode file: lines of concurrent runs do not interleave.
    if (FILE* file = openFile(target, "ab")) {
        std::setvbuf(file, nullptr, _IONBF, 0);
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }
    std::stringstream list(variable("QUORVEX_STANDIN"));
    std::string step;
    while (std::getline(list, step, ',')) {
        const std::string name = step.substr(0, step.find(':'));
        const std::string value = step.substr(step.find(':') + 1);
        if (name == "exit") {
            return std::atoi(value.c_str());
        } else if (name == "crash") {
            crash();
        } else if (name == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
        } else if (name == "print") {
            std::fputs(value.c_str(), stdout);
            std::fflush(stdout);
        } else if (name == "touch") {
            if (FILE* file = openFile(value, "a")) {
                std::fclose(file);
            }
        }
    }
    return 0;
}
