// The transfer workers: Downloader and StoreFetcher against the scripted server, Decompressor
// with the real 7-Zip and with the stand-in in its place.

#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>
#include <limits>

#include "decompressor.h"
#include "delta.h"
#include "deltamaker.h"
#include "downloader.h"
#include "fakehttpserver.h"
#include "storedobject.h"
#include "storefetcher.h"
#include "testenv.h"
#include "testproxy.h"
#include "wholefile.h"

Q_DECLARE_METATYPE(FakeResponse)

namespace {
// Exactly n reports arrive: n within the time-out, and no further one shortly after.
bool reported(QSignalSpy& spy, int n, int timeoutMs = 20000) {
    return QTest::qWaitFor([&] { return spy.count() >= n; }, timeoutMs) &&
           !QTest::qWaitFor([&] { return spy.count() > n; }, 200);
}

// A delta from base to target as the publishing tool makes one.
QByteArray makeDelta(const QByteArray& base, const QByteArray& target) {
    QString error;
    return publish::makeDelta(base, target, &error);
}

FakeResponse modified(FakeResponse r, qint64 cutAfter, FakeResponse::Stall stall,
                      int trickleBytes = 0, int trickleIntervalMs = 0, bool length = true) {
    r.cutAfter = cutAfter;
    r.stall = stall;
    r.trickleBytes = trickleBytes;
    r.trickleIntervalMs = trickleIntervalMs;
    r.announceLength = length;
    return r;
}
} // namespace

class TransferTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void download_data();
    void download();
    void secureTransfer_data();
    void secureTransfer();
    void resume_data();
    void resume();
    void fileNames_data();
    void fileNames();
    void refusedStarts();
    void destroyedMidTransfer();
    void writeFailure();
    void fetchStore_data();
    void fetchStore();
    void applyDelta_data();
    void applyDelta();
    void fetchDelta_data();
    void fetchDelta();
    void extractWithSevenZip();
    void listingSizes();
    void extractorOutcomes_data();
    void extractorOutcomes();
    void destructorWaitsSilently();

private:
    FakeHttpServer server;
    std::unique_ptr<QTemporaryDir> tmp;
    QString dest;
};

void TransferTest::initTestCase() {
    QVERIFY(FakeHttpServer::trustTestAuthority());
}

void TransferTest::init() {
    server.reset();
    Downloader::setDefaultTransferTimeout(1000);
    Downloader::setDocumentTimeLimit(2000);
    Decompressor::setExtractorPathOverride(QString());
    tmp = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/transfer test XXXXXX");
    dest = tmp->filePath("dest dir");
    QVERIFY(QDir().mkpath(dest));
}

void TransferTest::download_data() {
    QTest::addColumn<FakeResponse>("response");
    QTest::addColumn<bool>("ok");
    using S = FakeResponse::Stall;
    const FakeResponse body = FakeResponse::generated(300 * 1024);
    QTest::newRow("length announced") << body << true;
    QTest::newRow("no length, trickled") << modified(body, -1, S::None, 16384, 5, false) << true;
    QTest::newRow("steady trickle longer than the stall limit")
        << modified(FakeResponse::generated(3000), -1, S::None, 100, 100) << true;
    QTest::newRow("many blocks") << FakeResponse::generated(16 * 1024 * 1024) << true;
    FakeResponse moved = FakeResponse::withStatus(302);
    moved.location = "/f/moved.bin";
    QTest::newRow("redirect followed") << moved << true;
    // Kept as sent, never inflated in memory: 64 MiB of zeros that travel as 64 KiB.
    FakeResponse bomb = FakeResponse::ok(qCompress(QByteArray(64 * 1024 * 1024, '\0')).mid(4));
    bomb.headers = "Content-Encoding: deflate\r\n";
    QTest::newRow("compressed body") << bomb << true;
    QTest::newRow("404") << FakeResponse::withStatus(404) << false;
    QTest::newRow("500") << FakeResponse::withStatus(500) << false;
    QTest::newRow("cut before its length") << modified(body, 100 * 1024, S::None) << false;
    QTest::newRow("stall before headers") << modified(body, -1, S::BeforeHeaders) << false;
    QTest::newRow("stall after headers") << modified(body, 0, S::AfterCut) << false;
    QTest::newRow("stall mid-body") << modified(body, 5000, S::AfterCut) << false;
}

