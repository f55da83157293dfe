#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "decompressor.h"
#include "fakehttpserver.h"
#include "testenv.h"

namespace {

const QString UnpackError = QStringLiteral("Ошибка при распаковке архива");
const QString ProcessErrorPrefix = QStringLiteral("Ошибка процесса: ");
const QString StartErrorPrefix = QStringLiteral("Ошибка запуска процесса: ");

// Waits for the first report, then gives a further one the chance to arrive.
#define WAIT_FOR_REPORTS(spy, expected, timeoutMs)                                                 \
    do {                                                                                           \
        QVERIFY2(QTest::qWaitFor([&]() { return (spy).count() >= (expected); }, (timeoutMs)),      \
                 "too few decompressionFinished");                                                 \
        QVERIFY2(!QTest::qWaitFor([&]() { return (spy).count() > (expected); }, 200),              \
                 "too many decompressionFinished");                                                \
    } while (false)

testenv::Tree sampleTree() {
    testenv::Tree tree;
    tree.insert(QStringLiteral("readme.txt"), "Quorvex\r\nline two\n");
    tree.insert(QStringLiteral("empty.txt"), QByteArray());
    tree.insert(QStringLiteral(".hidden"), "hidden");
    tree.insert(QStringLiteral("name with spaces.ini"), "[section]\nkey=value\n");
    tree.insert(QStringLiteral("bin/"), QByteArray());
    tree.insert(QStringLiteral("bin/app.exe"), FakeHttpServer::generatedBytes(7, 300 * 1024));
    tree.insert(QStringLiteral("bin/data/"), QByteArray());
    tree.insert(QStringLiteral("bin/data/deep file.dat"), FakeHttpServer::generatedBytes(0, 4097));
    tree.insert(QStringLiteral("данные/"), QByteArray());
    tree.insert(QStringLiteral("данные/файл.txt"), "текст");
    tree.insert(QStringLiteral("empty dir/"), QByteArray());
    return tree;
}

} // namespace

class TestDecompressor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void realSevenZip();
    void realSevenZipFailures_data();
    void realSevenZipFailures();
    void exitCodes_data();
    void exitCodes();
    void crash();
    void extractorNotStartable_data();
    void extractorNotStartable();
    void commandLine();
    void finishesThroughEventLoop();
    void destructorWaitsSilently();

private:
    QString path(const QString& relative) const {
        return tmp->path() + QLatin1Char('/') + relative;
    }
    void useFakeExtractor(const QByteArray& steps);

    std::unique_ptr<QTemporaryDir> tmp;
};

void TestDecompressor::initTestCase() {
    testenv::privateDataHome();
    QVERIFY(QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/7Z/7z.exe"))
                .isExecutable());
}

void TestDecompressor::init() {
    tmp.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/decompressor test XXXXXX")));
    QVERIFY(tmp->isValid());
    QVERIFY(tmp->path().contains(QLatin1Char(' ')));
}

void TestDecompressor::cleanup() {
    Decompressor::setExtractorPathOverride(QString());
    qunsetenv("QUORVEX_FAKE_EXTRACTOR");
    qunsetenv("QUORVEX_FAKE_EXTRACTOR_LOG");
    tmp.reset();
}

void TestDecompressor::useFakeExtractor(const QByteArray& steps) {
    Decompressor::setExtractorPathOverride(testenv::fakeExtractorPath());
    qputenv("QUORVEX_FAKE_EXTRACTOR", steps);
}

