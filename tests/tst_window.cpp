// The window in-process: its display, the record, launching, and the whole update workflow
// against the scripted server with the real 7-Zip, including hostile servers and archives.

#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTest>
#include <QTimer>
#include <functional>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

#include "decompressor.h"
#include "downloader.h"
#include "fakehttpserver.h"
#include "mainwindow.h"
#include "paths.h"
#include "runlock.h"
#include "signature.h"
#include "signing.h"
#include "testenv.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

class WindowTest;
using Setup = std::function<void(WindowTest*)>;
Q_DECLARE_METATYPE(Setup)

namespace {
enum Pre { Fresh, Installed, Tampered };
const QString launched = "Приложение запущено";
const QString notFound = "Исполняемый файл не найден! Напишите в техподдержку.";
const QString extractionFailed = "Ошибка при распаковке архива: Ошибка при распаковке архива";
const QString downloadFailed = "Ошибка загрузки файла.";
const QString signatureFailed = "Подпись файла %1 не прошла проверку.";
const QString exposed =
    "Файл %1 могут изменять другие пользователи: запуск отменён. Напишите в техподдержку.";
} // namespace

class WindowTest : public QObject {
    Q_OBJECT
public:
    FakeHttpServer server;
    testenv::Release release;
    testenv::Release big; // its archive is large next to its small files
    QJsonObject good;     // the release's entry, with a space in its URL and a key of its own
    QString dataDir, marker, outside;
    QFile inUse; // a file of the installation held open as a running program holds its own
    QByteArray key = publish::signing::generateKey();

    void serveEntry(const QJsonObject& e) {
        server.setRoute("/versions.json", FakeResponse::ok(testenv::listOf(e)));
    }
    QJsonObject goodWith(const QJsonObject& changes) const {
        QJsonObject e = good;
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            e[it.key()] = it.value();
        }
        return e;
    }
    // The archive served under an entry without "size" and "sha256", so it reaches 7-Zip.
    void serveUnchecked(const QByteArray& archive) {
        QJsonObject e = good;
        e.remove("size");
        e.remove("sha256");
        serveEntry(e);
        server.setRoute("/files/quorvex%202.0.7z", FakeResponse::ok(archive));
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void display();
    void recordBytes_data();
    void recordBytes();
    void startProcess();
    void startUpHandOff();
    void handOffIsNoLaunch();
    void cancel();
    void workflow_data();
    void workflow();
    void firstMismatchNamed();
    void hashedWhileListLoads();
    void hostileArchives_data();
    void hostileArchives();
    void extractorLeavesEscapingLink();
    void perFile_data();
    void perFile();

private:
    QString label() const { return window->findChild<QLabel*>()->text(); }
    int bar() const { return window->findChild<QProgressBar*>()->value(); }
    // A window against the scripted server, or against nothing (its workflow fails at once).
    void startWindow(bool served = true) {
        window.reset(new MainWindow(nullptr, served ? server.url("") : QUrl("http://127.0.0.1:1")));
    }
    bool waitForQuit();
    void prepare(Pre pre);
    void serveGood();
    // Nothing outside the installation, the record, the hash list and the downloads changed.
    void verifyNothingElse();
    // The next run against the good server launches; when tree, it installed the release.
    void verifyRecovery(bool tree = true);
    int launches() const { return testenv::starts(marker).size(); }

    std::unique_ptr<MainWindow> window;
    testenv::Tree outsideTree;
};

void WindowTest::initTestCase() {
    dataDir = paths::dataDir();
    marker = QDir::cleanPath(dataDir + "/../launches.txt");
    outside = QDir::cleanPath(dataDir + "/../outside");
    testenv::setVariable("QUORVEX_MARKER", marker);
    outsideTree = {{"victim", "intact"}, {"dir/", {}}};
    QVERIFY(testenv::writeTree(outside, outsideTree));
    release = testenv::makeRelease(FakeHttpServer::generatedBytes(0, 16 * 1024));
    QVector<quint32> noise(512 * 1024);
    QRandomGenerator(7).fillRange(noise.data(), noise.size());
    big = testenv::makeRelease(
        QByteArray(reinterpret_cast<const char*>(noise.constData()), noise.size() * 4));
    QVERIFY(!release.archive.isEmpty());
    good = testenv::entry("2.0", server.url("/files/quorvex%202.0.7z").toString(), release.archive);
    good["notes"] = QJsonObject{{"ru", "Обновление"}};
    QVERIFY(FakeHttpServer::trustTestAuthority());
}

void WindowTest::init() {
    // Every transfer, the window's own included, gives up after a second of silence, and a
    // document after two seconds.
    Downloader::setDefaultTransferTimeout(1000);
    Downloader::setDocumentTimeLimit(2000);
    signature::setTrustedKeys(QString());
    QDir(dataDir).removeRecursively();
    QVERIFY(QDir().mkpath(dataDir));
    server.useTls({});
    good["download_url"] = server.url("/files/quorvex%202.0.7z").toString();
    serveGood();
}

