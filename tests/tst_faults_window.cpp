// Faults whose only sign is the status line, run in-process against a scripted server on any
// port: what the user reads for the main failures, archives whose contents are broken or
// hostile, an extractor that leaves links leading outside, and a full disk while downloading
// and while extracting. Every case checks the label, the files on disk, the sentinel files
// outside the data directory, and that the next run (well-behaved server) launches.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "decompressor.h"
#include "fakehttpserver.h"
#include "faultkit.h"
#include "mainwindow.h"
#include "paths.h"
#include "testenv.h"

using faultkit::Release;

namespace {
enum class Pre { Installed, Tampered };
enum class After { Kept, RecordRemoved };

const QString extractionFailed =
    QStringLiteral("Ошибка при распаковке архива: Ошибка при распаковке архива");
const QString downloadFailed = QStringLiteral("Ошибка загрузки файла.");
const QString notFound = QStringLiteral("Исполняемый файл не найден! Напишите в техподдержку.");

// Set before the application object exists, so the data directory lands in it.
QString& scratchRoot() {
    static QString root;
    return root;
}
} // namespace

class WindowFaultsTest;
using Setup = std::function<void(WindowFaultsTest*)>;
Q_DECLARE_METATYPE(Pre)
Q_DECLARE_METATYPE(After)
Q_DECLARE_METATYPE(Setup)

class WindowFaultsTest : public QObject {
    Q_OBJECT
public:
    std::unique_ptr<FakeHttpServer> server;
    Release release;
    QJsonObject goodEntry;
    QString dataDir;

    void serveGood() {
        server->clearRoutes();
        server->setRoute("/versions.json", FakeResponse::ok(faultkit::listOf(goodEntry)));
        server->setRoute("/hashlist.json",
                         FakeResponse::ok(QJsonDocument(release.hashes).toJson()));
        server->setRoute("/files/quorvex-2.0.7z", FakeResponse::ok(release.archive));
    }
    QJsonObject entryWith(const QJsonObject& changes) const {
        QJsonObject e = goodEntry;
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            e[it.key()] = it.value();
        }
        return e;
    }
    void serveEntry(const QJsonObject& e) {
        server->setRoute("/versions.json", FakeResponse::ok(faultkit::listOf(e)));
    }
    // Serves archive under an entry without size and digest, so it reaches the extraction.
    void serveUncheckedArchive(const QByteArray& archive) {
        QJsonObject e = goodEntry;
        e.remove("size");
        e.remove("sha256");
        serveEntry(e);
        server->setRoute("/files/quorvex-2.0.7z", FakeResponse::ok(archive));
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void labels_data();
    void labels();
    void archives_data();
    void archives();
    void extractorLeavesEscapingLink();
    void diskFullWhileDownloading();
    void diskFullWhileExtracting();

private:
    QString label() const {
        return window ? window->findChild<QLabel*>("statusLabel")->text() : QString();
    }
    void startWindow() { window.reset(new MainWindow(nullptr, server->url(QString()))); }
    void stopWindow();
    bool waitForQuit(int timeoutMs = 20000);
    void prepare(Pre pre);
    void verifySentinel();
    // A new window against the well-behaved server launches the application; with
    // release, what it launches is the good release, installed and recorded.
    void verifyRecovery(bool release = true);
    // A hung extraction is ended here, so the window can go.
    void killExtractors();
    int launches() const { return testenv::readMarker(marker).size(); }

    QString home;
    QString marker;
    QString mounted;
    std::unique_ptr<MainWindow> window;
    faultkit::Sentinel sentinel;
};

