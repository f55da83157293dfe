#pragma once

// The checker behind checkServerDir: its state and its rules, one source file per thing it
// checks. checker.cpp runs them in order and keeps the shared reporting; documentcheck.cpp reads
// the version list, the hash list and their signatures; archivecheck.cpp unpacks the archive of
// the entry to be installed and checks it against the hash list; storecheck.cpp proves that
// entry's manifest and the objects of the content store.

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "checker.h"
#include "manifest.h"

namespace publish {

class Reporter;

// A JSON value as a message shows it: a string in double quotes, "missing", or its JSON text.
QString quoted(const QJsonValue& value);

class Checker {
public:
    Checker(const QString& serverDir, Reporter& reporter, const QString& publicKeys,
            const QHash<QString, QString>& staged, const QString& unpacked)
        : serverDir(serverDir)
        , reporter(reporter)
        , publicKeys(publicKeys)
        , staged(staged)
        , unpacked(unpacked) {}

    CheckResult run();

private:
    // Reporting (checker.cpp): a finding about the element being checked, or the first of a kind
    // of fault with how many files share it.
    void problem(const QString& code, const QString& message);
    void problems(const QString& code, const QStringList& messages);
    // A served file's path, or the staged file that is about to replace it.
    QString serverFile(const QString& name) const;

    // The documents (documentcheck.cpp).
    void checkVersionList();
    qint32 checkLabel(int index, const QJsonObject& entry);
    void checkPaths(int index, const QJsonObject& entry);
    // The archive an entry names, as a file of the server directory ("" if the URL names none).
    QString localArchive(const QJsonObject& entry) const;
    // selected: the entry the updater installs; its archive must be here to be checked.
    void checkDownload(int index, const QJsonObject& entry, bool selected);
    void checkHashList();
    void checkSignature(const QString& name);

    // The archive of the entry to be installed (archivecheck.cpp).
    void checkArchiveContents();

    // Its manifest and the content store (storecheck.cpp).
    void checkManifest(const QString& installDir);
    void checkDeltas(const QUrl& url, const documents::Manifest& manifest);
    void checkManifestObject(const QByteArray& text);

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

} // namespace publish
