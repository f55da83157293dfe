#include "console.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define QV_ISATTY _isatty
#define QV_FILENO _fileno
#else
#include <unistd.h>
#define QV_ISATTY isatty
#define QV_FILENO fileno
#endif

namespace publish {

ConsoleReporter::ConsoleReporter()
    : terminal(QV_ISATTY(QV_FILENO(stderr)) != 0) {}

void ConsoleReporter::endProgressLine() {
    if (terminal && lastShown >= 0) {
        std::fputs("\n", stderr);
    }
    currentStep.clear();
    lastShown = -1;
}

void ConsoleReporter::info(const QString& text) {
    endProgressLine();
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

void ConsoleReporter::progress(const QString& step, int percent) {
    percent = qBound(0, percent, 100);
    if (step != currentStep) {
        endProgressLine();
        currentStep = step;
        stepClock.start();
    }
    // Short steps are not worth a progress line.
    constexpr qint64 quietMs = 500;
    if (percent == lastShown || (lastShown < 0 && stepClock.elapsed() < quietMs)) {
        return;
    }
    if (terminal) {
        std::fprintf(stderr, "\r%s: %3d%%", step.toLocal8Bit().constData(), percent);
    } else if (lastShown < 0 || percent / 25 > lastShown / 25 || percent == 100) {
        std::fprintf(stderr, "%s: %d%%\n", step.toLocal8Bit().constData(), percent);
    } else {
        return;
    }
    std::fflush(stderr);
    lastShown = percent;
}

} // namespace publish
