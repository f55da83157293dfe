// The documents as the updater reads them: the version list with each entry's label, paths and
// download, the hash list, and the signatures of both.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

#include "checkrules.h"
#include "console.h"
#include "documents.h"
#include "downloader.h"
#include "manifest.h"
#include "serverfiles.h"
#include "signature.h"

namespace publish {

namespace {
// The longest data directory of a local Windows account: user names have at most 20
// characters.
QString windowsDataDir() {
    return QStringLiteral("C:/Users/%1/AppData/Local/qv_updater")
        .arg(QString(20, QLatin1Char('u')));
}

bool isLowercaseDigest(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    return hex.match(text).hasMatch();
}
} // namespace

void Checker::checkVersionList() {
    const QString path = serverFile(QStringLiteral("versions.json"));
    QFile file(path);
    if (!file.exists()) {
        problem(QStringLiteral("list-missing"),
                QStringLiteral("%1 does not exist: the updater cannot install anything").arg(path));
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problem(QStringLiteral("list-missing"),
                QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));
        return;
    }
    if (file.size() > documents::MaxVersionListSize) {
        problem(QStringLiteral("list-too-large"),
                QStringLiteral("versions.json has %1 bytes; the updater reads at most %2")
                    .arg(file.size())
                    .arg(documents::MaxVersionListSize));
        return;
    }
    const QByteArray body = file.readAll();
    const documents::VersionSelection selection = documents::selectFullVersion(body);
    if (!selection.isArray) {
        problem(QStringLiteral("list-not-array"),
                QStringLiteral("versions.json is not a JSON array; the updater rejects it "
                               "whole (\"Неверный формат JSON\")"));
        return;
    }
    const QJsonArray list = QJsonDocument::fromJson(body).array();
    QHash<qint32, int> firstWithNumber;
    qint32 best = 0;
    for (int i = 0; i < list.size(); ++i) {
        element = i;
        if (!list.at(i).isObject()) {
            problem(QStringLiteral("element-not-object"),
                    QStringLiteral("element %1 of versions.json is %2, not an object "
                                   "(\"Недопустимый элемент массива JSON\")")
                        .arg(i)
                        .arg(quoted(list.at(i))));
            continue;
        }
        const QJsonObject entry = list.at(i).toObject();
        const QJsonValue full = entry.value(QStringLiteral("full"));
        if (!full.isUndefined() && !full.isBool()) {
            problem(QStringLiteral("full-not-boolean"),
                    QStringLiteral("entry %1: \"full\" is %2, which the updater reads as "
                                   "false; write the JSON literal true or false")
                        .arg(i)
                        .arg(quoted(full)));
        }
        if (full != QJsonValue(true)) {
            continue;
        }
        const qint32 number = checkLabel(i, entry);
        if (number > 0) {
            if (firstWithNumber.contains(number)) {
                problem(QStringLiteral("duplicate-number"),
                        QStringLiteral("entries %1 and %2 are both full with version number "
                                       "%3; only the earlier one can ever be installed")
                            .arg(firstWithNumber.value(number))
                            .arg(i)
                            .arg(number));
            } else {
                firstWithNumber.insert(number, i);
            }
            if (number > best) {
                best = number;
                result.selected = true;
                result.entry = entry;
                result.entryIndex = i;
            }
        }
        checkPaths(i, entry);
        checkDownload(i, entry, false);
    }
    element = -1;
    if (!selection.found) {
        problem(QStringLiteral("no-full-entry"),
                QStringLiteral("versions.json has no full entry with a positive version "
                               "number (\"Не удалось найти полную версию в массиве JSON\")"));
        return;
    }
    // The selection above mirrors the updater's; its own function has the last word.
    result.entry = selection.entry;
    const QString extractTo = result.entry.value(QStringLiteral("extract_to")).toString();
    result.installSummary =
        QStringLiteral("The updater would install entry %1: version \"%2\" (number %3) "
                       "from %4 into <DataDir>%5 and launch <DataDir>%5%6")
            .arg(result.entryIndex)
            .arg(result.entry.value(QStringLiteral("version")).toString())
            .arg(best)
            .arg(selection.downloadUrl, extractTo,
                 result.entry.value(QStringLiteral("binary_name")).toString());
    element = result.entryIndex;
    checkDownload(result.entryIndex, result.entry, true);
    element = -1;
}

