// Checks the shared test support itself, so that a failure elsewhere is not a support fault.
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "fakehttpserver.h"
#include "nginxserver.h"
#include "testenv.h"

namespace {

struct Fetched {
    bool finished = false;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
};

Fetched fetch(QNetworkAccessManager& manager, const QUrl& url, int timeoutMs = 20000) {
    Fetched result;
    QNetworkReply* reply = manager.get(QNetworkRequest(url));
    result.finished = QTest::qWaitFor([&]() { return reply->isFinished(); }, timeoutMs);
    result.error = reply->error();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    reply->abort();
    reply->deleteLater();
    return result;
}

} // namespace

class TestSupport : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { testenv::privateDataHome(); }
    void privateDataHome();
    void fakeServerResponses();
    void fakeServerParallelRequests();
    void fakeServerGzipBomb();
    void nginxServesDirectory();
    void markerApp();
    void runOutcomes();
    void sevenZipRoundTrip();
};

void TestSupport::privateDataHome() {
    const QString home = testenv::privateDataHome();
    QCOMPARE(qEnvironmentVariable("XDG_DATA_HOME"), home);
    QVERIFY(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
                .startsWith(home + QLatin1Char('/')));
}

void TestSupport::fakeServerResponses() {
    FakeHttpServer server;
    QVERIFY(server.isListening());
    QNetworkAccessManager manager;
    server.setRoute("/ok", FakeResponse::ok("hello"));
    FakeResponse teapot = FakeResponse::withStatus(418, "short and stout");
    teapot.reason = "I'm a teapot";
    teapot.headers.append(qMakePair(QByteArray("X-Test"), QByteArray("yes")));
    server.setRoute("/teapot", teapot);
    server.setRoute("/moved", FakeResponse::redirect("/ok"));

    Fetched ok = fetch(manager, server.url(QStringLiteral("/ok?x=1")));
    QVERIFY(ok.finished);
    QCOMPARE(ok.status, 200);
    QCOMPARE(ok.body, QByteArray("hello"));
    QCOMPARE(fetch(manager, server.url(QStringLiteral("/teapot"))).status, 418);
    QCOMPARE(fetch(manager, server.url(QStringLiteral("/unknown"))).status, 404);
    QCOMPARE(fetch(manager, server.url(QStringLiteral("/moved"))).status, 302);
    QCOMPARE(server.requestedPaths(), (QStringList{"/ok", "/teapot", "/unknown", "/moved"}));
    QCOMPARE(server.requests().first().target, QByteArray("/ok?x=1"));
    QCOMPARE(server.requests().first().method, QByteArray("GET"));

    // A stall holds the connection open until the server lets go of it.
    FakeResponse stall = FakeResponse::ok("x");
    stall.stall = FakeResponse::Stall::BeforeHeaders;
    server.setRoute("/stall", stall);
    QNetworkReply* reply = manager.get(QNetworkRequest(server.url(QStringLiteral("/stall"))));
    QVERIFY(QTest::qWaitFor([&]() { return server.requestCount("/stall") == 1; }, 10000));
    QVERIFY(!QTest::qWaitFor([&]() { return reply->isFinished(); }, 300));
    QCOMPARE(server.openConnectionCount(), 1);
    // The client resends a request whose connection closed before any answer, so the
    // route is changed before the connection is dropped.
    server.setRoute("/stall", FakeResponse::ok("late"));
    server.closeAllConnections();
    QCOMPARE(server.openConnectionCount(), 0);
    QVERIFY(QTest::qWaitFor([&]() { return reply->isFinished(); }, 10000));
    delete reply;
}

void TestSupport::fakeServerParallelRequests() {
    FakeHttpServer server;
    const qint64 size = 3 * 1024 * 1024;
    server.setRoute("/big", FakeResponse::generated(size));
    QNetworkAccessManager manager;
    QList<QNetworkReply*> replies;
    for (int i = 0; i < 5; ++i) {
        replies << manager.get(QNetworkRequest(server.url(QStringLiteral("/big"))));
    }
    QVERIFY(QTest::qWaitFor(
        [&]() {
            return std::all_of(replies.begin(), replies.end(),
                               [](QNetworkReply* r) { return r->isFinished(); });
        },
        60000));
    for (QNetworkReply* r : replies) {
        QCOMPARE(r->error(), QNetworkReply::NoError);
        QCOMPARE(QCryptographicHash::hash(r->readAll(), QCryptographicHash::Sha256).toHex(),
                 FakeHttpServer::generatedSha256(size));
        delete r;
    }
    QCOMPARE(server.requestCount("/big"), 5);
    QVERIFY(server.connectionCount() >= 2);
}

void TestSupport::fakeServerGzipBomb() {
    const qint64 zeros = 64 * 1024 * 1024;
    const FakeResponse bomb = FakeResponse::gzippedZeros(zeros);
    QVERIFY(bomb.body.size() < zeros / 500);
    FakeHttpServer server;
    server.setRoute("/bomb", bomb);
    QNetworkAccessManager manager;
    const Fetched fetched = fetch(manager, server.url(QStringLiteral("/bomb")), 60000);
    QCOMPARE(fetched.error, QNetworkReply::NoError);
    QCOMPARE(qint64(fetched.body.size()), zeros);
    QCOMPARE(fetched.body.count('\0'), fetched.body.size());
}

