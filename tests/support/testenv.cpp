#include "testenv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest/QTest>

#include "buildconfig.h"

namespace testenv {

QString privateDataHome() {
    static QTemporaryDir home;
    static const bool set = qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    Q_UNUSED(set);
    return home.path();
}

QString binaryDir() {
    const QString fromEnv = qEnvironmentVariable("QUORVEX_TEST_BINARY_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(QUORVEX_TEST_BUILD_ROOT) : fromEnv;
}

QString updaterPath() {
    return binaryDir() + QStringLiteral("/qv_updater");
}

QString markerAppPath() {
    return QStringLiteral(QUORVEX_MARKER_APP);
}

QString fakeExtractorPath() {
    return QStringLiteral(QUORVEX_FAKE_EXTRACTOR);
}

QString sevenZipPath() {
    return QStringLiteral(QUORVEX_SEVEN_ZIP);
}

quint16 freeLoopbackPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

quint16 compiledServerPort() {
    return quint16(QUrl(QStringLiteral(QUORVEX_SERVER_URL)).port(80));
}

RunResult run(const QString& program, const QStringList& arguments, const RunOptions& options) {
    RunResult result;
    QProcess process;
    process.setProcessEnvironment(options.environment);
    if (!options.workingDirectory.isEmpty()) {
        process.setWorkingDirectory(options.workingDirectory);
    }
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        result.standardError = process.errorString().toUtf8();
        return result;
    }
    result.started = true;

    // A real event loop rather than polling: servers in this thread then answer at full speed.
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&]() {
        result.timedOut = true;
        loop.quit();
    });
    auto collect = [&]() {
        result.standardOutput += process.readAllStandardOutput();
        result.standardError += process.readAllStandardError();
        if (options.stopWhen && !result.stopped && options.stopWhen(result)) {
            result.stopped = true;
            loop.quit();
        }
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop, collect);
    QObject::connect(&process, &QProcess::readyReadStandardError, &loop, collect);
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     [&]() {
                         result.finished = true;
                         loop.quit();
                     });
    deadline.start(options.timeoutMs);
    loop.exec();
    QObject::disconnect(&process, nullptr, &loop, nullptr);

    if (!result.finished) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    result.standardOutput += process.readAllStandardOutput();
    result.standardError += process.readAllStandardError();
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    return result;
}

QProcessEnvironment updaterEnvironment(const QString& dataHome) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    return env;
}

RunResult runUpdater(const RunOptions& options) {
    return run(updaterPath(), {}, options);
}

bool make7z(const QString& sourceDir, const QString& archivePath, QString* log) {
    const QString archive = QFileInfo(archivePath).absoluteFilePath();
    QFile::remove(archive);
    QProcess process;
    process.setWorkingDirectory(sourceDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(sevenZipPath(),
                  {QStringLiteral("a"), QStringLiteral("-t7z"), QStringLiteral("-bd"),
                   QStringLiteral("-y"), archive, QStringLiteral(".")});
    const bool ok = process.waitForFinished(120000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok && log) {
        *log = process.errorString() + QLatin1Char('\n') + QString::fromUtf8(process.readAll());
    }
    return ok;
}

QByteArray sha256OfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return QByteArray();
    }
    return hash.result().toHex();
}

bool writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(data) == data.size() && file.flush();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeTree(const QString& root, const Tree& tree) {
    bool ok = QDir().mkpath(root);
    for (auto it = tree.constBegin(); it != tree.constEnd(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        ok = (it.key().endsWith(QLatin1Char('/')) ? QDir().mkpath(path)
                                                  : writeFile(path, it.value())) &&
             ok;
    }
    return ok;
}

Tree readTree(const QString& root) {
    Tree tree;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(path);
        if (info.isDir() && !info.isSymLink()) {
            tree.insert(relative + QLatin1Char('/'), QByteArray());
        } else {
            tree.insert(relative, readFile(path));
        }
    }
    return tree;
}

QStringList diffTrees(const Tree& expected, const Tree& actual) {
    QStringList differences;
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        if (!actual.contains(it.key())) {
            differences << QStringLiteral("missing: ") + it.key();
        } else if (!it.key().endsWith(QLatin1Char('/')) && actual.value(it.key()) != it.value()) {
            differences << QStringLiteral("different contents: %1 (%2 bytes, expected %3)")
                               .arg(it.key())
                               .arg(actual.value(it.key()).size())
                               .arg(it.value().size());
        }
    }
    for (auto it = actual.constBegin(); it != actual.constEnd(); ++it) {
        if (!expected.contains(it.key())) {
            differences << QStringLiteral("unexpected: ") + it.key();
        }
    }
    return differences;
}

QList<MarkerLine> readMarker(const QString& markerPath) {
    QList<MarkerLine> lines;
    const QList<QByteArray> raw = readFile(markerPath).split('\n');
    for (const QByteArray& line : raw) {
        if (line.isEmpty()) {
            continue;
        }
        const QList<QByteArray> fields = line.split('\t');
        MarkerLine marker;
        marker.program = QFile::decodeName(fields.value(0));
        marker.workingDirectory = QFile::decodeName(fields.value(1));
        for (int i = 2; i < fields.size(); ++i) {
            marker.arguments << QString::fromLocal8Bit(fields[i]);
        }
        lines << marker;
    }
    return lines;
}

QList<QStringList> readExtractorLog(const QString& logPath) {
    // One run per line: "#", then each argument followed by a NUL byte.
    QList<QStringList> runs;
    const QList<QByteArray> raw = readFile(logPath).split('\n');
    for (const QByteArray& line : raw) {
        if (!line.startsWith('#')) {
            continue;
        }
        QStringList arguments;
        QList<QByteArray> parts = line.mid(1).split('\0');
        parts.removeLast(); // after the last NUL
        for (const QByteArray& part : parts) {
            arguments << QString::fromLocal8Bit(part);
        }
        runs << arguments;
    }
    return runs;
}

} // namespace testenv