void WindowTest::cleanup() {
    for (QProcess* process : window ? window->findChildren<QProcess*>() : QList<QProcess*>()) {
        process->kill();
        process->waitForFinished();
    }
    window.reset();
    Decompressor::setExtractorPathOverride(QString());
    qunsetenv("QUORVEX_STANDIN_LISTING");
    // Scheduled quits and deferred deletions run out before the next test.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

bool WindowTest::waitForQuit() {
    // The run's own quit ends the loop with 0; the time-out with 1.
    QTimer timeout;
    connect(&timeout, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    timeout.start(20000);
    return QCoreApplication::exec() == 0;
}

void WindowTest::serveGood() {
    server.reset();
    serveEntry(good);
    server.setRoute("/hashlist.json", FakeResponse::ok(QJsonDocument(release.hashes).toJson()));
    server.setRoute("/files/quorvex%202.0.7z", FakeResponse::ok(release.archive));
}

void WindowTest::prepare(Pre pre) {
    QDir(dataDir).removeRecursively();
    if (pre == Fresh) {
        QVERIFY(QDir().mkpath(dataDir));
        return;
    }
    const QString app = dataDir + "/Quorvex";
    QVERIFY(testenv::writeTree(app, release.tree));
    QVERIFY(QFile::setPermissions(app + "/" + testenv::executable("quorvex"),
                                  QFile::ReadOwner | QFile::ExeOwner));
    QVERIFY(testenv::writeFile(dataDir + "/latestVersion.json", testenv::json(good)));
    if (pre == Tampered) {
        QVERIFY(testenv::writeFile(app + "/payload.dat", "tampered"));
        QVERIFY(testenv::writeFile(app + "/stale.dll", "from an older version"));
    }
}

void WindowTest::verifyNothingElse() {
    QCOMPARE(testenv::readTree(outside), outsideTree);
    QStringList names = QDir(dataDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const char* own : {"latestVersion.json", "hashlist.json", "update", "Quorvex"}) {
        names.removeAll(own);
    }
    QCOMPARE(names, QStringList());
    QCOMPARE(QDir(dataDir + "/..").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"launches.txt", "outside", QFileInfo(dataDir).fileName()}));
}

void WindowTest::verifyRecovery(bool tree) {
    window.reset();
    inUse.close();
    Decompressor::setExtractorPathOverride(QString());
    serveGood();
    const int before = launches();
    startWindow();
    QVERIFY2(waitForQuit(), qPrintable("the next run ended at: " + label()));
    QTRY_COMPARE(launches(), before + 1);
    if (tree) {
        QCOMPARE(testenv::readTree(dataDir + "/Quorvex"), release.tree);
    }
    verifyNothingElse();
}

void WindowTest::display() {
    prepare(Fresh);
    startWindow(false);
    QCOMPARE(window->windowTitle(), QStringLiteral("Обновление Quorvex"));
    QCOMPARE(window->minimumSize(), QSize(550, 90));
    QCOMPARE(window->maximumSize(), QSize(550, 90));
    QCOMPARE(window->findChild<QPushButton*>()->text(), QStringLiteral("Отмена"));
    QCOMPARE(label(), QStringLiteral("Обновление Quorvex..."));
    const QList<std::tuple<qint64, qint64, int, QString>> rows{
        {1536, 10240, 15, "Загрузка обновления (1 из 10 КБ)..."},
        {3LL << 30, 6LL << 30, 50, "Загрузка обновления (3145728 из 6291456 КБ)..."},
        {5000, -1, 50, "Загрузка обновления (3145728 из 6291456 КБ)..."}, // total unknown
        {5000, 0, 50, "Загрузка обновления (3145728 из 6291456 КБ)..."}};
    for (const auto& [received, total, percent, text] : rows) {
        QVERIFY(QMetaObject::invokeMethod(window.get(), "onUpdateProgress", Q_ARG(qint64, received),
                                          Q_ARG(qint64, total)));
        QCOMPARE(bar(), percent);
        QCOMPARE(label(), text);
    }
}

void WindowTest::recordBytes_data() {
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("sorted keys, four spaces, LF")
        << QByteArray(R"({"version":"1.2","full":true,"extract_to":"/app","binary_name":"/q"})")
        << QByteArray("{\n    \"binary_name\": \"/q\",\n    \"extract_to\": \"/app\",\n"
                      "    \"full\": true,\n    \"version\": \"1.2\"\n}\n");
    QTest::newRow("unknown keys kept, nested, UTF-8, null")
        << QByteArray(R"({"notes":{"ru":"Обновление","n":[1,2]},"version":null})")
        << QByteArray("{\n    \"notes\": {\n        \"n\": [\n            1,\n            2\n"
                      "        ],\n        \"ru\": \"Обновление\"\n    },\n"
                      "    \"version\": null\n}\n");
}

void WindowTest::recordBytes() {
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, bytes);
    const QString path = dataDir + "/record.json";
    QVERIFY(testenv::writeFile(path, QByteArray(4096, 'x'))); // a longer record is replaced
    startWindow(false);
    window->saveVersionRecord(QJsonDocument::fromJson(entry).object(), path);
    QCOMPARE(testenv::readFile(path), bytes);
}

void WindowTest::startProcess() {
    // A program is started detached and the run quits; a missing file is not (a file that
    // cannot start: workflow).
    QTemporaryDir dir;
    const QString program = dir.filePath("Quorvex App/" + testenv::executable("quorvex"));
    QVERIFY(QDir().mkpath(dir.filePath("Quorvex App")));
    QVERIFY(QFile::copy(testenv::standinPath(), program));
    QList<QPair<QString, QString>> rows{{dir.filePath("missing"), notFound}};
#ifndef Q_OS_WIN
    // Not a program another user could have replaced: one the group can write, or one under a
    // directory of the data directory that others can write.
    for (const QString& path : {dir.filePath("group/quorvex"), dataDir + "/open/app/quorvex"}) {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && QFile::copy(program, path));
        rows += {path, exposed.arg(path)};
    }
    QVERIFY(QFile::setPermissions(rows[1].first, QFile::permissions(program) | QFile::WriteGroup));
    QVERIFY(QFile::setPermissions(dataDir + "/open", QFileDevice::Permissions(0x7777)));
