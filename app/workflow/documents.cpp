#include "documents.h"

#include "paths.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegExp>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QUrl>
#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace documents {

qint32 versionNumber(const QString& label) {
    static const QRegExp nonDigit(QStringLiteral("[^\\d]"));
    QString digits = label;
    digits.remove(nonDigit);
    bool ok = false;
    const int value = digits.toInt(&ok, 10);
    return ok ? value : 0;
}

VersionSelection selectFullVersion(const QByteArray& body) {
    VersionSelection selection;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isArray()) {
        return selection;
    }
    selection.isArray = true;
    qint32 best = 0;
    const QJsonArray list = document.array();
    for (const QJsonValue& element : list) {
        if (!element.isObject()) {
            ++selection.invalidElements;
            continue;
        }
        const QJsonObject entry = element.toObject();
        if (entry.value(QStringLiteral("full")) != QJsonValue(true)) {
            continue;
        }
        const qint32 number = versionNumber(entry.value(QStringLiteral("version")).toString());
        if (number > best) {
            best = number;
            selection.entry = entry;
            selection.downloadUrl = entry.value(QStringLiteral("download_url")).toString();
            selection.found = true;
        }
    }
    return selection;
}

namespace {
std::optional<QJsonObject> parseObject(const QByteArray& text) {
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (!document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

bool hasControlCharacter(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            return true;
        }
    }
    return false;
}

// 7-Zip reads "*" and "?" in a path as wildcards.
bool hasWildcard(const QString& text) {
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?'));
}

// The path's segments, with either separator.
QStringList segmentsOf(const QString& text) {
    return QString(text).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
}

bool hasParentSegment(const QString& text) {
    return segmentsOf(text).contains(QStringLiteral(".."));
}

// Entries are made for Windows clients, so these Windows rules hold on every platform.
// Windows drops trailing dots and spaces from a name ("/.. " would mean "/.."), reads ":" as a
// drive or a data stream, and allows none of <>"|?* in names.
bool isWindowsNameInvalid(const QString& segment) {
    static const QString forbidden = QStringLiteral("<>:\"|?*");
    for (const QChar c : segment) {
        if (forbidden.contains(c)) {
            return true;
        }
    }
    return segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' '));
}

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9, with any extension, name devices, not files.
bool isWindowsDeviceName(const QString& segment) {
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|COM[0-9\u00B9\u00B2\u00B3]|LPT[0-9\u00B9\u00B2\u00B3]|"
                       "CONIN\\$|CONOUT\\$) *(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    return device.match(segment).hasMatch();
}

// Why a path would not name the same file on Windows, or an empty string; what names the path
// in the message ("каталог установки", "имя исполняемого файла").
QString windowsPathProblem(const QString& path, const QString& what) {
    for (const QString& segment : segmentsOf(path)) {
        if (isWindowsNameInvalid(segment)) {
            return QStringLiteral("%1 содержит недопустимые символы").arg(what);
        }
        if (isWindowsDeviceName(segment)) {
            return QStringLiteral("%1 содержит имя устройства Windows (%2)").arg(what, segment);
        }
    }
    return QString();
}

} // namespace

QStringList verifiedFileNames(const QString& dirPath) {
    QStringList names;
#ifdef Q_OS_WIN
    const QDir::Filters filters = QDir::Files;
#else
    // FIFOs, sockets and devices too: the hashing refuses them, so they fail the check.
    const QDir::Filters filters = QDir::Files | QDir::System;
#endif
    const QStringList listed = QDir(dirPath).entryList(filters, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : listed) {
        const QFileInfo info(QDir(dirPath).filePath(name));
        if (info.isSymLink() && !info.exists()) {
            continue; // a dangling link names no file
        }
        // Settings files are the user's and change legitimately: they carry no digest. Names
        // starting with "." are hidden where releases are published, though not on Windows.
        if (name.endsWith(QLatin1String(".ini"), Qt::CaseInsensitive) ||
            name.startsWith(QLatin1Char('.'))) {
            continue;
        }
#ifdef Q_OS_WIN
        // Qt lists the files that Windows marks as system files.
        const QString path = QDir::toNativeSeparators(QDir(dirPath).filePath(name));
        const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.utf16()));
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_SYSTEM)) {
            continue;
        }
#endif
        names << name;
    }
    return names;
}

std::optional<QJsonObject> parseRecord(const QByteArray& text) {
    return parseObject(text);
}

std::optional<QJsonObject> parseHashList(const QByteArray& text) {
    return parseObject(text);
}

