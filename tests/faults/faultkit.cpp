#include "faultkit.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <sys/types.h>

namespace faultkit {

void TarWriter::addHeader(const QString& name, char type, qint64 size, const QString& link,
                          int mode) {
    QByteArray header(512, '\0');
    const QByteArray n = name.toUtf8();
    const QByteArray l = link.toUtf8();
    // Long names go into the ustar prefix field at the last "/" that fits.
    QByteArray prefix;
    QByteArray base = n;
    if (n.size() > 100) {
        const int cut = n.lastIndexOf('/', 154);
        prefix = n.left(cut);
        base = n.mid(cut + 1);
    }
    auto put = [&](int offset, int width, const QByteArray& value) {
        memcpy(header.data() + offset, value.constData(), size_t(qMin(width, value.size())));
    };
    auto octal = [&](int offset, int width, qint64 value) {
        put(offset, width - 1, QByteArray::number(value, 8).rightJustified(width - 1, '0'));
    };
    put(0, 100, base);
    octal(100, 8, mode);
    octal(108, 8, 0);
    octal(116, 8, 0);
    octal(124, 12, size);
    octal(136, 12, 1700000000);
    header[156] = type;
    put(157, 100, l);
    put(257, 6, QByteArray("ustar\0", 6));
    put(263, 2, "00");
    put(265, 32, "root");
    put(297, 32, "root");
    put(345, 155, prefix);
    memset(header.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (const char c : header) {
        sum += static_cast<unsigned char>(c);
    }
    put(148, 7, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');
    bytes += header;
}

void TarWriter::addFile(const QString& name, const QByteArray& data, int mode) {
    addHeader(name, '0', data.size(), QString(), mode);
    bytes += data;
    bytes += QByteArray((512 - data.size() % 512) % 512, '\0');
}

void TarWriter::addDirectory(const QString& name) {
    addHeader(name.endsWith('/') ? name : name + '/', '5', 0, QString(), 0755);
}

void TarWriter::addSymlink(const QString& name, const QString& target) {
    addHeader(name, '2', 0, target, 0777);
}

void TarWriter::addHardlink(const QString& name, const QString& target) {
    addHeader(name, '1', 0, target, 0644);
}

QByteArray TarWriter::finish() const {
    return bytes + QByteArray(1024, '\0');
}

QByteArray make7z(const testenv::Tree& tree, const QStringList& extraSwitches) {
    QTemporaryDir dir;
    if (!dir.isValid() || !testenv::writeTree(dir.filePath("src"), tree)) {
        return QByteArray();
    }
    // Executables keep their mode so the installed application can be started.
    for (auto it = tree.constBegin(); it != tree.constEnd(); ++it) {
        if (it.value().startsWith("\x7f"
                                  "ELF")) {
            QFile::setPermissions(dir.filePath("src/" + it.key()),
                                  QFile::permissions(dir.filePath("src/" + it.key())) |
                                      QFileDevice::ExeOwner | QFileDevice::ExeUser);
        }
    }
    const QString archive = dir.filePath("out.7z");
    QProcess zip;
    zip.setWorkingDirectory(dir.filePath("src"));
    zip.setProcessChannelMode(QProcess::MergedChannels);
    zip.start(testenv::sevenZipPath(),
              QStringList{"a", "-t7z", "-bd", "-y"} + extraSwitches + QStringList{archive, "."});
    if (!zip.waitForFinished(60000) || zip.exitCode() != 0) {
        qWarning("7-Zip failed: %s", zip.readAll().constData());
        return QByteArray();
    }
    return testenv::readFile(archive);
}

Release makeRelease(const QByteArray& payload) {
    Release release;
    release.tree["quorvex"] = testenv::readFile(testenv::markerAppPath());
    release.tree["payload.dat"] = payload;
    release.tree["quorvex.ini"] = "[user]\n";
    release.tree["plugins/"] = QByteArray();
    release.tree["plugins/readme.txt"] = "not verified";
    release.archive = make7z(release.tree);
    for (const QString& name : {QStringLiteral("quorvex"), QStringLiteral("payload.dat"),
                                QStringLiteral("quorvex.ini")}) {
        QTemporaryDir dir;
        testenv::writeFile(dir.filePath("f"), release.tree[name]);
        release.hashes[name] = QString::fromLatin1(testenv::sha256OfFile(dir.filePath("f")));
    }
    return release;
}

QJsonObject entry(const QString& version, const QString& archiveUrl, const QByteArray& archive) {
    QJsonObject e{{"full", true},
                  {"version", version},
                  {"download_url", archiveUrl},
                  {"extract_to", "/Quorvex"},
                  {"binary_name", "/quorvex"}};
    if (!archive.isEmpty()) {
        QTemporaryDir dir;
        testenv::writeFile(dir.filePath("a"), archive);
        e["size"] = double(archive.size());
        e["sha256"] = QString::fromLatin1(testenv::sha256OfFile(dir.filePath("a")));
    }
    return e;
}

QByteArray listOf(const QJsonObject& e) {
    return QJsonDocument(QJsonArray{QJsonObject{{"full", false}, {"version", "99"}}, e}).toJson();
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray recordOf(const QJsonObject& e) {
    return QJsonDocument(e).toJson(QJsonDocument::Indented);
}

void Sentinel::create(const QString& dataHome, const QString& sibling) {
    home = dataHome + "/sentinel";
    outside = sibling;
    homeTree = {{"keep.txt", "user data beside the updater\n"},
                {"deep/", QByteArray()},
                {"deep/notes.bin", QByteArray("\x00\x01\x02\xff", 4).repeated(64)},
                {"victim", "ORIGINAL"}};
    outsideTree = {{"victim", "ORIGINAL"}, {"docs/", QByteArray()}, {"docs/a.txt", "a\n"}};
    QDir(home).removeRecursively();
    QDir(outside).removeRecursively();
    testenv::writeTree(home, homeTree);
    testenv::writeTree(outside, outsideTree);
    dataHomeNames << "sentinel";
    parentNames << QFileInfo(dataHome).fileName() << QFileInfo(sibling).fileName();
}

QStringList Sentinel::check() const {
    QStringList problems;
    for (const QString& d : testenv::diffTrees(homeTree, testenv::readTree(home))) {
        problems << "sentinel: " + d;
    }
    for (const QString& d : testenv::diffTrees(outsideTree, testenv::readTree(outside))) {
        problems << "outside: " + d;
    }
    const QDir dataHome(QFileInfo(home).absolutePath());
    for (const QString& name : dataHome.entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                  QDir::Hidden | QDir::System)) {
        if (!dataHomeNames.contains(name)) {
            problems << "unexpected in XDG_DATA_HOME: " + name;
        }
    }
    const QDir parent(QFileInfo(dataHome.absolutePath()).absolutePath());
    for (const QString& name :
         parent.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (!parentNames.contains(name)) {
            problems << "unexpected beside XDG_DATA_HOME: " + name;
        }
    }
    return problems;
}

void install(const QString& dataDir, const Release& release, const QJsonObject& record, bool tamper,
             const QString& installDir) {
    testenv::Tree tree = release.tree;
    if (tamper) {
        tree["payload.dat"] = "tampered";
    }
    testenv::writeTree(dataDir + installDir, tree);
    QFile::setPermissions(dataDir + installDir + "/quorvex",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    testenv::writeFile(dataDir + "/latestVersion.json", recordOf(record));
    testenv::writeFile(dataDir + "/hashlist.json", QJsonDocument(release.hashes).toJson());
}

QStringList strayEntries(const QString& dataDir, const QString& installDir) {
    QStringList known{"latestVersion.json", "hashlist.json", "update",
                      installDir.section('/', 1, 1)};
    QStringList stray;
    for (const QString& name : QDir(dataDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                       QDir::Hidden | QDir::System)) {
        if (!known.contains(name)) {
            stray << name;
        }
    }
    return stray;
}

QStringList downloadedFiles(const QString& dataDir) {
    return QDir(dataDir + "/update").entryList(QDir::Files | QDir::Hidden | QDir::System);
}

namespace {
bool runTool(const QString& program, const QStringList& arguments, QString* error) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    const bool ok =
        p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ok && error) {
        *error = p.errorString() + ": " + QString::fromLocal8Bit(p.readAll());
    }
    return ok;
}
} // namespace

bool mountTmpfs(const QString& dir, const QString& size, QString* error) {
    QDir().mkpath(dir);
    return runTool("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", dir}, error);
}

bool remountTmpfs(const QString& dir, const QString& size) {
    return runTool("mount", {"-o", "remount,size=" + size, dir}, nullptr);
}

void unmount(const QString& dir) {
    runTool("umount", {"-l", dir}, nullptr);
}

QList<qint64> childProcesses(qint64 pid) {
    QList<qint64> children;
    QDirIterator tasks(QStringLiteral("/proc/%1/task").arg(pid), QDir::Dirs | QDir::NoDotAndDotDot);
    while (tasks.hasNext()) {
        const QByteArray list = testenv::readFile(tasks.next() + "/children").trimmed();
        for (const QByteArray& id : list.split(' ')) {
            if (!id.isEmpty()) {
                children << id.toLongLong();
            }
        }
    }
    return children;
}

void killProcess(qint64 pid) {
    if (pid > 0) {
        ::kill(pid_t(pid), SIGKILL);
    }
}

bool processExists(qint64 pid) {
    // A zombie still has its directory; judge by its state.
    const QByteArray stat = testenv::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.isEmpty()) {
        return false;
    }
    const int close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) != "Z";
}

} // namespace faultkit
