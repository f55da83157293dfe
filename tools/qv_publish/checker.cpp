// checkServerDir: runs the checker's rules in the order the updater meets what they check, and
// keeps what they share: the findings and where a served file is read from.

#include "checker.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include "checkrules.h"
#include "replacement.h"
#include "serverfiles.h"

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

CheckResult Checker::run() {
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

void Checker::problem(const QString& code, const QString& message) {
    result.problems << Finding{code, message, element};
}

QString Checker::serverFile(const QString& name) const {
    return staged.value(name, QDir(serverDir).filePath(name));
}

void Checker::problems(const QString& code, const QStringList& messages) {
    if (!messages.isEmpty()) {
        problem(code, messages.size() == 1 ? messages.first()
                                           : QStringLiteral("%1 (and %2 more)")
                                                 .arg(messages.first())
                                                 .arg(messages.size() - 1));
    }
}

CheckResult checkServerDir(const QString& serverDir, Reporter& reporter, const QString& publicKeys,
                           const QHash<QString, QString>& staged, const QString& unpacked) {
    return Checker(serverDir, reporter, publicKeys, staged, unpacked).run();
}

} // namespace publish