void TransferTest::download() {
    QFETCH(FakeResponse, response);
    QFETCH(bool, ok);
    // A file already at the target stays as it was until a transfer succeeds.
    QVERIFY(testenv::writeFile(dest + "/a.bin", "previous"));
    server.setRoute("/f/a.bin", response);
    if (!response.location.isEmpty()) {
        response = FakeResponse::generated(1000);
        server.setRoute("/f/moved.bin", response);
    }
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QSignalSpy progress(&downloader, &Downloader::updateDownloadProgress);
    QVERIFY(downloader.startDownload(dest, server.url("/f/a.bin")));
    QVERIFY(reported(finished, 1, 60000));
    QCOMPARE(finished.first().at(0).toBool(), ok);
    QCOMPARE(downloader.errorString().isEmpty(), ok);
    if (!ok) {
        QVERIFY(finished.first().at(1).toString().isNull());
        QCOMPARE(testenv::readTree(dest), (testenv::Tree{{"a.bin", "previous"}}));
        return;
    }
    const QString path = dest + QDir::separator() + "a.bin";
    QCOMPARE(finished.first().at(1).toString(), path);
    QVERIFY(testenv::readFile(path) ==
            (response.generatedSize < 0 ? response.body
                                        : FakeHttpServer::generatedBytes(0, response.bodySize())));
    // Progress ends at the body's size, against the announced length (-1 when none).
    QCOMPARE(progress.last().at(0).toLongLong(), response.bodySize());
    const qint64 total = response.announceLength ? response.bodySize() : -1;
    QCOMPARE(progress.first().at(1).toLongLong(), total);
}

void TransferTest::secureTransfer_data() {
    QTest::addColumn<QString>("certificate");
    // "to http": https redirects to the same path over http; "from http": the other way
    QTest::addColumn<QByteArray>("redirect");
    QTest::addColumn<QByteArray>("proxy"); // "open", or the credentials it asks for
    QTest::addColumn<QString>("warning");  // its diagnostic; empty: the transfer succeeds
    QTest::newRow("trusted") << "good" << QByteArray() << QByteArray() << QString();
    QTest::newRow("self-signed") << "selfsigned" << QByteArray() << QByteArray()
                                 << "^Ошибка TLS: .*self-signed";
    QTest::newRow("another host's")
        << "wronghost" << QByteArray() << QByteArray() << "^Ошибка TLS: .*host name";
    QTest::newRow("expired") << "expired" << QByteArray() << QByteArray()
                             << "^Ошибка TLS: .*expired";
    QTest::newRow("redirect to http") << "good" << QByteArray("to http") << QByteArray()
                                      << "^Ошибка загрузки: .*Insecure redirect";
    QTest::newRow("redirect from http")
        << "good" << QByteArray("from http") << QByteArray() << QString();
    QTest::newRow("through a proxy") << "good" << QByteArray() << QByteArray("open") << QString();
    QTest::newRow("proxy wants credentials") << "good" << QByteArray() << QByteArray("user:secret")
                                             << "^Прокси-сервер требует авторизации";
}

void TransferTest::secureTransfer() {
    QFETCH(QString, certificate);
    QFETCH(QByteArray, redirect);
    QFETCH(QByteArray, proxy);
    QFETCH(QString, warning);
    FakeHttpServer tls;
    QVERIFY(tls.useTls(certificate));
    tls.setRoute("/f/a.bin", FakeResponse::ok("secure"));
    server.setRoute("/f/a.bin", FakeResponse::ok("plain"));
    FakeResponse moved = FakeResponse::withStatus(302);
    if (redirect == "to http") {
        moved.location = server.url("/f/a.bin").toEncoded();
        tls.setRoute("/f/a.bin", moved);
    } else if (redirect == "from http") {
        moved.location = tls.url("/f/a.bin").toEncoded();
        server.setRoute("/f/a.bin", moved);
    }
    TestProxy relay;
    if (!proxy.isEmpty()) {
        relay.requireCredentials(proxy == "open" ? QByteArray() : proxy);
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", relay.port()));
    }
    if (!warning.isEmpty()) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    }
    QVERIFY(testenv::writeFile(dest + "/a.bin", "previous"));
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QUrl url = (redirect == "from http" ? server : tls).url("/f/a.bin");
    if (!proxy.isEmpty()) {
        url.setHost("quorvex.test"); // a name only the proxy knows
    }
    QVERIFY(downloader.startDownload(dest, url));
    const bool once = reported(finished, 1);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QVERIFY(once);
    QCOMPARE(finished.first().at(0).toBool(), warning.isEmpty());
    // Nothing but a verified body replaces what was there.
    QCOMPARE(testenv::readFile(dest + "/a.bin"),
             QByteArray(warning.isEmpty() ? "secure" : "previous"));
    QCOMPARE(server.requestCount(), redirect == "from http" ? 1 : 0);
    if (!proxy.isEmpty()) {
        const QByteArray tunnel = "CONNECT quorvex.test:" + QByteArray::number(url.port());
        QCOMPARE(relay.relayed.value(0), (proxy == "open" ? "" : "407 ") + tunnel + " HTTP/1.1");
    }
}

