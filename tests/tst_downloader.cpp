#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

#include "downloader.h"
#include "fakehttpserver.h"
#include "testenv.h"

using Routes = QList<QPair<QByteArray, FakeResponse>>;
Q_DECLARE_METATYPE(FakeResponse)
Q_DECLARE_METATYPE(Routes)

namespace {

// Waits for the first signal on spy (in an event loop of its own, which keeps transfers
// fast), then gives a second one the chance to arrive.
#define WAIT_FOR_EXACTLY_ONE(spy, timeoutMs)                                                       \
    do {                                                                                           \
        QVERIFY2((spy).count() >= 1 || (spy).wait(timeoutMs), "no downloadFinished");              \
        QVERIFY2(!QTest::qWaitFor([&]() { return (spy).count() > 1; }, 200),                       \
                 "more than one downloadFinished");                                                \
    } while (false)

QByteArray someBytes(int size, int seed = 0) {
    return FakeHttpServer::generatedBytes(qint64(seed) * 1000003, size);
}

FakeResponse withFraming(FakeResponse r, FakeResponse::Framing framing) {
    r.framing = framing;
    return r;
}

FakeResponse cutAt(FakeResponse r, qint64 bytes) {
    r.cutAfter = bytes;
    return r;
}

FakeResponse trickling(FakeResponse r, int bytes, int intervalMs) {
    r.trickleBytes = bytes;
    r.trickleIntervalMs = intervalMs;
    return r;
}

FakeResponse stalling(FakeResponse::Stall stall) {
    FakeResponse r = FakeResponse::ok("never sent");
    r.stall = stall;
    return r;
}

} // namespace

class TestDownloader : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void transfer_data();
    void transfer();
    void fileNames_data();
    void fileNames();
    void refusedStart_data();
    void refusedStart();
    void secondStartRefused();
    void cancelDuringTransfer();
    void cancelAfterEnd();
    void destroyedMidTransfer();
    void transferTimeout_data();
    void transferTimeout();
    void writeFailure();
    void largeBody();

private:
    QString destDir() const { return tmp->path() + QStringLiteral("/dest dir"); }

    FakeHttpServer* server = nullptr;
    std::unique_ptr<QTemporaryDir> tmp;
    int defaultTimeout = 0;
};

void TestDownloader::initTestCase() {
    testenv::privateDataHome();
    server = new FakeHttpServer(0, this);
    QVERIFY(server->isListening());
    defaultTimeout = Downloader::defaultTransferTimeout();
}

void TestDownloader::init() {
    server->clearRoutes();
    server->closeAllConnections();
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    QVERIFY(QDir().mkpath(destDir()));
}

void TestDownloader::cleanup() {
    Downloader::setDefaultTransferTimeout(defaultTimeout);
    tmp.reset();
}

