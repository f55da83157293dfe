#pragma once

// Helpers shared by the test programs: files and trees, the programs built for the tests,
// releases and hostile archives, nginx, and running the real updater.

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest/QTest>
#include <memory>

namespace testenv {

// The file's bytes (empty when unreadable); writing creates the missing parent directories.
QByteArray readFile(const QString& path);
bool writeFile(const QString& path, const QByteArray& data);
// Relative path ("a/b.txt") -> contents; a key ending in "/" is a directory. readTree lists
// hidden entries too, and a symbolic link as "-> <target>".
using Tree = QMap<QString, QByteArray>;
bool writeTree(const QString& root, const Tree& tree);
Tree readTree(const QString& root);
QString sha256(const QByteArray& bytes);
// A data home under base that is reached through a symbolic link, as home directories often
// are: paths must be compared as files, not as spellings. On Windows, a user profile whose
// name has spaces and Cyrillic letters, as many have.
QString linkedHome(const QString& base);
// Sets a variable of this process's environment, which the programs it starts inherit (as
// UTF-16 on Windows, where the 8-bit environment has the system's code page).
void setVariable(const char* name, const QString& value);
// Makes home the data home of this process and of the programs it starts: XDG_DATA_HOME; on
// Windows (Wine) the user profile, whose "Local AppData" folder scripts/windows/test.sh sets to
// "%QUORVEX_TEST_PROFILE%\AppData\Local".
void useDataHome(const QString& home);
// Prepares a test program before its application object: a private, linked data home under
// base, the offscreen platform, reports on the standard streams (set here: Qt's variables in
// the Linux environment do not reach Windows programs under Wine, which have no console
// window to report to) and, on Windows, Wine's fonts.
void setUpTestProgram(const QString& base);
// The updater's data directory under a data home.
QString dataDirIn(const QString& home);

// A program's file name: with ".exe" on Windows.
QString executable(const QString& path);
QString updaterPath();
// helpers/standin.cpp: records each start in $QUORVEX_MARKER, then runs $QUORVEX_STANDIN.
QString standinPath();
// Lines the stand-in wrote to marker, each split at its tabs (program with "/" separators,
// arguments...).
QList<QStringList> starts(const QString& marker);
quint16 compiledServerPort();

// A release as the publishing tool packs it: the stand-in as the executable "quorvex[.exe]", a
// payload, a settings file and a subdirectory; hashes of the files the updater checks.
struct Release {
    Tree tree;
    QByteArray archive;
    QJsonObject hashes;
};
Release makeRelease(const QByteArray& payload);
// A full entry installing into "/Quorvex" with "size" and "sha256" of archive (when given).
QJsonObject entry(const QString& version, const QString& url, const QByteArray& archive = {});
QByteArray listOf(const QJsonObject& entry); // the entry after a patch entry
QByteArray json(const QJsonObject& object);

// A ustar archive written entry by entry, as a hostile server would: "../" and absolute
// names, links to anywhere, duplicate names.
class TarWriter {
public:
    void addFile(const QString& name, const QByteArray& data, int mode = 0644);
    void addLink(const QString& name, const QString& target, bool hard = false);
    QByteArray finish() const { return bytes + QByteArray(1024, '\0'); }

private:
    void addHeader(const QString& name, char type, qint64 size, const QString& link, int mode);
    QByteArray bytes;
};

// nginx serving a directory on 127.0.0.1:port through scripts/nginx.sh (under Wine, started
// as the Linux program it is); over https with one of the tests' certificates ("good"...,
// FakeHttpServer::useTls).
class Nginx {
public:
    ~Nginx() { stop(); }
    bool start(const QString& root, quint16 port, const QString& certificate = {});
    void stop();
    QUrl url(const QString& path) const;
    QByteArray accessLog() const;

private:
    std::unique_ptr<QTemporaryDir> state;
    quint16 port = 0;
    bool tls = false;
};

// A disk that is full after 256 KiB, while it lives: on Linux the files of this process may not
// grow beyond that (a write past it fails with EFBIG, as on a full disk), in dir(), a folder of
// base; on Windows dir() is a folder on the small drive that scripts/windows/test.sh maps
// ($QUORVEX_SMALL_DRIVE), and skipped() says why there is none.
class SmallDisk {
public:
    static constexpr qint64 Size = 256 * 1024;
    explicit SmallDisk(const QString& base);
    ~SmallDisk();
    QString dir() const { return folder; }
    QString skipped() const { return reason; }

private:
    std::unique_ptr<QTemporaryDir> drive;
    QString folder;
    QString reason;
};

// A port on 127.0.0.1 that nothing listens on at the moment.
quint16 freePort();

// A real updater (or a copy of it) running with its data under home, its launches recorded in
// marker and its diagnostics collected as they arrive.
class UpdaterRun {
public:
    UpdaterRun(const QString& home, const QString& marker, const QString& program = {});
    ~UpdaterRun() { kill(); }
    bool logged(const QByteArray& text) const { return log.contains(text); }
    // True once text is logged; false when the updater ended or time ran out first.
    bool waitForLog(const QByteArray& text, int timeoutMs = 20000);
    // True when the updater quit by itself with status 0.
    bool waitForQuit(int timeoutMs = 30000);
    void kill();
    QProcess process;
    QByteArray log; // UTF-8

private:
    void collect();
};

} // namespace testenv

// main() of a test program: set up (setUpTestProgram) before anything asks for the data
// directory, then the tests.
#define QUORVEX_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char* argv[]) {                                                             \
        QTemporaryDir home;                                                                        \
        testenv::setUpTestProgram(home.path());                                                    \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