void TransferTest::resume_data() {
    QTest::addColumn<FakeResponse>("first"); // the attempt that breaks off
    QTest::addColumn<bool>("kept");          // it leaves a partial body to resume
    // Then: "filled", the partial body is made whole (a kill); "moved", the file comes from
    // another address; "capped", the cap is one byte below its size.
    QTest::addColumn<QString>("then");
    QTest::addColumn<FakeResponse>("second"); // a 206 scripted as such does not continue: fails
    using S = FakeResponse::Stall;
    const qint64 half = 128 * 1024;
    FakeResponse v1 = FakeResponse::generated(2 * half);
    v1.etag = "\"v1\"";
    v1.ranges = true;
    FakeResponse ignoring = v1, changed = FakeResponse::ok(QByteArray(2 * half + 5, 'n')),
                 weak = v1, none = v1, unranged = FakeResponse::generated(2 * half);
    ignoring.ranges = false;
    changed.etag = "\"v2\"";
    changed.ranges = true;
    weak.etag = "W/\"v1\"";
    none.etag.clear();
    unranged.status = 206;
    FakeResponse elsewhere = unranged;
    elsewhere.headers = "Content-Range: bytes 0-262143/262144\r\n";
    const FakeResponse cut = modified(v1, half, S::None);
    QTest::newRow("range honoured") << cut << true << "" << v1;
    QTest::newRow("stalled, then honoured") << modified(v1, half, S::AfterCut) << true << "" << v1;
    QTest::newRow("range ignored") << cut << true << "" << ignoring;
    QTest::newRow("archive changed") << cut << true << "" << changed;
    QTest::newRow("nothing left to fetch") << cut << true << "filled" << v1;
    QTest::newRow("another address") << cut << true << "moved" << v1;
    QTest::newRow("cap counts the part on disk") << cut << true << "capped" << v1;
    QTest::newRow("206 from another byte") << cut << true << "" << elsewhere;
    QTest::newRow("206 without Content-Range") << cut << true << "" << unranged;
    QTest::newRow("no validator") << modified(none, half, S::None) << false << "" << v1;
    QTest::newRow("weak validator") << modified(weak, half, S::None) << false << "" << v1;
    QTest::newRow("HTTP error") << cut << true << "" << FakeResponse::withStatus(503);
}

void TransferTest::resume() {
    QFETCH(FakeResponse, first);
    QFETCH(bool, kept);
    QFETCH(QString, then);
    QFETCH(FakeResponse, second);
    // The partial body of another file can no longer be resumed.
    QVERIFY(testenv::writeTree(dest, {{"old.7z.part", "o"}, {"old.7z.part.meta", "{}"}}));
    auto attempt = [&](const QByteArray& path, const FakeResponse& response, bool ok, qint64 cap) {
        server.setRoute(path, response);
        Downloader downloader;
        downloader.setResumable(true);
        QSignalSpy finished(&downloader, &Downloader::downloadFinished);
        QSignalSpy progress(&downloader, &Downloader::updateDownloadProgress);
        QVERIFY(downloader.startDownload(dest, server.url(path), cap));
        QVERIFY(reported(finished, 1));
        QCOMPARE(finished.first().at(0).toBool(), ok);
        if (ok) { // progress counts the whole body, the part on disk included
            QCOMPARE(progress.last().at(0).toLongLong(), response.bodySize());
            QCOMPARE(progress.last().at(1).toLongLong(), response.bodySize());
        }
    };
    attempt("/f/a.7z", first, false, -1);
    QCOMPARE(QDir(dest).entryList(QDir::Files),
             kept ? QStringList({"a.7z.part", "a.7z.part.meta"}) : QStringList());
    if (then == "filled") {
        QVERIFY(testenv::writeFile(dest + "/a.7z.part",
                                   FakeHttpServer::generatedBytes(0, first.bodySize())));
    }
    const bool ok = second.status == 200 && then != "capped";
    attempt(then == "moved" ? "/g/a.7z" : "/f/a.7z", second, ok,
            then == "capped" ? second.bodySize() - 1 : -1);
    const bool resumed = kept && then != "filled" && then != "moved";
    const QByteArray request = server.lastRequest();
    QCOMPARE(request.contains("\r\nRange: bytes=" + QByteArray::number(first.cutAfter) + "-"),
             resumed);
    QCOMPARE(request.contains("\r\nIf-Range: \"v1\""), resumed);
    QCOMPARE(server.requestCount(), then == "filled" ? 3 : 2);
    QCOMPARE(QDir(dest).entryList(QDir::Files), ok ? QStringList({"a.7z"}) : QStringList());
    const QByteArray expected = second.generatedSize >= 0
                                    ? FakeHttpServer::generatedBytes(0, second.bodySize())
                                    : second.body;
    QVERIFY(!ok || testenv::readFile(dest + "/a.7z") == expected);
}