void WindowFaultsTest::initTestCase() {
    home = scratchRoot() + "/home";
    marker = scratchRoot() + "/launches.txt";
    qputenv("QUORVEX_MARKER", QFile::encodeName(marker));
    dataDir = paths::dataDir();
    QVERIFY(dataDir.startsWith(home + "/"));
    sentinel.create(home, scratchRoot() + "/outside");
    sentinel.allowInDataHome(QFileInfo(dataDir).fileName());
    sentinel.allowBesideDataHome("launches.txt");
    sentinel.allowBesideDataHome("extractor.sh");
    release = faultkit::makeRelease(FakeHttpServer::generatedBytes(0, 16 * 1024));
    QVERIFY(release.isValid());
}

void WindowFaultsTest::cleanupTestCase() {
    if (!mounted.isEmpty()) {
        faultkit::unmount(mounted);
    }
}

void WindowFaultsTest::init() {
    server = std::make_unique<FakeHttpServer>();
    QVERIFY(server->isListening());
    goodEntry =
        faultkit::entry("2.0", server->url("/files/quorvex-2.0.7z").toString(), release.archive);
    serveGood();
}

void WindowFaultsTest::cleanup() {
    stopWindow();
    server.reset();
    Decompressor::setExtractorPathOverride(QString());
    if (!mounted.isEmpty()) {
        faultkit::unmount(mounted);
        mounted.clear();
    }
}

void WindowFaultsTest::killExtractors() {
    if (!window) {
        return;
    }
    for (QProcess* process : window->findChildren<QProcess*>()) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

void WindowFaultsTest::stopWindow() {
    killExtractors();
    window.reset();
    // Let deferred deletions run.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

bool WindowFaultsTest::waitForQuit(int timeoutMs) {
    bool quit = false;
    QMetaObject::Connection c = connect(qApp, &QCoreApplication::aboutToQuit, [&] { quit = true; });
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    timer.start(timeoutMs);
    QCoreApplication::exec();
    disconnect(c);
    return quit;
}

void WindowFaultsTest::prepare(Pre pre) {
    QDir data(dataDir);
    QDir().mkpath(dataDir);
    // Emptied rather than removed: it may be a mount point.
    for (const QFileInfo& info : data.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                    QDir::Hidden | QDir::System)) {
        if (info.isDir() && !info.isSymLink()) {
            QDir(info.filePath()).removeRecursively();
        } else {
            QFile::remove(info.filePath());
        }
    }
    faultkit::install(dataDir, release, goodEntry, pre == Pre::Tampered);
}

void WindowFaultsTest::verifySentinel() {
    const QStringList problems = sentinel.check();
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

void WindowFaultsTest::verifyRecovery(bool checkRelease) {
    stopWindow();
    Decompressor::setExtractorPathOverride(QString());
    serveGood();
    const int before = launches();
    startWindow();
    QVERIFY2(waitForQuit(), qPrintable("the next run ended at: " + label()));
    QTRY_COMPARE(launches(), before + 1);
    if (checkRelease) {
        const QStringList diff =
            testenv::diffTrees(release.tree, testenv::readTree(dataDir + "/Quorvex"));
        QVERIFY2(diff.isEmpty(), qPrintable(diff.join('\n')));
        QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), faultkit::recordOf(goodEntry));
    }
    QCOMPARE(faultkit::strayEntries(dataDir, "/Quorvex"), QStringList());
    verifySentinel();
}

