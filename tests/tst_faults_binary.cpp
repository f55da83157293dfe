// The real qv_updater under faults: broken and hostile servers on the port compiled into it,
// malformed and hostile version lists, archives that fail their checks, and runs killed at
// the dangerous moments. Every case checks the diagnostic that ends the run, the files left
// in the data directory, the sentinel files outside it, and that the next normal run
// (against a well-behaved server) ends with the application launched.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>

#include "buildconfig.h"
#include "fakehttpserver.h"
#include "faultkit.h"
#include "nginxserver.h"
#include "testenv.h"

using faultkit::Release;

namespace {
// The state the data directory is in before the run.
enum class Pre {
    Fresh,     // nothing installed
    Installed, // the release installed and recorded: the run verifies it
    Tampered,  // installed and recorded, one file changed: the run fetches the version list
};

// What must hold of the installation and the record after a failed run.
enum class After {
    Kept,          // installation and record byte for byte as before
    RecordRemoved, // the record is gone (the wipe had started), so the next run reinstalls
};

} // namespace
class BinaryFaultsTest;
using Setup = std::function<void(BinaryFaultsTest*)>;
Q_DECLARE_METATYPE(Pre)
Q_DECLARE_METATYPE(After)
Q_DECLARE_METATYPE(Setup)

namespace {
// A running updater whose diagnostics (stderr) are collected as they arrive.
struct UpdaterRun {
    QProcess process;
    QByteArray log;
    bool logged(const QByteArray& text) const { return log.contains(text); }
    // Waits, serving the test's servers meanwhile, until the updater quits by itself;
    // true when it quit normally with status 0.
    bool waitForQuit(int timeoutMs = 30000) {
        const bool ended =
            QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        Q_UNUSED(ended);
        log += process.readAll();
        return process.state() == QProcess::NotRunning &&
               process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    void kill() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};
} // namespace

class BinaryFaultsTest : public QObject {
    Q_OBJECT
public:
    std::unique_ptr<FakeHttpServer> fake; // on the compiled port; null = server down
    NginxServer nginx;                    // serves the good archive on another port
    Release release;
    QJsonObject goodEntry; // the release on nginx, with size and digest
    QString dataDir;

