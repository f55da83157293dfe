// The update workflow in-process: a window against the fake server, real 7-Zip, and a
// stand-in application that leaves a marker when it is started.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

#include "decompressor.h"
#include "fakehttpserver.h"
#include "mainwindow.h"
#include "paths.h"
#include "sha256.h"
#include "testenv.h"

namespace {
const QString launched = QStringLiteral("Приложение запущено");
const QString notFound = QStringLiteral("Исполняемый файл не найден! Напишите в техподдержку.");

QByteArray sha256Hex(const QByteArray& bytes) {
    Sha256 h;
    h.addData(bytes);
    return h.result().toHex();
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
} // namespace

class WorkflowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void versionSelection_data();
    void versionSelection();
    void recordReading_data();
    void recordReading();
    void verificationRules_data();
    void verificationRules();
    void firstMismatchStartsInstallation();
    void fullInstallation();
    void removalGuard_data();
    void removalGuard();
    void archiveIntegrity_data();
    void archiveIntegrity();
    void cancelDuringSlowVersionList();

private:
    QString label() const { return window->findChild<QLabel*>("statusLabel")->text(); }
    int bar() const { return window->findChild<QProgressBar*>("progressBar")->value(); }
    void startWindow() { window.reset(new MainWindow(nullptr, server->url(QString()))); }
    // An archive holding the stand-in application as "quorvex", a data file, a settings
    // file and a subdirectory; returns its bytes.
    QByteArray makeArchive();
    QJsonObject entry(const QString& version, const QString& archiveName) const;
    // Runs the event loop until the updater schedules its quit (true) or timeoutMs passes.
    bool waitForQuit(int timeoutMs = 20000);

    QTemporaryDir scratch;
    QString dataDir;
    QString marker;
    std::unique_ptr<FakeHttpServer> server;
    std::unique_ptr<MainWindow> window;
};

void WorkflowTest::initTestCase() {
    QVERIFY(scratch.isValid());
    // The application's children inherit this: markers land outside the installation.
    marker = scratch.filePath(QStringLiteral("launches.txt"));
    qputenv("QUORVEX_MARKER", marker.toLocal8Bit());
}

void WorkflowTest::init() {
    dataDir = paths::dataDir();
    QVERIFY(dataDir.contains(QStringLiteral("tst_workflow")));
    QDir(dataDir).removeRecursively();
    QVERIFY(QDir().mkpath(dataDir));
    QFile::remove(marker);
    server.reset(new FakeHttpServer);
    QVERIFY(server->isListening());
}

