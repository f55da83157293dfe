// Hashing throughput over a set of files in the page cache, by reading strategy:
// Sha256::hashFile as the updater uses it (SHA-256's own functions), the same through
// libcrypto's generic EVP interface, plain reads of other block sizes, and mapped windows.
// Prints one line per strategy: MB/s, best of --repeat passes.
//   qv_bench_hash [--repeat N] <file>...

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <cstdio>
#include <functional>

#include "sha256.h"

#include <openssl/evp.h>

namespace {
using Strategy = std::function<QString(const QString&)>;

QString readBlocks(const QString& path, qint64 blockSize) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        return QString();
    }
    Sha256 hash;
    QByteArray buffer(static_cast<int>(blockSize), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), blockSize);
        if (got <= 0) {
            break;
        }
        hash.addData(buffer.constData(), got);
    }
    return hash.hexResult();
}

// Each file through EVP, as the updater hashed before its own functions: a context and an
// algorithm looked up per file.
QString evpBlocks(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        return QString();
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    QByteArray buffer(static_cast<int>(Sha256::FileBlockSize), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), Sha256::FileBlockSize);
        if (got <= 0) {
            break;
        }
        EVP_DigestUpdate(context, buffer.constData(), size_t(got));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

QString mapWindows(const QString& path, qint64 windowSize) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    Sha256 hash;
    const qint64 size = file.size();
    for (qint64 offset = 0; offset < size; offset += windowSize) {
        const qint64 length = qMin(windowSize, size - offset);
        uchar* data = file.map(offset, length);
        if (!data) {
            return QString();
        }
        hash.addData(reinterpret_cast<const char*>(data), length);
        file.unmap(data);
    }
    return hash.hexResult();
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QStringList files = application.arguments().mid(1);
    int repeat = 3;
    if (files.size() >= 2 && files.at(0) == QLatin1String("--repeat")) {
        repeat = files.at(1).toInt();
        files = files.mid(2);
    }
    qint64 bytes = 0;
    for (const QString& path : files) {
        bytes += QFile(path).size();
    }
    const QList<QPair<const char*, Strategy>> strategies = {
        {"Sha256::hashFile (64 KiB reads)",
         [](const QString& p) {
             QString hex;
             Sha256::hashFile(p, &hex);
             return hex;
         }},
        {"EVP interface (64 KiB reads)", evpBlocks},
        {"reads of 16 KiB",
         [](const QString& p) {
             return readBlocks(p, 16 * 1024);
         }},
        {"reads of 256 KiB",
         [](const QString& p) {
             return readBlocks(p, 256 * 1024);
         }},
        {"reads of 1 MiB",
         [](const QString& p) {
             return readBlocks(p, 1024 * 1024);
         }},
        {"mapped windows of 4 MiB",
         [](const QString& p) {
             return mapWindows(p, 4 << 20);
         }},
        {"mapped windows of 64 MiB",
         [](const QString& p) {
             return mapWindows(p, 64 << 20);
         }},
    };
    // One untimed pass, so every strategy finds the files in the page cache.
    for (const QString& path : files) {
        strategies.first().second(path);
    }
    for (const auto& strategy : strategies) {
        qint64 best = -1;
        for (int i = 0; i < repeat; ++i) {
            QElapsedTimer clock;
            clock.start();
            for (const QString& path : files) {
                if (strategy.second(path).isEmpty()) {
                    std::fprintf(stderr, "cannot hash %s\n", qPrintable(path));
                    return 1;
                }
            }
            const qint64 ns = clock.nsecsElapsed();
            best = best < 0 ? ns : qMin(best, ns);
        }
        std::printf("%-34s %7.0f MB/s  (%.0f ms for %.0f MB)\n", strategy.first,
                    bytes / (best / 1e9) / 1e6, best / 1e6, bytes / 1e6);
    }
    return 0;
}