    // The well-behaved server: list and hash list on the fake, archive from nginx.
    void serveGood() {
        if (!fake) {
            fake = std::make_unique<FakeHttpServer>(testenv::compiledServerPort());
        }
        fake->clearRoutes();
        fake->setRoute("/versions.json", FakeResponse::ok(faultkit::listOf(goodEntry)));
        fake->setRoute("/hashlist.json", FakeResponse::ok(QJsonDocument(release.hashes).toJson()));
    }
    void serveList(const QByteArray& body) {
        fake->setRoute("/versions.json", FakeResponse::ok(body));
    }
    void serveEntry(const QJsonObject& e) { serveList(faultkit::listOf(e)); }
    // The good entry with some keys replaced.
    QJsonObject entryWith(const QJsonObject& changes) const {
        QJsonObject e = goodEntry;
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            e[it.key()] = it.value();
        }
        return e;
    }
    // The good entry with its archive served by the fake as response (size and digest of
    // the good archive stay in the entry).
    void serveArchive(const FakeResponse& response, bool withChecks = true) {
        QJsonObject e =
            entryWith({{"download_url", fake->url("/files/quorvex-2.0.7z").toString()}});
        if (!withChecks) {
            e.remove("size");
            e.remove("sha256");
        }
        serveEntry(e);
        fake->setRoute("/files/quorvex-2.0.7z", response);
    }
    FakeResponse goodArchive() const { return FakeResponse::ok(release.archive); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void faults_data();
    void faults();
    void killedDuringDownload();
    void killedDuringExtraction();
    void killedBetweenExtractionAndLaunch();
    void installationGoneIsRepaired_data();
    void installationGoneIsRepaired();

private:
    void prepare(Pre pre);
    std::unique_ptr<UpdaterRun> start();
    // The next run against the well-behaved server ends with the release launched and
    // recorded, nothing stray left behind.
    void verifyRecovery(const char* when);
    void verifySentinel();
    int launches() const { return testenv::readMarker(marker).size(); }

    QTemporaryDir work;
    QString home;
    QString marker;
    QString www;
    faultkit::Sentinel sentinel;
};

void BinaryFaultsTest::initTestCase() {
    const QUrl server(QStringLiteral(QUORVEX_SERVER_URL));
    if (server.host() != QLatin1String("127.0.0.1") || server.port() <= 0) {
        QSKIP("The updater is not built against a loopback server (QUORVEX_SERVER_URL)");
    }
    QVERIFY(work.isValid());
    home = work.filePath("home");
    dataDir = home + "/qv_updater";
    marker = work.filePath("launches.txt");
    www = work.filePath("www");
    sentinel.create(home, work.filePath("outside"));
    sentinel.allowInDataHome("qv_updater");
    sentinel.allowBesideDataHome("launches.txt");
    sentinel.allowBesideDataHome("www");

    release = faultkit::makeRelease(FakeHttpServer::generatedBytes(0, 16 * 1024));
    QVERIFY(release.isValid());
    QVERIFY(testenv::writeFile(www + "/quorvex-2.0.7z", release.archive));
    QVERIFY2(nginx.start(www), qPrintable(nginx.errorString()));
    goodEntry = faultkit::entry("2.0", nginx.url("/quorvex-2.0.7z").toString(), release.archive);
    serveGood();
    QVERIFY2(fake->isListening(), "the compiled port is taken");
}

void BinaryFaultsTest::cleanupTestCase() {
    nginx.stop();
    fake.reset();
}

void BinaryFaultsTest::prepare(Pre pre) {
    QDir(dataDir).removeRecursively();
    QVERIFY(QDir().mkpath(dataDir));
    if (pre != Pre::Fresh) {
        faultkit::install(dataDir, release, goodEntry, pre == Pre::Tampered);
    }
}

std::unique_ptr<UpdaterRun> BinaryFaultsTest::start() {
    auto run = std::make_unique<UpdaterRun>();
    QProcessEnvironment env = testenv::updaterEnvironment(home);
    env.insert("QUORVEX_MARKER", marker);
    run->process.setProcessEnvironment(env);
    run->process.setProcessChannelMode(QProcess::MergedChannels);
    UpdaterRun* raw = run.get();
    QObject::connect(&raw->process, &QProcess::readyRead,
                     [raw] { raw->log += raw->process.readAll(); });
    run->process.start(testenv::updaterPath(), QStringList());
    return run;
}

void BinaryFaultsTest::verifySentinel() {
    const QStringList problems = sentinel.check();
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

void BinaryFaultsTest::verifyRecovery(const char* when) {
    serveGood();
    const int before = launches();
    auto run = start();
    const bool quit = run->waitForQuit();
    run->kill();
    QVERIFY2(quit, qPrintable(QString("the run after %1 did not finish:\n%2")
                                  .arg(when, QString::fromUtf8(run->log))));
    // At least one launch: a run killed right at its launch may still have started the
    // application a moment before, and that start is recorded late.
    QTRY_VERIFY(launches() >= before + 1);
    const QStringList diff =
        testenv::diffTrees(release.tree, testenv::readTree(dataDir + "/Quorvex"));
    QVERIFY2(diff.isEmpty(), qPrintable(diff.join('\n')));
    // The record names the release that was installed (the entry the server gave for it).
    const QJsonObject record =
        QJsonDocument::fromJson(testenv::readFile(dataDir + "/latestVersion.json")).object();
    QCOMPARE(record.value("version").toString(), QStringLiteral("2.0"));
    QCOMPARE(record.value("extract_to").toString(), QStringLiteral("/Quorvex"));
    QCOMPARE(faultkit::strayEntries(dataDir, "/Quorvex"), QStringList());
    verifySentinel();
}

void BinaryFaultsTest::faults_data() {
    QTest::addColumn<Pre>("pre");
    QTest::addColumn<Setup>("setup");
    // Fail cases: the diagnostic that shows the run has failed (it then stays open with its
    // message). Empty: the run must launch the application and quit by itself.
    QTest::addColumn<QByteArray>("diagnostic");
    QTest::addColumn<After>("after");
    // No archive may be left in the download folder.
    QTest::addColumn<bool>("noArchiveLeft");

    const QByteArray listFailed = "Неверный формат JSON";
    const QByteArray listError = "Ошибка загрузки списка версий:";
    const QByteArray oversized = "Список версий превышает допустимый размер:";
    const QByteArray noFull = "Не удалось найти полную версию в массиве JSON";
    const QByteArray transfer = "Ошибка загрузки:";
    const QByteArray refused = "Недопустимая запись в списке версий:";
    const QByteArray badName = "Недопустимое имя файла в адресе загрузки:";
    const QByteArray sizeMismatch = "Размер архива не совпадает:";
    const QByteArray digestMismatch = "Контрольная сумма архива не совпадает:";
    const QByteArray uncheckable = "Архив не может быть проверен:";
    const QByteArray notFound = "Файл не найден:";
    const QByteArray launched;

    auto row = [](const char* name, Pre pre, Setup setup, const QByteArray& diagnostic,
                  After after = After::Kept, bool noArchiveLeft = true) {
        QTest::newRow(name) << pre << setup << diagnostic << after << noArchiveLeft;
    };
    auto list = [](const QByteArray& body) {
        return [body](BinaryFaultsTest* t) {
            t->serveList(body);
        };
    };
    auto entry = [](const QJsonObject& changes) {
        return [changes](BinaryFaultsTest* t) {
            t->serveEntry(t->entryWith(changes));
        };
    };
    auto route = [](const QByteArray& path, const FakeResponse& response) {
        return [path, response](BinaryFaultsTest* t) {
            t->fake->setRoute(path, response);
        };
    };
    auto archive = [](const FakeResponse& response) {
        return [response](BinaryFaultsTest* t) {
            t->serveArchive(response);
        };
    };
    auto cut = [](FakeResponse r, FakeResponse::Framing framing, qint64 after) {
        r.framing = framing;
        r.cutAfter = after;
        return r;
    };
    auto stall = [](FakeResponse r, FakeResponse::Stall how, qint64 after = -1) {
        r.stall = how;
        r.cutAfter = after;
        return r;
    };
    const QByteArray hashes = QJsonDocument(release.hashes).toJson();
    const FakeResponse goodList = FakeResponse::ok(faultkit::listOf(goodEntry));
    const FakeResponse goodHashes = FakeResponse::ok(hashes);
    const FakeResponse goodArchive = FakeResponse::ok(release.archive);
    using F = FakeResponse::Framing;
    using S = FakeResponse::Stall;

    // --- The server and the transfers.
    row(
        "server down, nothing installed", Pre::Fresh, [](BinaryFaultsTest* t) { t->fake.reset(); },
        listFailed);
    row(
        "server down, installed", Pre::Installed, [](BinaryFaultsTest* t) { t->fake.reset(); },
        transfer);
    row("version list 404", Pre::Tampered, route("/versions.json", FakeResponse::withStatus(404)),
        listFailed);
    // The list is judged by its body, whatever the status: the error is logged only.
    row("version list 500 with a JSON body", Pre::Tampered,
        route("/versions.json", FakeResponse::withStatus(500, faultkit::listOf(goodEntry))),
        launched);
    row("hash list 404", Pre::Installed, route("/hashlist.json", FakeResponse::withStatus(404)),
        transfer);
    row("hash list 500 with a JSON body", Pre::Installed,
        route("/hashlist.json", FakeResponse::withStatus(500, hashes)), transfer);
    row("archive 404", Pre::Tampered, archive(FakeResponse::withStatus(404)), transfer);
    row("archive 500 with the archive as body", Pre::Tampered,
        archive(FakeResponse::withStatus(500, release.archive)), transfer);
    row("version list redirects to itself", Pre::Tampered,
        route("/versions.json", FakeResponse::redirect("/versions.json")), listFailed);
    row("hash list redirect loop", Pre::Installed,
        route("/hashlist.json", FakeResponse::redirect("/hashlist.json")), transfer);
    row("archive redirect loop", Pre::Tampered,
        archive(FakeResponse::redirect("/files/quorvex-2.0.7z", 307)), transfer);
    row("archive redirected to a 404", Pre::Tampered,
        archive(FakeResponse::redirect("/files/missing.7z", 301)), transfer);
    row("version list cut short, Content-Length", Pre::Tampered,
        route("/versions.json", cut(goodList, F::ContentLength, 100)), listError);
    row("version list cut short, no length", Pre::Tampered,
        route("/versions.json", cut(goodList, F::CloseDelimited, 100)), listFailed);
    row("version list cut short, chunked", Pre::Tampered,
        route("/versions.json", cut(goodList, F::Chunked, 100)), listError);
    row("hash list cut short, Content-Length", Pre::Installed,
        route("/hashlist.json", cut(goodHashes, F::ContentLength, 50)), transfer);
    row("hash list cut short, chunked", Pre::Installed,
        route("/hashlist.json", cut(goodHashes, F::Chunked, 50)), transfer);
    row("archive cut short, Content-Length", Pre::Tampered,
        archive(cut(goodArchive, F::ContentLength, 5000)), transfer);
    row("archive cut short, no length (size check)", Pre::Tampered,
        archive(cut(goodArchive, F::CloseDelimited, 5000)), sizeMismatch);
    row("archive cut short, chunked", Pre::Tampered, archive(cut(goodArchive, F::Chunked, 5000)),
        transfer);
    row("version list stalls before headers", Pre::Tampered,
        route("/versions.json", stall(goodList, S::BeforeHeaders)), listError);
    row("hash list stalls after headers", Pre::Installed,
        route("/hashlist.json", stall(goodHashes, S::AfterHeaders, 10)), transfer);
    row("archive stalls mid-body", Pre::Tampered,
        archive(stall(goodArchive, S::AfterHeaders, 4096)), transfer);
    {
        FakeResponse slow = goodArchive;
        slow.trickleBytes = 2048;
        slow.trickleIntervalMs = 400; // about 4.5 s in all, each gap below the stall timeout
        row("archive trickles", Pre::Tampered, archive(slow), launched);
        QJsonArray padded{goodEntry};
        FakeResponse slowList =
            FakeResponse::ok(QJsonDocument(padded).toJson() + QByteArray(1600, ' '));
        slowList.trickleBytes = 300;
        slowList.trickleIntervalMs = 700;
        row("version list trickles", Pre::Tampered, route("/versions.json", slowList), launched);
    }
    {
        FakeResponse huge = FakeResponse::generated(5 * 1024 * 1024);
        row("version list of 5 MiB", Pre::Tampered, route("/versions.json", huge), oversized);
        QJsonArray many;
        const QJsonObject filler{{"full", false}, {"version", "1"}, {"pad", QString(200, 'x')}};
        for (int i = 0; i < 20000; ++i) {
            many.append(filler);
        }
        many.append(goodEntry);
        row("valid version list above 4 MiB", Pre::Tampered,
            list(QJsonDocument(many).toJson(QJsonDocument::Compact)), oversized);
        row("gzip bomb version list", Pre::Tampered,
            route("/versions.json", FakeResponse::gzippedZeros(64 * 1024 * 1024)), oversized);
        row("gzip-encoded version list", Pre::Tampered,
            route("/versions.json", FakeResponse::gzipped(faultkit::listOf(goodEntry))), launched);
    }

    // --- Malformed version lists.
    row("version list not JSON", Pre::Tampered, list("<html>Service Unavailable</html>"),
        listFailed);
    row("version list empty body", Pre::Tampered, list(""), listFailed);
    row("version list is an object", Pre::Tampered, list(faultkit::json(goodEntry)), listFailed);
    row("version list of strings", Pre::Tampered, list("[\"2.0\", 7, null]"), noFull);
    row("version list empty array", Pre::Tampered, list("[]"), noFull);
    row("full as a string", Pre::Tampered, entry({{"full", "true"}}), noFull);
    row("version as a number", Pre::Tampered, entry({{"version", 20}}), noFull);
    row("version of 40 digits", Pre::Tampered,
        entry({{"version", "1234567890123456789012345678901234567890"}}), noFull);
    row("version number 1e400", Pre::Tampered, list("[{\"full\": true, \"version\": 1e400}]"),
        listFailed);
    row("download_url as a number", Pre::Tampered, entry({{"download_url", 5}}),
        "Не удалось начать загрузку архива:");
    row("extract_to as a number", Pre::Tampered, entry({{"extract_to", 5}}), refused);
    row(
        "binary_name missing", Pre::Tampered,
        [](BinaryFaultsTest* t) {
            QJsonObject e = t->goodEntry;
            e.remove("binary_name");
            t->serveEntry(e);
        },
        refused);
    row("size as a string", Pre::Tampered, entry({{"size", "19000"}}), uncheckable, After::Kept);
    row("size 1e300", Pre::Tampered, entry({{"size", 1e300}}), uncheckable);
    row("size negative", Pre::Tampered, entry({{"size", -1}}), uncheckable);
    row("sha256 in upper case", Pre::Tampered,
        entry({{"sha256", goodEntry.value("sha256").toString().toUpper()}}), uncheckable);
    row("nesting 100000 deep", Pre::Tampered,
        list(QByteArray(100000, '[') + QByteArray(100000, ']')), listFailed);
    row("invalid UTF-8", Pre::Tampered,
        list(faultkit::listOf(goodEntry).replace("\"2.0\"", "\"2.\xff\xfe\"")), listFailed);
    // The JSON reader skips a byte order mark and takes a raw NUL inside a string.
    row("UTF-8 byte order mark", Pre::Tampered, list("\xef\xbb\xbf" + faultkit::listOf(goodEntry)),
        launched);
    row("NUL byte in a version label", Pre::Tampered,
        list(faultkit::listOf(goodEntry).replace("\"2.0\"", QByteArray("\"2.\0\"", 5))), launched);
    row("NUL byte between values", Pre::Tampered,
        list(faultkit::listOf(goodEntry).replace("[", QByteArray("[\0", 2))), listFailed);

    // --- Hostile entries: refused before anything is downloaded.
    const QStringList hostileTargets{
        "",   "/",       "/.",       "/..",         "/../x",   "/a/../..", "/./",
        "//", "/update", "/update/", "C:\\Quorvex", "/..\\..", "/x/..",    "/Quor\nvex"};
    for (const QString& target : hostileTargets) {
        row(qPrintable("extract_to \"" + QString(target).replace('\n', "\\n") + "\""),
            Pre::Tampered, entry({{"extract_to", target}}), refused);
    }
    row("extract_to with a NUL", Pre::Tampered,
        list(faultkit::listOf(goodEntry).replace("\"/Quorvex\"", "\"/Quor\\u0000vex\"")), refused);
    for (const QString& binary :
         {QStringLiteral("/../quorvex"), QStringLiteral("/../../sentinel/victim"),
          QStringLiteral("/.."), QStringLiteral("/x\\..\\..\\y")}) {
        row(qPrintable("binary_name \"" + binary + "\""), Pre::Tampered,
            entry({{"binary_name", binary}}), refused);
    }
    auto url = [](const QString& path) {
        return [path](BinaryFaultsTest* t) {
            t->serveEntry(t->entryWith({{"download_url", t->fake->url(path).toString()}}));
        };
    };
    row("download_url ends in ..", Pre::Tampered, url("/files/.."), badName);
    row("download_url ends in %2e%2e", Pre::Tampered, url("/files/%2e%2e"), badName);
    row("download_url ends in /", Pre::Tampered, url("/files/"), badName);
    row("download_url encodes /", Pre::Tampered, url("/files/..%2F..%2F..%2Fsentinel%2Fvictim"),
        badName);
    row("download_url encodes \\", Pre::Tampered, url("/files/..%5C..%5Cvictim"), badName);
    row("download_url encodes NUL", Pre::Tampered, url("/files/a%00.7z"), badName);
    row("download_url without a path", Pre::Tampered,
        entry({{"download_url", "http://127.0.0.1:1"}}), badName);
    row("download_url ftp", Pre::Tampered, entry({{"download_url", "ftp://127.0.0.1:1/q.7z"}}),
        transfer);
    row("download_url gopher", Pre::Tampered, entry({{"download_url", "gopher://127.0.0.1/q.7z"}}),
        transfer);
    row("download_url not a URL", Pre::Tampered, entry({{"download_url", "::not a url::"}}),
        transfer);
    row(
        "download_url file: to a local file", Pre::Tampered,
        [](BinaryFaultsTest* t) {
            t->serveEntry(t->entryWith(
                {{"download_url", QUrl::fromLocalFile(t->home + "/sentinel/victim").toString()}}));
        },
        sizeMismatch);

    // A directory inside the download folder is not the folder itself: accepted, installed
    // there, and the archives beside it are not touched by the wipe.
    row("extract_to \"/update/x\"", Pre::Fresh, entry({{"extract_to", "/update/x"}}), launched);
    row("extract_to an absolute path", Pre::Fresh, entry({{"extract_to", "/usr/local/app"}}),
        launched);

    // --- Archives that fail their integrity checks.
    {
        QByteArray flipped = release.archive;
        flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x40);
        row("archive with a flipped byte", Pre::Tampered, archive(FakeResponse::ok(flipped)),
            digestMismatch);
        row("archive with trailing garbage", Pre::Tampered,
            archive(FakeResponse::ok(release.archive + "garbage")), sizeMismatch);
        row("archive truncated", Pre::Tampered,
            archive(FakeResponse::ok(release.archive.left(release.archive.size() - 100))),
            sizeMismatch);
        row("archive replaced by another of equal size", Pre::Tampered,
            archive(FakeResponse::generated(release.archive.size())), digestMismatch);
    }
    row("archive without the executable", Pre::Tampered, entry({{"binary_name", "/missing"}}),
        notFound, After::RecordRemoved, false);

    // --- The local record.
    auto record = [](const QByteArray& bytes) {
        return [bytes](BinaryFaultsTest* t) {
            testenv::writeFile(t->dataDir + "/latestVersion.json", bytes);
        };
    };
    row("record empty", Pre::Tampered, record(""), launched);
    row("record cut short", Pre::Installed, record(faultkit::recordOf(goodEntry).left(40)),
        launched);
    row("record is an array", Pre::Installed, record("[]"), launched);
    row("record with extract_to a number", Pre::Installed,
        record(faultkit::recordOf(entryWith({{"extract_to", 5}}))), launched);
}

void BinaryFaultsTest::faults() {
    QFETCH(Pre, pre);
    QFETCH(Setup, setup);
    QFETCH(QByteArray, diagnostic);
    QFETCH(After, after);
    QFETCH(bool, noArchiveLeft);

    prepare(pre);
    const testenv::Tree installed = testenv::readTree(dataDir + "/Quorvex");
    const QByteArray record = testenv::readFile(dataDir + "/latestVersion.json");
    serveGood();
    setup(this);
    const int before = launches();

    auto run = start();
    if (diagnostic.isEmpty()) {
        // Must succeed: the application is launched and the updater quits by itself.
        const bool quit = run->waitForQuit();
        run->kill();
        QVERIFY2(quit, run->log.constData());
        QTRY_COMPARE(launches(), before + 1);
        QVERIFY(QFile::exists(dataDir + "/latestVersion.json"));
        verifySentinel();
        // The next run verifies what this one installed and launches it again.
        auto next = start();
        QVERIFY2(next->waitForQuit(), next->log.constData());
        QTRY_COMPARE(launches(), before + 2);
        verifySentinel();
        return;
    } else {
        QTRY_VERIFY2_WITH_TIMEOUT(run->logged(diagnostic) ||
                                      run->process.state() == QProcess::NotRunning,
                                  run->log.constData(), 20000);
        QVERIFY2(run->logged(diagnostic), run->log.constData());
        // Whatever the failure, what it leaves must settle while the window stays open.
        if (after == After::Kept) {
            QTRY_VERIFY_WITH_TIMEOUT(testenv::readTree(dataDir + "/Quorvex") == installed &&
                                         testenv::readFile(dataDir + "/latestVersion.json") ==
                                             record,
                                     3000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(dataDir + "/latestVersion.json"), 3000);
        }
        if (noArchiveLeft) {
            QTRY_COMPARE_WITH_TIMEOUT(faultkit::downloadedFiles(dataDir), QStringList(), 3000);
        }
        // A failed run never quits by itself: it stays with its message.
        QCOMPARE(run->process.state(), QProcess::Running);
        run->kill();
        QCOMPARE(launches(), before);
        QVERIFY(!run->logged("Процесс успешно запущен."));
        QCOMPARE(faultkit::strayEntries(dataDir, "/Quorvex"), QStringList());
        verifySentinel();
    }
    verifyRecovery(QTest::currentDataTag());
}

void BinaryFaultsTest::killedDuringDownload() {
    prepare(Pre::Tampered);
    const testenv::Tree installed = testenv::readTree(dataDir + "/Quorvex");
    const QByteArray record = testenv::readFile(dataDir + "/latestVersion.json");
    FakeResponse slow = goodArchive();
    slow.trickleBytes = 1024;
    slow.trickleIntervalMs = 100;
    serveGood();
    serveArchive(slow);

    auto run = start();
    const QString partial = dataDir + "/update/quorvex-2.0.7z";
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() >= 2048, 20000);
    QCOMPARE(faultkit::childProcesses(run->process.processId()), QList<qint64>());
    run->kill();
    QVERIFY(QFileInfo(partial).size() < release.archive.size());
    QCOMPARE(testenv::readTree(dataDir + "/Quorvex"), installed);
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), record);
    verifySentinel();
    verifyRecovery("a kill during the download");
}

