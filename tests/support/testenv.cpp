#include "testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QtTest/QTest>

#include "buildconfig.h"
#include "console.h"
#include "serverfiles.h"
#include "sha256.h"

namespace testenv {

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
    return base;
#else
    QDir().mkpath(base + "/real");
    QFile::link(base + "/real", base + "/home");
    return base + "/home";
#endif
}

QString updaterPath() {
    return QStringLiteral(QUORVEX_TEST_BUILD_ROOT "/qv_updater");
}

QString standinPath() {
    return QStringLiteral(QUORVEX_STANDIN);
}

QList<QStringList> starts(const QString& marker) {
    QList<QStringList> lines;
    for (const QByteArray& line : readFile(marker).split('\n')) {
        if (!line.isEmpty()) {
            lines << QString::fromUtf8(line).split('\t');
        }
    }
    return lines;
}

quint16 compiledServerPort() {
    return quint16(QUrl(QStringLiteral(QUORVEX_SERVER_URL)).port(80));
}

Release makeRelease(const QByteArray& payload) {
    Release release;
    release.tree = {{"quorvex", readFile(standinPath())},
                    {"payload.dat", payload},
                    {"quorvex.ini", "[user]\n"},
                    {"plugins/", {}},
                    {"plugins/readme.txt", "not verified"}};
    QTemporaryDir dir;
    const QString app = dir.filePath("app");
    writeTree(app, release.tree);
    QFile::setPermissions(app + "/quorvex", QFile::ReadOwner | QFile::ExeOwner);
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
                  {"binary_name", "/quorvex"}};
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

bool Nginx::start(const QString& root, quint16 listenPort) {
    stop();
    state = std::make_unique<QTemporaryDir>();
    port = listenPort;
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    script.start(QStringLiteral(QUORVEX_SOURCE_DIR "/scripts/nginx.sh"),
                 {"start", root, QString::number(port), state->path()});
    return script.waitForFinished(30000) && script.exitCode() == 0;
}

void Nginx::stop() {
    if (state) {
        QProcess::execute(QStringLiteral(QUORVEX_SOURCE_DIR "/scripts/nginx.sh"),
                          {"stop", state->path()});
        state.reset();
    }
}

QUrl Nginx::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
}

QByteArray Nginx::accessLog() const {
    return state ? readFile(state->filePath("access.log")) : QByteArray();
}

UpdaterRun::UpdaterRun(const QString& home, const QString& marker, const QString& program) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_FORCE_STDERR_LOGGING", "1");
    env.insert("XDG_DATA_HOME", home);
    env.insert("QUORVEX_MARKER", marker);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&process, &QProcess::readyRead, [this] { log += process.readAll(); });
    process.start(program.isEmpty() ? updaterPath() : program, QStringList());
}

bool UpdaterRun::waitForLog(const QByteArray& text, int timeoutMs) {
    (void)QTest::qWaitFor([&] { return logged(text) || process.state() == QProcess::NotRunning; },
                          timeoutMs);
    log += process.readAll();
    return logged(text);
}

bool UpdaterRun::waitForQuit(int timeoutMs) {
    (void)QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    log += process.readAll();
    return process.state() == QProcess::NotRunning &&
           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void UpdaterRun::kill() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace testenv