void TransferTest::fileNames_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name"); // empty: refused
    for (const char* refused : {"/dir/", "", "/dir/.", "/dir/..", "/dir/%2E%2E", "/dir/a%2Fb",
                                "/dir/..%2F..%2Fescaped", "/dir/..%5C..%5Cescaped", "/dir/a%00b"}) {
        QTest::addRow("%s", refused) << refused << QString();
    }
    QTest::newRow("encoded space") << "/dir/my%20file.7z"
                                   << "my file.7z";
    QTest::newRow("encoded UTF-8") << "/dir/%D0%B0%D1%80%D1%85%D0%B8%D0%B2.7z"
                                   << "архив.7z";
    QTest::newRow("encoded percent") << "/dir/100%25.bin"
                                     << "100%.bin";
    QTest::newRow("query dropped") << "/dir/file.bin?a=1/2"
                                   << "file.bin";
    QTest::newRow("leading dots") << "/dir/..hidden"
                                  << "..hidden";
}

void TransferTest::fileNames() {
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(Downloader::targetFileName(server.url(path)), name);
    if (name.isEmpty()) {
        // Refused before anything is requested or created.
        Downloader downloader;
        QVERIFY(!downloader.startDownload(dest, server.url(path)));
        QCOMPARE(server.requestCount(), 0);
        QCOMPARE(testenv::readTree(tmp->path()).keys(), QStringList{"dest dir/"});
    }
}

void TransferTest::refusedStarts() {
    QVERIFY(QDir().mkpath(dest + "/subdir"));
    const QUrl url = server.url("/f/a.bin");
    for (const auto& start : QList<QPair<QString, QUrl>>{{QString(), url},
                                                         {dest, QUrl()},
                                                         {tmp->filePath("missing"), url},
                                                         {dest, server.url("/f/subdir")}}) {
        Downloader downloader;
        QSignalSpy finished(&downloader, &Downloader::downloadFinished);
        QVERIFY(!downloader.startDownload(start.first, start.second));
        QVERIFY(!reported(finished, 1, 0));
    }
    QCOMPARE(server.requestCount(), 0);
    // One transfer per object: a second start is refused while it runs and after it ended.
    server.setRoute("/f/a.bin", FakeResponse::ok("first"));
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QVERIFY(downloader.startDownload(dest, url));
    QVERIFY(!downloader.startDownload(dest, server.url("/f/b.bin")));
    QVERIFY(reported(finished, 1));
    QVERIFY(!downloader.startDownload(dest, server.url("/f/b.bin")));
    QCOMPARE(server.requestedPaths(), QList<QByteArray>{"/f/a.bin"});
    QCOMPARE(testenv::readTree(dest).keys(), (QStringList{"a.bin", "subdir/"}));
}

void TransferTest::destroyedMidTransfer() {
    server.setRoute("/f/slow.bin", modified(FakeResponse::generated(400 * 1024), -1,
                                            FakeResponse::Stall::None, 2048, 10));
    QVERIFY(testenv::writeFile(dest + "/slow.bin", "previous"));
    auto* downloader = new Downloader;
    QSignalSpy finished(downloader, &Downloader::downloadFinished);
    QSignalSpy progress(downloader, &Downloader::updateDownloadProgress);
    QVERIFY(downloader->startDownload(dest, server.url("/f/slow.bin")));
    QTRY_VERIFY(progress.count() > 1);
    delete downloader;
    // Only this transfer's own partial file goes: another updater may own the target.
    QCOMPARE(testenv::readTree(dest), (testenv::Tree{{"slow.bin", "previous"}}));
    QCOMPARE(finished.count(), 0);
    QTRY_COMPARE(server.openConnections(), 0); // the transfer itself stopped
}

void TransferTest::writeFailure() {
    // The write that crosses the small disk's size fails as on a full disk.
    server.setRoute("/f/big.bin", FakeResponse::generated(4 * 1024 * 1024));
    testenv::SmallDisk disk(dest);
    if (!disk.skipped().isEmpty()) {
        QSKIP(qPrintable(disk.skipped()));
    }
    dest = disk.dir();
    Downloader downloader;
    QSignalSpy finished(&downloader, &Downloader::downloadFinished);
    QSignalSpy progress(&downloader, &Downloader::updateDownloadProgress);
    QVERIFY(downloader.startDownload(dest, server.url("/f/big.bin")));
    QVERIFY(reported(finished, 1, 30000));
    QCOMPARE(finished.first().at(0).toBool(), false);
    QVERIFY2(!QFile::exists(dest + "/big.bin"), "partial file left behind");
    // It stopped at the failed write instead of receiving the rest for nothing.
    QVERIFY(progress.last().at(0).toLongLong() < 4 * 1024 * 1024);

    // A file written whole on the full disk, its last bytes a small write (which a buffered
    // writer would only flush at its commit): refused with the system's reason, the previous
    // file untouched, nothing left beside it.
    const QString record = dest + "/record.json";
    QVERIFY(testenv::writeFile(record, "previous"));
    WholeFile file(record);
    QVERIFY(file.open());
    QVERIFY(!(file.write(QByteArray(testenv::SmallDisk::Size - 100, 'x')) &&
              file.write(QByteArray(200, 'y')) && file.commit()));
    const QString error = file.errorString();
    QVERIFY2(error.startsWith("cannot write " + record + ": ") && !error.endsWith("Unknown error"),
             qPrintable(error));
    QCOMPARE(testenv::readTree(dest), (testenv::Tree{{"record.json", "previous"}}));
    QVERIFY(WholeFile::writeAll(record, "next", nullptr));
    QCOMPARE(testenv::readFile(record), QByteArray("next"));
}

