// What qv_publish writes, the real updater installs, verifies and updates: the stand-in
// application published as 1.0 and 1.1, served by nginx on the port compiled into the updater.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "buildconfig.h"

#include <csignal>
#include <sys/types.h>

namespace {
QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString binaryDir() {
    return qEnvironmentVariable("QUORVEX_TEST_BINARY_DIR");
}

bool processAlive(qint64 pid) {
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}
} // namespace

class TestPublishRoundTrip : public QObject {
    Q_OBJECT

private:
    QTemporaryDir root;
    QString serverDir;
    QString stateDir;
    QString dataHome;
    QString dataDir;
    QUrl serverUrl;
    bool serving = false;

    QString marker() const { return dataDir + QStringLiteral("/app/quorvex.started.ini"); }

    bool nginx(const QStringList& arguments) {
        QProcess script;
        script.setProcessChannelMode(QProcess::ForwardedChannels);
        script.start(QStringLiteral(QUORVEX_SOURCE_DIR "/scripts/nginx.sh"), arguments);
        return script.waitForFinished(30000) && script.exitStatus() == QProcess::NormalExit &&
               script.exitCode() == 0;
    }

    void publish(const QString& version) {
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(binaryDir() + QStringLiteral("/qv_publish"),
                   {QStringLiteral("publish"), QStringLiteral("--app-dir"),
                    binaryDir() + QStringLiteral("/demo/app-") + version,
                    QStringLiteral("--version"), version, QStringLiteral("--base-url"),
                    serverUrl.toString(), QStringLiteral("--extract-to"), QStringLiteral("/app"),
                    QStringLiteral("--binary-name"), QStringLiteral("/quorvex"),
                    QStringLiteral("--server-dir"), serverDir});
        QVERIFY(tool.waitForFinished(120000));
        QVERIFY2(tool.exitCode() == 0, tool.readAll().constData());
    }

    // The requests nginx logged so far ("GET /versions.json 200").
    QStringList requests() const {
        QStringList lines;
        const QList<QByteArray> log = readAll(stateDir + QStringLiteral("/access.log")).split('\n');
        for (const QByteArray& line : log) {
            const QList<QByteArray> quoted = line.split('"');
            if (quoted.size() > 2) {
                const QList<QByteArray> request = quoted.at(1).split(' ');
                const QByteArray status = quoted.at(2).trimmed().split(' ').value(0);
                lines << QString::fromLatin1(request.value(0) + ' ' + request.value(1) + ' ' +
                                             status);
            }
        }
        return lines;
    }

    // Runs the updater to its end and returns the requests it made and the launched version.
    void runUpdater(QStringList* made, QString* launched) {
        QFile::remove(marker());
        const int before = requests().size();
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QUORVEX_DEMO_QUIT_AFTER_MS"), QStringLiteral("100"));
        updater.setProcessEnvironment(env);
        updater.setProcessChannelMode(QProcess::MergedChannels);
        updater.start(binaryDir() + QStringLiteral("/qv_updater"), QStringList());
        const bool ended = updater.waitForFinished(60000);
        if (!ended) {
            updater.kill();
            updater.waitForFinished();
        }
        QVERIFY2(ended, updater.readAll().constData());
        QCOMPARE(updater.exitCode(), 0);
        *made = requests().mid(before);

        // The application is detached: wait for its marker, then for it to close.
        QVERIFY2(QTest::qWaitFor([&] { return QFileInfo(marker()).size() > 0; }, 20000),
                 updater.readAll().constData());
        QSettings started(marker(), QSettings::IniFormat);
        *launched = started.value(QStringLiteral("version")).toString();
        const qint64 pid = started.value(QStringLiteral("pid")).toLongLong();
        QVERIFY(QTest::qWaitFor([&] { return !processAlive(pid); }, 20000));
    }

    // The record is the published entry, written as the updater writes it.
    void compareRecordWithEntry(const QString& version) {
        const QJsonArray list =
            QJsonDocument::fromJson(readAll(serverDir + QStringLiteral("/versions.json"))).array();
        QJsonObject entry;
        for (const QJsonValue& element : list) {
            if (element.toObject().value(QStringLiteral("version")).toString() == version) {
                entry = element.toObject();
            }
        }
        QVERIFY(!entry.isEmpty());
        QCOMPARE(readAll(dataDir + QStringLiteral("/latestVersion.json")),
                 QJsonDocument(entry).toJson(QJsonDocument::Indented));
    }

private slots:
    void initTestCase() {
        serverUrl = QUrl(QStringLiteral(QUORVEX_SERVER_URL));
        if (serverUrl.scheme() != QLatin1String("http") ||
            serverUrl.host() != QLatin1String("127.0.0.1") || serverUrl.port() <= 0) {
            QSKIP("the updater is not built for a server on 127.0.0.1 with a port");
        }
        QVERIFY(root.isValid());
        // nginx's worker may run as another user: it must be able to read the served tree.
        QFile(root.path())
            .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                            QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup |
                            QFile::ExeGroup);
        serverDir = root.filePath(QStringLiteral("server"));
        stateDir = root.filePath(QStringLiteral("nginx"));
        dataHome = root.filePath(QStringLiteral("data"));
        dataDir = dataHome + QStringLiteral("/qv_updater");
        QVERIFY(QDir().mkpath(serverDir));
        QVERIFY(nginx(
            {QStringLiteral("start"), serverDir, QString::number(serverUrl.port()), stateDir}));
        serving = true;
    }

    void cleanupTestCase() {
        if (serving) {
            nginx({QStringLiteral("stop"), stateDir});
        }
    }

    void installUpdateVerifyAndRepair() {
        QStringList made;
        QString launched;

        publish(QStringLiteral("1.0"));
        runUpdater(&made, &launched);
        QCOMPARE(made, (QStringList{"GET /versions.json 200", "GET /quorvex-1.0.7z 200"}));
        QCOMPARE(launched, QStringLiteral("1.0"));
        compareRecordWithEntry(QStringLiteral("1.0"));

        // A new version: the installed files no longer match the hash list.
        publish(QStringLiteral("1.1"));
        runUpdater(&made, &launched);
        QCOMPARE(made, (QStringList{"GET /hashlist.json 200", "GET /versions.json 200",
                                    "GET /quorvex-1.1.7z 200"}));
        QCOMPARE(launched, QStringLiteral("1.1"));
        compareRecordWithEntry(QStringLiteral("1.1"));

        // Unchanged: verified and launched without a download.
        runUpdater(&made, &launched);
        QCOMPARE(made, QStringList{"GET /hashlist.json 200"});
        QCOMPARE(launched, QStringLiteral("1.1"));

        // A damaged installed file is noticed and the newest version is installed again.
        const QString readme = dataDir + QStringLiteral("/app/readme.txt");
        const QByteArray original = readAll(readme);
        {
            QFile file(readme);
            QVERIFY(file.open(QIODevice::Append));
            file.write("tampered\n");
        }
        runUpdater(&made, &launched);
        QCOMPARE(made, (QStringList{"GET /hashlist.json 200", "GET /versions.json 200",
                                    "GET /quorvex-1.1.7z 200"}));
        QCOMPARE(launched, QStringLiteral("1.1"));
        QCOMPARE(readAll(readme), original);
        compareRecordWithEntry(QStringLiteral("1.1"));
    }
};

QTEST_GUILESS_MAIN(TestPublishRoundTrip)
#include "tst_publish_roundtrip.moc"
