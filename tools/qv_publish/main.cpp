// qv_publish: publishes Quorvex releases into a directory that a static web server serves as
// the updater's download server, checks such a directory the way the updater reads it, and makes
// the keys that sign its documents.

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QStringList>
#include <cstdio>

#include "checker.h"
#include "console.h"
#include "contentstore.h"
#include "publisher.h"
#include "replacement.h"
#include "serverlock.h"
#include "signature.h"
#include "signing.h"

namespace {

enum ExitCode { Ok = 0, Failed = 1, BadArguments = 2 };

const char* const usageText = R"(Usage:
  qv_publish keygen --out FILE
  qv_publish publish --app-dir DIR --version LABEL --base-url URL
                     --extract-to /PATH --binary-name /FILE [--server-dir DIR]
                     [--signing-key FILE] [--no-manifest]
  qv_publish check [--server-dir DIR] [--public-key KEYS]
  qv_publish prune [--server-dir DIR] [--dry-run] [--even-if-shared]
  qv_publish --help

keygen   Writes a new Ed25519 signing key into FILE (readable by its owner only; an
         existing file is never replaced) and prints its public key as the last line.
         Build the updater with it: -DQUORVEX_PUBLIC_KEYS=<public key> (several keys,
         separated by commas, let a new key take over from an old one). Such an updater
         accepts only documents signed with one of its keys: publish with --signing-key.

publish  Packs everything in --app-dir (hidden files and subdirectories included) into
         quorvex-LABEL.7z with the 7-Zip that ships beside this program, and writes into
         the server directory (default: the current directory):
           quorvex-LABEL.7z  the archive, served at URL/quorvex-LABEL.7z
           versions.json     the version list; a full entry for LABEL is added with
                             "full", "version", "download_url", "extract_to", "binary_name",
                             "size" (archive bytes) and "sha256" (archive digest). Other
                             entries are kept exactly as written; an earlier full entry with
                             the same label is replaced.
           hashlist.json     the lowercase SHA-256 of every top-level file that the updater
                             checks after unpacking (".ini" files and hidden files excepted).
           manifests/SHA.json  the manifest of the whole tree (every file with its size and
                             SHA-256), named by the entry's "manifest_url", "manifest_size"
                             and "manifest_sha256"; the updater then fetches only the files
                             that changed, and repairs damaged ones, from:
           store/XX/SHA      the content store: each file packed once under its digest,
                             shared by every release that holds it. Objects already there
                             are proven and kept; a damaged one is packed again.
         --no-manifest leaves out the last two: every update takes the archive. A tree
         that a manifest cannot describe (links, FIFOs) is published without one, with a
         warning.
         Each file is written whole or not at all (written, flushed to the disk and its
         size proven before it replaces anything; a full disk is named as the system
         names it), and the new files replace the old ones together: when one cannot be
         replaced, the ones before it are put back. A server directory that holds a
         symbolic link (or junction) where publish writes (the documents, signatures,
         quorvex-*.7z, manifests/ and store/ at any depth) is refused before anything
         is written: publish never writes through a link, which may lead anywhere.
         Before that, the server directory is checked as it will then be, by every
         rule of check: whatever would make the updater refuse the release, or
         reinstall it at every start, is refused; problems of entries that the
         updater never installs are shown as warnings.
         LABEL must contain digits; the updater installs the full entry whose digits
         form the highest number (1.2.10 -> 1210, so 1.10 is lower than 1.9.1).
         With --signing-key, versions.json.sig and hashlist.json.sig (the base64 of the
         signature over each document's bytes) are written too, each before its
         document. A server directory that holds signatures is only published signed.

check    Reads the server directory as the updater will and lists every problem it would
         hit; says which entry would be installed. Unpacks that entry's archive to check
         it against the hash list and to find its executable, and unpacks every object
         of its manifest in memory. Reports those links (server-link).
         With --public-key (the build setting's value), also checks both signatures as
         such a build does.

prune    Removes from manifests/ and store/ every file that no entry of versions.json
         names (through its manifest): what releases no longer listed left behind, and
         what an interrupted publish wrote. Remove an entry from versions.json first to
         retire its files; an updater may still be fetching them until its next start.
         A manifest is found by its digest and file name, an object by its digest:
         entries whose archives or manifests moved to another host keep theirs. With
         --dry-run, only lists them (also in a directory it cannot write). Refuses,
         removing nothing, when a manifest that an entry names is not there or cannot
         be read, and when the store may be shared with another server directory (it,
         manifests/ or a folder or file in them is a link, a file has other hard links,
         or they lie on another file system): what this list does not name may be the
         other's live content. --even-if-shared prunes it all the same.

One publish, check or prune at a time works in a server directory (the lock file
.qv_publish.lock): another one waits. A publish killed while replacing files leaves
.qv_publish.journal; the next publish or check completes it (or undoes it when its
new files are gone), and check reports it as "publish-interrupted".

The server directory is served at the root of the updater's compiled-in server: the
updater fetches /versions.json and /hashlist.json from there, and each archive from its
"download_url". There is one hash list per server and it describes the newest version: an
installed copy whose files do not match it is replaced by the newest full version. So only
a version that becomes the newest can be published (publish refuses an older one); to roll
back, publish the old build under a higher label.

Options:
  --app-dir DIR       the application's build directory (everything in it is shipped)
  --version LABEL     version label: letters, digits and . _ + -, with at least one digit
  --base-url URL      http:// or https:// address where the server directory is served,
                      e.g. https://update.quorvex.net. Both schemes work on Linux and on
                      Windows; an https server needs a certificate that the users' systems
                      trust (Windows: its certificate store; Linux: the system's CA store).
  --extract-to /PATH  installation directory below the updater's data directory, e.g. /app
  --binary-name /FILE the executable below the installation directory, e.g. /quorvex
  --server-dir DIR    the served directory (created if missing; default: .)
  --signing-key FILE  a key file written by keygen
  --public-key KEYS   public keys as printed by keygen, separated by commas
  --no-manifest       publish the archive only
  --dry-run           prune: list, remove nothing
  --even-if-shared    prune: also a store that may be shared
  -h, --help          this text

Exit codes: 0 done / no problems, 1 publishing failed / problems found, 2 bad arguments.
)";

void printError(const QString& text) {
    std::fprintf(stderr, "qv_publish: %s\n", text.toLocal8Bit().constData());
}

int badArguments(const QString& text) {
    printError(text);
    std::fprintf(stderr, "Run \"qv_publish --help\" for usage.\n");
    return BadArguments;
}

// Removes the flag (an option without a value) from arguments; true when it was there.
bool takeFlag(QStringList* arguments, const QString& flag) {
    return arguments->removeAll(flag) > 0;
}

// Options of the form --name VALUE or --name=VALUE, each at most once.
bool parseOptions(const QStringList& arguments, const QStringList& known,
                  QMap<QString, QString>* values, QString* error) {
    for (int i = 0; i < arguments.size(); ++i) {
        QString name = arguments.at(i);
        QString value;
        bool hasValue = false;
        const int equals = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QStringLiteral("--")) && equals > 0) {
            value = name.mid(equals + 1);
            name = name.left(equals);
            hasValue = true;
        }
        if (!known.contains(name)) {
            *error = name.startsWith(QLatin1Char('-'))
                         ? QStringLiteral("unknown option %1").arg(name)
                         : QStringLiteral("unexpected argument \"%1\"").arg(name);
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("%1 needs a value").arg(name);
                return false;
            }
            value = arguments.at(++i);
        }
        if (values->contains(name)) {
            *error = QStringLiteral("%1 is given twice").arg(name);
            return false;
        }
        values->insert(name, value);
    }
    return true;
}

int runPublish(QStringList arguments) {
    const bool noManifest = takeFlag(&arguments, QStringLiteral("--no-manifest"));
    QMap<QString, QString> values;
    QString error;
    const QStringList known{QStringLiteral("--app-dir"),     QStringLiteral("--version"),
                            QStringLiteral("--base-url"),    QStringLiteral("--extract-to"),
                            QStringLiteral("--binary-name"), QStringLiteral("--server-dir"),
                            QStringLiteral("--signing-key")};
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
    publish::ConsoleReporter reporter;
    reporter.info(QStringLiteral("Checking %1").arg(QDir(serverDir).absolutePath()));
    // Under the lock: a publish under way is waited for, and one interrupted is repaired.
    publish::ServerLock lock(serverDir);
    publish::Recovery recovery;
    if (lock.acquire(reporter, &error)) {
        recovery = publish::recoverInterrupted(serverDir);
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