QString installTargetProblem(const QString& dataDir, const QString& extractTo) {
    if (extractTo.isEmpty()) {
        return QStringLiteral("не указан каталог установки");
    }
    if (hasControlCharacter(extractTo) || extractTo.contains(QLatin1Char(':')) ||
        hasWildcard(extractTo)) {
        return QStringLiteral("каталог установки содержит недопустимые символы");
    }
    // A last segment "." would turn a "binary_name" that starts with "." into a ".." segment
    // once the two are joined.
    const QStringList segments = segmentsOf(extractTo);
    if (segments.contains(QStringLiteral("..")) || segments.last() == QLatin1String(".")) {
        return QStringLiteral("каталог установки выходит за пределы папки данных");
    }
    const QString windowsProblem =
        windowsPathProblem(extractTo, QStringLiteral("каталог установки"));
    if (!windowsProblem.isEmpty()) {
        return windowsProblem;
    }
    // Without the leading "/" the name would be glued onto the data directory's own name: a
    // sibling of it.
    if (!extractTo.startsWith(QLatin1Char('/'))) {
        return QStringLiteral("каталог установки не начинается с «/» и лежит вне папки данных");
    }
    const QString data = QDir::cleanPath(QDir::fromNativeSeparators(dataDir));
    const QString target = QDir::cleanPath(QDir::fromNativeSeparators(dataDir + extractTo));
    if (paths::isSameOrAncestor(target, data)) {
        return QStringLiteral("каталог установки совпадает с папкой данных или содержит её");
    }
    // The first name below the data directory, compared as Windows compares names.
    QString first;
    for (const QString& segment : segments) {
        if (first.isEmpty() && !segment.isEmpty()) {
            first = segment;
        }
    }
    for (const QString& own : paths::dataDirOwnNames()) {
        if (QString::compare(first, own, Qt::CaseInsensitive) == 0) {
            return QStringLiteral("каталог установки занимает служебный файл или папку "
                                  "обновления (%1)")
                .arg(own);
        }
    }
    return QString();
}

QString binaryNameProblem(const QString& binaryName) {
    if (binaryName.isEmpty()) {
        return QStringLiteral("не указан исполняемый файл");
    }
    if (hasControlCharacter(binaryName)) {
        return QStringLiteral("имя исполняемого файла содержит недопустимые символы");
    }
    if (hasParentSegment(binaryName)) {
        return QStringLiteral("исполняемый файл находится вне каталога установки");
    }
    return windowsPathProblem(binaryName, QStringLiteral("имя исполняемого файла"));
}

QString executablePathProblem(const QString& dataDir, const QString& extractTo,
                              const QString& binaryName) {
    const int length = QDir::cleanPath(dataDir + extractTo + binaryName).length();
    if (length > MaxExecutablePath) {
        return QStringLiteral("путь к исполняемому файлу длиннее %1 символов (%2)")
            .arg(MaxExecutablePath)
            .arg(length);
    }
    return QString();
}

QString archiveNameProblem(const QString& fileName) {
    if (hasWildcard(fileName) || hasControlCharacter(fileName)) {
        return QStringLiteral("имя архива содержит недопустимые символы");
    }
    return QString();
}

QString downloadUrlProblem(const QString& url) {
    const QUrl parsed(url, QUrl::TolerantMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        return QStringLiteral("адрес архива не является адресом http или https");
    }
    return QString();
}

QString entryProblem(const QString& dataDir, const QJsonObject& entry, const QString& fileName) {
    QString problem =
        installTargetProblem(dataDir, entry.value(QStringLiteral("extract_to")).toString());
    if (problem.isEmpty()) {
        problem = binaryNameProblem(entry.value(QStringLiteral("binary_name")).toString());
    }
    if (problem.isEmpty()) {
        problem =
            executablePathProblem(dataDir, entry.value(QStringLiteral("extract_to")).toString(),
                                  entry.value(QStringLiteral("binary_name")).toString());
    }
    if (problem.isEmpty()) {
        problem = downloadUrlProblem(entry.value(QStringLiteral("download_url")).toString());
    }
    if (problem.isEmpty()) {
        problem = archiveNameProblem(fileName);
    }
    if (problem.isEmpty()) {
        problem = archiveCheckProblem(entry);
    }
    if (problem.isEmpty()) {
        problem = manifestKeysProblem(entry);
    }
    return problem;
}

QString archiveCheckProblem(const QJsonObject& entry) {
    const QJsonValue size = entry.value(QStringLiteral("size"));
    if (!size.isUndefined()) {
        const double value = size.toDouble(-1);
        if (!size.isDouble() || value < 0 || value > 9.0e15 ||
            value != static_cast<double>(qint64(value))) {
            return QStringLiteral("поле size не является неотрицательным целым числом");
        }
    }
    const QJsonValue sha = entry.value(QStringLiteral("sha256"));
    if (!sha.isUndefined()) {
        static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
        if (!sha.isString() || !hex.match(sha.toString()).hasMatch()) {
            return QStringLiteral("поле sha256 не является SHA-256 в нижнем регистре");
        }
    }
    return QString();
}