void TestDownloader::transfer_data() {
    QTest::addColumn<Routes>("routes");
    QTest::addColumn<QByteArray>("requestPath");
    QTest::addColumn<bool>("expectOk");
    QTest::addColumn<QByteArray>("expectedBody");
    QTest::addColumn<bool>("lengthAnnounced");

    const QByteArray body = someBytes(300 * 1024, 1);
    using F = FakeResponse::Framing;
    const QByteArray absolute = server->url(QStringLiteral("/store/real.bin")).toEncoded();

    QTest::newRow("200 with length") << Routes{{"/f/a.bin", FakeResponse::ok(body)}}
                                     << QByteArray("/f/a.bin") << true << body << true;
    // Trickled, so that progress is reported before the end.
    QTest::newRow("200 without length")
        << Routes{{"/f/a.bin",
                   trickling(withFraming(FakeResponse::ok(body), F::CloseDelimited), 16 * 1024, 5)}}
        << QByteArray("/f/a.bin") << true << body << false;
    QTest::newRow("200 chunked")
        << Routes{{"/f/a.bin",
                   trickling(withFraming(FakeResponse::ok(body), F::Chunked), 16 * 1024, 5)}}
        << QByteArray("/f/a.bin") << true << body << false;
    QTest::newRow("200 empty body") << Routes{{"/f/empty", FakeResponse::ok(QByteArray())}}
                                    << QByteArray("/f/empty") << true << QByteArray() << true;
    QTest::newRow("gzip content encoding") << Routes{{"/f/list.json", FakeResponse::gzipped(body)}}
                                           << QByteArray("/f/list.json") << true << body << false;
    QTest::newRow("HTTP/1.0 raw response")
        << Routes{{"/f/old", FakeResponse::rawResponse("HTTP/1.0 200 OK\r\n\r\nold style")}}
        << QByteArray("/f/old") << true << QByteArray("old style") << false;
    QTest::newRow("404") << Routes{{"/f/a.bin", FakeResponse::withStatus(404, "missing")}}
                         << QByteArray("/f/a.bin") << false << QByteArray() << true;
    QTest::newRow("unrouted 404") << Routes{} << QByteArray("/f/nothing.bin") << false
                                  << QByteArray() << true;
    QTest::newRow("500") << Routes{{"/f/a.bin", FakeResponse::withStatus(500, "boom")}}
                         << QByteArray("/f/a.bin") << false << QByteArray() << true;
    // The network layer sometimes finishes such a reply without an error; the length check
    // must catch it every time (a chunked body cut between chunks cannot be told apart).
    QTest::newRow("body cut before its length")
        << Routes{{"/f/a.bin", cutAt(FakeResponse::ok(body), 100 * 1024)}} << QByteArray("/f/a.bin")
        << false << QByteArray() << true;
    QTest::newRow("not HTTP") << Routes{{"/f/a.bin", FakeResponse::rawResponse("garbage\r\n\r\n")}}
                              << QByteArray("/f/a.bin") << false << QByteArray() << false;
    QTest::newRow("redirect to a path")
        << Routes{{"/dl/archive.7z", FakeResponse::redirect("/store/real.bin")},
                  {"/store/real.bin", FakeResponse::ok(body)}}
        << QByteArray("/dl/archive.7z") << true << body << true;
    QTest::newRow("307 redirect to an absolute URL")
        << Routes{{"/dl/archive.7z", FakeResponse::redirect(absolute, 307)},
                  {"/store/real.bin", FakeResponse::ok(body)}}
        << QByteArray("/dl/archive.7z") << true << body << true;
    QTest::newRow("redirect with a body of its own")
        << Routes{{"/dl/archive.7z",
                   [] {
                       FakeResponse r = FakeResponse::redirect("/store/real.bin", 301);
                       r.body = "moved elsewhere";
                       return r;
                   }()},
                  {"/store/real.bin", FakeResponse::ok(body)}}
        << QByteArray("/dl/archive.7z") << true << body << true;
    QTest::newRow("redirect to a 404")
        << Routes{{"/dl/archive.7z", FakeResponse::redirect("/store/gone.bin")}}
        << QByteArray("/dl/archive.7z") << false << QByteArray() << true;
    QTest::newRow("redirect loop") << Routes{{"/dl/loop", FakeResponse::redirect("/dl/loop")}}
                                   << QByteArray("/dl/loop") << false << QByteArray() << true;
}