void TransferTest::fetchStore_data() {
    QTest::addColumn<QString>("fault"); // what happens to the object of "sub/b.txt"
    QTest::addColumn<QString>("error"); // in errorString(); empty: the set succeeds
    const QList<QPair<const char*, const char*>> rows{
        {"good set", ""},
        {"empty set", ""},
        {"404", "server replied"},
        {"longer than packed", "размер превышает допустимый"},
        {"trickles on", "превышено время загрузки"},
        {"not zlib", "is not a zlib stream"},
        {"truncated", "ends before its stream does"},
        {"trailing bytes", "has bytes after its stream"},
        {"wrong digest", "unpacks to SHA-256"},
        {"one byte short", "unpacks to 100000 bytes, not 100001"},
        {"one byte long", "unpacks to more than 99999 bytes"},
        {"unwritable target", "cannot write"},
        {"cancel", "cancelled"},
        {"destroyed", ""}};
    for (const auto& [fault, error] : rows) {
        QTest::newRow(fault) << fault << error;
    }
}

void TransferTest::fetchStore() {
    QFETCH(QString, fault);
    QFETCH(QString, error);
    const QString packs = tmp->filePath("packs"), work = tmp->filePath("work"),
                  out = tmp->filePath("out");
    testenv::Tree expected{{"a.bin", FakeHttpServer::generatedBytes(0, 300 * 1024)},
                           {"c.txt", "c"},
                           {"empty", ""},
                           {"sub/b.txt", QByteArray(99999, 'b') + 'c'}};
    QVERIFY(testenv::writeTree(packs, expected) && QDir().mkpath(work) &&
            QDir().mkpath(out + "/sub"));
    QVector<StoreFetcher::Item> items;
    QByteArray objectB; // the last one's, "sub/b.txt"
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QString digest = testenv::sha256(it.value());
        qint64 packed = -1;
        QCOMPARE(storedobject::pack(packs + "/" + it.key(), packs + "/" + digest, &packed), "");
        objectB = testenv::readFile(packs + "/" + digest);
        server.setRoute("/store/" + digest.toLatin1(), FakeResponse::ok(objectB));
        items.append({server.url("/store/" + digest), packed, it.value().size(), digest,
                      out + "/" + it.key(), QUrl(), 0, QString(), 0});
    }
    // The same object at two places, and one by the same name at another address.
    StoreFetcher::Item copy = items[0], mirror = items[0];
    copy.target = out + "/a copy";
    mirror.url = server.url("/mirror/" + items[0].sha256);
    mirror.target = out + "/a mirror";
    server.setRoute(mirror.url.path().toLatin1(),
                    FakeResponse::ok(testenv::readFile(packs + "/" + items[0].sha256)));
    items.insert(1, mirror);
    items.append(copy);
    expected.insert("a copy", expected["a.bin"]);
    expected.insert("a mirror", expected["a.bin"]);
    expected.insert("sub/", "");
    StoreFetcher::Item& b = items[4];
    FakeResponse response = FakeResponse::ok(objectB);
    if (fault == "404") {
        response = FakeResponse::withStatus(404);
    } else if (fault == "longer than packed") {
        response.body += 'x';
    } else if (fault == "not zlib") {
        response.body = "not a zlib stream";
    } else if (fault == "truncated") {
        response.body.chop(8);
    } else if (fault == "trailing bytes") {
        response.body += 'x';
    } else if (fault == "wrong digest") {
        b.sha256 = testenv::sha256("other");
    } else if (fault.startsWith("one byte")) {
        b.size += fault.endsWith("short") ? 1 : -1;
    } else if (fault == "unwritable target") {
        b.target = out + "/missing/b.txt";
    } else if (fault == "trickles on") { // never silent for the stall limit
        response.trickleBytes = 1;
        response.trickleIntervalMs = 100;
    } else if (fault == "cancel" || fault == "destroyed") {
        response.stall = FakeResponse::Stall::Held;
    }
    if (QStringList{"not zlib", "truncated", "trailing bytes"}.contains(fault)) {
        b.packed = response.body.size();
    }
    server.setRoute(b.url.path().toLatin1(), response);
    const QString prefix = error.isEmpty() || fault == "cancel" ? "" : b.url.toDisplayString();
    if (fault == "empty set") {
        items.clear();
        expected = {{"sub/", ""}};
    }
    qint64 total = 0; // of the distinct objects: all but the copy
    for (const StoreFetcher::Item& item : items.mid(0, 5)) {
        total += item.packed;
    }
    auto fetcher = std::make_unique<StoreFetcher>();
    fetcher->setConcurrency(3);
    QSignalSpy finished(fetcher.get(), &StoreFetcher::finished);
    QSignalSpy progress(fetcher.get(), &StoreFetcher::progress);
    fetcher->start(items, work);
    QCOMPARE(finished.count(), 0); // through the event loop, even an empty set
    if (response.stall == FakeResponse::Stall::Held) {
        QVERIFY(QTest::qWaitFor([&] { return server.requestCount(b.url.path().toLatin1()); }));
        if (fault == "cancel") {
            fetcher->cancel();
        } else {
            fetcher.reset();
        }
    }
    if (fetcher) {
        QVERIFY(reported(finished, 1));
        QCOMPARE(finished.first().at(0).toBool(), error.isEmpty());
        const QString why = fetcher->errorString();
        QCOMPARE(why.isEmpty(), error.isEmpty());
        QVERIFY2(why.left(prefix.size()) == prefix && why.contains(error), qPrintable(why));
    }
    // The objects pass through the work directory only; a target is there whole or not at all.
    QCOMPARE(testenv::readTree(work), testenv::Tree());
    const testenv::Tree got = testenv::readTree(out);
    if (fault.endsWith(" set")) {
        QCOMPARE(got, expected);
        QCOMPARE(server.requestCount(), items.isEmpty() ? 0 : 5);
        const QList<QVariant> last =
            progress.isEmpty() ? QList<QVariant>{0LL, 0LL} : progress.last();
        QCOMPARE(last, (QList<QVariant>{total, total}));
        return;
    }
    QVERIFY(!QFile::exists(b.target));
    for (auto it = got.cbegin(); it != got.cend(); ++it) {
        QVERIFY2(expected.contains(it.key()) && expected[it.key()] == it.value(),
                 qPrintable(it.key()));
    }
}

