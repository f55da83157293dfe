// Stand-in for a program the updater starts: records that it ran, where it ran and with
// which arguments, then exits 0.
//   One line "<own path>\t<working directory>[\t<argument>...]\n" is appended to the file
//   named by QUORVEX_MARKER, or to "<own path>.marker" when that is not set.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char* argv[]) {
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
    }
    char cwd[PATH_MAX] = {};
    if (!getcwd(cwd, sizeof cwd)) {
        cwd[0] = '\0';
    }
    const char* marker = std::getenv("QUORVEX_MARKER");
    const std::string target = marker && *marker ? marker : std::string(self) + ".marker";

    std::string line = std::string(self) + '\t' + cwd;
    for (int i = 1; i < argc; ++i) {
        line += '\t';
        line += argv[i];
    }
    line += '\n';
    // One write on an append-mode file, so lines of concurrent runs do not interleave.
    FILE* file = std::fopen(target.c_str(), "a");
    if (!file) {
        return 0;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
    return 0;
}