void WindowFaultsTest::labels_data() {
    QTest::addColumn<Pre>("pre");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("expected"); // the label the run stays with
    QTest::addColumn<bool>("prefix");      // the label only has to start with expected
    QTest::addColumn<After>("after");

    auto row = [](const char* name, Pre pre, Setup setup, const QString& expected,
                  After after = After::Kept, bool prefix = false) {
        QTest::newRow(name) << pre << setup << expected << prefix << after;
    };
    auto route = [](const QByteArray& path, const FakeResponse& response) {
        return [path, response](WindowFaultsTest* t) {
            t->server->setRoute(path, response);
        };
    };
    auto entry = [](const QJsonObject& changes) {
        return [changes](WindowFaultsTest* t) {
            t->serveEntry(t->entryWith(changes));
        };
    };
    FakeResponse cutHashes = FakeResponse::ok(QJsonDocument(release.hashes).toJson());
    cutHashes.framing = FakeResponse::Framing::CloseDelimited;
    cutHashes.cutAfter = 50;

    row("version list 404", Pre::Tampered, route("/versions.json", FakeResponse::withStatus(404)),
        "Не удалось получить список версий.");
    row("no full version", Pre::Tampered,
        route("/versions.json", FakeResponse::ok("[{\"full\": false, \"version\": \"3\"}]")),
        "На сервере не найдена полная версия.");
    row("hostile extract_to", Pre::Tampered, entry({{"extract_to", "/.."}}),
        "Недопустимая версия в списке версий (", After::Kept, true);
    row("hostile binary_name", Pre::Tampered, entry({{"binary_name", "/../x"}}),
        "Недопустимая версия в списке версий (", After::Kept, true);
    row(
        "download_url ends in ..", Pre::Tampered,
        [](WindowFaultsTest* t) {
            t->serveEntry(t->entryWith({{"download_url", t->server->url("/a/..").toString()}}));
        },
        downloadFailed);
    row("archive 404", Pre::Tampered, route("/files/quorvex-2.0.7z", FakeResponse::withStatus(404)),
        downloadFailed);
    row("archive digest mismatch", Pre::Tampered,
        route("/files/quorvex-2.0.7z", FakeResponse::generated(release.archive.size())),
        downloadFailed);
    row("hash list 500", Pre::Installed, route("/hashlist.json", FakeResponse::withStatus(500)),
        "Возникла ошибка при загрузке таблицы хеш");
    row("hash list not JSON", Pre::Installed, route("/hashlist.json", FakeResponse::ok("<html>")),
        "Ошибка при разборе файла хеш-листа JSON");
    row("hash list is an array", Pre::Installed, route("/hashlist.json", FakeResponse::ok("[]")),
        "Ошибка при разборе файла хеш-листа JSON");
    row("hash list cut short, no length", Pre::Installed, route("/hashlist.json", cutHashes),
        "Ошибка при разборе файла хеш-листа JSON");
    row("executable missing after extraction", Pre::Tampered, entry({{"binary_name", "/gone"}}),
        notFound, After::RecordRemoved);
    row("binary_name empty", Pre::Tampered, entry({{"binary_name", ""}}),
        "Недопустимая версия в списке версий (", After::Kept, true);
}

void WindowFaultsTest::labels() {
    QFETCH(Pre, pre);
    QFETCH(Setup, setup);
    QFETCH(QString, expected);
    QFETCH(bool, prefix);
    QFETCH(After, after);

    prepare(pre);
    const testenv::Tree installed = testenv::readTree(dataDir + "/Quorvex");
    const QByteArray record = testenv::readFile(dataDir + "/latestVersion.json");
    setup(this);
    const int before = launches();
    startWindow();
    if (prefix) {
        QTRY_VERIFY2_WITH_TIMEOUT(label().startsWith(expected), qPrintable(label()), 15000);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(label(), expected, 15000);
    }
    if (after == After::Kept) {
        QCOMPARE(testenv::readTree(dataDir + "/Quorvex"), installed);
        QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), record);
        QCOMPARE(faultkit::downloadedFiles(dataDir), QStringList());
    } else {
        QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    }
    QCOMPARE(launches(), before);
    verifySentinel();
    verifyRecovery();
}