void TestDownloader::transfer() {
    QFETCH(Routes, routes);
    QFETCH(QByteArray, requestPath);
    QFETCH(bool, expectOk);
    QFETCH(QByteArray, expectedBody);
    QFETCH(bool, lengthAnnounced);

    for (const auto& route : routes) {
        server->setRoute(route.first, route.second);
    }
    const int requestsBefore = server->requestCount(requestPath);
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QSignalSpy progress(&downloader, &Downloader::updateDownloadProgress);
    QVERIFY(downloader.startDownload(destDir(), server->url(QString::fromLatin1(requestPath))));
    WAIT_FOR_EXACTLY_ONE(finished, 20000);

    const QString name = QString::fromLatin1(requestPath.mid(requestPath.lastIndexOf('/') + 1));
    const QString expectedPath = destDir() + QDir::separator() + name;
    const QList<QVariant> args = finished.takeFirst();
    QCOMPARE(args.at(0).toBool(), expectOk);
    if (expectOk) {
        QCOMPARE(args.at(1).toString(), expectedPath);
        const QByteArray written = testenv::readFile(expectedPath);
        QCOMPARE(written.size(), expectedBody.size());
        QVERIFY(written == expectedBody);
        QCOMPARE(QDir(destDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{name});

        // Progress is the reply's own: it ends at the body size, and the total is the
        // announced length, or -1 while none was announced.
        if (!expectedBody.isEmpty()) {
            QVERIFY(!progress.isEmpty());
            QCOMPARE(progress.last().at(0).toLongLong(), qint64(expectedBody.size()));
            if (lengthAnnounced) {
                for (const auto& p : progress) {
                    QCOMPARE(p.at(1).toLongLong(), qint64(expectedBody.size()));
                }
            } else {
                // Only the report at the end may know the total.
                for (int i = 0; i + 1 < progress.size(); ++i) {
                    QCOMPARE(progress.at(i).at(1).toLongLong(), qint64(-1));
                }
            }
        }
    } else {
        QVERIFY(args.at(1).toString().isNull());
        QVERIFY2(!QFile::exists(expectedPath), "partial file left behind");
        QVERIFY(QDir(destDir()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    }
    QVERIFY(server->requestCount(requestPath) > requestsBefore);
}

void TestDownloader::fileNames_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectedName"); // empty: refused

    QTest::newRow("trailing slash") << "/dir/" << QString();
    QTest::newRow("no path") << "" << QString();
    QTest::newRow("dot") << "/dir/." << QString();
    QTest::newRow("dot dot") << "/dir/.." << QString();
    QTest::newRow("encoded dot dot") << "/dir/%2E%2E" << QString();
    QTest::newRow("encoded slash") << "/dir/a%2Fb" << QString();
    QTest::newRow("encoded traversal") << "/dir/..%2F..%2Fescaped" << QString();
    QTest::newRow("encoded backslash") << "/dir/a%5Cb" << QString();
    QTest::newRow("encoded backslash traversal") << "/dir/..%5C..%5Cescaped" << QString();
    QTest::newRow("encoded NUL") << "/dir/a%00b" << QString();
    QTest::newRow("encoded space") << "/dir/my%20file.7z" << QStringLiteral("my file.7z");
    QTest::newRow("encoded UTF-8")
        << "/dir/%D0%B0%D1%80%D1%85%D0%B8%D0%B2.7z" << QStringLiteral("архив.7z");
    QTest::newRow("encoded percent") << "/dir/100%25.bin" << QStringLiteral("100%.bin");
    QTest::newRow("query is not part of the name")
        << "/dir/file.bin?a=1/2" << QStringLiteral("file.bin");
    QTest::newRow("leading dots") << "/dir/..hidden" << QStringLiteral("..hidden");
}

void TestDownloader::fileNames() {
    QFETCH(QString, path);
    QFETCH(QString, expectedName);

    const QUrl url = server->url(path);
    const QByteArray routePath = url.path(QUrl::FullyEncoded).toLatin1();
    server->setRoute(routePath, FakeResponse::ok("named body"));
    QCOMPARE(Downloader::targetFileName(url), expectedName);

    const int requestsBefore = server->requestCount();
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    const bool started = downloader.startDownload(destDir(), url);
    QCOMPARE(started, !expectedName.isEmpty());
    if (!started) {
        QVERIFY(!QTest::qWaitFor([&]() { return finished.count() > 0; }, 200));
        QCOMPARE(server->requestCount(), requestsBefore);
        // Nothing written anywhere: the temporary tree holds only the empty destination.
        QCOMPARE(testenv::readTree(tmp->path()).keys(), QStringList{QStringLiteral("dest dir/")});
        return;
    }
    WAIT_FOR_EXACTLY_ONE(finished, 20000);
    QCOMPARE(finished.first().at(0).toBool(), true);
    const QString expectedPath = destDir() + QDir::separator() + expectedName;
    QCOMPARE(finished.first().at(1).toString(), expectedPath);
    QCOMPARE(testenv::readFile(expectedPath), QByteArray("named body"));
    QCOMPARE(testenv::readTree(tmp->path()).size(), 2);
}

void TestDownloader::refusedStart_data() {
    QTest::addColumn<QString>("dest");    // "<tmp>" is replaced by the temporary directory
    QTest::addColumn<QString>("urlPath"); // empty: an empty URL

    QTest::newRow("empty directory") << QString() << "/f/a.bin";
    QTest::newRow("empty URL") << "<tmp>/dest dir" << QString();
    QTest::newRow("missing directory") << "<tmp>/no such dir"
                                       << "/f/a.bin";
    QTest::newRow("target is a directory") << "<tmp>/dest dir"
                                           << "/f/subdir";
    QTest::newRow("directory is a file") << "<tmp>/plain file"
                                         << "/f/a.bin";
}

void TestDownloader::refusedStart() {
    QFETCH(QString, dest);
    QFETCH(QString, urlPath);
    dest.replace(QStringLiteral("<tmp>"), tmp->path());
    QVERIFY(QDir().mkpath(destDir() + QStringLiteral("/subdir")));
    QVERIFY(testenv::writeFile(tmp->path() + QStringLiteral("/plain file"), "keep"));
    server->setRoute("/f/a.bin", FakeResponse::ok("body"));
    server->setRoute("/f/subdir", FakeResponse::ok("body"));
    const testenv::Tree before = testenv::readTree(tmp->path());
    const int requestsBefore = server->requestCount();

    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QVERIFY(!downloader.startDownload(dest, urlPath.isEmpty() ? QUrl() : server->url(urlPath)));
    QVERIFY(!QTest::qWaitFor([&]() { return finished.count() > 0; }, 200));
    QCOMPARE(server->requestCount(), requestsBefore);
    QCOMPARE(testenv::diffTrees(before, testenv::readTree(tmp->path())), QStringList());
}

void TestDownloader::secondStartRefused() {
    server->setRoute("/f/first.bin", FakeResponse::ok("first"));
    server->setRoute("/f/second.bin", FakeResponse::ok("second"));
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QVERIFY(downloader.startDownload(destDir(), server->url(QStringLiteral("/f/first.bin"))));
    QVERIFY(!downloader.startDownload(destDir(), server->url(QStringLiteral("/f/second.bin"))));
    WAIT_FOR_EXACTLY_ONE(finished, 20000);
    QCOMPARE(finished.first().at(0).toBool(), true);
    QVERIFY(!downloader.startDownload(destDir(), server->url(QStringLiteral("/f/second.bin"))));
    QVERIFY(!QTest::qWaitFor([&]() { return finished.count() > 1; }, 200));
    QCOMPARE(QDir(destDir()).entryList(QDir::Files), QStringList{QStringLiteral("first.bin")});
    QCOMPARE(server->requestCount("/f/second.bin"), 0);
}

void TestDownloader::cancelDuringTransfer() {
    const QByteArray body = someBytes(400 * 1024, 2);
    server->setRoute("/f/slow.bin", trickling(FakeResponse::ok(body), 2048, 10));
    const QString target = destDir() + QStringLiteral("/slow.bin");

    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QSignalSpy progress(&downloader, &Downloader::updateDownloadProgress);
    QVERIFY(downloader.startDownload(destDir(), server->url(QStringLiteral("/f/slow.bin"))));
    QVERIFY(QTest::qWaitFor(
        [&]() { return progress.count() >= 3 && progress.last().at(0).toLongLong() > 0; }, 20000));
    QCOMPARE(finished.count(), 0);
    QVERIFY(QFile::exists(target));
    qint64 previous = 0;
    for (const auto& p : progress) {
        QVERIFY(p.at(0).toLongLong() >= previous);
        previous = p.at(0).toLongLong();
        QCOMPARE(p.at(1).toLongLong(), qint64(body.size()));
    }
    QVERIFY(previous < body.size());

    downloader.cancelDownload();
    WAIT_FOR_EXACTLY_ONE(finished, 5000);
    QCOMPARE(finished.first().at(0).toBool(), false);
    QVERIFY(finished.first().at(1).toString().isNull());
    QVERIFY(!QFile::exists(target));
    downloader.cancelDownload();
    QVERIFY(!QTest::qWaitFor([&]() { return finished.count() > 1; }, 200));
    QVERIFY(QTest::qWaitFor([&]() { return server->openConnectionCount() == 0; }, 5000));
}

void TestDownloader::cancelAfterEnd() {
    server->setRoute("/f/done.bin", FakeResponse::ok("complete"));
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QVERIFY(downloader.startDownload(destDir(), server->url(QStringLiteral("/f/done.bin"))));
    WAIT_FOR_EXACTLY_ONE(finished, 20000);
    QCOMPARE(finished.first().at(0).toBool(), true);
    downloader.cancelDownload();
    downloader.cancelDownload();
    QVERIFY(!QTest::qWaitFor([&]() { return finished.count() > 1; }, 200));
    QCOMPARE(testenv::readFile(destDir() + QStringLiteral("/done.bin")), QByteArray("complete"));
}

void TestDownloader::destroyedMidTransfer() {
    const QByteArray body = someBytes(400 * 1024, 3);
    server->setRoute("/f/slow.bin", trickling(FakeResponse::ok(body), 2048, 10));
    const QString target = destDir() + QStringLiteral("/slow.bin");

    auto* downloader = new Downloader;
    QSignalSpy finished(downloader, &Downloader::downloadFinished);
    QSignalSpy progress(downloader, &Downloader::updateDownloadProgress);
    QVERIFY(downloader->startDownload(destDir(), server->url(QStringLiteral("/f/slow.bin"))));
    QVERIFY(QTest::qWaitFor(
        [&]() { return !progress.isEmpty() && progress.last().at(0).toLongLong() > 0; }, 20000));
    QTRY_VERIFY(QFileInfo(target).size() > 0);

    delete downloader;
    QVERIFY2(!QFile::exists(target), "partial file left behind");
    QCOMPARE(finished.count(), 0);
    // The transfer itself stops too: the server sees its connection closed.
    QVERIFY(QTest::qWaitFor([&]() { return server->openConnectionCount() == 0; }, 5000));
    QVERIFY(QDir(destDir()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}

void TestDownloader::transferTimeout_data() {
    QTest::addColumn<FakeResponse>("response");
    QTest::addColumn<bool>("expectOk");

    QTest::newRow("stall after headers") << stalling(FakeResponse::Stall::AfterHeaders) << false;
    QTest::newRow("stall before headers") << stalling(FakeResponse::Stall::BeforeHeaders) << false;
    {
        // Part of the body, then silence on an open connection.
        FakeResponse r = FakeResponse::ok(someBytes(100000, 4));
        r.cutAfter = 5000;
        r.stall = FakeResponse::Stall::AfterHeaders;
        QTest::newRow("stall mid-body") << r << false;
    }
    // The limit applies to silence, not to the whole transfer: a steady trickle that takes
    // longer than the limit in total succeeds.
    QTest::newRow("steady trickle longer than the limit")
        << trickling(FakeResponse::ok(someBytes(30 * 100, 5)), 100, 100) << true;
}

void TestDownloader::transferTimeout() {
    QFETCH(FakeResponse, response);
    QFETCH(bool, expectOk);
    server->setRoute("/f/stall.bin", response);
    Downloader::setDefaultTransferTimeout(1000);

    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QVERIFY(downloader.startDownload(destDir(), server->url(QStringLiteral("/f/stall.bin"))));
    WAIT_FOR_EXACTLY_ONE(finished, 30000);
    QCOMPARE(finished.first().at(0).toBool(), expectOk);
    const QString target = destDir() + QStringLiteral("/stall.bin");
    if (expectOk) {
        QCOMPARE(testenv::readFile(target), response.body);
    } else {
        QVERIFY(!QFile::exists(target));
    }
}

void TestDownloader::writeFailure() {
    server->setRoute("/f/big.bin", FakeResponse::generated(4 * 1024 * 1024));
    const QString target = destDir() + QStringLiteral("/big.bin");

    // Files of this process may not grow beyond 256 KiB while the transfer runs; the write
    // that crosses the limit fails with EFBIG instead of killing the process.
    rlimit saved = {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 256 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    struct Restore {
        rlimit limit;
        void (*handler)(int);
        ~Restore() {
            setrlimit(RLIMIT_FSIZE, &limit);
            std::signal(SIGXFSZ, handler);
        }
    } restore{saved, previousHandler};

    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QVERIFY(downloader.startDownload(destDir(), server->url(QStringLiteral("/f/big.bin"))));
    WAIT_FOR_EXACTLY_ONE(finished, 30000);
    QCOMPARE(finished.first().at(0).toBool(), false);
    QVERIFY(finished.first().at(1).toString().isNull());
    QVERIFY2(!QFile::exists(target), "partial file left behind");
}

void TestDownloader::largeBody() {
    const qint64 size = 64 * 1024 * 1024;
    server->setRoute("/f/large.bin", FakeResponse::generated(size));
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QVERIFY(downloader.startDownload(destDir(), server->url(QStringLiteral("/f/large.bin"))));
    WAIT_FOR_EXACTLY_ONE(finished, 240000);
    QCOMPARE(finished.first().at(0).toBool(), true);
    const QString target = destDir() + QStringLiteral("/large.bin");
    QCOMPARE(QFileInfo(target).size(), size);
    QCOMPARE(testenv::sha256OfFile(target), FakeHttpServer::generatedSha256(size));
}

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
