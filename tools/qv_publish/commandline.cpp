#include "commandline.h"

#include <cstdio>

namespace commandline {

const char* const usageText = R"(Usage:
  qv_publish keygen --out FILE
  qv_publish publish --app-dir DIR --version LABEL --base-url URL
                     --extract-to /PATH --binary-name /FILE [--server-dir DIR]
                     [--signing-key FILE] [--no-manifest] [--delta-from N]
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
           store/deltas/XX/SHA-BASE  binary deltas: a file that changed since the
                             newest N earlier releases with manifests (--delta-from,
                             default 3) gets one from each earlier content of its path
                             (zstd, that content as reference), listed in the manifest
                             when it is less than half its object. Files above 64 MiB
                             get none; one already there is proven and kept.
                             The manifest is stored too, as an object and as deltas
                             from the manifests of those releases, named by the entry's
                             "manifest_store", "manifest_packed" and "manifest_deltas".
         --no-manifest leaves out the last three: every update takes the archive. A tree
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
         it against the hash list and to find its executable, unpacks every object of
         its manifest in memory and applies each delta it lists onto its base's object.
         Reports those links (server-link).
         With --public-key (the build setting's value), also checks both signatures as
         such a build does.

prune    Removes from manifests/ and store/ (store/deltas/ included) every file that no
         entry of versions.json names (through its manifest): what releases no longer
         listed left behind, and what an interrupted publish wrote. Remove an entry
         from versions.json first to retire its files; an updater may still be fetching
         them until its next start.
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
  --delta-from N      deltas from the newest N earlier releases, 0 to 8 (0: none;
                      default 3)
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

bool takeFlag(QStringList* arguments, const QString& flag) {
    return arguments->removeAll(flag) > 0;
}

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

} // namespace commandline
