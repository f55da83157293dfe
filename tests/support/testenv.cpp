#include "testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest/QTest>
#include <functional>

#include "buildconfig.h"
#include "console.h"
#include "fakehttpserver.h"
#include "serverfiles.h"
#include "sha256.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#endif

namespace testenv {

namespace {
#ifdef Q_OS_WIN
const QString homeVariable = QStringLiteral("QUORVEX_TEST_PROFILE");

// The Linux path of a Windows path under Wine, for the Linux programs the tests start.
QString hostPath(const QString& path) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* unixPath = toUnix
                         ? toUnix(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()))
                         : nullptr;
    if (!unixPath) {
        return path;
    }
    const QString result = QString::fromUtf8(unixPath);
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}
#else
const QString homeVariable = QStringLiteral("XDG_DATA_HOME");

QString hostPath(const QString& path) {
    return path;
}
#endif
} // namespace

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(data) == data.size() && file.flush();
}

bool writeTree(const QString& root, const Tree& tree) {
    bool ok = QDir().mkpath(root);
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        const QString path = root + '/' + it.key();
        ok = (it.key().endsWith('/') ? QDir().mkpath(path) : writeFile(path, it.value())) && ok;
    }
    return ok;
}

Tree readTree(const QString& root) {
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(root).relativeFilePath(it.next());
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink()) {
            tree.insert(relative, "-> " + info.symLinkTarget().toUtf8());
        } else if (info.isDir()) {
            tree.insert(relative + '/', QByteArray());
        } else {
            tree.insert(relative, readFile(info.filePath()));
        }
    }
    return tree;
}

QString sha256(const QByteArray& bytes) {
    Sha256 hash;
    hash.addData(bytes);
    return hash.hexResult();
}

QString linkedHome(const QString& base) {
#ifdef Q_OS_WIN
    QDir().mkpath(base + "/Пользователь Quorvex");
    return base + "/Пользователь Quorvex";
#else
    QDir().mkpath(base + "/real");
    QFile::link(base + "/real", base + "/home");
    return base + "/home";
#endif
}

void setVariable(const char* name, const QString& value) {
#ifdef Q_OS_WIN
    SetEnvironmentVariableW(reinterpret_cast<LPCWSTR>(QString::fromLatin1(name).utf16()),
                            reinterpret_cast<LPCWSTR>(value.utf16()));
#else
    qputenv(name, value.toLocal8Bit());
#endif
}

void useDataHome(const QString& home) {
    setVariable(qPrintable(homeVariable), QDir::toNativeSeparators(home));
}

void setUpTestProgram(const QString& base) {
    useDataHome(linkedHome(base));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
#ifdef Q_OS_WIN
    qputenv("QT_QPA_FONTDIR", "C:/windows/Fonts");
#endif
}

QString dataDirIn(const QString& home) {
#ifdef Q_OS_WIN
    return home + "/AppData/Local/qv_updater";
#else
    return home + "/qv_updater";
#endif
}

QString executable(const QString& path) {
#ifdef Q_OS_WIN
    return path + ".exe";
#else
    return path;
#endif
}

QString updaterPath() {
    return executable(QStringLiteral(QUORVEX_TEST_BUILD_ROOT "/qv_updater"));
}

QString standinPath() {
    return QStringLiteral(QUORVEX_STANDIN);
}

QList<QStringList> starts(const QString& marker) {
    QList<QStringList> lines;
    for (const QByteArray& line : readFile(marker).split('\n')) {
        if (!line.isEmpty()) {
            lines << QString::fromUtf8(line).split('\t');
            lines.last()[0] = QDir::fromNativeSeparators(lines.last()[0]);
        }
    }
    return lines;
}

quint16 compiledServerPort() {
    return quint16(QUrl(QStringLiteral(QUORVEX_SERVER_URL)).port(80));
}

Release makeRelease(const QByteArray& payload) {
    Release release;
    release.tree = {{executable("quorvex"), readFile(standinPath())},
                    {"payload.dat", payload},
                    {"quorvex.ini", "[user]\n"},
                    {"plugins/", {}},
                    {"plugins/readme.txt", "not verified"}};
    QTemporaryDir dir;
    const QString app = dir.filePath("app");
    writeTree(app, release.tree);
    QFile::setPermissions(app + "/" + executable("quorvex"), QFile::ReadOwner | QFile::ExeOwner);
    publish::SilentReporter quiet;
    QString error;
    if (!publish::createArchive(app, dir.filePath("a.7z"), quiet, &error) ||
        !publish::hashCheckedFiles(app, &release.hashes, quiet, &error)) {
        qWarning("release not built: %s", qPrintable(error));
    }
    release.archive = readFile(dir.filePath("a.7z"));
    return release;
}

QJsonObject entry(const QString& version, const QString& url, const QByteArray& archive) {
    QJsonObject e{{"full", true},
                  {"version", version},
                  {"download_url", url},
                  {"extract_to", "/Quorvex"},
                  {"binary_name", executable("/quorvex")}};
    if (!archive.isEmpty()) {
        e["size"] = double(archive.size());
        e["sha256"] = sha256(archive);
    }
    return e;
}

