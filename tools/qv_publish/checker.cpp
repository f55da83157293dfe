#include "checker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <thread>
#include <vector>

#include "console.h"
#include "contentstore.h"
#include "documents.h"
#include "downloader.h"
#include "manifest.h"
#include "replacement.h"
#include "serverfiles.h"
#include "sha256.h"
#include "signature.h"
#include "storedobject.h"
#include "tree.h"

namespace publish {

bool CheckResult::has(const QString& code) const {
    for (const Finding& finding : problems) {
        if (finding.code == code) {
            return true;
        }
    }
    return false;
}

bool CheckResult::stopsTheUpdater(const Finding& finding) const {
    return finding.element < 0 || finding.element == entryIndex;
}

QStringList CheckResult::codes() const {
    QStringList list;
    for (const Finding& finding : problems) {
        list << finding.code;
    }
    return list;
}

QString exampleDataDir() {
    return QStringLiteral("/home/user/.local/share/qv_updater");
}

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

QString quoted(const QJsonValue& value) {
    if (value.isString()) {
        return QLatin1Char('"') + value.toString() + QLatin1Char('"');
    }
    if (value.isUndefined()) {
        return QStringLiteral("missing");
    }
    QJsonArray wrapper{value};
    return QString::fromUtf8(QJsonDocument(wrapper).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}

class Checker {
public:
    Checker(const QString& serverDir, Reporter& reporter, const QString& publicKeys,
            const QHash<QString, QString>& staged, const QString& unpacked)
        : serverDir(serverDir)
        , reporter(reporter)
        , publicKeys(publicKeys)
        , staged(staged)
        , unpacked(unpacked) {}

    CheckResult run() {
        if (QFileInfo::exists(journalPath(serverDir))) {
            problem(QStringLiteral("publish-interrupted"),
                    QStringLiteral("%1 is there: a publish was interrupted between its moves, and "
                                   "the served files may mix two releases until a check or "
                                   "publish that can write the directory repairs it")
                        .arg(journalPath(serverDir)));
        }
        if (staged.isEmpty()) { // a publish refuses links before it writes anything
            QStringList links;
            for (const QString& link : serverLinks(serverDir)) {
                links << QStringLiteral("%1 in the server directory is a symbolic link: publish "
                                        "refuses to write through it, and the web server serves "
                                        "whatever it leads to; replace it with what it names")
                             .arg(link);
            }
            problems(QStringLiteral("server-link"), links);
        }
        checkVersionList();
        checkHashList();
        for (const char* name : {"versions.json", "hashlist.json"}) {
            checkSignature(QString::fromLatin1(name));
        }
        if (result.selected && hashesUsable) {
            checkArchiveContents();
        }
        return result;
    }

private:
    void problem(const QString& code, const QString& message) {
        result.problems << Finding{code, message, element};
    }

    QString serverFile(const QString& name) const {
        return staged.value(name, QDir(serverDir).filePath(name));
    }

    void checkVersionList() {
        const QString path = serverFile(QStringLiteral("versions.json"));
        QFile file(path);
        if (!file.exists()) {
            problem(
                QStringLiteral("list-missing"),
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

    qint32 checkLabel(int index, const QJsonObject& entry) {
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

    void checkPaths(int index, const QJsonObject& entry) {
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
            } else if (!documents::executablePathProblem(windowsDataDir(), target, binary)
                            .isEmpty()) {
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

    // The archive an entry names, as a file of the server directory ("" if the URL names none).
    QString localArchive(const QJsonObject& entry) const {
        const QUrl url(entry.value(QStringLiteral("download_url")).toString(), QUrl::TolerantMode);
        const QString name = Downloader::targetFileName(url);
        return name.isEmpty() ? QString() : serverFile(name);
    }

    // selected: the entry the updater installs; its archive must be here to be checked.
    void checkDownload(int index, const QJsonObject& entry, bool selected) {
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
            if (!urlValue.isString() ||
                !documents::downloadUrlProblem(urlValue.toString()).isEmpty()) {
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
                !hashFile(archive, QStringLiteral("Hashing ") + QFileInfo(archive).fileName(),
                          reporter, &digest, &error)) {
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

    void checkHashList() {
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

    void checkSignature(const QString& name) {
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

    void checkArchiveContents() {
        if (selectedArchive.isEmpty() || result.has(QStringLiteral("extract-to"))) {
            return;
        }
        // The updater's installation directory, rebuilt from the archive (a publish has just
        // unpacked the archive it adds).
        QTemporaryDir scratch;
        QString installDir = staged.values().contains(selectedArchive) ? unpacked : QString();
        QString error;
        if (installDir.isEmpty() && !scratch.isValid()) {
            problem(QStringLiteral("archive-unreadable"),
                    QStringLiteral("no temporary directory to unpack the archive into"));
            return;
        }
        if (installDir.isEmpty()) {
            installDir = scratch.path() + QStringLiteral("/install");
            if (!extractArchive(selectedArchive, installDir, reporter, &error)) {
                problem(QStringLiteral("archive-unreadable"), error);
                return;
            }
        }
        const QString undecodable = tree::nameNotUtf8(installDir);
        if (!undecodable.isEmpty()) {
            problem(QStringLiteral("file-name-not-utf8"),
                    QStringLiteral("the archive holds \"%1\", a name that is not UTF-8: Windows "
                                   "cannot hold it, the hash list cannot name it and the "
                                   "updater's next wipe may not remove it")
                        .arg(undecodable));
        }
        const QStringList names = documents::verifiedFileNames(installDir);
        for (const QString& name : names) {
            QString digest;
            if (!hashFile(QDir(installDir).filePath(name), QStringLiteral("Hashing ") + name,
                          reporter, &digest, &error)) {
                problem(QStringLiteral("archive-unreadable"), error);
                continue;
            }
            if (!hashes.contains(name)) {
                problem(QStringLiteral("file-no-key"),
                        QStringLiteral("the archive's top-level file \"%1\" has no key in "
                                       "hashlist.json: every check fails and reinstalls")
                            .arg(name));
            } else if (hashes.value(name).toString() != digest) {
                problem(QStringLiteral("file-wrong-digest"),
                        QStringLiteral("the archive's top-level file \"%1\" has the digest %2, "
                                       "hashlist.json says %3: every check fails and reinstalls")
                            .arg(name, digest, quoted(hashes.value(name))));
            }
        }
        for (auto it = hashes.constBegin(); it != hashes.constEnd(); ++it) {
            if (!names.contains(it.key())) {
                result.notes << QStringLiteral("hashlist.json names \"%1\", which is not a "
                                               "checked top-level file of the archive (never read)")
                                    .arg(it.key());
            }
        }
        const QString binary = result.entry.value(QStringLiteral("binary_name")).toString();
        const QFileInfo executable(installDir + binary);
        if (!executable.exists()) {
            problem(QStringLiteral("executable-missing"),
                    QStringLiteral("the archive has no \"%1\" (the entry's \"binary_name\"): "
                                   "\"Исполняемый файл не найден! Напишите в техподдержку.\"")
                        .arg(binary.mid(1)));
        } else if (!executable.isFile()) {
            problem(QStringLiteral("executable-missing"),
                    QStringLiteral("\"%1\" in the archive is a directory, not a program")
                        .arg(binary.mid(1)));
        }
#ifndef Q_OS_WIN
        else if (!executable.isExecutable()) {
            problem(QStringLiteral("executable-missing"),
                    QStringLiteral("\"%1\" in the archive has no execute permission")
                        .arg(binary.mid(1)));
        }
#endif
        element = result.entryIndex;
        checkManifest(installDir);
        element = -1;
    }

    // Reports the first of a kind of fault with how many files share it.
    void problems(const QString& code, const QStringList& messages) {
        if (!messages.isEmpty()) {
            problem(code, messages.size() == 1 ? messages.first()
                                               : QStringLiteral("%1 (and %2 more)")
                                                     .arg(messages.first())
                                                     .arg(messages.size() - 1));
        }
    }

    // The manifest of the entry to be installed against its tree as unpacked from the archive,
    // and the store against the manifest. The updater takes the archive instead of a manifest or
    // an object that does not match; so each fault costs every client the whole archive.
    void checkManifest(const QString& installDir) {
        const QJsonObject& entry = result.entry;
        if (!documents::hasManifest(entry) || !documents::manifestKeysProblem(entry).isEmpty()) {
            return;
        }
        const QUrl url(entry.value(QStringLiteral("manifest_url")).toString());
        const QString path = servedFile(serverDir, entry, url);
        if (path.isEmpty()) {
            result.notes << QStringLiteral("the manifest %1 is not served from beside the "
                                           "archive; it was not checked")
                                .arg(url.toString());
            return;
        }
        const QString cost = QStringLiteral(": every update takes the whole archive");
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            problem(QStringLiteral("manifest-missing"),
                    QStringLiteral("the manifest %1 is not in the server directory")
                            .arg(QDir(serverDir).relativeFilePath(path)) +
                        cost);
            return;
        }
        const QByteArray text = file.read(documents::MaxManifestSize + 1);
        const qint64 size = entry.value(QStringLiteral("manifest_size")).toVariant().toLongLong();
        if (text.size() != size) {
            problem(QStringLiteral("manifest-wrong-size"),
                    QStringLiteral("the manifest %1 has %2 bytes, \"manifest_size\" says %3")
                            .arg(QDir(serverDir).relativeFilePath(path))
                            .arg(text.size())
                            .arg(size) +
                        cost);
            return;
        }
        Sha256 hash;
        hash.addData(text);
        const QString digest = hash.hexResult();
        if (digest != entry.value(QStringLiteral("manifest_sha256")).toString()) {
            problem(QStringLiteral("manifest-wrong-digest"),
                    QStringLiteral("the manifest %1 has the digest %2, \"manifest_sha256\" "
                                   "says %3")
                            .arg(QDir(serverDir).relativeFilePath(path), digest,
                                 entry.value(QStringLiteral("manifest_sha256")).toString()) +
                        cost);
            return;
        }
        QString why;
        const std::optional<documents::Manifest> manifest = documents::parseManifest(text, &why);
        if (!manifest) {
            problem(QStringLiteral("manifest-invalid"),
                    QStringLiteral("the manifest %1 is refused by the updater (%2)")
                            .arg(QDir(serverDir).relativeFilePath(path), why) +
                        cost);
            return;
        }
        QHash<QString, documents::ManifestFile> listed;
        for (const documents::ManifestFile& item : manifest->files) {
            listed.insert(item.path, item);
        }
        // A publish made the manifest from this very tree a moment ago: comparing them again
        // would only repeat its hashing.
        if (installDir == unpacked) {
            listed.clear();
        }
        QStringList mismatches;
        for (const QString& name :
             installDir == unpacked ? QStringList() : tree::listEntries(installDir)) {
            const auto it = listed.constFind(name);
            if (it == listed.constEnd()) {
                mismatches
                    << QStringLiteral("the archive holds \"%1\", the manifest does not").arg(name);
                continue;
            }
            const QString path = QDir(installDir).filePath(name);
            QString fileDigest;
            if (QFileInfo(path).size() != it->size || !Sha256::hashFile(path, &fileDigest) ||
                fileDigest != it->sha256) {
                mismatches << QStringLiteral("\"%1\" in the archive is not the file that the "
                                             "manifest lists")
                                  .arg(name);
            }
            listed.remove(name);
        }
        for (auto it = listed.constBegin(); it != listed.constEnd(); ++it) {
            mismatches << QStringLiteral("the manifest lists \"%1\", which the archive does "
                                         "not hold")
                              .arg(it.key());
        }
        problems(QStringLiteral("manifest-archive-mismatch"), mismatches);

        // Checking a publish, the objects were proven as they were stored; a check unpacks
        // each one as the updater will, in memory, on every core.
        QStringList missing, wrongSize, damaged;
        QVector<int> toVerify;
        QVector<QString> objects(manifest->files.size());
        for (int i = 0; i < manifest->files.size(); ++i) {
            const documents::ManifestFile& item = manifest->files.at(i);
            const QString object =
                servedFile(serverDir, entry, documents::storedFileUrl(url, *manifest, item));
            if (object.isEmpty()) {
                result.notes << QStringLiteral("the content store of %1 is not served from "
                                               "beside the archive; it was not checked")
                                    .arg(url.toString());
                break;
            }
            objects[i] = object;
            const QString name = QDir(serverDir).relativeFilePath(object);
            const QFileInfo info(object);
            if (!info.isFile()) {
                missing << QStringLiteral("the object %1 of \"%2\" is not in the server "
                                          "directory")
                               .arg(name, item.path);
            } else if (info.size() != item.packed) {
                wrongSize << QStringLiteral("the object %1 of \"%2\" has %3 bytes, the manifest "
                                            "says %4")
                                 .arg(name, item.path)
                                 .arg(info.size())
                                 .arg(item.packed);
            } else if (staged.isEmpty()) {
                toVerify << i;
            }
        }
        QVector<QString> faults(manifest->files.size());
        std::atomic<int> next{0};
        auto work = [&](bool reporting) {
            for (int n = next++; n < toVerify.size(); n = next++) {
                const int i = toVerify.at(n);
                const documents::ManifestFile& item = manifest->files.at(i);
                faults[i] = storedobject::verify(objects.at(i), item.size, item.sha256);
                if (reporting) {
                    reporter.progress(QStringLiteral("Checking the content store"),
                                      int(n * 100LL / toVerify.size()));
                }
            }
        };
        Sha256::prepare();
        std::vector<std::thread> workers;
        for (int i = 1; i < QThread::idealThreadCount() && toVerify.size() > 1; ++i) {
            workers.emplace_back(work, false);
        }
        work(true);
        for (std::thread& worker : workers) {
            worker.join();
        }
        for (const int i : toVerify) {
            if (!faults.at(i).isEmpty()) {
                damaged << QStringLiteral("the object %1 of \"%2\" does not unpack to it (%3)")
                               .arg(QDir(serverDir).relativeFilePath(objects.at(i)),
                                    manifest->files.at(i).path, faults.at(i));
            }
        }
        problems(QStringLiteral("store-object-missing"), missing);
        problems(QStringLiteral("store-object-wrong-size"), wrongSize);
        problems(QStringLiteral("store-object-damaged"), damaged);
    }

    QString serverDir;
    Reporter& reporter;
    QString publicKeys;
    QHash<QString, QString> staged;
    QString unpacked;
    int element = -1; // the list element being checked
    CheckResult result;
    QJsonObject hashes;
    bool hashesUsable = false;
    QString selectedArchive;
    QHash<QString, QString> archiveDigests;
};

} // namespace

CheckResult checkServerDir(const QString& serverDir, Reporter& reporter, const QString& publicKeys,
                           const QHash<QString, QString>& staged, const QString& unpacked) {
    return Checker(serverDir, reporter, publicKeys, staged, unpacked).run();
}

} // namespace publish
