// The real qv_updater binary against nginx serving a release on the port compiled into it:
// install, verify, repair after tampering, a missing version list, and a run killed right
// after the installation directory was wiped.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "buildconfig.h"
#include "decompressor.h"
#include "nginxserver.h"
#include "sha256.h"
#include "testenv.h"

namespace {
int lineCount(const QString& path) {
    return testenv::readFile(path).count('\n');
}

// A running updater whose diagnostics are collected as they arrive.
struct UpdaterRun {
    QProcess process;
    QByteArray log;
    bool logged(const char* text) const { return log.contains(text); }
};
} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void installVerifyRepair();
    void missingVersionListLeavesInstallation();
    void killedAfterWipeIsRepaired();

private:
    // Publishes version label into the server root: archive, version list, hash list.
    void publish(const QString& label, const QByteArray& payload);
    std::unique_ptr<UpdaterRun> start();
    // Runs the updater until it quits by itself; false if it is still running after 60 s.
    bool runToQuit(QByteArray* log = nullptr);

    QTemporaryDir work;
    QString root;
    QString home;
    QString dataDir;
    QString marker;
    QString baseUrl;
    NginxServer nginx;
    QJsonObject published;
};

void EndToEndTest::initTestCase() {
    const QUrl server(QStringLiteral(QUORVEX_SERVER_URL));
    if (server.host() != QLatin1String("127.0.0.1") || server.port() <= 0) {
        QSKIP("The updater is not built against a loopback server (QUORVEX_SERVER_URL)");
    }
    QVERIFY(work.isValid());
    root = work.filePath("server");
    home = work.filePath("home");
    dataDir = home + "/qv_updater";
    marker = work.filePath("launches.txt");
    baseUrl = server.toString();
    QVERIFY(QDir().mkpath(root));
    QVERIFY(nginx.start(root, quint16(server.port())));
}

void EndToEndTest::cleanupTestCase() {
    nginx.stop();
}

void EndToEndTest::publish(const QString& label, const QByteArray& payload) {
    QTemporaryDir src;
    QVERIFY(QFile::copy(QUORVEX_MARKER_APP, src.filePath("quorvex")));
    QVERIFY(testenv::writeFile(src.filePath("payload.dat"), payload));
    QVERIFY(testenv::writeFile(src.filePath("quorvex.ini"), "[user]\n"));
    QVERIFY(testenv::writeFile(src.filePath("plugins/readme.txt"), "not verified"));
    const QString name = "quorvex-" + label + ".7z";
    QFile::remove(root + "/" + name);
    QProcess zip;
    zip.setWorkingDirectory(src.path());
    zip.start(Decompressor::extractorPath(), {"a", root + "/" + name, "."});
    QVERIFY(zip.waitForFinished(60000));
    QCOMPARE(zip.exitCode(), 0);

    QJsonObject hashes;
    for (const QString& file : {QStringLiteral("quorvex"), QStringLiteral("payload.dat")}) {
        QString digest;
        QVERIFY(Sha256::hashFile(src.filePath(file), &digest));
        hashes[file] = digest;
    }
    published = QJsonObject{{"full", true},
                            {"version", label},
                            {"download_url", baseUrl + "/" + name},
                            {"extract_to", "/Quorvex"},
                            {"binary_name", "/quorvex"}};
    testenv::writeFile(
        root + "/versions.json",
        QJsonDocument(QJsonArray{QJsonObject{{"full", false}, {"version", "99"}}, published})
            .toJson());
    QVERIFY(testenv::writeFile(root + "/hashlist.json", QJsonDocument(hashes).toJson()));
}

std::unique_ptr<UpdaterRun> EndToEndTest::start() {
    auto run = std::make_unique<UpdaterRun>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home);
    env.insert("QUORVEX_MARKER", marker);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    run->process.setProcessEnvironment(env);
    run->process.setProcessChannelMode(QProcess::MergedChannels);
    UpdaterRun* raw = run.get();
    QObject::connect(&raw->process, &QProcess::readyRead,
                     [raw] { raw->log += raw->process.readAll(); });
    run->process.start(qEnvironmentVariable("QUORVEX_TEST_BINARY_DIR") + "/qv_updater",
                       QStringList());
    return run;
}

