// publish: packs the release, makes its documents and its side of the content store, checks the
// server directory as the moves will leave it, and replaces the served files together.

#include "publisher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <thread>

#include "checker.h"
#include "console.h"
#include "documents.h"
#include "replacement.h"
#include "serverfiles.h"
#include "serverlock.h"
#include "sha256.h"
#include "signing.h"
#include "versionlist.h"
#include "wholefile.h"

namespace publish {

namespace {
// Why the edited list would not install entry, or would not keep the other elements as they
// were, or an empty string.
QString selectionProblem(const versionlist::Edit& edit, const QJsonObject& entry) {
    if (!edit.intact) {
        return QStringLiteral("the new version list would not read back as the earlier entries "
                              "with the new one in its place; it was left as it is");
    }
    const QByteArray& document = edit.document;
    const documents::VersionSelection selection = documents::selectFullVersion(document);
    const QString version = entry.value(QStringLiteral("version")).toString();
    const qint32 number = documents::versionNumber(version);
    if (selection.found && selection.entry != entry) {
        return QStringLiteral(
                   "the updater would still install version \"%1\" (number %2), not \"%3\" "
                   "(number %4); the hash list describes one version only, so only a version "
                   "that becomes the newest can be published")
            .arg(selection.entry.value(QStringLiteral("version")).toString())
            .arg(documents::versionNumber(
                selection.entry.value(QStringLiteral("version")).toString()))
            .arg(version)
            .arg(number);
    }
    const versionlist::Parsed parsed = versionlist::split(document);
    for (const versionlist::Element& element : parsed.elements) {
        const QJsonObject other = element.value.toObject();
        if (element.value.isObject() && other != entry &&
            other.value(QStringLiteral("full")) == QJsonValue(true) &&
            documents::versionNumber(other.value(QStringLiteral("version")).toString()) == number) {
            return QStringLiteral("the full entry \"%1\" has the same version number %2")
                .arg(other.value(QStringLiteral("version")).toString())
                .arg(number);
        }
    }
    return QString();
}

// Checks the server directory as the moves will leave it, by every rule of check: a problem
// that would make the updater refuse the release, or reinstall it at every start, is refused;
// one of an entry that it never installs is only reported.
bool checkRelease(const QString& serverDir, const QList<Move>& moves, const QString& publicKey,
                  const QString& unpacked, Reporter& reporter, QString* error) {
    QHash<QString, QString> staged;
    for (const Move& move : moves) {
        staged.insert(move.target, QDir(serverDir).filePath(move.staged));
    }
    reporter.info(QStringLiteral("Checking the release as the updater will read it"));
    const CheckResult check = checkServerDir(serverDir, reporter, publicKey, staged, unpacked);
    QStringList refused;
    for (const Finding& finding : check.problems) {
        const QString text = QStringLiteral("[%1] %2").arg(finding.code, finding.message);
        if (check.stopsTheUpdater(finding)) {
            refused << text;
        } else {
            reporter.info(
                QStringLiteral("warning %1 (the updater never installs that entry)").arg(text));
        }
    }
    if (!refused.isEmpty()) {
        *error = QStringLiteral("the updater would refuse this release or reinstall it at every "
                                "start: ") +
                 refused.join(QStringLiteral("; "));
    }
    return refused.isEmpty();
}

// What the unchanged hash list means for installed copies of the previous release, as far as
// the two manifests tell: whether files in folders changed, or nothing did.
QString sameHashListText(const QString& serverDir, const QByteArray& original,
                         const QByteArray& manifest) {
    const QJsonObject previous = documents::selectFullVersion(original).entry;
    const QString label = previous.value(QStringLiteral("version")).toString();
    const std::optional<bool> same = sameFiles(serverDir, previous, manifest);
    if (same && *same) {
        return QStringLiteral("note: this release holds the same files as the previous one "
                              "(version \"%1\"): nothing changes for installed copies")
            .arg(label);
    }
    if (same) {
        return QStringLiteral("warning: hashlist.json stays as it was (only files in folders "
                              "changed): installed copies of the previous release pass their "
                              "check and do not update to this one; change a top-level file "
                              "too, such as a version file");
    }
    return QStringLiteral("warning: hashlist.json stays as it was (the top-level files are those "
                          "of version \"%1\"): if files in folders changed, installed copies of "
                          "that release pass their check and do not update to this one; change "
                          "a top-level file too, such as a version file")
        .arg(label);
}

// Removes the staged files that were not moved into place.
struct StagedFiles {
    QStringList paths;
    ~StagedFiles() {
        for (const QString& path : paths) {
            QFile::remove(path);
        }
    }
};
} // namespace

PublishResult publishVersion(const PublishOptions& options, Reporter& reporter) {
    PublishResult result;
    const QString serverDir = QDir(options.serverDir).absolutePath();
    if (!QDir().mkpath(serverDir)) {
        result.error = QStringLiteral("cannot create the server directory %1").arg(serverDir);
        return result;
    }
    // From reading the version list to the last move, no other publish may change the files.
    ServerLock lock(serverDir);
    if (!lock.acquire(reporter, &result.error)) {
        return result;
    }
    // A link in the server directory may lead anywhere, outside it too: nothing is written
    // while there is one.
    const QStringList links = serverLinks(serverDir);
    if (!links.isEmpty()) {
        result.error =
            QStringLiteral("[server-link] the server directory holds symbolic links "
                           "where publish writes, and it never writes through one: "
                           "%1%2; replace each with what it names")
                .arg(links.mid(0, 5).join(QStringLiteral(", ")),
                     links.size() > 5 ? QStringLiteral(" (and %1 more)").arg(links.size() - 5)
                                      : QString());
        return result;
    }
    // Opened before anything is written: a failed write-back of any file since then is seen.
    FileSystemSync flush(serverDir);
    const Recovery recovery = recoverInterrupted(serverDir, lock);
    if (!recovery.removed.isEmpty()) {
        reporter.info(QStringLiteral("Removed the files staged by a publish that stopped before "
                                     "replacing anything: ") +
                      recovery.removed.join(QStringLiteral(", ")));
    }
    if (!recovery.ok) {
        result.error = recovery.error;
        return result;
    }
    if (!recovery.repaired.isEmpty()) {
        reporter.info(QStringLiteral("Repaired: ") + recovery.repaired);
    }
    const QString listPath = QDir(serverDir).filePath(QStringLiteral("versions.json"));
    const QString hashListPath = QDir(serverDir).filePath(QStringLiteral("hashlist.json"));
    const QString archiveName = archiveFileName(options.version);
    result.archivePath = QDir(serverDir).filePath(archiveName);
    const QString listSignaturePath = listPath + QStringLiteral(".sig");
    const QString hashListSignaturePath = hashListPath + QStringLiteral(".sig");
    QByteArray key;
    if (!options.signingKey.isEmpty()) {
        if (!signing::readKeyFile(options.signingKey, &key, &result.error)) {
            return result;
        }
        result.publicKey = signing::publicKeyOf(key);
    } else if (QFileInfo::exists(listSignaturePath) || QFileInfo::exists(hashListSignaturePath)) {
        // Unsigned documents beside the old signatures would turn every signed updater away.
        result.error = QStringLiteral("the server directory holds signatures of earlier releases; "
                                      "publish with --signing-key, or remove the .sig files to "
                                      "stop signing");
        return result;
    }

    QByteArray original;
    if (QFileInfo::exists(listPath)) {
        QFile file(listPath);
        if (!file.open(QIODevice::ReadOnly)) {
            result.error = QStringLiteral("cannot read %1: %2").arg(listPath, file.errorString());
            return result;
        }
        original = file.readAll();
    }
    const versionlist::Parsed parsed = versionlist::split(original);
    if (!parsed.ok) {
        result.error = QStringLiteral("%1 is not a version list (%2); it was left as it is")
                           .arg(listPath, parsed.error);
        return result;
    }

    QJsonObject entry{
        {QStringLiteral("full"), true},
        {QStringLiteral("version"), options.version},
        {QStringLiteral("download_url"), servedUrl(options.baseUrl, archiveName)},
        {QStringLiteral("extract_to"), options.extractTo},
        {QStringLiteral("binary_name"), options.binaryName},
    };
    // Checked before the long steps with the entry as it will be, less its archive keys.
    QString problem = selectionProblem(versionlist::withEntry(original, parsed, entry), entry);
    if (!problem.isEmpty()) {
        result.error = problem;
        return result;
    }

    // Staged beside their targets, so that each moves into place in one step.
    auto stagedPath = [&](const QString& target) {
        return QDir(serverDir).filePath(stagedName(QFileInfo(target).fileName()));
    };
    const QString stagedArchive = stagedPath(result.archivePath);
    const QString stagedList = stagedPath(listPath);
    const QString stagedHashList = stagedPath(hashListPath);
    const QString stagedListSignature = stagedPath(listSignaturePath);
    const QString stagedHashListSignature = stagedPath(hashListSignaturePath);
    const StagedFiles staged{
        {stagedArchive, stagedList, stagedHashList, stagedListSignature, stagedHashListSignature}};
    // What the content store gained is removed again unless the release is published, or its
    // moves began and could not all be undone (the list may then name the manifest).
    struct AddedObjects {
        const QString& serverDir;
        StoreResult& store;
        bool keep = false;
        ~AddedObjects() {
            if (!keep) {
                removeAdded(serverDir, store);
            }
        }
    } added{serverDir, result.store};
    reporter.info(QStringLiteral("Packing %1 into %2").arg(options.appDir, archiveName));
    // 7-Zip reads files one at a time and leaves cores idle: the objects of the files are made
    // meanwhile, and after unpacking only those of files that 7-Zip changed are left to make.
    Prefill prefill;
    std::thread prefilling;
    if (options.manifest) {
        Sha256::prepare();
        prefilling = std::thread(
            [&] { prefill = prefillStore(QDir(options.appDir).absolutePath(), serverDir); });
    }
    const bool packed =
        createArchive(QDir(options.appDir).absolutePath(), stagedArchive, reporter, &result.error);
    if (prefilling.joinable()) {
        prefilling.join();
    }
    result.store.added = prefill.added; // removed again unless the release is published
    if (!packed) {
        return result;
    }

    // The hash list is made from what the updater will find after unpacking, by the same
    // 7-Zip: names as that file system spells them, and only the files it checks.
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        result.error = QStringLiteral("cannot create a temporary directory");
        return result;
    }
    const QString installDir = scratch.path() + QStringLiteral("/install");
    if (!extractArchive(stagedArchive, installDir, reporter, &result.error)) {
        return result;
    }
    if (!QFileInfo(installDir + options.binaryName).isFile()) {
        result.error =
            QStringLiteral("%1 is missing from the unpacked archive").arg(options.binaryName);
        return result;
    }
    QJsonObject hashes;
    if (!hashCheckedFiles(installDir, &hashes, reporter, &result.error)) {
        return result;
    }
    result.hashedFiles = hashes.size();
    if (options.manifest) {
        reporter.info(QStringLiteral("Writing the manifest and the content store"));
        const EarlierContents earlier =
            options.deltaFrom > 0
                ? earlierContents(serverDir, original, options.version, options.deltaFrom)
                : EarlierContents();
        if (!writeStore(installDir, serverDir, reporter, &result.store, &result.error, prefill,
                        earlier)) {
            return result;
        }
        if (!result.store.skipped.isEmpty()) {
            reporter.info(QStringLiteral("warning: published without a manifest (every update "
                                         "takes the archive): ") +
                          result.store.skipped);
        }
    }