qint32 Checker::checkLabel(int index, const QJsonObject& entry) {
    const QJsonValue label = entry.value(QStringLiteral("version"));
    const qint32 number = documents::versionNumber(label.toString());
    if (number > 0) {
        return number;
    }
    QString digits = label.toString();
    digits.remove(QRegularExpression(QStringLiteral("[^\\d]")));
    if (digits.isEmpty()) {
        problem(QStringLiteral("label-no-digits"),
                QStringLiteral("entry %1: version %2 has no digits, so its number is 0 and "
                               "it is never installed")
                    .arg(index)
                    .arg(quoted(label)));
    } else if (digits.toLongLong() > 0 || digits.size() > 18) {
        problem(QStringLiteral("label-overflow"),
                QStringLiteral("entry %1: the digits of version %2 (%3) do not fit in a "
                               "signed 32-bit number, so it reads as 0 and is never "
                               "installed")
                    .arg(index)
                    .arg(quoted(label), digits));
    } else {
        problem(QStringLiteral("label-zero"),
                QStringLiteral("entry %1: version %2 reads as 0 and is never installed")
                    .arg(index)
                    .arg(quoted(label)));
    }
    return 0;
}

void Checker::checkPaths(int index, const QJsonObject& entry) {
    const QJsonValue extractTo = entry.value(QStringLiteral("extract_to"));
    const QString target = extractTo.toString();
    if (!extractTo.isString() || !target.startsWith(QLatin1Char('/')) ||
        target.contains(QStringLiteral(".."))) {
        problem(QStringLiteral("extract-to"),
                QStringLiteral("entry %1: \"extract_to\" is %2; it must be a string that "
                               "starts with \"/\" and holds no \"..\"")
                    .arg(index)
                    .arg(quoted(extractTo)));
    } else {
        const QString why = documents::installTargetProblem(exampleDataDir(), target);
        if (!why.isEmpty()) {
            problem(QStringLiteral("extract-to"),
                    QStringLiteral("entry %1: \"extract_to\" %2 is refused by the updater "
                                   "(\"%3\")")
                        .arg(index)
                        .arg(quoted(extractTo), why));
        }
    }
    const QJsonValue binaryName = entry.value(QStringLiteral("binary_name"));
    const QString binary = binaryName.toString();
    if (!binaryName.isString() || !binary.startsWith(QLatin1Char('/')) || binary.size() < 2 ||
        binary.contains(QStringLiteral(".."))) {
        problem(QStringLiteral("binary-name"),
                QStringLiteral("entry %1: \"binary_name\" is %2; it must be a string that "
                               "starts with \"/\", names a file and holds no \"..\"")
                    .arg(index)
                    .arg(quoted(binaryName)));
    } else {
        const QString why = documents::binaryNameProblem(binary);
        if (!why.isEmpty()) {
            problem(QStringLiteral("binary-name"),
                    QStringLiteral("entry %1: \"binary_name\" %2 is refused by the updater "
                                   "(\"%3\")")
                        .arg(index)
                        .arg(quoted(binaryName), why));
        } else if (!documents::executablePathProblem(windowsDataDir(), target, binary).isEmpty()) {
            const QString inDataDir = QDir::cleanPath(target + binary);
            problem(QStringLiteral("executable-path"),
                    QStringLiteral("entry %1: the executable's path within the data "
                                   "directory, %2, is %3 characters; behind a Windows "
                                   "user's data directory (up to %4 characters) it can "
                                   "pass %5, and the updater refuses it")
                        .arg(index)
                        .arg(inDataDir)
                        .arg(inDataDir.size())
                        .arg(windowsDataDir().size())
                        .arg(documents::MaxExecutablePath));
        }
    }
}