void TestSupport::nginxServesDirectory() {
    QTemporaryDir root;
    QVERIFY(testenv::writeFile(root.path() + QStringLiteral("/docs/a b.json"), "[1, 2]"));
    NginxServer nginx;
    QVERIFY2(nginx.start(root.path()), qPrintable(nginx.errorString()));
    QVERIFY(nginx.port() != 0);
    QNetworkAccessManager manager;
    const Fetched fetched = fetch(manager, nginx.url(QStringLiteral("/docs/a%20b.json")));
    QCOMPARE(fetched.status, 200);
    QCOMPARE(fetched.body, QByteArray("[1, 2]"));
    QCOMPARE(fetch(manager, nginx.url(QStringLiteral("/missing"))).status, 404);
    QVERIFY(nginx.accessLog().contains("GET /docs/a%20b.json"));

    const quint16 port = nginx.port();
    nginx.stop();
    QTcpSocket probe;
    probe.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(!probe.waitForConnected(1000));

    // A given port is used as it is.
    const quint16 chosen = testenv::freeLoopbackPort();
    QVERIFY2(nginx.start(root.path(), chosen), qPrintable(nginx.errorString()));
    QCOMPARE(nginx.port(), chosen);
    QCOMPARE(fetch(manager, nginx.url(QStringLiteral("/docs/a%20b.json"))).status, 200);
}

void TestSupport::markerApp() {
    QTemporaryDir tmp;
    const QString marker = tmp.path() + QStringLiteral("/marker file");
    testenv::RunOptions options;
    options.environment.insert(QStringLiteral("QUORVEX_MARKER"), marker);
    options.workingDirectory = tmp.path();
    testenv::RunResult run = testenv::run(testenv::markerAppPath(), {}, options);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    run = testenv::run(testenv::markerAppPath(), {QStringLiteral("one"), QStringLiteral("t w o")},
                       options);
    QVERIFY(run.finished);
    QList<testenv::MarkerLine> lines = testenv::readMarker(marker);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].program, QFileInfo(testenv::markerAppPath()).canonicalFilePath());
    QCOMPARE(lines[0].workingDirectory, QFileInfo(tmp.path()).canonicalFilePath());
    QCOMPARE(lines[0].arguments, QStringList());
    QCOMPARE(lines[1].arguments, (QStringList{"one", "t w o"}));

    // Without QUORVEX_MARKER, a copy records itself beside itself.
    const QString copy = tmp.path() + QStringLiteral("/installed app");
    QVERIFY(QFile::copy(testenv::markerAppPath(), copy));
    options.environment.remove(QStringLiteral("QUORVEX_MARKER"));
    QVERIFY(testenv::run(copy, {}, options).finished);
    lines = testenv::readMarker(copy + QStringLiteral(".marker"));
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].program, QFileInfo(copy).canonicalFilePath());
}

void TestSupport::runOutcomes() {
    testenv::RunOptions options;
    options.environment.insert(QStringLiteral("QUORVEX_FAKE_EXTRACTOR"), QStringLiteral("exit:3"));
    testenv::RunResult run = testenv::run(testenv::fakeExtractorPath(), {}, options);
    QVERIFY(run.started && run.finished);
    QCOMPARE(run.exitCode, 3);

    options.environment.insert(QStringLiteral("QUORVEX_FAKE_EXTRACTOR"),
                               QStringLiteral("sleep:20000"));
    options.timeoutMs = 300;
    run = testenv::run(testenv::fakeExtractorPath(), {}, options);
    QVERIFY(run.timedOut && !run.finished && !run.stopped);

    options.timeoutMs = 20000;
    options.stopWhen = [](const testenv::RunResult& soFar) {
        return soFar.standardError.contains("ready");
    };
    run = testenv::run(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"), QStringLiteral("echo ready >&2; sleep 20")}, options);
    QVERIFY(run.stopped && !run.timedOut);
    QCOMPARE(run.standardError, QByteArray("ready\n"));

    QVERIFY(!testenv::run(QStringLiteral("/nonexistent/program"), {}).started);
}

void TestSupport::sevenZipRoundTrip() {
    QTemporaryDir tmp;
    testenv::Tree tree{{QStringLiteral("a.txt"), "a"},
                       {QStringLiteral("sub/"), QByteArray()},
                       {QStringLiteral("sub/b.bin"), FakeHttpServer::generatedBytes(0, 1000)}};
    QVERIFY(testenv::writeTree(tmp.path() + QStringLiteral("/in"), tree));
    QCOMPARE(testenv::readTree(tmp.path() + QStringLiteral("/in")), tree);
    const QString archive = tmp.path() + QStringLiteral("/x.7z");
    QVERIFY(testenv::make7z(tmp.path() + QStringLiteral("/in"), archive));
    const testenv::RunResult run = testenv::run(
        testenv::sevenZipPath(), {QStringLiteral("x"), archive, "-o" + tmp.path() + "/out"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(testenv::diffTrees(tree, testenv::readTree(tmp.path() + QStringLiteral("/out"))),
             QStringList());
    tree.insert(QStringLiteral("sub/b.bin"), "changed");
    QCOMPARE(
        testenv::diffTrees(tree, testenv::readTree(tmp.path() + QStringLiteral("/out"))).size(), 1);
    QCOMPARE(testenv::sha256OfFile(tmp.path() + QStringLiteral("/in/a.txt")),
             QByteArray("ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb"));
}

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_testsupport.moc"