    QString digest;
    if (!hashFile(stagedArchive, QStringLiteral("Hashing the archive"), reporter, &digest,
                  &result.error)) {
        return result;
    }
    entry.insert(QStringLiteral("size"), QFileInfo(stagedArchive).size());
    entry.insert(QStringLiteral("sha256"), digest);
    if (!result.store.manifest.isEmpty()) {
        entry.insert(QStringLiteral("manifest_url"), trimmedBaseUrl(options.baseUrl) +
                                                         QLatin1Char('/') +
                                                         result.store.manifestName);
        entry.insert(QStringLiteral("manifest_size"), result.store.manifest.size());
        entry.insert(QStringLiteral("manifest_sha256"), result.store.manifestSha256);
        // The manifest itself as an object of the store, and as deltas from earlier manifests,
        // for updaters that know these keys; the others keep to "manifest_url".
        entry.insert(QStringLiteral("manifest_store"),
                     servedUrl(options.baseUrl, QLatin1String(StoreFolder)) + QLatin1Char('/'));
        entry.insert(QStringLiteral("manifest_packed"), result.store.manifestPacked);
        if (!result.store.manifestDeltas.isEmpty()) {
            entry.insert(QStringLiteral("manifest_deltas"), result.store.manifestDeltas);
        }
    }
    const versionlist::Edit edit = versionlist::withEntry(original, parsed, entry);
    problem = selectionProblem(edit, entry);
    if (!problem.isEmpty()) {
        result.error = problem;
        return result;
    }

