#pragma once

// Reads a server directory the way the updater will read the server and lists every problem
// the updater would run into.

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace publish {

class Reporter;

struct Finding {
    QString code;     // stable short name, e.g. "file-wrong-digest"
    QString message;  // what is wrong and where, for the vendor
    int element = -1; // the version list element it concerns; -1: the documents as a whole
};

struct CheckResult {
    QList<Finding> problems;
    QStringList notes;      // worth knowing, harmless to the updater
    bool selected = false;  // a full entry would be installed
    QJsonObject entry;      // that entry, as the list holds it
    int entryIndex = -1;    // its position in the list
    QString installSummary; // which entry would be installed, where, and what is launched

    bool has(const QString& code) const;
    QStringList codes() const;
    // A problem that makes the updater refuse the release or reinstall it at every start: all
    // but those of list elements other than the entry to be installed, which it never installs.
    bool stopsTheUpdater(const Finding& finding) const;
};

// The placeholder data directory used when judging "extract_to" (any per-user location
// behaves the same for values that begin with "/").
QString exampleDataDir();

// With publicKeys (comma-separated, as the build setting QUORVEX_PUBLIC_KEYS), the signatures
// of both documents are checked as a build with these keys checks them. staged maps served file
// names to the files that are about to replace them: the directory is checked as it will be;
// unpacked, when given, holds the staged archive already unpacked as the updater does.
CheckResult checkServerDir(const QString& serverDir, Reporter& reporter,
                           const QString& publicKeys = QString(),
                           const QHash<QString, QString>& staged = {},
                           const QString& unpacked = QString());

} // namespace publish