bool EndToEndTest::runToQuit(QByteArray* log) {
    auto run = start();
    const bool quit = run->process.waitForFinished(60000) &&
                      run->process.exitStatus() == QProcess::NormalExit &&
                      run->process.exitCode() == 0;
    run->log += run->process.readAll();
    if (log) {
        *log = run->log;
    }
    if (!quit) {
        qWarning("updater did not quit by itself:\n%s", run->log.constData());
        run->process.kill();
        run->process.waitForFinished();
    }
    return quit;
}

void EndToEndTest::installVerifyRepair() {
    publish("1.0", QByteArray(300000, 'a'));
    QByteArray log;

    // First run: nothing installed, full installation, launch, record.
    QVERIFY(runToQuit(&log));
    QVERIFY(log.contains("Каталог успешно очищен."));
    QTRY_COMPARE(lineCount(marker), 1);
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"),
             QJsonDocument(published).toJson(QJsonDocument::Indented));
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/plugins/readme.txt"),
             QByteArray("not verified"));

    // Second run: verified and launched without touching the installation.
    QVERIFY(runToQuit(&log));
    QVERIFY(!log.contains("Каталог успешно очищен."));
    QVERIFY(!log.contains("versions.json"));
    QTRY_COMPARE(lineCount(marker), 2);

    // A changed settings file is the user's business; a changed payload is repaired.
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/quorvex.ini", "[user]\nchanged=1\n"));
    QVERIFY(runToQuit(&log));
    QVERIFY(!log.contains("Каталог успешно очищен."));
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/payload.dat", "tampered"));
    QVERIFY(runToQuit(&log));
    QVERIFY(log.contains("Каталог успешно очищен."));
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/payload.dat"), QByteArray(300000, 'a'));
    QTRY_COMPARE(lineCount(marker), 4);
}

void EndToEndTest::missingVersionListLeavesInstallation() {
    publish("1.1", QByteArray(1000, 'b'));
    QVERIFY(runToQuit());
    const QByteArray record = testenv::readFile(dataDir + "/latestVersion.json");
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/payload.dat", "tampered"));
    QFile::remove(root + "/versions.json"); // nginx answers 404

    auto run = start();
    QTRY_VERIFY_WITH_TIMEOUT(run->logged("Неверный формат JSON"), 30000);
    QCOMPARE(run->process.state(), QProcess::Running); // the window stays with its message
    run->process.kill();
    run->process.waitForFinished();
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/payload.dat"), QByteArray("tampered"));
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), record);
    QVERIFY(QFile::exists(dataDir + "/Quorvex/quorvex"));
}

void EndToEndTest::killedAfterWipeIsRepaired() {
    // A large payload keeps 7-Zip busy for a moment after the wipe.
    QByteArray payload(64 * 1024 * 1024, '\0');
    for (int i = 0; i < payload.size(); i += 4096) {
        payload[i] = char(i / 4096);
    }
    publish("2.0", payload);
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/payload.dat", "tampered"));
    auto run = start();
    QTRY_VERIFY_WITH_TIMEOUT(run->logged("Каталог успешно очищен."), 60000);
    run->process.kill();
    run->process.waitForFinished();
    const int launchesBefore = lineCount(marker);

    // The record went with the wipe, so the next run installs again instead of verifying
    // whatever was left half-extracted.
    QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    QByteArray log;
    QVERIFY(runToQuit(&log));
    QVERIFY(log.contains("Каталог успешно очищен."));
    QTRY_COMPARE(lineCount(marker), launchesBefore + 1);
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/payload.dat"), payload);
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"),
             QJsonDocument(published).toJson(QJsonDocument::Indented));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