QString signedEntryProblem(const QJsonObject& entry, qint32 installedNumber) {
    if (!entry.contains(QStringLiteral("sha256"))) {
        return QStringLiteral("нет поля sha256, которым подписанный список заверяет архив");
    }
    const qint32 number = versionNumber(entry.value(QStringLiteral("version")).toString());
    if (number < installedNumber) {
        return QStringLiteral("номер версии %1 ниже установленного %2")
            .arg(number)
            .arg(installedNumber);
    }
    return QString();
}

} // namespace documents

namespace documents {

namespace {
const QRegularExpression& lowercaseSha256() {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    return hex;
}

// A JSON number holding a non-negative integer that a qint64 and a double both keep exactly.
bool readCount(const QJsonValue& value, qint64* count) {
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 9.0e15 ||
        number != static_cast<double>(qint64(number))) {
        return false;
    }
    *count = qint64(number);
    return true;
}

// Why path cannot name a file of the installation tree, or an empty string.
QString manifestPathProblem(const QString& path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')) ||
        hasControlCharacter(path)) {
        return QStringLiteral("путь \"%1\" не является относительным путём с \"/\"").arg(path);
    }
    for (const QString& segment : path.split(QLatin1Char('/'))) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..")) {
            return QStringLiteral("путь \"%1\" содержит пустое имя, \".\" или \"..\"").arg(path);
        }
    }
    const QString windows = windowsPathProblem(path, QStringLiteral("путь \"%1\"").arg(path));
    return windows;
}

QString storeProblem(const QString& store) {
    if (!store.endsWith(QLatin1Char('/')) || store.contains(QLatin1Char('?')) ||
        store.contains(QLatin1Char('#')) || store.contains(QLatin1Char('\\')) ||
        hasControlCharacter(store)) {
        return QStringLiteral("поле store не является папкой, оканчивающейся на \"/\"");
    }
    const QUrl url(store, QUrl::StrictMode);
    if (!url.isValid()) {
        return QStringLiteral("поле store не является адресом");
    }
    if (!url.isRelative() && !downloadUrlProblem(store).isEmpty()) {
        return QStringLiteral("поле store не является адресом http или https");
    }
    if (url.isRelative() && store.startsWith(QStringLiteral("//"))) {
        return QStringLiteral("поле store указывает на другой сервер без схемы");
    }
    return QString();
}

} // namespace

QString windowsNameKey(const QString& path) {
    QString key = path;
    for (QChar& unit : key) {
        if (!unit.isSurrogate()) {
            unit = unit.toUpper();
        }
    }
    return key;
}

QString fileSystemKey(const QString& path) {
    return paths::nameCase == Qt::CaseInsensitive ? windowsNameKey(path) : path;
}

QString manifestKeysProblem(const QJsonObject& entry) {
    const QStringList keys{QStringLiteral("manifest_url"), QStringLiteral("manifest_size"),
                           QStringLiteral("manifest_sha256")};
    int present = 0;
    for (const QString& key : keys) {
        present += entry.contains(key) ? 1 : 0;
    }
    if (present == 0) {
        return QString();
    }
    if (present != keys.size()) {
        return QStringLiteral("поля manifest_url, manifest_size и manifest_sha256 заданы не все");
    }
    const QJsonValue url = entry.value(keys[0]);
    if (!url.isString() || !downloadUrlProblem(url.toString()).isEmpty()) {
        return QStringLiteral("адрес манифеста не является адресом http или https");
    }
    qint64 size = 0;
    if (!readCount(entry.value(keys[1]), &size) || size > MaxManifestSize) {
        return QStringLiteral("поле manifest_size не является допустимым размером");
    }
    const QJsonValue sha = entry.value(keys[2]);
    if (!sha.isString() || !lowercaseSha256().match(sha.toString()).hasMatch()) {
        return QStringLiteral("поле manifest_sha256 не является SHA-256 в нижнем регистре");
    }
    return QString();
}

bool hasManifest(const QJsonObject& entry) {
    return entry.contains(QStringLiteral("manifest_url")) && manifestKeysProblem(entry).isEmpty();
}