void WorkflowTest::cleanup() {
    window.reset();
    server.reset();
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

bool WorkflowTest::waitForQuit(int timeoutMs) {
    bool quit = false;
    QMetaObject::Connection c = connect(qApp, &QCoreApplication::aboutToQuit, [&] { quit = true; });
    QTimer::singleShot(timeoutMs, qApp, [] { QCoreApplication::exit(1); });
    QCoreApplication::exec();
    disconnect(c);
    return quit;
}

QByteArray WorkflowTest::makeArchive() {
    QTemporaryDir src;
    const QString app = src.filePath(QStringLiteral("quorvex"));
    if (!QFile::copy(QStringLiteral(QUORVEX_MARKER_APP), app)) {
        return QByteArray();
    }
    testenv::writeFile(src.filePath(QStringLiteral("data.bin")), QByteArray(200000, 'd'));
    testenv::writeFile(src.filePath(QStringLiteral("Settings.INI")), "[ui]\n");
    testenv::writeFile(src.filePath(QStringLiteral("sub/nested.txt")), "nested");
    const QString archive = scratch.filePath(QStringLiteral("build.7z"));
    QFile::remove(archive);
    QProcess zip;
    zip.setWorkingDirectory(src.path());
    zip.start(Decompressor::extractorPath(), {"a", archive, "."});
    if (!zip.waitForFinished(60000) || zip.exitCode() != 0) {
        return QByteArray();
    }
    return testenv::readFile(archive);
}

QJsonObject WorkflowTest::entry(const QString& version, const QString& archiveName) const {
    return QJsonObject{{"full", true},
                       {"version", version},
                       {"download_url", server->url("/files/" + archiveName).toString()},
                       {"extract_to", "/app"},
                       {"binary_name", "/quorvex"}};
}

void WorkflowTest::versionSelection_data() {
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("requested"); // the archive fetched; empty: none
    QTest::addColumn<QStringList>("warnings");
    QTest::newRow("1.2.10 beats 1.9")
        << QByteArray(R"([{"full":true,"version":"1.2.10","download_url":"URLnew.7z"},
                          {"full":true,"version":"1.9","download_url":"URLold.7z"}])")
        << "/files/new.7z" << QStringList();
    QTest::newRow("equal numbers keep the first")
        << QByteArray(R"([{"full":true,"version":"1.5","download_url":"URLfirst.7z"},
                          {"full":true,"version":"15","download_url":"URLsecond.7z"}])")
        << "/files/first.7z" << QStringList();
    QTest::newRow("non-objects warned and skipped")
        << QByteArray(R"([7,{"full":true,"version":"3","download_url":"URLa.7z"},"x"])")
        << "/files/a.7z"
        << QStringList{"Недопустимый элемент массива JSON", "Недопустимый элемент массива JSON"};
    QTest::newRow("only non-full entries")
        << QByteArray(R"([{"full":false,"version":"9","download_url":"URLa.7z"},
                          {"version":"8","download_url":"URLb.7z"}])")
        << "" << QStringList{"Не удалось найти полную версию в массиве JSON"};
    QTest::newRow("no digits or overflow never selected")
        << QByteArray(R"([{"full":true,"version":"beta","download_url":"URLa.7z"},
                          {"full":true,"version":"4294967296","download_url":"URLb.7z"}])")
        << "" << QStringList{"Не удалось найти полную версию в массиве JSON"};
    QTest::newRow("empty list") << QByteArray("[]") << ""
                                << QStringList{"Не удалось найти полную версию в массиве JSON"};
    QTest::newRow("not a list") << QByteArray(R"({"full":true})") << ""
                                << QStringList{"Неверный формат JSON"};
}

void WorkflowTest::versionSelection() {
    QFETCH(QByteArray, list);
    QFETCH(QString, requested);
    QFETCH(QStringList, warnings);
    list.replace("URL", server->url("/files/").toString().toUtf8());
    list.replace("\"download_url\"",
                 "\"extract_to\":\"/app\",\"binary_name\":\"/q\",\"download_url\"");
    server->setRoute("/versions.json", FakeResponse::ok(list));
    for (const QString& w : warnings) {
        QTest::ignoreMessage(QtWarningMsg, w.toUtf8());
    }
    if (!requested.isEmpty()) {
        // The archive itself is missing on the server: the run ends with the download error.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Ошибка загрузки:"));
    }
    startWindow();
    QTRY_VERIFY(server->requestCount("/versions.json") == 1);
    if (requested.isEmpty()) {
        QTRY_VERIFY(label() != QStringLiteral("Обновление Quorvex..."));
        QTest::qWait(100); // let any wrongly started download show up
        QCOMPARE(server->requestCount(), 1);
    } else {
        QTRY_COMPARE(label(), QStringLiteral("Ошибка загрузки файла."));
        QCOMPARE(server->requestedPaths(), (QStringList{"/versions.json", requested}));
    }
}

void WorkflowTest::recordReading_data() {
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("firstRequest");
    QTest::newRow("object: verify") << QByteArray(R"({"version":"2.0"})") << "/hashlist.json";
    QTest::newRow("empty object: verify") << QByteArray("{}") << "/hashlist.json";
    QTest::newRow("empty array: install") << QByteArray("[]") << "/versions.json";
    QTest::newRow("empty file: install") << QByteArray() << "/versions.json";
    QTest::newRow("garbage: install") << QByteArray("{\"version\":") << "/versions.json";
}