#endif
    rows += {program, launched};
    for (const auto& [path, text] : rows) {
        startWindow(false);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "startProcess", Q_ARG(QString, path)));
        QCOMPARE(label(), text);
    }
    QVERIFY(waitForQuit());
    QTRY_VERIFY(testenv::starts(marker).contains(QStringList{program}));
}

void WindowTest::startUpHandOff() {
    // A separate update program takes over at construction, before the record is read: the
    // record stays as it is, and the message of that start is the status line's first.
    const QByteArray record = "{\n    \"version\": \"7\"\n}\n";
    QVERIFY(testenv::writeFile(dataDir + "/latestVersion.json", record));
    QVERIFY(QDir().mkpath(dataDir + "/bin"));
    QVERIFY(QFile::copy(testenv::standinPath(), dataDir + "/bin/qv_update.exe"));
    const int before = launches();
    startWindow();
    QTRY_COMPARE(launches(), before + 1);
    // Nothing of the workflow runs: no request reaches the server.
    QVERIFY(!QTest::qWaitFor([&] { return server.requestCount() > 0; }, 500));
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), record);
    QFile::remove(dataDir + "/latestVersion.json");
    startWindow(false);
    QCOMPARE(label(), launched);
    QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    // Gone before the next test, once Windows lets go of the program the stand-in ran from.
    QTRY_VERIFY_WITH_TIMEOUT(QDir(dataDir + "/bin").removeRecursively(), 20000);
}

void WindowTest::handOffIsNoLaunch() {
    // A run that waited for one that handed off still does its work: neither program it hands
    // off to is the application.
    QVERIFY(QDir().mkpath(dataDir + "/bin"));
    for (const QString& program : {QString("/bin/qv_update.exe"), QString("/qv_updater.exe")}) {
        QVERIFY(QFile::copy(testenv::standinPath(), dataDir + program));
        {
            RunLock lock(dataDir);
            QVERIFY(lock.tryTake());
            lock.begin();
            startWindow(false); // the separate update program takes over here
            window->launchInstalledUpdater();
            QCOMPARE(label(), launched);
            window.reset();
        }
        RunLock next(dataDir);
        QVERIFY(next.tryTake());
        QVERIFY2(!next.previousRunLaunched(), qPrintable(program));
        // Gone before the next program, once Windows lets go of the file the stand-in ran from.
        const QString path = dataDir + program;
        QTRY_VERIFY_WITH_TIMEOUT(QFile::remove(path) || !QFileInfo::exists(path), 20000);
    }
}

void WindowTest::cancel() {
    // Cancel stops the version list, the signature of the hash list, then the archive once
    // some of it has arrived; the trickle would move the bar again. Only the partial archive
    // goes.
    for (const QByteArray& path : {QByteArray("/versions.json"), QByteArray("/hashlist.json.sig"),
                                   QByteArray("/files/quorvex%202.0.7z")}) {
        const bool sig = path.endsWith(".sig");
        prepare(Tampered);
        serveGood();
        signature::setTrustedKeys(sig ? publish::signing::publicKeyOf(key) : QString());
        const testenv::Tree before = testenv::readTree(dataDir);
        FakeResponse slow = FakeResponse::ok(path.endsWith(".7z") ? release.archive
                                                                  : QByteArray(64 * 1024, ' ') +
                                                                        testenv::listOf(good));
        slow.trickleBytes = sig ? 1 : 512;
        slow.trickleIntervalMs = 20;
        slow.etag = "\"resumable\""; // cancelled, it is not kept for later
        server.setRoute(path, slow);
        startWindow();
        const QRegularExpression someKilobytes("^Загрузка обновления \\([1-9]");
        QTRY_VERIFY(server.requestCount(path) == 1 &&
                    (sig || someKilobytes.match(label()).hasMatch()));
        window->findChild<QPushButton*>()->click();
        QCOMPARE(label(), QStringLiteral("Загрузка отменена"));
        QVERIFY(!QTest::qWaitFor([&] { return bar() > 0; }, 300));
        QCOMPARE(label(), QStringLiteral("Загрузка отменена"));
        QDir().rmdir(dataDir + "/update");
        QFile::remove(dataDir + "/hashlist.json");
        QCOMPARE(testenv::readTree(dataDir), before);
    }
}