void BinaryFaultsTest::killedDuringExtraction() {
    // A large, well compressible file keeps 7-Zip busy for a moment after the wipe.
    Release big = release;
    QByteArray bulk(96 * 1024 * 1024, '\0');
    for (int i = 0; i < bulk.size(); i += 4096) {
        bulk[i] = char(i / 4096);
    }
    big.tree["bulk.dat"] = bulk;
    bulk.clear();
    big.archive = faultkit::make7z(big.tree, {"-mx1"});
    QVERIFY(!big.archive.isEmpty());
    QVERIFY(testenv::writeFile(www + "/big-2.0.7z", big.archive));
    big.tree.clear();

    prepare(Pre::Tampered);
    serveGood();
    serveEntry(faultkit::entry("2.0", nginx.url("/big-2.0.7z").toString(), big.archive));
    big.archive.clear();

    auto run = start();
    QTRY_VERIFY_WITH_TIMEOUT(run->logged("Каталог успешно очищен.") ||
                                 run->process.state() == QProcess::NotRunning,
                             30000);
    // The updater and its 7-Zip go together, as at a power loss or a logoff.
    const QList<qint64> extractors = faultkit::childProcesses(run->process.processId());
    run->kill();
    for (const qint64 pid : extractors) {
        faultkit::killProcess(pid);
    }
    QTRY_VERIFY(std::none_of(extractors.begin(), extractors.end(), faultkit::processExists));
    QVERIFY2(!run->logged("Процесс успешно запущен."), "the extraction ended before the kill");
    qInfo("7-Zip processes killed with the updater: %d; bulk.dat extracted so far: %lld bytes",
          int(extractors.size()), QFileInfo(dataDir + "/Quorvex/bulk.dat").size());
    QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    verifySentinel();
    verifyRecovery("a kill during the extraction");
    QFile::remove(www + "/big-2.0.7z");
}

