#include "manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>

#include "documents.h"
#include "paths.h"

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

// Reads a list of deltas to the content sha256 of size bytes (absent: none) into *deltas; false
// when it is unusable.
bool readDeltaList(const QJsonValue& value, const QString& sha256, qint64 size,
                   QVector<ManifestDelta>* deltas) {
    if (value.isUndefined()) {
        return true;
    }
    const QJsonArray list = value.toArray();
    if (!value.isArray() || list.size() > MaxDeltas || size > MaxDeltaFileSize) {
        return false;
    }
    QSet<QString> bases;
    for (const QJsonValue& element : list) {
        const QJsonObject object = element.toObject();
        ManifestDelta delta;
        delta.from = object.value(QStringLiteral("from")).toString();
        if (!element.isObject() || !lowercaseSha256().match(delta.from).hasMatch() ||
            delta.from == sha256 || bases.contains(delta.from) ||
            !readCount(object.value(QStringLiteral("from_size")), &delta.fromSize) ||
            delta.fromSize > MaxDeltaFileSize ||
            !readCount(object.value(QStringLiteral("packed")), &delta.packed) ||
            delta.packed == 0) {
            return false;
        }
        bases.insert(delta.from);
        deltas->append(delta);
    }
    return true;
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

std::optional<StoredManifest> storedManifest(const QJsonObject& entry) {
    const QString store = entry.value(QStringLiteral("manifest_store")).toString();
    const QString sha256 = entry.value(QStringLiteral("manifest_sha256")).toString();
    StoredManifest stored;
    if (!hasManifest(entry) || !store.endsWith(QLatin1Char('/')) ||
        !downloadUrlProblem(store).isEmpty() ||
        !readCount(entry.value(QStringLiteral("manifest_packed")), &stored.packed) ||
        stored.packed == 0 ||
        !readDeltaList(entry.value(QStringLiteral("manifest_deltas")), sha256,
                       qint64(entry.value(QStringLiteral("manifest_size")).toDouble()),
                       &stored.deltas)) {
        return std::nullopt;
    }
    stored.store = QUrl(store);
    stored.object = stored.store.resolved(QUrl(sha256.left(2) + QLatin1Char('/') + sha256));
    return stored;
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
    const std::optional<QJsonObject> object = parseJsonObject(text);
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
        if (!readDeltaList(item.value(QStringLiteral("deltas")), file.sha256, file.size,
                           &file.deltas)) {
            return refuse(QStringLiteral("дельты файла \"%1\" недопустимы").arg(file.path));
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

QString deltaName(const QString& to, const QString& from) {
    return QStringLiteral("deltas/") + to.left(2) + QLatin1Char('/') + to + QLatin1Char('-') + from;
}

QUrl storedDeltaUrl(const QUrl& manifestUrl, const Manifest& manifest, const ManifestFile& file,
                    const ManifestDelta& delta) {
    return manifestUrl.resolved(QUrl(manifest.store + deltaName(file.sha256, delta.from)));
}

bool isSettingsFile(const QString& path) {
    return path.endsWith(QStringLiteral(".ini"), Qt::CaseInsensitive);
}

UpdatePlan planUpdate(const Manifest& manifest, const QHash<QString, QString>& installed,
                      qint64 archiveSize, bool removeExtra) {
    QHash<QString, QString> byKey;    // the file system's key -> the installed path
    QHash<QString, QString> byDigest; // an installed content -> one path that holds it
    for (auto it = installed.constBegin(); it != installed.constEnd(); ++it) {
        byKey.insert(fileSystemKey(it.key()), it.key());
        if (!it.value().isEmpty()) {
            byDigest.insert(it.value(), it.key());
        }
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
        // A base is any installed file with the delta's digest, wherever it is.
        qint64 cost = file.packed;
        for (const ManifestDelta& delta : file.deltas) {
            const auto base = byDigest.constFind(delta.from);
            if (base != byDigest.constEnd() && delta.packed < cost) {
                cost = delta.packed;
                plan.bases.insert(file.sha256, {*base, delta});
            }
        }
        plan.fetchBytes += cost;
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