void WindowTest::workflow_data() {
    QTest::addColumn<int>("pre");
    QTest::addColumn<Setup>("setup");
    // The label the run ends with (a prefix when it ends in "(" or " "); launched runs quit.
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("warning"); // a diagnostic the run must give, or empty
    // Launched: by verification, nothing downloaded; reinstalled: the archive was installed;
    // retried: so it was, each signature having failed once;
    // reused: so was the one already complete in the download folder, not downloaded again;
    // kept: installation and record untouched; dropped: the record is gone, nothing launched.
    QTest::addColumn<QString>("outcome");
    auto row = [](const char* name, Pre pre, Setup setup, const QString& expected,
                  const QString& outcome, const QString& warning = QString()) {
        QTest::newRow(name) << int(pre) << setup << expected << warning << outcome;
    };
    auto route = [](const QByteArray& path, const FakeResponse& response) {
        return [=](WindowTest* t) {
            t->server.setRoute(path, response);
        };
    };
    auto entry = [](const QJsonObject& changes) {
        return [=](WindowTest* t) {
            t->serveEntry(t->goodWith(changes));
        };
    };
    auto file = [](const QString& name, const QByteArray& bytes) {
        return [=](WindowTest* t) {
            testenv::writeFile(t->dataDir + name, bytes);
        };
    };
    const Setup none = [](WindowTest*) {
    };
    QJsonObject upper;
    for (auto it = release.hashes.begin(); it != release.hashes.end(); ++it) {
        upper[it.key()] = it.value().toString().toUpper();
    }
    FakeResponse stall = FakeResponse::ok("[]");
    stall.cutAfter = 1;
    stall.stall = FakeResponse::Stall::AfterCut;
    const QString refused = "Недопустимая версия в списке версий (";
    // A byte now and then: never silent for the stall limit, never done.
    FakeResponse trickle = FakeResponse::ok(QByteArray(1000, ' ') + "{}");
    trickle.trickleBytes = 1;
    trickle.trickleIntervalMs = 200;
    auto unannounced = [](qint64 size) {
        FakeResponse r = FakeResponse::generated(size);
        r.announceLength = false;
        return r;
    };
    auto t_url = [&](const QString& path) {
        return server.url(path).toString();
    };
    // A signed build against a server whose documents are signed as served, then changed.
    auto signedBy = [](const QByteArray& key, const QJsonObject& entry, const Setup& after) {
        return [=](WindowTest* t) {
            using publish::signing::sign;
            signature::setTrustedKeys(publish::signing::publicKeyOf(key));
            t->serveEntry(entry);
            t->server.setRoute("/versions.json.sig",
                               FakeResponse::ok(sign(key, testenv::listOf(entry))));
            t->server.setRoute(
                "/hashlist.json.sig",
                FakeResponse::ok(sign(key, QJsonDocument(t->release.hashes).toJson())));
            after(t);
        };
    };
    QByteArray flipped = testenv::listOf(good).replace("\"2.0\"", "\"3.0\"");
    QJsonObject unbound = good;
    unbound.remove("sha256");
    const QString noList = "Не удалось получить список версий.";
    const QString hashListFailed = "Возникла ошибка при загрузке таблицы хеш";

    row("first installation", Fresh, none, launched, "reinstalled");
    row("intact installation", Installed, none, launched, "launched");
    row("settings file changed", Installed, file("/Quorvex/quorvex.ini", "[changed]"), launched,
        "launched");
    row("file without a digest", Installed, file("/Quorvex/extra.dll", "x"), launched,
        "reinstalled");
#ifndef Q_OS_WIN
    row(
        "links to a FIFO and to a device", Installed,
        [](WindowTest* t) {
            static QTemporaryDir fifo;
            mkfifo(QFile::encodeName(fifo.filePath("pipe")).constData(), 0600);
            QFile::link(fifo.filePath("pipe"), t->dataDir + "/Quorvex/pipe.dll");
            QFile::link("/dev/zero", t->dataDir + "/Quorvex/zero.dll");
        },
        launched, "reinstalled");
    row(
        "installation open to others", Installed,
        [](WindowTest* t) {
            QFile::setPermissions(t->dataDir + "/Quorvex", QFileDevice::Permissions(0x7777));
        },
        launched, "reinstalled");
#endif
    row("digests in upper case", Installed,
        route("/hashlist.json", FakeResponse::ok(QJsonDocument(upper).toJson())), launched,
        "reinstalled");
    row("record not an object", Installed, file("/latestVersion.json", "[]"), launched,
        "reinstalled", "Файл latestVersion.json содержит некорректный JSON");
    row("tampered installation", Tampered, none, launched, "reinstalled");
    row(
        "server and archive over https", Tampered,
        [](WindowTest* t) {
            t->server.useTls("good");
            t->good["download_url"] = t->server.url("/files/quorvex%202.0.7z").toString();
            t->serveGood();
        },
        launched, "reinstalled");
    row("version list 404", Tampered, route("/versions.json", FakeResponse::withStatus(404)),
        noList, "kept");
    row("version list beyond its cap", Tampered,
        route("/versions.json", FakeResponse::generated(64 * 1024 * 1024)), noList, "kept",
        "Список версий превышает допустимый размер:");
    row("version list stalls", Tampered, route("/versions.json", stall), noList, "kept",
        "Ошибка загрузки списка версий:");
    row("no full version", Tampered, route("/versions.json", FakeResponse::ok(R"([{"v":1}])")),
        "На сервере не найдена полная версия.", "kept");
    row("extract_to climbing out", Tampered, entry({{"extract_to", "/.."}}), refused, "kept");
    row("binary_name climbing out", Tampered, entry({{"binary_name", "/../x"}}), refused, "kept");
    row("archive URL ending in ..", Tampered, entry({{"download_url", "http://127.0.0.1:1/a/.."}}),
        downloadFailed, "kept", "Недопустимое имя файла в адресе загрузки:");
    row("archive 404", Tampered, route("/files/quorvex%202.0.7z", FakeResponse::withStatus(404)),
        downloadFailed, "kept");
    row("archive size differs", Tampered, entry({{"size", double(release.archive.size() + 1)}}),
        downloadFailed, "kept", "Размер архива не совпадает:");
    row("archive digest differs", Tampered,
        route("/files/quorvex%202.0.7z", FakeResponse::generated(release.archive.size())),
        downloadFailed, "kept", "Контрольная сумма архива не совпадает:");
    // Refused before the record and the installation are removed: an extractor that cannot
    // start, an archive it cannot open, files that would not fit (1e15 bytes, 953674317 MiB).
    row(
        "extractor missing", Tampered,
        [](WindowTest* t) { Decompressor::setExtractorPathOverride(t->dataDir + "/7Z/7z.exe"); },
        "Ошибка при распаковке архива: Ошибка запуска процесса: ", "kept");
    row(
        "not an archive", Tampered,
        [](WindowTest* t) { t->serveUnchecked(FakeHttpServer::generatedBytes(7, 30000)); },
        extractionFailed, "kept");
    const QString noSpace = "Недостаточно места на диске: для обновления нужно 953674317 МБ, ";
    row("archive larger than the disk", Tampered, entry({{"size", 1e15}}), noSpace, "kept");
    row(
        "files larger than the disk", Tampered,
        [](WindowTest*) {
            Decompressor::setExtractorPathOverride(testenv::standinPath());
            testenv::setVariable("QUORVEX_STANDIN_LISTING",
                                 "----------\nPath = a\nSize = 1000000000000000\n");
        },
        noSpace, "kept");
    // The wipe frees only the installation: whatever else the data directory holds stays (here
    // a sparse terabyte standing in for the download folder's content).
    row(
        "files larger than the disk and the installation", Tampered,
        [](WindowTest* t) {
            QFile kept(t->dataDir + "/update/kept/large.bin");
            QVERIFY(QDir().mkpath(t->dataDir + "/update/kept"));
            QVERIFY(kept.open(QIODevice::WriteOnly) && kept.resize(qint64(1) << 40));
            const qint64 needed = QStorageInfo(t->dataDir).bytesAvailable() + (qint64(64) << 30);
            Decompressor::setExtractorPathOverride(testenv::standinPath());
            testenv::setVariable("QUORVEX_STANDIN_LISTING",
                                 "----------\nPath = a\nSize = " + QString::number(needed) + "\n");
        },
        "Недостаточно места на диске: для обновления нужно ", "kept");
    row("older archives removed", Tampered, file("/update/quorvex 1.9.7z", "older"), launched,
        "reinstalled");
    row("archive complete from an earlier run", Tampered,
        file("/update/quorvex 2.0.7z", release.archive), launched, "reused");
    row("archive of the right size, other bytes", Tampered,
        file("/update/quorvex 2.0.7z", QByteArray(release.archive.size(), 'x')), launched,
        "reinstalled");
    row("archive digest in upper case", Tampered,
        entry({{"sha256", testenv::sha256(release.archive).toUpper()}}), refused, "kept");
    row("wildcard in extract_to", Tampered, entry({{"extract_to", "/Quor*"}}), refused, "kept");
    row("wildcard in the archive's name", Tampered,
        entry({{"download_url", t_url("/files/q%3F.7z")}}), refused, "kept");
    row("archive beyond its size", Tampered,
        route("/files/quorvex%202.0.7z", unannounced(64 * 1024 * 1024)), downloadFailed, "kept",
        "Ошибка загрузки: .*размер превышает допустимый");
    row("version list trickles on", Tampered, route("/versions.json", trickle), noList, "kept",
        "Список версий не загружен за отведённое время:");
    row("hash list beyond its cap", Installed,
        route("/hashlist.json", FakeResponse::generated(64 * 1024 * 1024)), hashListFailed, "kept",
        "Ошибка загрузки: .*размер превышает допустимый");
    row("hash list trickles on", Installed, route("/hashlist.json", trickle), hashListFailed,
        "kept", "Ошибка загрузки: .*превышено время загрузки");
    row(
        "record cannot be removed", Tampered,
        [](WindowTest* t) {
            QFile::remove(t->dataDir + "/latestVersion.json");
            QDir().mkpath(t->dataDir + "/latestVersion.json/locked");
        },
        "Не удалось удалить файл latestVersion.json. Напишите в техподдержку.", "kept");
#ifdef Q_OS_WIN
    // Quorvex still runs from its installation: Windows keeps its program from being removed.
    row(
        "installation in use", Tampered,
        [](WindowTest* t) {
            t->inUse.setFileName(t->dataDir + "/Quorvex/" + testenv::executable("quorvex"));
            t->inUse.open(QIODevice::ReadOnly);
        },
        "Ошибка при очистке каталога или каталог не существует.", "dropped");
#else
    // Names that Qt cannot spell are still wiped (and the release installs).
    row(
        "installation with a name not UTF-8", Tampered,
        [](WindowTest* t) {
            const QByteArray path = QFile::encodeName(t->dataDir + "/Quorvex/n") + "\xff";
            close(open(path.constData(), O_CREAT | O_WRONLY, 0600));
        },
        launched, "reinstalled");
#endif
    row("hash list 500", Installed, route("/hashlist.json", FakeResponse::withStatus(500)),
        hashListFailed, "kept");
    row("hash list not an object", Installed, route("/hashlist.json", FakeResponse::ok("[]")),
        "Ошибка при разборе файла хеш-листа JSON", "kept");
    row(
        "installation deleted", Installed,
        [](WindowTest* t) { QDir(t->dataDir + "/Quorvex").removeRecursively(); }, notFound,
        "dropped");
    row("archive without the executable", Tampered, entry({{"binary_name", "/gone"}}), notFound,
        "dropped");
    // The record is written once the program has started, not before.
    row("executable that cannot start", Tampered, entry({{"binary_name", "/payload.dat"}}),
        "Ошибка при запуске исполняемого файла.", "dropped");
    row("signed: tampered installation", Tampered, signedBy(key, good, none), launched,
        "reinstalled");
    row("signed: version list changed", Tampered,
        signedBy(key, good, route("/versions.json", FakeResponse::ok(flipped))),
        signatureFailed.arg("versions.json"), "kept", "Подпись не прошла проверку:");
    row("signed: hash list changed", Installed,
        signedBy(key, good,
                 [=](WindowTest* t) {
                     route("/hashlist.json", FakeResponse::ok("{}"))(t);
                     file("/hashlist.json", "the previous one")(t);
                 }),
        signatureFailed.arg("hashlist.json"), "kept");
    // Each document's signature may fail once: a good one in between starts the count again.
    row("signed: each signature missing once", Tampered,
        signedBy(key, good,
                 [](WindowTest* t) {
                     for (const QByteArray path : {"/hashlist.json.sig", "/versions.json.sig"}) {
                         t->server.setFirstResponse(path, FakeResponse::withStatus(404));
                     }
                 }),
        launched, "retried", "Подпись не прошла проверку:");
    row("signed: version list signature missing", Tampered,
        signedBy(key, good, route("/versions.json.sig", FakeResponse::withStatus(404))),
        signatureFailed.arg("versions.json"), "kept");
    row("signed: entry without sha256", Tampered, signedBy(key, unbound, none), refused, "kept");
    row("signed: older version", Tampered, signedBy(key, goodWith({{"version", "1.9"}}), none),
        refused, "kept");
    // A run killed while it replaced version 2.1 left its record set aside: still the floor.
    row("signed: older than a record set aside", Tampered,
        signedBy(key, good,
                 [](WindowTest* t) {
                     QFile::remove(t->dataDir + "/latestVersion.json");
                     testenv::writeFile(t->dataDir + "/update/record/latestVersion.json",
                                        testenv::json(t->goodWith({{"version", "2.1"}})));
                 }),
        refused, "kept");
}

