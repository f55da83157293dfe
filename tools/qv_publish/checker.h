#pragma once

// Reads a server directory the way the updater will read the server and lists every problem
// the updater would run into.

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace publish {

class Reporter;

struct Finding {
    QString code;    // stable short name, e.g. "file-wrong-digest"
    QString message; // what is wrong and where, for the vendor
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
};

// The placeholder data directory used when judging "extract_to" (any per-user location
// behaves the same for values that begin with "/").
QString exampleDataDir();

// With publicKeys (comma-separated, as the build setting QUORVEX_PUBLIC_KEYS), the signatures
// of both documents are checked as a build with these keys checks them.
CheckResult checkServerDir(const QString& serverDir, Reporter& reporter,
                           const QString& publicKeys = QString());

} // namespace publish
