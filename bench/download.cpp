// Downloads one URL into a directory through Downloader and exits: 0 on success.
//   qv_bench_download <dest-dir> <url>

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <cstdio>

#include "downloader.h"

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: qv_bench_download <dest-dir> <url>\n");
        return 2;
    }
    Downloader downloader;
    bool succeeded = false;
    QObject::connect(&downloader, &Downloader::downloadFinished, &application,
                     [&](bool ok, const QString&) {
                         succeeded = ok;
                         QCoreApplication::quit();
                     });
    if (!downloader.startDownload(args.at(1), QUrl(args.at(2)))) {
        std::fprintf(stderr, "the download did not start\n");
        return 1;
    }
    application.exec();
    return succeeded ? 0 : 1;
}