void WindowTest::workflow() {
    QFETCH(int, pre);
    QFETCH(Setup, setup);
    QFETCH(QString, expected);
    QFETCH(QString, warning);
    QFETCH(QString, outcome);
    prepare(Pre(pre));
    setup(this);
    const testenv::Tree installed = testenv::readTree(dataDir + "/Quorvex");
    const QByteArray record = testenv::readFile(dataDir + "/latestVersion.json");
    const QByteArray hashList = testenv::readFile(dataDir + "/hashlist.json");
    if (!warning.isEmpty()) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^" + warning));
    }
    const int before = launches();
    startWindow();
    if (expected == launched) {
        QVERIFY2(waitForQuit(), qPrintable(label()));
        QTRY_COMPARE(launches(), before + 1);
        // Retried: each document fetched twice, its signature having failed once.
        const int fetches = outcome == "retried" ? 2 : 1;
        QCOMPARE(server.requestCount("/files/quorvex%202.0.7z"),
                 outcome == "reinstalled" || outcome == "retried" ? 1 : 0);
        if (outcome == "reused" || outcome == "retried") {
            outcome = "reinstalled";
        }
        QCOMPARE(server.requestCount("/versions.json"), outcome == "reinstalled" ? fetches : 0);
        // A signed build asks for the signature of each document (and keeps none), a build
        // without keys for none.
        QCOMPARE(
            server.requestCount("/versions.json.sig") + server.requestCount("/hashlist.json.sig"),
            signature::trustedKeys().isEmpty() ? 0
                                               : fetches + server.requestCount("/versions.json"));
        QCOMPARE(QDir(dataDir + "/update").entryList(QDir::Files),
                 outcome == "reinstalled" ? QStringList{"quorvex 2.0.7z"} : QStringList());
        QCOMPARE(QJsonDocument::fromJson(testenv::readFile(dataDir + "/latestVersion.json")),
                 QJsonDocument(
                     outcome == "reinstalled" ? good : QJsonDocument::fromJson(record).object()));
        if (outcome == "reinstalled") {
            QCOMPARE(testenv::readTree(dataDir + "/Quorvex"), release.tree);
            QCOMPARE(testenv::readFile(dataDir + "/update/quorvex 2.0.7z"), release.archive);
        }
        verifyNothingElse();
        return;
    }
    if (expected.endsWith('(') || expected.endsWith(' ')) {
        QTRY_VERIFY2(label().startsWith(expected), qPrintable(label()));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(label(), expected, 10000);
    }
    QCOMPARE(launches(), before);
    if (expected == "Недопустимая версия в списке версий (" || expected.startsWith("Подпись") ||
        expected.contains("Ошибка запуска процесса")) {
        QCOMPARE(server.requestCount("/files/quorvex%202.0.7z"), 0);
    }
    if (expected.startsWith("Подпись")) { // the pair is fetched once more before the refusal
        const QByteArray document = "/" + expected.section(' ', 2, 2).toLatin1();
        QCOMPARE(server.requestCount(document), 2);
        QCOMPARE(server.requestCount(document + ".sig"), 2);
        QVERIFY(document != "/hashlist.json" || testenv::readFile(dataDir + document) == hashList);
    }
    if (outcome == "kept") {
        QCOMPARE(testenv::readTree(dataDir + "/Quorvex"), installed);
        QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), record);
        QCOMPARE(QDir(dataDir + "/update").entryList(QDir::Files), QStringList());
        verifyNothingElse();
    } else {
        QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
        verifyRecovery();
    }
}

