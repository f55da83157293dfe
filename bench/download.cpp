// Downloads one URL into a directory through Downloader and exits: 0 on success.
//   qv_bench_download [--hash] [--ca <pem>] <dest-dir> <url>
// --ca trusts one more certificate authority (an https server on loopback).
// With --hash it also produces the body's SHA-256, as the archive check needs it: from the
// Downloader when that hashes the body while streaming it, else by reading the file again.

#include <QCoreApplication>
#include <QSslConfiguration>
#include <QUrl>
#include <cstdio>
#include <type_traits>
#include <utility>

#include "downloader.h"
#include "sha256.h"

namespace {
template <typename T, typename = void> struct HashesWhileStreaming : std::false_type {};
template <typename T>
struct HashesWhileStreaming<T, std::void_t<decltype(std::declval<const T&>().bodySha256())>>
    : std::true_type {};

template <typename D> QString bodyDigest(const D& downloader, const QString& path) {
    if constexpr (HashesWhileStreaming<D>::value) {
        Q_UNUSED(path)
        return downloader.bodySha256();
    } else {
        Q_UNUSED(downloader)
        QString hex;
        Sha256::hashFile(path, &hex);
        return hex;
    }
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QStringList args = application.arguments().mid(1);
    const bool hash = !args.isEmpty() && args.first() == QLatin1String("--hash");
    if (hash) {
        args.removeFirst();
    }
    if (args.size() == 4 && args.first() == QLatin1String("--ca")) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(args.at(1));
        QSslConfiguration::setDefaultConfiguration(tls);
        args = args.mid(2);
    }
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: qv_bench_download [--hash] [--ca <pem>] <dest-dir> <url>\n");
        return 2;
    }
    Downloader downloader;
    bool succeeded = false;
    QObject::connect(&downloader, &Downloader::downloadFinished, &application,
                     [&](bool ok, const QString& path) {
                         succeeded = ok;
                         if (ok && hash) {
                             const QString digest = bodyDigest(downloader, path);
                             succeeded = !digest.isEmpty();
                             std::printf("%s\n", qPrintable(digest));
                         }
                         QCoreApplication::quit();
                     });
    if (!downloader.startDownload(args.at(0), QUrl(args.at(1)))) {
        std::fprintf(stderr, "the download did not start\n");
        return 1;
    }
    application.exec();
    return succeeded ? 0 : 1;
}