QString Checker::localArchive(const QJsonObject& entry) const {
    const QUrl url(entry.value(QStringLiteral("download_url")).toString(), QUrl::TolerantMode);
    const QString name = Downloader::targetFileName(url);
    return name.isEmpty() ? QString() : serverFile(name);
}

void Checker::checkDownload(int index, const QJsonObject& entry, bool selected) {
    const QString manifestKeys = documents::manifestKeysProblem(entry);
    if (!manifestKeys.isEmpty()) {
        problem(QStringLiteral("manifest-keys"),
                QStringLiteral("entry %1: %2; the updater refuses the entry")
                    .arg(index)
                    .arg(manifestKeys));
    }
    const QJsonValue urlValue = entry.value(QStringLiteral("download_url"));
    if (!selected) {
        const QUrl url(urlValue.toString(), QUrl::TolerantMode);
        if (!urlValue.isString() || !documents::downloadUrlProblem(urlValue.toString()).isEmpty()) {
            problem(QStringLiteral("download-url"),
                    QStringLiteral("entry %1: \"download_url\" %2 is not an absolute http URL")
                        .arg(index)
                        .arg(quoted(urlValue)));
            return;
        }
        if (Downloader::targetFileName(url).isEmpty()) {
            problem(QStringLiteral("download-url"),
                    QStringLiteral("entry %1: the last segment of \"download_url\" %2 is not a "
                                   "plain file name; the updater cannot save the archive")
                        .arg(index)
                        .arg(quoted(urlValue)));
            return;
        }
        const QString keysProblem = documents::archiveCheckProblem(entry);
        if (!keysProblem.isEmpty()) {
            problem(QStringLiteral("archive-keys"),
                    QStringLiteral("entry %1: %2; the updater refuses the download")
                        .arg(index)
                        .arg(keysProblem));
        }
    }
    const QString archive = localArchive(entry);
    if (archive.isEmpty()) {
        return;
    }
    const bool hasSize = entry.contains(QStringLiteral("size"));
    const bool hasDigest = entry.contains(QStringLiteral("sha256"));
    if (!QFileInfo(archive).isFile()) {
        if (selected && !hasSize && !hasDigest) {
            problem(QStringLiteral("archive-missing"),
                    QStringLiteral("the archive of the entry to be installed, %1, is not in "
                                   "the server directory; its contents cannot be checked")
                        .arg(QFileInfo(archive).fileName()));
        } else if (!selected && (hasSize || hasDigest)) {
            problem(QStringLiteral("archive-missing"),
                    QStringLiteral("entry %1: the archive %2 is not in the server directory")
                        .arg(index)
                        .arg(QFileInfo(archive).fileName()));
        }
        return;
    }
    if (selected) {
        selectedArchive = archive;
        return; // its size and digest were checked with the other entries
    }
    const QJsonValue size = entry.value(QStringLiteral("size"));
    if (size.isDouble() && QFileInfo(archive).size() != static_cast<qint64>(size.toDouble())) {
        problem(QStringLiteral("archive-size"),
                QStringLiteral("entry %1: \"size\" is %2 but %3 has %4 bytes")
                    .arg(index)
                    .arg(static_cast<qint64>(size.toDouble()))
                    .arg(QFileInfo(archive).fileName())
                    .arg(QFileInfo(archive).size()));
    }
    const QJsonValue sha = entry.value(QStringLiteral("sha256"));
    // Checking a publish, only the archive it adds is worth hashing: only its entry is
    // installed.
    if (sha.isString() && (staged.isEmpty() || staged.values().contains(archive))) {
        QString digest = archiveDigests.value(archive);
        QString error;
        if (digest.isEmpty() &&
            !hashFile(archive, QStringLiteral("Hashing ") + QFileInfo(archive).fileName(), reporter,
                      &digest, &error)) {
            problem(QStringLiteral("archive-unreadable"), error);
            return;
        }
        archiveDigests.insert(archive, digest);
        if (digest != sha.toString()) {
            problem(QStringLiteral("archive-sha256"),
                    QStringLiteral("entry %1: \"sha256\" is %2 but %3 has the digest %4")
                        .arg(index)
                        .arg(quoted(sha), QFileInfo(archive).fileName(), digest));
        }
    }
}