void TestDecompressor::realSevenZip() {
    QCOMPARE(Decompressor::extractorPath(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/7Z/7z.exe"));
    const testenv::Tree tree = sampleTree();
    QVERIFY(testenv::writeTree(path(QStringLiteral("source tree")), tree));
    const QString archive = path(QStringLiteral("down loads/archive with spaces.7z"));
    QVERIFY(QDir().mkpath(QFileInfo(archive).path()));
    QString log;
    QVERIFY2(testenv::make7z(path(QStringLiteral("source tree")), archive, &log), qPrintable(log));
    const QString target = path(QStringLiteral("install dir/Quorvex App"));

    Decompressor decompressor;
    QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
    decompressor.extract(archive, target);
    WAIT_FOR_REPORTS(finished, 1, 60000);
    QCOMPARE(finished.first().at(0).toBool(), true);
    QCOMPARE(finished.first().at(1).toString(), QString());
    QCOMPARE(testenv::diffTrees(tree, testenv::readTree(target)), QStringList());
}

void TestDecompressor::realSevenZipFailures_data() {
    QTest::addColumn<QByteArray>("archiveBytes"); // empty: no archive file at all
    QTest::addColumn<bool>("truncateValid");

    QTest::newRow("missing archive") << QByteArray() << false;
    QTest::newRow("not an archive") << FakeHttpServer::generatedBytes(11, 5000) << false;
    QTest::newRow("truncated archive") << QByteArray() << true;
}

void TestDecompressor::realSevenZipFailures() {
    QFETCH(QByteArray, archiveBytes);
    QFETCH(bool, truncateValid);
    const QString archive = path(QStringLiteral("archive.7z"));
    if (truncateValid) {
        QVERIFY(testenv::writeTree(path(QStringLiteral("source")), sampleTree()));
        QVERIFY(testenv::make7z(path(QStringLiteral("source")), archive));
        const QByteArray whole = testenv::readFile(archive);
        QVERIFY(testenv::writeFile(archive, whole.left(whole.size() / 2)));
    } else if (!archiveBytes.isEmpty()) {
        QVERIFY(testenv::writeFile(archive, archiveBytes));
    }

    Decompressor decompressor;
    QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
    decompressor.extract(archive, path(QStringLiteral("out")));
    WAIT_FOR_REPORTS(finished, 1, 60000);
    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(finished.first().at(1).toString(), UnpackError);
}

void TestDecompressor::exitCodes_data() {
    QTest::addColumn<int>("exitCode");
    for (int code : {0, 1, 2, 7, 255}) {
        QTest::addRow("exit %d", code) << code;
    }
}

void TestDecompressor::exitCodes() {
    QFETCH(int, exitCode);
    useFakeExtractor("exit:" + QByteArray::number(exitCode));

    Decompressor decompressor;
    QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
    decompressor.extract(path(QStringLiteral("a.7z")), path(QStringLiteral("out")));
    WAIT_FOR_REPORTS(finished, 1, 20000);
    QCOMPARE(finished.first().at(0).toBool(), exitCode == 0);
    QCOMPARE(finished.first().at(1).toString(), exitCode == 0 ? QString() : UnpackError);
}

void TestDecompressor::crash() {
    useFakeExtractor("crash");
    Decompressor decompressor;
    QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
    decompressor.extract(path(QStringLiteral("a.7z")), path(QStringLiteral("out")));
    WAIT_FOR_REPORTS(finished, 2, 20000);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    const QString first = finished.at(0).at(1).toString();
    QVERIFY2(first.startsWith(ProcessErrorPrefix) && first.size() > ProcessErrorPrefix.size(),
             qPrintable(first));
    QCOMPARE(finished.at(1).at(0).toBool(), false);
    QCOMPARE(finished.at(1).at(1).toString(), UnpackError);
}

void TestDecompressor::extractorNotStartable_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("not executable") << "plain file";
    QTest::newRow("directory") << "directory";
}

void TestDecompressor::extractorNotStartable() {
    QFETCH(QString, kind);
    const QString program = path(QStringLiteral("7Z dir/7z.exe"));
    if (kind == QLatin1String("plain file")) {
        QVERIFY(testenv::writeFile(program, "#!/bin/sh\nexit 0\n"));
        QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner);
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(program));
    }
    Decompressor::setExtractorPathOverride(program);

    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(QStringLiteral("^Ошибка запуска процесса: \".+\"$")));
    Decompressor decompressor;
    QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
    decompressor.extract(path(QStringLiteral("a.7z")), path(QStringLiteral("out")));
    WAIT_FOR_REPORTS(finished, 2, 40000);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(finished.at(1).at(0).toBool(), false);
    const QString first = finished.at(0).at(1).toString();
    const QString second = finished.at(1).at(1).toString();
    QVERIFY2(first.startsWith(ProcessErrorPrefix), qPrintable(first));
    QVERIFY2(second.startsWith(StartErrorPrefix), qPrintable(second));
    const QString reason = first.mid(ProcessErrorPrefix.size());
    QVERIFY(!reason.isEmpty());
    QCOMPARE(second.mid(StartErrorPrefix.size()), reason);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("out"))));
}

void TestDecompressor::commandLine() {
    const QString log = path(QStringLiteral("extractor log"));
    useFakeExtractor("exit:0");
    qputenv("QUORVEX_FAKE_EXTRACTOR_LOG", QFile::encodeName(log));
    const QString archive = path(QStringLiteral("my downloads/archive with spaces.7z"));
    const QString target = path(QStringLiteral("install dir/Quorvex App"));

    Decompressor decompressor;
    QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
    decompressor.extract(archive, target);
    WAIT_FOR_REPORTS(finished, 1, 20000);
    QCOMPARE(finished.first().at(0).toBool(), true);
    const QList<QStringList> runs = testenv::readExtractorLog(log);
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first(),
             (QStringList{QStringLiteral("x"), archive, QStringLiteral("-o") + target}));
}

void TestDecompressor::finishesThroughEventLoop() {
    useFakeExtractor("sleep:300,exit:0");
    Decompressor decompressor;
    QSignalSpy finished(&decompressor, &Decompressor::decompressionFinished);
    decompressor.extract(path(QStringLiteral("a.7z")), path(QStringLiteral("out")));
    // extract() waits for the start only; the outcome arrives later.
    QCOMPARE(finished.count(), 0);
    WAIT_FOR_REPORTS(finished, 1, 20000);
    QCOMPARE(finished.first().at(0).toBool(), true);
}

void TestDecompressor::destructorWaitsSilently() {
    const QString done = path(QStringLiteral("extractor done"));
    useFakeExtractor("sleep:300,touch:" + QFile::encodeName(done) + ",exit:3");
    auto* decompressor = new Decompressor;
    QSignalSpy finished(decompressor, &Decompressor::decompressionFinished);
    decompressor->extract(path(QStringLiteral("a.7z")), path(QStringLiteral("out")));
    QVERIFY(!QFile::exists(done));

    // The destructor waits for the running extractor; whoever listened is already going
    // away, so no outcome is reported from it.
    delete decompressor;
    QVERIFY(QFile::exists(done));
    QCOMPARE(finished.count(), 0);
}

QTEST_GUILESS_MAIN(TestDecompressor)
#include "tst_decompressor.moc"