void WorkflowTest::recordReading() {
    QFETCH(QByteArray, record);
    QFETCH(QString, firstRequest);
    QVERIFY(testenv::writeFile(dataDir + "/latestVersion.json", record));
    if (firstRequest == QLatin1String("/versions.json")) {
        QTest::ignoreMessage(QtWarningMsg, "Файл latestVersion.json содержит некорректный JSON");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Ошибка загрузки списка версий"));
        QTest::ignoreMessage(QtWarningMsg, "Неверный формат JSON");
    } else {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Ошибка загрузки:"));
    }
    startWindow();
    QTRY_VERIFY(server->requestCount() == 1);
    QCOMPARE(server->requestedPaths().first(), firstRequest);
}

void WorkflowTest::verificationRules_data() {
    QTest::addColumn<QStringList>("files");     // name=content
    QTest::addColumn<QStringList>("hashed");    // names listed with their correct digest
    QTest::addColumn<QStringList>("uppercase"); // names listed with an uppercase digest
    QTest::addColumn<QString>("expectedLabel");
    QTest::addColumn<bool>("reinstalls");
    const QString failed = QStringLiteral("Файл %1 не прошел проверку хеша");
    QTest::newRow("all match, launch")
        << QStringList{"quorvex=app", "lib.dll=lib"} << QStringList{"quorvex", "lib.dll"}
        << QStringList() << launched << false;
    QTest::newRow("ini in any case needs no key")
        << QStringList{"quorvex=app", "a.ini=1", "B.INI=2", "c.Ini=3"} << QStringList{"quorvex"}
        << QStringList() << launched << false;
    QTest::newRow("uppercase digest fails")
        << QStringList{"quorvex=app"} << QStringList() << QStringList{"quorvex"}
        << failed.arg("quorvex") << true;
    QTest::newRow("file without key fails")
        << QStringList{"quorvex=app", "extra.dat=x"} << QStringList{"quorvex"} << QStringList()
        << failed.arg("extra.dat") << true;
    QTest::newRow("first mismatch in name order, ignoring case")
        << QStringList{"quorvex=app", "b.dll=bad", "A.dll=bad"} << QStringList{"quorvex"}
        << QStringList() << failed.arg("A.dll") << true;
    QTest::newRow("missing installation verifies clean")
        << QStringList() << QStringList() << QStringList() << notFound << false;
}

void WorkflowTest::verificationRules() {
    QFETCH(QStringList, files);
    QFETCH(QStringList, hashed);
    QFETCH(QStringList, uppercase);
    QFETCH(QString, expectedLabel);
    QFETCH(bool, reinstalls);
    const QString appDir = dataDir + "/app";
    QJsonObject hashes;
    for (const QString& file : files) {
        const QString name = file.section('=', 0, 0);
        const QByteArray content = file.section('=', 1).toUtf8();
        if (name == QLatin1String("quorvex")) {
            QVERIFY(
                QFile::copy(QUORVEX_MARKER_APP, appDir + "/quorvex") ||
                (QDir().mkpath(appDir) && QFile::copy(QUORVEX_MARKER_APP, appDir + "/quorvex")));
        } else {
            QVERIFY(testenv::writeFile(appDir + "/" + name, content));
        }
    }
    for (const QString& name : hashed + uppercase) {
        QByteArray digest = sha256Hex(testenv::readFile(appDir + "/" + name));
        hashes[name] = QString::fromLatin1(uppercase.contains(name) ? digest.toUpper() : digest);
    }
    testenv::writeFile(dataDir + "/latestVersion.json",
                       R"({"version":"1","extract_to":"/app","binary_name":"/quorvex"})");
    server->setRoute("/hashlist.json", FakeResponse::ok(json(hashes)));
    server->setRoute("/versions.json", FakeResponse::ok("[]"));
    if (expectedLabel == notFound) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Файл не найден:"));
    }
    if (reinstalls) {
        QTest::ignoreMessage(QtWarningMsg, "Не удалось найти полную версию в массиве JSON");
    }
    startWindow();
    if (expectedLabel == launched) {
        QVERIFY(waitForQuit());
        QCOMPARE(label(), launched);
        QTRY_VERIFY(QFile::exists(marker));
        return;
    }
    QTRY_VERIFY(server->requestCount("/hashlist.json") == 1);
    if (reinstalls) {
        QTRY_VERIFY(server->requestCount("/versions.json") == 1);
        // The mismatch was announced just before the list request replaced the label.
        QTRY_COMPARE(label(), QStringLiteral("На сервере не найдена полная версия."));
    } else {
        QTRY_COMPARE(label(), expectedLabel);
        QTest::qWait(100);
        QCOMPARE(server->requestCount("/versions.json"), 0);
        // The record of an installation that is not there is dropped: the next run installs.
        QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    }
}