void WindowTest::firstMismatchNamed() {
    // In name order ignoring case, shown while the version list loads.
    prepare(Installed);
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/b.dll", "x"));
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/A.dll", "x"));
    FakeResponse silent;
    silent.stall = FakeResponse::Stall::BeforeHeaders;
    server.setRoute("/versions.json", silent);
    startWindow();
    QTRY_COMPARE(server.requestCount("/versions.json"), 1);
    QCOMPARE(label(), QStringLiteral("Файл A.dll не прошел проверку хеша"));
}

void WindowTest::hashedWhileListLoads() {
    // The files are hashed while the hash list is held back, and judged only once it is there;
    // a file that changed meanwhile (in its time only, not its size), or appeared, is judged as
    // it is then.
    prepare(Installed);
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/A.dll", "old!"));
    QJsonObject hashes = release.hashes;
    hashes["A.dll"] = testenv::sha256("new!");
    hashes["B.dll"] = testenv::sha256("new!");
    FakeResponse held = FakeResponse::ok(QJsonDocument(hashes).toJson());
    held.stall = FakeResponse::Stall::Held;
    server.setRoute("/hashlist.json", held);
    Downloader::setDefaultTransferTimeout(60000); // held for as long as the hashing takes
    Downloader::setDocumentTimeLimit(60000);
    const int before = launches();
    startWindow();
    QTRY_VERIFY(bar() == 100 && server.requestCount("/hashlist.json") == 1);
    QCOMPARE(label(), QStringLiteral("Начинаю загрузку хеш таблицы"));
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/A.dll", "new!"));
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/B.dll", "new!"));
    server.releaseHeld();
    QVERIFY2(waitForQuit(), qPrintable(label()));
    QTRY_COMPARE(launches(), before + 1);
    QCOMPARE(server.requestCount("/versions.json"), 0);
}