void TransferTest::applyDelta_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("error"); // empty: the target is made
    const QList<QPair<const char*, const char*>> rows{
        {"good", ""},
        {"damaged", "the delta "}, // undecodable, or other bytes
        {"truncated", "ends before its frame does"},
        {"trailing bytes", "has bytes after its frame"},
        {"another base of its size", "the delta makes SHA-256"},
        {"a base of another size", "is 100000 bytes, not 99999"},
        {"says another size", "does not say it makes 100005 bytes"},
        {"not zstd", "not a zstd frame"},
        {"a window beyond the limit", "the delta is damaged"}};
    for (const auto& [fault, error] : rows) {
        QTest::newRow(fault) << fault << error;
    }
}

void TransferTest::applyDelta() {
    QFETCH(QString, fault);
    QFETCH(QString, error);
    QByteArray base = FakeHttpServer::generatedBytes(0, 100000);
    QByteArray target = base;
    target.replace(5000, 6, "change").append("more");
    QByteArray made = makeDelta(base, target);
    qint64 baseSize = base.size(), size = target.size();
    if (fault == "damaged") {
        made[made.size() / 2] = char(made[made.size() / 2] ^ 0x55);
    } else if (fault == "truncated") {
        made.chop(3);
    } else if (fault == "trailing bytes") {
        made += made;
    } else if (fault == "another base of its size") {
        base[70000] = char(base[70000] ^ 1);
    } else if (fault == "a base of another size") {
        baseSize -= 1;
    } else if (fault == "says another size") {
        size += 1;
    } else if (fault == "not zstd") {
        made = storedobject::packBytes(target);
    } else if (fault == "a window beyond the limit") {
        // A frame header that asks for a 1 GiB window (the largest that 32-bit builds of zstd read)
        // to make these bytes.
        QByteArray header("\x28\xb5\x2f\xfd\x80\xa0", 6);
        const quint32 length = quint32(size);
        header.append(reinterpret_cast<const char*>(&length), 4); // little-endian hosts
        made = header + QByteArray("\x01\x00\x00", 3);
    }
    const QString deltaPath = tmp->filePath("delta"), basePath = tmp->filePath("base"),
                  out = tmp->filePath("out");
    QVERIFY(testenv::writeFile(deltaPath, made) && testenv::writeFile(basePath, base));
    const QString why =
        delta::apply(deltaPath, basePath, baseSize, out, size, testenv::sha256(target));
    QVERIFY2(why.contains(error) && why.isEmpty() == error.isEmpty(), qPrintable(why));
    QCOMPARE(QFile::exists(out), error.isEmpty());
    if (error.isEmpty()) {
        QCOMPARE(testenv::readFile(out), target);
    }
}