void WorkflowTest::firstMismatchStartsInstallation() {
    // The name of the failing file is shown while the version list loads.
    QVERIFY(testenv::writeFile(dataDir + "/app/b.dll", "bad"));
    QVERIFY(testenv::writeFile(dataDir + "/app/A.dll", "bad"));
    QVERIFY(testenv::writeFile(dataDir + "/latestVersion.json", R"({"extract_to":"/app"})"));
    server->setRoute("/hashlist.json", FakeResponse::ok("{}"));
    FakeResponse stalled = FakeResponse::ok("[]");
    stalled.stall = FakeResponse::Stall::BeforeHeaders;
    server->setRoute("/versions.json", stalled);
    startWindow();
    QTRY_VERIFY(server->requestCount("/versions.json") == 1);
    QCOMPARE(label(), QStringLiteral("Файл A.dll не прошел проверку хеша"));
}

void WorkflowTest::fullInstallation() {
    const QByteArray archive = makeArchive();
    QVERIFY(!archive.isEmpty());
    QJsonObject chosen = entry("2.0.1", "quorvex 2.0.1.7z");
    chosen["notes"] = "kept"; // unknown keys travel into the record
    const QJsonObject older = entry("1.0", "old.7z");
    server->setRoute("/versions.json",
                     FakeResponse::ok("[" + json(older) + "," + json(chosen) + "]"));
    server->setRoute("/files/quorvex%202.0.1.7z", FakeResponse::ok(archive));
    // Whatever was installed before is wiped.
    QVERIFY(testenv::writeFile(dataDir + "/app/stale.dll", "old"));
    startWindow();
    QVERIFY(waitForQuit());
    QCOMPARE(label(), launched);
    QTRY_VERIFY(QFile::exists(marker));
    QVERIFY(!QFile::exists(dataDir + "/app/stale.dll"));
    QCOMPARE(testenv::readFile(dataDir + "/app/sub/nested.txt"), QByteArray("nested"));
    QVERIFY(QFile::exists(dataDir + "/update/quorvex 2.0.1.7z"));
    const QJsonObject record =
        QJsonDocument::fromJson(testenv::readFile(dataDir + "/latestVersion.json")).object();
    QCOMPARE(record, chosen);
}

void WorkflowTest::removalGuard_data() {
    QTest::addColumn<QString>("extractTo");
    QTest::addColumn<QString>("binaryName");
    QTest::newRow("empty") << ""
                           << "/quorvex";
    QTest::newRow("root") << "/"
                          << "/quorvex";
    QTest::newRow("parent") << "/.."
                            << "/quorvex";
    QTest::newRow("climbing back") << "/a/../.."
                                   << "/quorvex";
    QTest::newRow("download folder") << "/update"
                                     << "/quorvex";
    QTest::newRow("binary outside") << "/app"
                                    << "/../../../bin/true";
}