QByteArray listOf(const QJsonObject& e) {
    return QJsonDocument(QJsonArray{QJsonObject{{"full", false}, {"version", "99"}}, e}).toJson();
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void TarWriter::addHeader(const QString& name, char type, qint64 size, const QString& link,
                          int mode) {
    QByteArray header(512, '\0');
    auto put = [&](int offset, const QByteArray& value) {
        memcpy(header.data() + offset, value.constData(), size_t(value.size()));
    };
    auto octal = [&](int offset, int width, qint64 value) {
        put(offset, QByteArray::number(value, 8).rightJustified(width - 1, '0'));
    };
    put(0, name.toUtf8().left(100));
    octal(100, 8, mode);
    octal(108, 8, 0);
    octal(116, 8, 0);
    octal(124, 12, size);
    octal(136, 12, 1700000000);
    header[156] = type;
    put(157, link.toUtf8().left(100));
    put(257, QByteArray("ustar\0"
                        "00",
                        8));
    memset(header.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (const char c : header) {
        sum += static_cast<unsigned char>(c);
    }
    put(148, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');
    bytes += header;
}

void TarWriter::addFile(const QString& name, const QByteArray& data, int mode) {
    addHeader(name, '0', data.size(), QString(), mode);
    bytes += data + QByteArray((512 - data.size() % 512) % 512, '\0');
}

void TarWriter::addLink(const QString& name, const QString& target, bool hard) {
    addHeader(name, hard ? '1' : '2', 0, target, 0777);
}

namespace {
// Runs scripts/nginx.sh with arguments. Wine starts Linux programs but cannot wait for them:
// there the script has done its work once done() holds.
bool runNginxScript(const QStringList& arguments, const std::function<bool()>& done) {
    const QString script = QStringLiteral(QUORVEX_SOURCE_DIR "/scripts/nginx.sh");
#ifdef Q_OS_WIN
    return QProcess::startDetached(script, arguments) && QTest::qWaitFor(done, 30000);
#else
    Q_UNUSED(done);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORVEX_NGINX_OWNER", QString::number(QCoreApplication::applicationPid()));
    process.setProcessEnvironment(env);
    process.start(script, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
#endif
}
} // namespace

bool Nginx::start(const QString& root, quint16 listenPort, const QString& certificate) {
    stop();
    state = std::make_unique<QTemporaryDir>();
    port = listenPort;
    tls = !certificate.isEmpty();
    const QString pidFile = state->filePath("nginx.pid");
    QStringList arguments{"start", hostPath(root), QString::number(port), hostPath(state->path())};
    if (tls) {
        arguments << hostPath(FakeHttpServer::certificatePath(certificate));
    }
    return runNginxScript(arguments, [&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return QFile::exists(pidFile) && socket.waitForConnected(200);
    });
}

void Nginx::stop() {
    if (state) {
        const QString pidFile = state->filePath("nginx.pid");
        runNginxScript({"stop", hostPath(state->path())}, [&] { return !QFile::exists(pidFile); });
        state.reset();
    }
}

QUrl Nginx::url(const QString& path) const {
    return QUrl(
        QStringLiteral("%1://127.0.0.1:%2%3").arg(tls ? "https" : "http").arg(port).arg(path));
}

#ifndef Q_OS_WIN
namespace {
rlimit savedLimit = {};
void (*savedHandler)(int) = nullptr;
} // namespace
#endif

SmallDisk::SmallDisk(const QString& base) {
#ifdef Q_OS_WIN
    Q_UNUSED(base)
    const QString letter = qEnvironmentVariable("QUORVEX_SMALL_DRIVE");
    if (letter.isEmpty()) {
        reason = QStringLiteral("No small drive (QUORVEX_SMALL_DRIVE): scripts/windows/test.sh "
                                "maps one where it may mount a file system");
        return;
    }
    drive = std::make_unique<QTemporaryDir>(letter + QStringLiteral("/small XXXXXX"));
    folder = drive->path();
#else
    folder = base;
    getrlimit(RLIMIT_FSIZE, &savedLimit);
    savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = savedLimit;
    limited.rlim_cur = Size;
    setrlimit(RLIMIT_FSIZE, &limited);
#endif
}

SmallDisk::~SmallDisk() {
#ifndef Q_OS_WIN
    setrlimit(RLIMIT_FSIZE, &savedLimit);
    std::signal(SIGXFSZ, savedHandler);
#endif
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

QByteArray Nginx::accessLog() const {
    return state ? readFile(state->filePath("access.log")) : QByteArray();
}

UpdaterRun::UpdaterRun(const QString& home, const QString& marker, const QString& program) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_WIN
    // The updater has its one platform, which runs without a display under Wine.
    env.remove("QT_QPA_PLATFORM");
#else
    env.insert("QT_QPA_PLATFORM", "offscreen");
#endif
    env.insert("QT_FORCE_STDERR_LOGGING", "1");
    env.insert(homeVariable, QDir::toNativeSeparators(home));
    env.insert("QUORVEX_MARKER", marker);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&process, &QProcess::readyRead, [this] { collect(); });
    process.start(program.isEmpty() ? updaterPath() : program, QStringList());
}

bool UpdaterRun::waitForLog(const QByteArray& text, int timeoutMs) {
    (void)QTest::qWaitFor([&] { return logged(text) || process.state() == QProcess::NotRunning; },
                          timeoutMs);
    collect();
    return logged(text);
}

bool UpdaterRun::waitForQuit(int timeoutMs) {
    (void)QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    collect();
    return process.state() == QProcess::NotRunning &&
           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void UpdaterRun::collect() {
    const QByteArray bytes = process.readAll();
#ifdef Q_OS_WIN
    // The updater writes its diagnostics in the system's 8-bit code page there.
    log += QString::fromLocal8Bit(bytes).toUtf8();
#else
    log += bytes;
#endif
}

void UpdaterRun::kill() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace testenv