void TransferTest::fetchDelta_data() {
    QTest::addColumn<QString>("fault"); // empty: the delta serves
    for (const char* fault : {"", "missing", "damaged", "base changed", "cancel"}) {
        QTest::newRow(*fault ? fault : "delta") << QString(fault);
    }
}

void TransferTest::fetchDelta() {
    // Whatever becomes of the delta, the file is made: from the whole object at worst.
    QFETCH(QString, fault);
    const QByteArray base = FakeHttpServer::generatedBytes(0, 200000);
    QByteArray target = base;
    target.replace(1000, 3, "new");
    const QString basePath = tmp->filePath("base"), work = tmp->filePath("work");
    QVERIFY(testenv::writeFile(basePath, base) && QDir().mkpath(work));
    StoreFetcher::Item item;
    item.url = server.url("/whole");
    item.size = target.size();
    item.sha256 = testenv::sha256(target);
    item.target = tmp->filePath("target");
    item.deltaUrl = server.url("/delta");
    item.base = basePath;
    item.baseSize = base.size();
    const QByteArray whole = storedobject::packBytes(target);
    QByteArray made = makeDelta(base, target);
    item.packed = whole.size();
    item.deltaPacked = made.size();
    if (fault == "damaged") {
        made[made.size() - 5] = char(made[made.size() - 5] ^ 0x55);
    }
    server.setRoute("/whole", FakeResponse::ok(whole));
    FakeResponse response = FakeResponse::ok(made);
    if (fault == "missing") {
        response = FakeResponse::withStatus(404);
    } else if (fault == "cancel") {
        response.stall = FakeResponse::Stall::Held;
    }
    server.setRoute("/delta", response);
    if (fault == "base changed") {
        QVERIFY(testenv::writeFile(basePath, QByteArray(base.size(), 'x')));
    }
    StoreFetcher fetcher;
    QSignalSpy finished(&fetcher, &StoreFetcher::finished);
    QSignalSpy progress(&fetcher, &StoreFetcher::progress);
    fetcher.start({item}, work);
    if (fault == "cancel") {
        QVERIFY(QTest::qWaitFor([&] { return server.requestCount("/delta") == 1; }));
        fetcher.cancel();
    }
    QVERIFY(reported(finished, 1));
    QCOMPARE(finished.first().at(0).toBool(), fault != "cancel");
    QCOMPARE(server.requestCount("/whole"), fault.isEmpty() || fault == "cancel" ? 0 : 1);
    QCOMPARE(testenv::readTree(work), testenv::Tree());
    if (fault == "cancel") {
        QVERIFY(!QFile::exists(item.target));
        return;
    }
    QCOMPARE(testenv::readFile(item.target), target);
    const qint64 total = fault.isEmpty() ? made.size() : whole.size();
    QCOMPARE(progress.last(), (QList<QVariant>{total, total}));
}

void TransferTest::extractWithSevenZip() {
    QCOMPARE(Decompressor::extractorPath(), QCoreApplication::applicationDirPath() + "/7Z/7z.exe");
    const testenv::Release release = testenv::makeRelease("payload");
    const QString archive = tmp->filePath("down loads/архив 1.7z");
    QVERIFY(testenv::writeFile(archive, release.archive));
    QVERIFY(testenv::writeFile(tmp->filePath("bad.7z"), "not an archive"));
    qint64 unpacked = 0;
    for (const QByteArray& bytes : release.tree) {
        unpacked += bytes.size();
    }
    for (const QString& name : {QString("down loads/архив 1.7z"), QString("bad.7z")}) {
        const bool good = name.endsWith("1.7z");
        Decompressor lister;
        QSignalSpy listed(&lister, &Decompressor::listed);
        lister.list(tmp->filePath(name));
        QVERIFY(reported(listed, 1, 60000));
        QCOMPARE(listed.first().at(0).toBool(), good);
        QCOMPARE(listed.first().at(1).toLongLong(), good ? unpacked : 0);
        Decompressor decompressor;
        QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
        decompressor.extract(tmp->filePath(name), tmp->filePath("Quorvex App"));
        QVERIFY(reported(finished, 1, 60000));
        QCOMPARE(finished.first().at(0).toBool(), good);
        QCOMPARE(finished.first().at(1).toString(),
                 good ? QString() : QString("Ошибка при распаковке архива"));
    }
    QCOMPARE(testenv::readTree(tmp->filePath("Quorvex App")), release.tree);
}

