// The start-up hand-offs of the real updater: to a separate update program and to the copy of
// the updater installed in its data directory.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "testenv.h"

class HandOffTest : public QObject {
    Q_OBJECT
private slots:
    void handOff_data();
    void handOff();
    void installedCopyDoesNotRelaunchItself();
};

void HandOffTest::handOff_data() {
    QTest::addColumn<QStringList>("programs"); // installed under the data directory
    QTest::newRow("installed updater copy") << QStringList{"qv_updater.exe"};
    QTest::newRow("separate update program") << QStringList{"bin/qv_update.exe"};
    QTest::newRow("both") << QStringList{"bin/qv_update.exe", "qv_updater.exe"};
    QTest::newRow("a directory at the copy's path") << QStringList{"qv_updater.exe/"};
}

void HandOffTest::handOff() {
    QFETCH(QStringList, programs);
    QTemporaryDir home;
    const QString dataDir = home.filePath("qv_updater");
    const QString marker = home.filePath("launches.txt");
    bool anyProgram = false;
    for (const QString& program : programs) {
        const QString path = dataDir + "/" + program;
        if (program.endsWith('/')) {
            QVERIFY(QDir().mkpath(path));
            continue;
        }
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(QFile::copy(testenv::markerAppPath(), path));
        anyProgram = true;
    }
    const QByteArray record = "{\n    \"version\": \"1\"\n}\n";
    QVERIFY(testenv::writeFile(dataDir + "/latestVersion.json", record));

    testenv::RunOptions options;
    options.environment = testenv::updaterEnvironment(home.path());
    options.environment.insert("QUORVEX_MARKER", marker);
    options.timeoutMs = 20000;
    // A run that hands off quits by itself; one that does not goes on with its own workflow
    // (its first request shows that) and is stopped.
    options.stopWhen = [](const testenv::RunResult& r) {
        return r.standardError.contains("Ошибка при запуске процесса");
    };
    const testenv::RunResult result = testenv::runUpdater(options);
    if (anyProgram) {
        QVERIFY2(result.finished, result.standardError.constData());
        QCOMPARE(result.exitCode, 0);
        QTRY_COMPARE(testenv::readMarker(marker).size(), programs.size());
    } else {
        // A directory passes the existence test and fails to start; the updater stays.
        QVERIFY2(result.stopped, result.standardError.constData());
        QVERIFY(testenv::readMarker(marker).isEmpty());
    }
    // Nothing that ran before the record was read may replace it.
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), record);
}

void HandOffTest::installedCopyDoesNotRelaunchItself() {
    // The copy's data directory is named after its own file name up to the first dot, so it
    // is the directory the copy sits in: it must carry on instead of starting itself again.
    QTemporaryDir home;
    const QString dataDir = home.filePath("qv_updater");
    const QString copy = dataDir + "/qv_updater.exe";
    QVERIFY(QDir().mkpath(dataDir));
    QVERIFY(QFile::copy(testenv::updaterPath(), copy));
    testenv::RunOptions options;
    options.environment = testenv::updaterEnvironment(home.path());
    options.timeoutMs = 20000;
    options.stopWhen = [](const testenv::RunResult& r) {
        return r.standardError.contains("Приложение не найдено!");
    };
    const testenv::RunResult result = testenv::run(copy, {}, options);
    QVERIFY2(result.stopped, result.standardError.constData());
    QVERIFY2(result.standardError.contains(("Приложение не найдено! \"" + copy + "\"").toUtf8()),
             result.standardError.constData());
    QVERIFY(!result.standardError.contains("Приложение найдено!"));
}

QTEST_GUILESS_MAIN(HandOffTest)
#include "tst_handoff.moc"