    // Installed copies decide by the hash list whether a newer release exists; it describes
    // the top-level files only.
    QByteArray previous;
    {
        QFile file(hashListPath); // closed before the moves: Windows cannot replace an open file
        if (file.open(QIODevice::ReadOnly)) {
            previous = file.readAll();
        }
    }
    if (!previous.isEmpty() && QJsonDocument::fromJson(previous).object() == hashes) {
        result.sameHashList = true;
        reporter.info(sameHashListText(serverDir, original, result.store.manifest));
    }
    // Both documents are complete on disk before either is replaced. Order matters to updaters
    // that read the server meanwhile: the archive exists before the list names it, and the hash
    // list changes last, so an installed older version keeps verifying until the list already
    // offers the new one. Each signature comes before its document: an updater reads the document
    // first, so it can meet an old document beside a new signature (and then reads both again),
    // never a new document beside an old signature. A failed move puts the files before it back,
    // and the journal lets the next publish or check complete one killed between its moves: the
    // new list beside the old hash list, which makes every client that installs reinstall at
    // each start, lasts only until then.
    const QByteArray hashList = QJsonDocument(hashes).toJson(QJsonDocument::Indented);
    bool written = WholeFile::writeAll(stagedList, edit.document, &result.error) &&
                   WholeFile::writeAll(stagedHashList, hashList, &result.error);
    if (written && !key.isEmpty()) {
        written = WholeFile::writeAll(stagedListSignature, signing::sign(key, edit.document),
                                      &result.error) &&
                  WholeFile::writeAll(stagedHashListSignature, signing::sign(key, hashList),
                                      &result.error);
    }
    QList<Move> moves;
    for (const QString& target :
         {result.archivePath, key.isEmpty() ? QString() : listSignaturePath, listPath,
          key.isEmpty() ? QString() : hashListSignaturePath, hashListPath}) {
        const QString name = QFileInfo(target).fileName();
        if (!name.isEmpty()) {
            moves << Move{stagedName(name), name, moves.isEmpty() ? digest : QString()};
        }
    }
    if (!written ||
        !checkRelease(serverDir, moves, result.publicKey, installDir, reporter, &result.error)) {
        return result;
    }
    // Everything is on the disk before the first move: the archive that 7-Zip wrote, and the
    // objects, flushed here together where the file system allows it. The unpacked tree goes
    // first, before it is written back for nothing (removing files on the disk can cost more
    // than writing them).
    scratch.remove();
    if (!flush.sync(&result.error)) {
        return result;
    }
    bool restored = true;
    if (!replaceTogether(serverDir, options.version, moves, options.beforeMove, &result.error,
                         &restored)) {
        if (restored) {
            result.error += QStringLiteral("; the previous release is still served");
        }
        added.keep = !restored;
        return result;
    }
    added.keep = true;
    result.entry = entry;
    result.replaced = edit.replaced;
    result.ok = true;
    return result;
}

} // namespace publish
