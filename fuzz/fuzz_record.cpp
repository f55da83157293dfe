// The installed-version record reader on arbitrary bytes, followed by the reads the workflow
// makes ("version", "extract_to", "binary_name" with the inserting key access) and the checks
// that guard the wipe and the launch. An accepted installation directory must never be the
// data directory or one above it, nor one of the updater's own files or folders there; an
// accepted executable must not leave it.

#include "documents.h"
#include "fuzzcheck.h"
#include "paths.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {
const QString dataDir = QStringLiteral("/home/u/.local/share/qv_updater");

bool isSameOrAncestor(const QString& ancestor, const QString& path) {
    return ancestor == path || ancestor == QLatin1String("/") ||
           path.startsWith(ancestor + QLatin1Char('/'));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text = fuzzcheck::bytes(data, size);
    const std::optional<QJsonObject> record = documents::parseRecord(text);
    FUZZ_CHECK(record.has_value() == QJsonDocument::fromJson(text).isObject());
    if (!record) {
        return 0;
    }

    QJsonObject versionInfo = *record;
    const QString version = versionInfo[QStringLiteral("version")].toString();
    const QString extractTo = versionInfo[QStringLiteral("extract_to")].toString();
    const QString binaryName = versionInfo[QStringLiteral("binary_name")].toString();
    FUZZ_CHECK(versionInfo.contains(QStringLiteral("version")));
    FUZZ_CHECK(versionInfo.contains(QStringLiteral("extract_to")));
    FUZZ_CHECK(versionInfo.contains(QStringLiteral("binary_name")));
    (void)documents::versionNumber(version);
    (void)documents::archiveCheckProblem(versionInfo);

    const QString targetProblem = documents::installTargetProblem(dataDir, extractTo);
    const QString binaryProblem = documents::binaryNameProblem(binaryName);
    if (!targetProblem.isEmpty()) {
        return 0;
    }
    const QString target = QDir::cleanPath(dataDir + extractTo);
    FUZZ_CHECK(!isSameOrAncestor(target, dataDir));
    FUZZ_CHECK(!isSameOrAncestor(target, dataDir + QStringLiteral("/update")));
    // Strictly inside the data directory, never on one of the updater's own names there.
    FUZZ_CHECK(target.startsWith(dataDir + QLatin1Char('/')));
    for (const QString& own : paths::dataDirOwnNames()) {
        FUZZ_CHECK(!isSameOrAncestor(dataDir + '/' + own, target));
    }
    if (!binaryProblem.isEmpty()) {
        return 0;
    }
    // The executable is the installation directory's path (as formed, not cleaned) followed by
    // the name: inside it, or glued onto its last name, never above it.
    const QString executable = QDir::cleanPath(dataDir + extractTo + binaryName);
    FUZZ_CHECK(executable.startsWith(target));
    return 0;
}