void BinaryFaultsTest::killedBetweenExtractionAndLaunch() {
    // The state such a kill leaves: the new installation complete, the record already gone
    // (it is removed before the wipe), the archive in the download folder.
    prepare(Pre::Tampered);
    QVERIFY(testenv::writeTree(dataDir + "/Quorvex", release.tree));
    QFile::remove(dataDir + "/latestVersion.json");
    QVERIFY(testenv::writeFile(dataDir + "/update/quorvex-2.0.7z", release.archive));
    serveGood();
    auto run = start();
    QVERIFY2(run->waitForQuit(), run->log.constData());
    QVERIFY2(run->logged("Каталог успешно очищен."), run->log.constData()); // reinstalled
    verifyRecovery("a kill between the extraction and the launch");

    // The real thing, as close as it gets: killed the moment the executable's path is
    // printed, right before it is started. Either outcome must be repaired by the next run.
    prepare(Pre::Tampered);
    serveGood();
    const int before = launches();
    run = start();
    QTRY_VERIFY_WITH_TIMEOUT(
        run->logged("Бинарник:") || run->process.state() == QProcess::NotRunning, 30000);
    run->kill();
    QTRY_VERIFY(launches() > before || !QFile::exists(dataDir + "/latestVersion.json"));
    qInfo("killed at the launch: application %s, record %s",
          launches() > before ? "started" : "not started",
          QFile::exists(dataDir + "/latestVersion.json") ? "written" : "absent");
    verifySentinel();
    verifyRecovery("a kill at the launch");
}