void WindowFaultsTest::archives_data() {
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("expected");  // the label; empty: launched
    QTest::addColumn<QString>("mustExist"); // a path inside the installation afterwards

    const QByteArray app = release.tree.value("quorvex");
    auto tarWith = [&](const std::function<void(faultkit::TarWriter&)>& more) {
        faultkit::TarWriter tar;
        tar.addFile("quorvex", app, 0755);
        tar.addFile("payload.dat", release.tree.value("payload.dat"));
        more(tar);
        return tar.finish();
    };
    const QString outside = scratchRoot() + "/outside";

    QByteArray flipped = release.archive;
    flipped[40] = char(flipped[40] ^ 0x01); // inside the packed stream, before the headers
    QTest::newRow("random bytes") << FakeHttpServer::generatedBytes(7, 30000) << extractionFailed
                                  << QString();
    QTest::newRow("truncated") << release.archive.left(release.archive.size() / 2)
                               << extractionFailed << QString();
    QTest::newRow("flipped byte in the data") << flipped << extractionFailed << QString();
    QTest::newRow("trailing garbage")
        << release.archive + QByteArray(5000, 'g') << QString() << QString("payload.dat");
    QTest::newRow("\"../\" and absolute names") << tarWith([&](faultkit::TarWriter& t) {
        t.addFile("../escaped", "E");
        t.addFile("a/../../escaped2", "E");
        t.addFile(outside + "/victim", "PWNED");
    }) << QString() << QString("escaped");
    QTest::newRow("absolute symlink")
        << tarWith([&](faultkit::TarWriter& t) { t.addSymlink("lnk", outside); }) << QString()
        << QString("lnk");
    QTest::newRow("symlink climbing with ..")
        << tarWith([&](faultkit::TarWriter& t) { t.addSymlink("lnk", "../../../outside"); })
        << extractionFailed << QString();
    QTest::newRow("symlink, then a file through it") << tarWith([&](faultkit::TarWriter& t) {
        t.addSymlink("lnk", outside);
        t.addFile("lnk/victim", "PWNED");
    }) << extractionFailed << QString();
    QTest::newRow("hard link to an absolute path")
        << tarWith([&](faultkit::TarWriter& t) { t.addHardlink("h", outside + "/victim"); })
        << extractionFailed << QString();
    QTest::newRow("hard link climbing with ..")
        << tarWith([&](faultkit::TarWriter& t) { t.addHardlink("h", "../../../outside/victim"); })
        << extractionFailed << QString();
    QTest::newRow("without the executable")
        << faultkit::make7z({{"payload.dat", "x"}}) << notFound << QString();
    // 7-Zip asks whether to overwrite, or for a password: nobody answers, so it must fail
    // rather than wait.
    QTest::newRow("duplicate entry name")
        << tarWith([&](faultkit::TarWriter& t) { t.addFile("payload.dat", "second"); })
        << extractionFailed << QString();
    QTest::newRow("encrypted") << faultkit::make7z(release.tree, {"-psecret", "-mhe=on"})
                               << extractionFailed << QString();
}

void WindowFaultsTest::archives() {
    QFETCH(QByteArray, archive);
    QFETCH(QString, expected);
    QFETCH(QString, mustExist);
    QVERIFY(!archive.isEmpty());

    prepare(Pre::Tampered);
    serveUncheckedArchive(archive);
    const int before = launches();
    startWindow();
    if (expected.isEmpty()) {
        QVERIFY2(waitForQuit(), qPrintable(label()));
        QTRY_COMPARE(launches(), before + 1);
        QVERIFY(QFile::exists(dataDir + "/latestVersion.json"));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(label(), expected, 8000);
        QCOMPARE(launches(), before);
        // The wipe had started: the record is gone, so the next run installs again.
        QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    }
    if (!mustExist.isEmpty()) {
        const QFileInfo inside(dataDir + "/Quorvex/" + mustExist);
        QVERIFY2(inside.exists() || inside.isSymLink(), qPrintable(mustExist));
        if (inside.isSymLink()) {
            QVERIFY2(inside.symLinkTarget().startsWith(dataDir + "/Quorvex/"),
                     qPrintable(inside.symLinkTarget()));
        }
    }
    QCOMPARE(faultkit::strayEntries(dataDir, "/Quorvex"), QStringList());
    verifySentinel();
    // What a successful run installed is verified against the good release's hash list and
    // replaced where it differs; either way the next run launches.
    verifyRecovery(!expected.isEmpty());
}