void WindowTest::hostileArchives_data() {
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<bool>("installs");
    auto tar = [&](const std::function<void(testenv::TarWriter&)>& more) {
        testenv::TarWriter writer;
        const QString program = testenv::executable("quorvex");
        writer.addFile(program, release.tree[program], 0755);
        writer.addFile("payload.dat", release.tree["payload.dat"]);
        more(writer);
        return writer.finish();
    };
    using W = testenv::TarWriter;
    QTest::newRow("\"../\" and absolute names") << tar([&](W& t) {
        t.addFile("../escaped", "E");
        t.addFile("a/../../escaped2", "E");
        t.addFile(outside + "/victim", "PWNED");
    }) << true;
#ifdef Q_OS_WIN
    // Making links takes a privilege users lack (Wine has none to give): 7-Zip fails on them.
    const bool linksInstall = false;
#else
    const bool linksInstall = true;
#endif
    QTest::newRow("absolute symlink")
        << tar([&](W& t) { t.addLink("lnk", outside); }) << linksInstall;
    QTest::newRow("symlink climbing")
        << tar([&](W& t) { t.addLink("l", "../../outside"); }) << false;
    QTest::newRow("file through a symlink") << tar([&](W& t) {
        t.addLink("lnk", outside);
        t.addFile("lnk/victim", "PWNED");
    }) << false;
    QTest::newRow("hard link to an absolute path")
        << tar([&](W& t) { t.addLink("h", outside + "/victim", true); }) << false;
    QTest::newRow("dangling link inside")
        << tar([&](W& t) { t.addLink("libx.so", "libx.so.1"); }) << linksInstall;
    // Qt 5 takes a Windows shortcut for a symbolic link; it is an ordinary file.
    QTest::newRow("shortcut") << tar([&](W& t) { t.addFile("Quorvex.lnk", "L"); }) << true;
    QTest::newRow("hard link climbing")
        << tar([&](W& t) { t.addLink("h", "../../outside/victim", true); }) << false;
    // 7-Zip asks whether to overwrite: nobody answers, so it fails instead of waiting.
    QTest::newRow("duplicate name") << tar([&](W& t) { t.addFile("payload.dat", "2nd"); }) << false;
}

void WindowTest::hostileArchives() {
    QFETCH(QByteArray, archive);
    QFETCH(bool, installs);
    prepare(Tampered);
    serveUnchecked(archive);
    const int before = launches();
    startWindow();
    if (installs) {
        QVERIFY2(waitForQuit(), qPrintable(label()));
        QTRY_COMPARE(launches(), before + 1);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(label(), extractionFailed, 10000);
        QCOMPARE(launches(), before);
        QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    }
    verifyNothingElse();
    verifyRecovery(!installs);
}

void WindowTest::extractorLeavesEscapingLink() {
    // Another extractor (or another 7-Zip) that keeps a link leading outside: nothing of it is
    // kept or launched.
#ifdef Q_OS_WIN
    QSKIP("The extractor here is a shell script making a symbolic link; Wine makes neither "
          "symbolic links nor junctions (archives with links fail to unpack: hostileArchives)");
#endif
    const QString script = dataDir + "/../extractor.sh";
    QVERIFY(testenv::writeFile(
        script, QStringLiteral("#!/bin/sh\n[ \"$1\" = l ] && exit\nout=\"${3#-o}\"\nmkdir -p "
                               "\"$out/sub\" && cp '%1' \"$out/quorvex\" "
                               "&& ln -s '%2' \"$out/sub/escape\" && echo ' 57%'\n")
                    .arg(testenv::standinPath(), outside)
                    .toUtf8()));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner);
    Decompressor::setExtractorPathOverride(script);
    prepare(Tampered);
    const int before = launches();
    startWindow();
    QTRY_COMPARE_WITH_TIMEOUT(label(),
                              QStringLiteral("Ошибка при распаковке архива: архив содержит ссылки "
                                             "за пределы каталога установки. Напишите в "
                                             "техподдержку."),
                              10000);
    QVERIFY(!QFileInfo::exists(dataDir + "/Quorvex"));
    QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    QCOMPARE(launches(), before);
    QCOMPARE(bar(), 57); // the extractor's progress reached the bar
    QFile::remove(script);
    verifyRecovery();
}

QUORVEX_TEST_MAIN(WindowTest)
#include "tst_window.moc"

