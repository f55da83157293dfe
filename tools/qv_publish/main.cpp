// qv_publish: publishes Quorvex releases into a directory that a static web server serves as
// the updater's download server, checks such a directory the way the updater reads it, and makes
// the keys that sign its documents. The commands are here; their usage text and the reading of
// their options are in commandline.cpp.

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>

#include "checker.h"
#include "commandline.h"
#include "console.h"
#include "contentstore.h"
#include "publisher.h"
#include "replacement.h"
#include "serverfiles.h"
#include "serverlock.h"
#include "signature.h"
#include "signing.h"

using namespace commandline;

namespace {

int runPublish(QStringList arguments) {
    const bool noManifest = takeFlag(&arguments, QStringLiteral("--no-manifest"));
    QMap<QString, QString> values;
    QString error;
    const QStringList known{QStringLiteral("--app-dir"),     QStringLiteral("--version"),
                            QStringLiteral("--base-url"),    QStringLiteral("--extract-to"),
                            QStringLiteral("--binary-name"), QStringLiteral("--server-dir"),
                            QStringLiteral("--signing-key"), QStringLiteral("--delta-from")};
    if (!parseOptions(arguments, known, &values, &error)) {
        return badArguments(error);
    }
    publish::PublishOptions options;
    options.appDir = values.value(QStringLiteral("--app-dir"));
    options.version = values.value(QStringLiteral("--version"));
    options.baseUrl = values.value(QStringLiteral("--base-url"));
    options.extractTo = values.value(QStringLiteral("--extract-to"));
    options.binaryName = values.value(QStringLiteral("--binary-name"));
    options.serverDir = values.value(QStringLiteral("--server-dir"), QStringLiteral("."));
    options.signingKey = values.value(QStringLiteral("--signing-key"));
    options.manifest = !noManifest;
    if (values.contains(QStringLiteral("--delta-from"))) {
        bool number = false;
        options.deltaFrom = values.value(QStringLiteral("--delta-from")).toInt(&number);
        options.deltaFrom = number ? options.deltaFrom : -1; // refused below
    }
#ifdef QV_PUBLISH_TEST_HOOKS
    // Only in the tests' build: before the move QV_PUBLISH_TEST_PAUSE_AT names (counted from 0),
    // say so and wait for a line on the standard input.
    bool pause = false;
    const int pauseAt = qEnvironmentVariableIntValue("QV_PUBLISH_TEST_PAUSE_AT", &pause);
    if (pause) {
        options.beforeMove = [pauseAt](int move) {
            if (move == pauseAt) {
                std::printf("paused before move %d\n", move);
                std::fflush(stdout);
                std::getchar();
            }
        };
    }
#endif
    const QString problem = publish::optionsProblem(options);
    if (!problem.isEmpty()) {
        return badArguments(problem);
    }
    if (const QString missing = publish::sevenZipProblem(); !missing.isEmpty()) {
        printError(QStringLiteral("nothing was published: ") + missing);
        return Failed;
    }
    publish::ConsoleReporter reporter;
    const publish::PublishResult result = publish::publishVersion(options, reporter);
    if (!result.ok) {
        printError(QStringLiteral("nothing was published: ") + result.error);
        return Failed;
    }
    const QString serverDir = QDir(options.serverDir).absolutePath();
    reporter.info(QStringLiteral("Published version %1 into %2").arg(options.version, serverDir));
    reporter.info(QStringLiteral("  %1 (%2 bytes, sha256 %3)")
                      .arg(QDir(serverDir).relativeFilePath(result.archivePath))
                      .arg(result.entry.value(QStringLiteral("size")).toVariant().toLongLong())
                      .arg(result.entry.value(QStringLiteral("sha256")).toString()));
    reporter.info(QStringLiteral("  hashlist.json: %1 file(s)").arg(result.hashedFiles));
    reporter.info(QStringLiteral("  versions.json: entry %1%2")
                      .arg(result.replaced ? QStringLiteral("replaced") : QStringLiteral("added"),
                           QStringLiteral(", download_url ") +
                               result.entry.value(QStringLiteral("download_url")).toString()));
    if (!result.store.manifest.isEmpty()) {
        reporter.info(QStringLiteral("  %1: %2 file(s), %3 bytes packed in store/ (%4 object(s) "
                                     "added)")
                          .arg(result.store.manifestName)
                          .arg(result.store.files)
                          .arg(result.store.packedBytes)
                          .arg(result.store.written));
        if (result.store.deltas > 0) {
            reporter.info(QStringLiteral("  %1 binary delta(s) listed in store/deltas/ (%2 made)")
                              .arg(result.store.deltas)
                              .arg(result.store.deltasWritten));
        }
        reporter.info(QStringLiteral("  the manifest as an object of %1 bytes in store/, and %2 "
                                     "delta(s) from earlier manifests")
                          .arg(result.store.manifestPacked)
                          .arg(result.store.manifestDeltas.size()));
    }
    reporter.info(QStringLiteral("  versions.json and hashlist.json were replaced together"));
    if (!result.publicKey.isEmpty()) {
        reporter.info(QStringLiteral("  both signed (.sig) with the key whose public key is ") +
                      result.publicKey);
    }
    return Ok;
}

int runCheck(const QStringList& arguments) {
    QMap<QString, QString> values;
    QString error;
    if (!parseOptions(arguments, {QStringLiteral("--server-dir"), QStringLiteral("--public-key")},
                      &values, &error)) {
        return badArguments(error);
    }
    const QString serverDir = values.value(QStringLiteral("--server-dir"), QStringLiteral("."));
    if (!QFileInfo(serverDir).isDir()) {
        return badArguments(
            QStringLiteral("--server-dir \"%1\" is not a directory").arg(serverDir));
    }
    const QString keys = values.value(QStringLiteral("--public-key"));
    QList<QByteArray> parsed;
    if (values.contains(QStringLiteral("--public-key")) &&
        !signature::parsePublicKeys(keys, &parsed)) {
        return badArguments(QStringLiteral("--public-key \"%1\" is not a comma-separated list of "
                                           "public keys as keygen prints them")
                                .arg(keys));
    }
    // Without it the archive could not be unpacked, which would read as a fault of the archive.
    if (const QString missing = publish::sevenZipProblem(); !missing.isEmpty()) {
        printError(QStringLiteral("cannot check: ") + missing);
        return Failed;
    }
    publish::ConsoleReporter reporter;
    reporter.info(QStringLiteral("Checking %1").arg(QDir(serverDir).absolutePath()));
    // Under the lock: a publish under way is waited for, and one interrupted is repaired.
    publish::ServerLock lock(serverDir);
    publish::Recovery recovery;
    if (lock.acquire(reporter, &error)) {
        recovery = publish::recoverInterrupted(serverDir, lock);
    } else {
        reporter.info(QStringLiteral("note: %1; nothing is repaired").arg(error));
    }
    publish::CheckResult result = publish::checkServerDir(serverDir, reporter, keys);
    for (publish::Finding& finding : result.problems) {
        if (finding.code == QLatin1String("publish-interrupted") && !recovery.ok) {
            finding.message = recovery.error; // the journal stays: why it was not carried out
        }
    }
    if (!recovery.repaired.isEmpty() && recovery.ok) {
        result.problems.prepend({QStringLiteral("publish-interrupted"), recovery.repaired});
    }
    for (const QString& name : recovery.removed) {
        result.notes << QStringLiteral("removed %1, staged by a publish that stopped before "
                                       "replacing anything")
                            .arg(name);
    }
    if (!result.installSummary.isEmpty()) {
        reporter.info(result.installSummary);
    }
    for (const QString& note : result.notes) {
        reporter.info(QStringLiteral("note: ") + note);
    }
    for (const publish::Finding& finding : result.problems) {
        reporter.info(QStringLiteral("PROBLEM [%1]: %2").arg(finding.code, finding.message));
    }
    if (!result.problems.isEmpty()) {
        reporter.info(QStringLiteral("%1 problem(s) found").arg(result.problems.size()));
        return Failed;
    }
    reporter.info(QStringLiteral("No problems found"));
    return Ok;
}

int runPrune(QStringList arguments) {
    publish::PruneOptions options;
    options.dryRun = takeFlag(&arguments, QStringLiteral("--dry-run"));
    options.evenIfShared = takeFlag(&arguments, QStringLiteral("--even-if-shared"));
    const bool dryRun = options.dryRun;
    QMap<QString, QString> values;
    QString error;
    if (!parseOptions(arguments, {QStringLiteral("--server-dir")}, &values, &error)) {
        return badArguments(error);
    }
    const QString serverDir = values.value(QStringLiteral("--server-dir"), QStringLiteral("."));
    if (!QFileInfo(serverDir).isDir()) {
        return badArguments(
            QStringLiteral("--server-dir \"%1\" is not a directory").arg(serverDir));
    }
    publish::ConsoleReporter reporter;
    const publish::PruneResult result = publish::pruneStore(serverDir, options, reporter);
    for (const QString& note : result.notes) {
        reporter.info(QStringLiteral("note: ") + note);
    }
    if (!result.ok) {
        printError(QStringLiteral("nothing was pruned: ") + result.error);
        return Failed;
    }
    for (const QString& file : result.unused) {
        reporter.info((dryRun ? QStringLiteral("unused: ") : QStringLiteral("removed: ")) +
                      QDir(serverDir).relativeFilePath(file));
    }
    reporter.info(QStringLiteral("%1 %2 file(s), %3 bytes")
                      .arg(dryRun ? QStringLiteral("Would remove") : QStringLiteral("Removed"))
                      .arg(result.unused.size())
                      .arg(result.bytes));
    if (!result.shared.isEmpty()) {
        reporter.info(QStringLiteral("note: the store may be shared with another server "
                                     "directory (%1); %2")
                          .arg(result.shared, options.evenIfShared
                                                  ? QStringLiteral("pruned as asked")
                                                  : QStringLiteral("prune removes nothing from "
                                                                   "it without --even-if-shared")));
    }
    return Ok;
}

int runKeygen(const QStringList& arguments) {
    QMap<QString, QString> values;
    QString error;
    if (!parseOptions(arguments, {QStringLiteral("--out")}, &values, &error)) {
        return badArguments(error);
    }
    const QString path = values.value(QStringLiteral("--out"));
    if (path.isEmpty()) {
        return badArguments(QStringLiteral("--out is required"));
    }
    const QByteArray key = publish::signing::generateKey();
    if (key.isEmpty() || !publish::signing::writeKeyFile(path, key, &error)) {
        printError(QStringLiteral("no key was written: ") +
                   (key.isEmpty() ? QStringLiteral("no key could be generated") : error));
        return Failed;
    }
    publish::ConsoleReporter reporter;
    reporter.info(QStringLiteral("Wrote a new signing key to %1: keep it secret and backed up; "
                                 "publish --signing-key signs with it.")
                      .arg(path));
    reporter.info(QStringLiteral("Its public key, for -DQUORVEX_PUBLIC_KEYS and check "
                                 "--public-key:"));
    reporter.info(publish::signing::publicKeyOf(key));
    return Ok;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    if (arguments.isEmpty()) {
        return badArguments(QStringLiteral("no command given (keygen, publish, check or prune)"));
    }
    const QString command = arguments.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help") || arguments.contains(QStringLiteral("--help")) ||
        arguments.contains(QStringLiteral("-h"))) {
        std::fputs(usageText, stdout);
        return Ok;
    }
    if (command == QLatin1String("publish")) {
        return runPublish(arguments);
    }
    if (command == QLatin1String("check")) {
        return runCheck(arguments);
    }
    if (command == QLatin1String("keygen")) {
        return runKeygen(arguments);
    }
    if (command == QLatin1String("prune")) {
        return runPrune(arguments);
    }
    return badArguments(
        QStringLiteral("unknown command \"%1\" (keygen, publish, check or prune)").arg(command));
}