std::optional<Manifest> parseManifest(const QByteArray& text, QString* problem) {
    QString why;
    QString* out = problem ? problem : &why;
    auto refuse = [out](const QString& reason) -> std::optional<Manifest> {
        *out = reason;
        return std::nullopt;
    };
    if (text.size() > MaxManifestSize) {
        return refuse(QStringLiteral("манифест превышает допустимый размер"));
    }
    const std::optional<QJsonObject> object = parseObject(text);
    if (!object) {
        return refuse(QStringLiteral("манифест не является объектом JSON"));
    }
    if (object->value(QStringLiteral("format")) != QJsonValue(1)) {
        return refuse(QStringLiteral("неизвестный формат манифеста"));
    }
    Manifest manifest;
    const QJsonValue store = object->value(QStringLiteral("store"));
    manifest.store = store.toString();
    if (!store.isString() || !storeProblem(manifest.store).isEmpty()) {
        return refuse(store.isString() ? storeProblem(manifest.store)
                                       : QStringLiteral("нет поля store"));
    }
    const QJsonValue files = object->value(QStringLiteral("files"));
    if (!files.isArray()) {
        return refuse(QStringLiteral("нет списка files"));
    }
    const QJsonArray list = files.toArray();
    manifest.files.reserve(list.size());
    // Windows finds names in any letter case: two paths that differ only in it are one file
    // there, whatever the system that publishes or installs.
    QSet<QString> seen;
    for (const QJsonValue& element : list) {
        const QJsonObject item = element.toObject();
        ManifestFile file;
        file.path = item.value(QStringLiteral("path")).toString();
        file.sha256 = item.value(QStringLiteral("sha256")).toString();
        const QString pathProblem = manifestPathProblem(file.path);
        if (!element.isObject() || !pathProblem.isEmpty()) {
            return refuse(element.isObject()
                              ? pathProblem
                              : QStringLiteral("элемент files не является объектом"));
        }
        if (!readCount(item.value(QStringLiteral("size")), &file.size) ||
            !readCount(item.value(QStringLiteral("packed")), &file.packed) || file.packed == 0) {
            return refuse(QStringLiteral("размеры файла \"%1\" недопустимы").arg(file.path));
        }
        if (!lowercaseSha256().match(file.sha256).hasMatch()) {
            return refuse(
                QStringLiteral("SHA-256 файла \"%1\" не в нижнем регистре").arg(file.path));
        }
        const QString key = windowsNameKey(file.path);
        if (seen.contains(key)) {
            return refuse(QStringLiteral("файл \"%1\" указан дважды").arg(file.path));
        }
        seen.insert(key);
        manifest.files.append(file);
    }
    for (const ManifestFile& file : manifest.files) {
        const QString key = windowsNameKey(file.path);
        for (int slash = key.indexOf(QLatin1Char('/')); slash > 0;
             slash = key.indexOf(QLatin1Char('/'), slash + 1)) {
            if (seen.contains(key.left(slash))) {
                return refuse(
                    QStringLiteral("файл \"%1\" указан и как папка").arg(file.path.left(slash)));
            }
        }
    }
    return manifest;
}

QUrl storedFileUrl(const QUrl& manifestUrl, const Manifest& manifest, const ManifestFile& file) {
    return manifestUrl.resolved(
        QUrl(manifest.store + file.sha256.left(2) + QLatin1Char('/') + file.sha256));
}

bool isSettingsFile(const QString& path) {
    return path.endsWith(QStringLiteral(".ini"), Qt::CaseInsensitive);
}

UpdatePlan planUpdate(const Manifest& manifest, const QHash<QString, QString>& installed,
                      qint64 archiveSize, bool removeExtra) {
    QHash<QString, QString> byKey; // the file system's key -> the installed path
    for (auto it = installed.constBegin(); it != installed.constEnd(); ++it) {
        byKey.insert(fileSystemKey(it.key()), it.key());
    }
    UpdatePlan plan;
    qint64 packedTotal = 0;
    QSet<QString> listed;
    for (const ManifestFile& file : manifest.files) {
        packedTotal += file.packed;
        const QString key = fileSystemKey(file.path);
        listed.insert(key);
        const auto found = byKey.constFind(key);
        // An installed settings file is the user's, whatever it holds now.
        if (found != byKey.constEnd() &&
            (isSettingsFile(file.path) || installed.value(*found) == file.sha256)) {
            plan.keep << *found;
            continue;
        }
        plan.fetch << file;
        plan.fetchBytes += file.packed;
    }
    for (auto it = byKey.constBegin(); it != byKey.constEnd(); ++it) {
        if (removeExtra && !listed.contains(it.key()) && !isSettingsFile(*it)) {
            plan.remove << *it;
        }
    }
    std::sort(plan.remove.begin(), plan.remove.end());
    const qint64 reference = archiveSize >= 0 ? archiveSize : packedTotal;
    const qint64 cost = plan.fetchBytes + plan.fetch.size() * PerFileCost;
    plan.useArchive = !plan.fetch.isEmpty() && cost * 100 > reference * MaxFetchShare;
    return plan;
}

} // namespace documents