void Checker::checkHashList() {
    const QString path = serverFile(QStringLiteral("hashlist.json"));
    QFile file(path);
    if (!file.exists()) {
        problem(QStringLiteral("hashlist-missing"),
                QStringLiteral("hashlist.json does not exist: every installed copy fails its "
                               "check (\"Возникла ошибка при загрузке таблицы хеш\")"));
        return;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        problem(QStringLiteral("hashlist-missing"),
                QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));
        return;
    }
    const auto parsed = documents::parseHashList(file.readAll());
    if (!parsed) {
        problem(QStringLiteral("hashlist-not-object"),
                QStringLiteral("hashlist.json is not a JSON object (\"Ошибка при разборе "
                               "файла хеш-листа JSON\")"));
        return;
    }
    hashes = *parsed;
    hashesUsable = true;
    for (auto it = hashes.constBegin(); it != hashes.constEnd(); ++it) {
        const QString value = it.value().toString();
        if (it.value().isString() && isLowercaseDigest(value)) {
            continue;
        }
        if (it.value().isString() && isLowercaseDigest(value.toLower())) {
            problem(QStringLiteral("digest-uppercase"),
                    QStringLiteral("hashlist.json: the digest of \"%1\" has uppercase "
                                   "letters; the updater compares exactly and never "
                                   "matches it")
                        .arg(it.key()));
        } else {
            problem(QStringLiteral("digest-malformed"),
                    QStringLiteral("hashlist.json: the value of \"%1\" is %2, not 64 "
                                   "lowercase hexadecimal characters")
                        .arg(it.key(), quoted(it.value())));
        }
    }
}

void Checker::checkSignature(const QString& name) {
    QFile document(serverFile(name));
    const QString signatureName = name + QStringLiteral(".sig");
    QFile signatureFile(serverFile(signatureName));
    if (!document.open(QIODevice::ReadOnly)) {
        return; // already a problem of its own
    }
    if (publicKeys.isEmpty()) {
        if (signatureFile.exists()) {
            result.notes
                << QStringLiteral("%1 was not checked (give --public-key)").arg(signatureName);
        }
        return;
    }
    QList<QByteArray> keys;
    signature::parsePublicKeys(publicKeys, &keys);
    const QByteArray text = signatureFile.open(QIODevice::ReadOnly)
                                ? signatureFile.read(signature::MaxSignatureSize + 1)
                                : QByteArray();
    switch (signature::verify(document.readAll(), text, keys)) {
    case signature::Verdict::Valid:
        break;
    case signature::Verdict::Missing:
        problem(QStringLiteral("signature-missing"),
                QStringLiteral("%1 is missing or empty: a signed updater refuses %2 (\"Подпись "
                               "файла %2 не прошла проверку.\")")
                    .arg(signatureName, name));
        break;
    case signature::Verdict::Malformed:
        problem(QStringLiteral("signature-malformed"),
                QStringLiteral("%1 is not the base64 of a 64-byte Ed25519 signature: a signed "
                               "updater refuses %2")
                    .arg(signatureName, name));
        break;
    case signature::Verdict::Mismatch:
        problem(QStringLiteral("signature-mismatch"),
                QStringLiteral("%1 is not a signature of %2 by the key(s) given: a signed "
                               "updater with these keys refuses it")
                    .arg(signatureName, name));
        break;
    }
}

} // namespace publish