void TransferTest::listingSizes() {
    // The entries follow "----------"; folders count nothing; a field given twice counts by its
    // last value (a name may hold line breaks); sizes saturate.
    const QList<QPair<QByteArray, qint64>> rows{
        {"Path = x.7z\nSize = 9\n\n----------\r\nPath = a\r\nSize = 5\r\n\r\nPath = b\r\nSize = 7",
         12},
        {"----------\nPath = d\nFolder = +\nSize = 4\n\nPath = e\nAttributes = D drwx\nSize = 4\n",
         0},
        {"----------\nPath = a\nSize = 1\nFolder = +\nSize = 3\nFolder = -\n", 3},
        {"----------\nPath = a\nSize = 99999999999999999999\n\nPath = b\nSize = 1\n",
         std::numeric_limits<qint64>::max()}};
    for (const auto& [listing, size] : rows) {
        QCOMPARE(Decompressor::unpackedSize(listing), size);
    }
}

void TransferTest::extractorOutcomes_data() {
    QTest::addColumn<QString>("program"); // empty: the stand-in
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<QStringList>("reports"); // each report's message; "" for success
    const QString unpack = "Ошибка при распаковке архива";
    QTest::newRow("exit 0, progress")
        << "" << QByteArray("print:  7%\b\b 42% 3 - a,sleep:200") << QStringList{""};
    QTest::newRow("exit 1, a warning") << "" << QByteArray("exit:1") << QStringList{unpack};
    QTest::newRow("crash") << "" << QByteArray("crash") << QStringList{"Ошибка процесса: ", unpack};
    QTest::newRow("missing") << "missing/7z.exe" << QByteArray()
                             << QStringList{"Ошибка процесса: ", "Ошибка запуска процесса: "};
    QTest::newRow("directory") << "." << QByteArray()
                               << QStringList{"Ошибка процесса: ", "Ошибка запуска процесса: "};
}

void TransferTest::extractorOutcomes() {
    QFETCH(QString, program);
    QFETCH(QByteArray, steps);
    QFETCH(QStringList, reports);
    const QString marker = tmp->filePath("starts");
    qputenv("QUORVEX_STANDIN", steps);
    qputenv("QUORVEX_MARKER", QFile::encodeName(marker));
    Decompressor::setExtractorPathOverride(program.isEmpty() ? testenv::standinPath()
                                                             : tmp->filePath(program));
    if (!program.isEmpty()) {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Ошибка запуска процесса: "));
    }
    Decompressor decompressor;
    QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
    QSignalSpy progress(&decompressor, &Decompressor::decompressionProgress);
    const QString archive = tmp->filePath("my downloads/a b.7z");
    const QString target = tmp->filePath("install dir/Quorvex App");
    decompressor.extract(archive, target);
    // extract() waits for the start only; the outcome arrives through the event loop.
    QCOMPARE(finished.count(), program.isEmpty() ? 0 : reports.size());
    QVERIFY(reported(finished, reports.size()));
    for (int i = 0; i < reports.size(); ++i) {
        const QString message = finished.at(i).at(1).toString();
        QCOMPARE(finished.at(i).at(0).toBool(), reports[i].isEmpty());
        // A text ending in ": " is the start of a message that goes on with Qt's reason.
        const bool prefix = reports[i].endsWith(": ");
        QVERIFY2(prefix ? message.startsWith(reports[i]) && message != reports[i]
                        : message == reports[i],
                 qPrintable(message));
    }
    if (program.isEmpty()) {
        const QStringList command{testenv::standinPath(), "x", QDir::toNativeSeparators(archive),
                                  "-o" + QDir::toNativeSeparators(target), "-bsp1"};
        QCOMPARE(testenv::starts(marker), QList<QStringList>{command});
        QCOMPARE(progress.isEmpty() ? -1 : progress.last().at(0).toInt(),
                 steps.contains("42%") ? 42 : -1);
    }
    qunsetenv("QUORVEX_STANDIN");
}

void TransferTest::destructorWaitsSilently() {
    // The window's receivers may be half destroyed: the wait reports nothing.
    const QString done = tmp->filePath("done");
    qputenv("QUORVEX_STANDIN", "sleep:300,touch:" + QFile::encodeName(done) + ",exit:3");
    Decompressor::setExtractorPathOverride(testenv::standinPath());
    auto* decompressor = new Decompressor;
    QSignalSpy finished(decompressor, &Decompressor::decompressionFinished);
    decompressor->extract(tmp->filePath("a.7z"), tmp->filePath("out"));
    QVERIFY(!QFile::exists(done));
    delete decompressor;
    qunsetenv("QUORVEX_STANDIN");
    QVERIFY(QFile::exists(done));
    QCOMPARE(finished.count(), 0);
}

QUORVEX_TEST_MAIN(TransferTest)
#include "tst_transfer.moc"