void WorkflowTest::removalGuard() {
    QFETCH(QString, extractTo);
    QFETCH(QString, binaryName);
    QJsonObject hostile = entry("5", "a.7z");
    hostile["extract_to"] = extractTo;
    hostile["binary_name"] = binaryName;
    server->setRoute("/versions.json", FakeResponse::ok("[" + json(hostile) + "]"));
    QVERIFY(testenv::writeFile(dataDir + "/app/keep.dll", "keep"));
    QVERIFY(testenv::writeFile(dataDir + "/update/keep.7z", "keep"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Недопустимая запись в списке версий"));
    startWindow();
    QTRY_VERIFY(label().startsWith(QStringLiteral("Недопустимая версия в списке версий")));
    QTest::qWait(100);
    QCOMPARE(server->requestCount(), 1); // the archive is not even fetched
    QCOMPARE(testenv::readFile(dataDir + "/app/keep.dll"), QByteArray("keep"));
    QCOMPARE(testenv::readFile(dataDir + "/update/keep.7z"), QByteArray("keep"));
}

void WorkflowTest::archiveIntegrity_data() {
    QTest::addColumn<QString>("sizeKey"); // "": absent, "right", "wrong"
    QTest::addColumn<QString>("shaKey");  // "": absent, "right", "wrong", "upper"
    QTest::addColumn<bool>("installs");
    QTest::newRow("no keys") << ""
                             << "" << true;
    QTest::newRow("both right") << "right"
                                << "right" << true;
    QTest::newRow("size wrong") << "wrong"
                                << "right" << false;
    QTest::newRow("digest wrong") << "right"
                                  << "wrong" << false;
    QTest::newRow("digest uppercase") << ""
                                      << "upper" << false;
}

void WorkflowTest::archiveIntegrity() {
    QFETCH(QString, sizeKey);
    QFETCH(QString, shaKey);
    QFETCH(bool, installs);
    const QByteArray archive = makeArchive();
    QVERIFY(!archive.isEmpty());
    QJsonObject e = entry("3", "q.7z");
    if (!sizeKey.isEmpty()) {
        e["size"] = double(archive.size() + (sizeKey == QLatin1String("wrong") ? 1 : 0));
    }
    const QByteArray digest = sha256Hex(archive);
    if (shaKey == QLatin1String("right")) {
        e["sha256"] = QString::fromLatin1(digest);
    } else if (shaKey == QLatin1String("wrong")) {
        e["sha256"] = QString::fromLatin1(sha256Hex("other"));
    } else if (shaKey == QLatin1String("upper")) {
        e["sha256"] = QString::fromLatin1(digest.toUpper());
    }
    server->setRoute("/versions.json", FakeResponse::ok("[" + json(e) + "]"));
    server->setRoute("/files/q.7z", FakeResponse::ok(archive));
    QVERIFY(testenv::writeFile(dataDir + "/app/keep.dll", "keep"));
    if (!installs) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Архив|архива"));
    }
    startWindow();
    if (installs) {
        QVERIFY(waitForQuit());
        QCOMPARE(label(), launched);
        QVERIFY(!QFile::exists(dataDir + "/app/keep.dll"));
    } else {
        QTRY_COMPARE(label(), QStringLiteral("Ошибка загрузки файла."));
        QCOMPARE(testenv::readFile(dataDir + "/app/keep.dll"), QByteArray("keep"));
        QVERIFY(!QFile::exists(dataDir + "/update/q.7z"));
    }
}

void WorkflowTest::cancelDuringSlowVersionList() {
    FakeResponse slow = FakeResponse::ok(QByteArray(64 * 1024, ' ') + "[]");
    slow.trickleBytes = 1024;
    slow.trickleIntervalMs = 20;
    server->setRoute("/versions.json", slow);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Ошибка загрузки списка версий"));
    QTest::ignoreMessage(QtWarningMsg, "Неверный формат JSON");
    startWindow();
    QTRY_VERIFY(bar() > 0);
    window->findChild<QPushButton*>("cancelButton")->click();
    QCOMPARE(label(), QStringLiteral("Загрузка отменена"));
    QCOMPARE(bar(), 0);
    QTest::qWait(200); // the trickle would have moved the bar again
    QCOMPARE(bar(), 0);
}

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
    QApplication app(argc, argv);
    WorkflowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_workflow.moc"
