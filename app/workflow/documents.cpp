#include "documents.h"
#include "manifest.h"

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

std::optional<QJsonObject> parseJsonObject(const QByteArray& text) {
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

namespace {
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

} // namespace

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
    return parseJsonObject(text);
}

std::optional<QJsonObject> parseHashList(const QByteArray& text) {
    return parseJsonObject(text);
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
