// Applies one binary delta onto its base with delta::apply, as the updater does, several times,
// and prints the time of each run and the process's peak memory.
//   qv_bench_deltaapply [--repeat N] <delta> <base> <target> <size> <sha256>
// Output, one line each: "apply <ms> ..." (every run, written and synced as the updater does),
// "verify <ms> ..." (decoding and hashing only, nothing written), "start-kib <VmHWM before the
// first run>", "peak-kib <VmHWM at the end>". Exits 1 when any run fails.

#include <QFile>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "delta.h"

namespace {
long highWaterKib() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

template <typename F> double millis(F&& run, QString* problem) {
    const auto start = std::chrono::steady_clock::now();
    *problem = run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}
} // namespace

int main(int argc, char* argv[]) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    int repeat = 5;
    if (args.size() > 1 && args.first() == QLatin1String("--repeat")) {
        repeat = args.at(1).toInt();
        args = args.mid(2);
    }
    bool sizeOk = false;
    const qint64 size = args.value(3).toLongLong(&sizeOk);
    if (args.size() != 5 || !sizeOk || repeat < 1) {
        std::fprintf(stderr, "usage: qv_bench_deltaapply [--repeat N] <delta> <base> <target> "
                             "<size> <sha256>\n");
        return 2;
    }
    const QString source = args.at(0);
    const QString base = args.at(1);
    const QString target = args.at(2);
    const QString sha256 = args.at(4);
    const qint64 baseSize = QFile(base).size();
    std::printf("start-kib %ld\n", highWaterKib());

    QString problem;
    std::printf("apply");
    for (int i = 0; i < repeat && problem.isEmpty(); ++i) {
        std::printf(
            " %.2f",
            millis([&] { return delta::apply(source, base, baseSize, target, size, sha256); },
                   &problem));
    }
    std::printf("\nverify");
    for (int i = 0; i < repeat && problem.isEmpty(); ++i) {
        std::printf(
            " %.2f",
            millis([&] { return delta::verify(source, base, baseSize, size, sha256); }, &problem));
    }
    std::printf("\npeak-kib %ld\n", highWaterKib());
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 1;
    }
    return 0;
}
