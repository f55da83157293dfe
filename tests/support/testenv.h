#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

// Helpers shared by the test programs: the test's own data directory, the programs built for
// the tests, running the real updater, archives and file trees.
namespace testenv {

// Points XDG_DATA_HOME at a temporary directory that lives until the test process ends and
// returns its path. Call it before QStandardPaths is first queried (first thing in main or
// initTestCase); later calls return the same directory.
QString privateDataHome();

// The build root (env QUORVEX_TEST_BINARY_DIR, else the one configured at build time).
QString binaryDir();
// The real updater in the build root.
QString updaterPath();
// The stand-in programs built with the tests (see helpers/):
// marker_app appends "<own path>\t<working directory>[\t<argument>...]\n" to the file named
// by env QUORVEX_MARKER, else to "<own path>.marker", and exits 0.
QString markerAppPath();
// fake_extractor logs its arguments to env QUORVEX_FAKE_EXTRACTOR_LOG (if set), then runs the
// comma-separated steps of env QUORVEX_FAKE_EXTRACTOR: "exit:<n>", "crash", "sleep:<ms>",
// "touch:<path>". Without steps it exits 0.
QString fakeExtractorPath();
// The system's 7-Zip console program (the one linked as "7Z/7z.exe" beside the programs).
QString sevenZipPath();

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
quint16 freeLoopbackPort();
// The port of the download server compiled into the updater (80 when the address has none).
quint16 compiledServerPort();

struct RunResult {
    bool started = false;
    bool finished = false; // ended by itself before a stop or the time-out
    bool stopped = false;  // ended because stopWhen returned true
    bool timedOut = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    QByteArray standardOutput;
    QByteArray standardError; // qDebug/qWarning output of a Qt program
};

struct RunOptions {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString workingDirectory; // empty: the test's own
    int timeoutMs = 30000;
    // Called whenever output arrives; true ends the program (SIGTERM, then SIGKILL).
    std::function<bool(const RunResult& soFar)> stopWhen;
};

// Runs program to its end (or stop / timeout) while processing events, so servers living in
// the test thread keep answering.
RunResult run(const QString& program, const QStringList& arguments,
              const RunOptions& options = RunOptions());
// The system environment with QT_QPA_PLATFORM=offscreen, XDG_DATA_HOME=dataHome and Qt's
// messages forced to stderr.
QProcessEnvironment updaterEnvironment(const QString& dataHome);
// Runs the real updater (no arguments).
RunResult runUpdater(const RunOptions& options);

// Packs the contents of sourceDir (not the directory itself) into a new 7z archive at
// archivePath with the real 7-Zip. On failure returns false and fills *log with its output.
bool make7z(const QString& sourceDir, const QString& archivePath, QString* log = nullptr);

// Lowercase hexadecimal SHA-256 of a file's bytes; empty when it cannot be read.
QByteArray sha256OfFile(const QString& path);

// Writes data to path, creating missing parent directories.
bool writeFile(const QString& path, const QByteArray& data);
// The file's bytes; empty when it cannot be read.
QByteArray readFile(const QString& path);

// A file tree: relative path ("a/b.txt", separator "/") -> contents; a key ending in "/" is
// a directory (its value is ignored), so empty directories can be described.
using Tree = QMap<QString, QByteArray>;
bool writeTree(const QString& root, const Tree& tree);
// Every file and directory under root, hidden ones included (directories end in "/").
Tree readTree(const QString& root);
// Human-readable differences between two trees (missing, unexpected, different contents);
// empty when they are equal.
QStringList diffTrees(const Tree& expected, const Tree& actual);

struct MarkerLine {
    QString program;
    QString workingDirectory;
    QStringList arguments;
};
// The lines marker_app appended to a marker file (none when the file is missing).
QList<MarkerLine> readMarker(const QString& markerPath);
// One argument list per fake_extractor run logged to logPath.
QList<QStringList> readExtractorLog(const QString& logPath);

} // namespace testenv