void WindowFaultsTest::extractorLeavesEscapingLink() {
    // Another extractor (or another 7-Zip version) that keeps a link leading outside.
    const QString script = scratchRoot() + "/extractor.sh";
    QVERIFY(testenv::writeFile(
        script, QStringLiteral("#!/bin/sh\nout=\"${3#-o}\"\nmkdir -p \"$out/sub\" && cp '%1' "
                               "\"$out/quorvex\" && ln -s '%2' \"$out/sub/escape\"\n")
                    .arg(testenv::markerAppPath(), scratchRoot() + "/outside")
                    .toUtf8()));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    Decompressor::setExtractorPathOverride(script);
    prepare(Pre::Tampered);
    const int before = launches();
    startWindow();
    QTRY_COMPARE_WITH_TIMEOUT(label(),
                              QStringLiteral("Ошибка при распаковке архива: архив содержит ссылки "
                                             "за пределы каталога установки. Напишите в "
                                             "техподдержку."),
                              15000);
    QVERIFY(!QFileInfo::exists(dataDir + "/Quorvex"));
    QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    QCOMPARE(launches(), before);
    verifySentinel();
    verifyRecovery();
}

void WindowFaultsTest::diskFullWhileDownloading() {
    QString error;
    if (!faultkit::mountTmpfs(dataDir, "1m", &error)) {
        QSKIP(qPrintable("no tmpfs for the data directory: " + error));
    }
    mounted = dataDir;
    prepare(Pre::Tampered);
    const testenv::Tree installed = testenv::readTree(dataDir + "/Quorvex");
    const QByteArray record = testenv::readFile(dataDir + "/latestVersion.json");
    const qint64 size = 4 * 1024 * 1024;
    serveEntry(entryWith({{"size", double(size)},
                          {"sha256", QString::fromLatin1(FakeHttpServer::generatedSha256(size))}}));
    server->setRoute("/files/quorvex-2.0.7z", FakeResponse::generated(size));
    startWindow();
    QTRY_COMPARE_WITH_TIMEOUT(label(), downloadFailed, 15000);
    QCOMPARE(faultkit::downloadedFiles(dataDir), QStringList()); // the partial file went
    QCOMPARE(testenv::readTree(dataDir + "/Quorvex"), installed);
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), record);
    verifySentinel();
    // The small release still fits.
    verifyRecovery();
}

void WindowFaultsTest::diskFullWhileExtracting() {
    QString error;
    if (!faultkit::mountTmpfs(dataDir, "2m", &error)) {
        QSKIP(qPrintable("no tmpfs for the data directory: " + error));
    }
    mounted = dataDir;
    testenv::Tree bigTree = release.tree;
    bigTree["bulk.dat"] = QByteArray(8 * 1024 * 1024, '\0');
    const QByteArray big = faultkit::make7z(bigTree);
    QVERIFY(!big.isEmpty() && big.size() < 512 * 1024);
    prepare(Pre::Tampered);
    serveEntry(faultkit::entry("2.0", server->url("/files/quorvex-2.0.7z").toString(), big));
    server->setRoute("/files/quorvex-2.0.7z", FakeResponse::ok(big));
    const int before = launches();
    startWindow();
    QTRY_COMPARE_WITH_TIMEOUT(label(), extractionFailed, 20000);
    QCOMPARE(launches(), before);
    QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    verifySentinel();
    // The next run wipes the partial installation first, so the small release fits again.
    verifyRecovery();
}

int main(int argc, char* argv[]) {
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        return 1;
    }
    scratchRoot() = scratch.path();
    QDir().mkpath(scratch.filePath("home"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(scratch.filePath("home")));
    QApplication app(argc, argv);
    WindowFaultsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults_window.moc"