void WindowTest::perFile_data() {
    // How the window acts on each end of the per-file update (the update itself: tst_perfile).
    // Of the server: "object" (a stored file does not match), "no manifest"; of the machine:
    // "no extractor".
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("repair"); // installed as the release, one file in a folder damaged
    QTest::addColumn<bool>("signedBuild");
    QTest::addColumn<QString>("outcome"); // per-file | archive | verified
    QTest::newRow("update: only what changed travels") << "" << false << false << "per-file";
    QTest::newRow("repair of a file in a folder") << "" << true << false << "per-file";
    QTest::newRow("signed: a stored file that does not match, the archive")
        << "object" << false << true << "archive";
    QTest::newRow("repair without its manifest: launched as verified")
        << "no manifest" << true << false << "verified";
    QTest::newRow("update without 7-Zip") << "no extractor" << false << false << "per-file";
    QTest::newRow("repair whose stored file does not match, the archive")
        << "object" << true << false << "archive";
}

void WindowTest::perFile() {
    QFETCH(QString, fault);
    QFETCH(bool, repair);
    QFETCH(bool, signedBuild);
    QFETCH(QString, outcome);
    const QString exe = testenv::executable("quorvex");
    QJsonArray files;
    for (auto it = big.tree.begin(); it != big.tree.end(); ++it) {
        if (it.key().endsWith('/')) {
            continue;
        }
        const QString sha = testenv::sha256(it.value());
        const QByteArray packed = qCompress(it.value()).mid(4); // the zlib stream
        const bool damaged =
            fault == "object" && it.key() == (repair ? QString("plugins/readme.txt") : exe);
        server.setRoute(("/store/" + sha.left(2) + "/" + sha).toLatin1(),
                        FakeResponse::ok(damaged
                                             ? qCompress(QByteArray(it.value().size(), 'x')).mid(4)
                                             : packed));
        files.append(QJsonObject{{"path", it.key()},
                                 {"size", it.value().size()},
                                 {"sha256", sha},
                                 {"packed", packed.size()}});
    }
    const QByteArray manifest =
        testenv::json({{"format", 1}, {"store", "../store/"}, {"files", files}});
    server.setRoute("/m/3.0.json", fault == "no manifest" ? FakeResponse::withStatus(404)
                                                          : FakeResponse::ok(manifest));
    QJsonObject entry = testenv::entry("3.0", server.url("/files/big.7z").toString(), big.archive);
    entry["manifest_url"] = server.url("/m/3.0.json").toString();
    entry["manifest_size"] = manifest.size();
    entry["manifest_sha256"] = testenv::sha256(manifest);
    serveEntry(entry);
    const QByteArray hashList = QJsonDocument(big.hashes).toJson();
    server.setRoute("/hashlist.json", FakeResponse::ok(hashList));
    server.setRoute("/files/big.7z", FakeResponse::ok(big.archive));
    if (signedBuild) {
        signature::setTrustedKeys(publish::signing::publicKeyOf(key));
        server.setRoute("/versions.json.sig",
                        FakeResponse::ok(publish::signing::sign(key, testenv::listOf(entry))));
        server.setRoute("/hashlist.json.sig",
                        FakeResponse::ok(publish::signing::sign(key, hashList)));
    }

    // An update from an installation whose program changed, with a file of its own and the
    // user's settings; or a repair of the release as installed.
    testenv::Tree installed = big.tree;
    testenv::Tree expected = big.tree;
    if (repair) {
        installed["plugins/readme.txt"] = "damaged!!!!!";
    } else {
        installed[exe] = "an older program";
        installed.remove("plugins/readme.txt");
        installed["stale.dll"] = "from an older version";
        // The user's settings, whichever path the update takes.
        installed["quorvex.ini"] = expected["quorvex.ini"] = "[user]\nmine\n";
        installed["plugins/Local.INI"] = expected["plugins/Local.INI"] = "mine too";
    }
    if (fault == "no extractor") {
        Decompressor::setExtractorPathOverride(dataDir + "/7Z/7z.exe");
    }
    if (outcome == "verified") {
        expected = installed;
    }
    const QString app = dataDir + "/Quorvex";
    QVERIFY(testenv::writeTree(app, installed));
    QVERIFY(QFile::setPermissions(app + "/" + exe, QFile::ReadOwner | QFile::ExeOwner));
    QVERIFY(
        testenv::writeFile(dataDir + "/latestVersion.json", testenv::json(repair ? entry : good)));

    for (int runs = repair && fault.isEmpty() ? 2 : 1, i = 0; i < runs; ++i) {
        const int before = launches();
        const int requests = server.requestCount();
        startWindow();
        QVERIFY2(waitForQuit(), qPrintable(label()));
        QTRY_COMPARE(launches(), before + 1);
        QCOMPARE(testenv::readTree(app), expected);
        QCOMPARE(QJsonDocument::fromJson(testenv::readFile(dataDir + "/latestVersion.json")),
                 QJsonDocument(entry));
        QCOMPARE(server.requestCount("/files/big.7z"), outcome == "archive" ? 1 : 0);
        QCOMPARE(server.requestCount("/versions.json"), repair && outcome != "archive" ? 0 : 1);
        int fetched = 0;
        for (const QByteArray& path : server.requestedPaths()) {
            fetched += path.startsWith("/store/");
        }
        if (outcome == "per-file") {
            // The program and the missing file, or the damaged one; the second run none, and
            // not the manifest either: it is kept under its digest.
            QCOMPARE(fetched, repair ? 1 : 2);
            QCOMPARE(server.requestCount("/m/3.0.json"), 1);
            QCOMPARE(QDir(dataDir + "/update").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList{"manifests"});
        }
        QVERIFY(server.requestCount() > requests);
        window.reset();
        Downloader::setDefaultTransferTimeout(1000);
    }
    verifyNothingElse();
}