void BinaryFaultsTest::installationGoneIsRepaired_data() {
    QTest::addColumn<QString>("extractTo");
    // The user (or a cleaner) deleted the installation directory; the record stayed.
    QTest::newRow("installation directory deleted") << QStringLiteral("/Quorvex");
    // A record that names a directory without files (written by hand or by an old version).
    QTest::newRow("record names an empty directory") << QStringLiteral("/..");
}

void BinaryFaultsTest::installationGoneIsRepaired() {
    QFETCH(QString, extractTo);
    prepare(Pre::Installed);
    QVERIFY(QDir(dataDir + "/Quorvex").removeRecursively());
    testenv::writeFile(dataDir + "/latestVersion.json",
                       faultkit::recordOf(entryWith({{"extract_to", extractTo}})));
    serveGood();
    const int before = launches();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        auto run = start();
        QTRY_VERIFY_WITH_TIMEOUT(
            run->logged("Файл не найден:") || run->process.state() == QProcess::NotRunning, 20000);
        run->kill();
        verifySentinel();
    }
    // The first run verifies nothing, finds no executable and stops at "Исполняемый файл не
    // найден! Напишите в техподдержку.", dropping the record; the second one reinstalls.
    QCOMPARE(launches(), before + 1);
}

QTEST_GUILESS_MAIN(BinaryFaultsTest)
#include "tst_faults_binary.moc"
