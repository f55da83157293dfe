// The archive of the entry to be installed, unpacked as the updater unpacks it: its names, its
// top-level files against the hash list, and its executable.

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "checkrules.h"
#include "console.h"
#include "documents.h"
#include "serverfiles.h"
#include "tree.h"

namespace publish {

void Checker::checkArchiveContents() {
    if (selectedArchive.isEmpty() || result.has(QStringLiteral("extract-to"))) {
        return;
    }
    // The updater's installation directory, rebuilt from the archive (a publish has just
    // unpacked the archive it adds).
    QTemporaryDir scratch;
    QString installDir = staged.values().contains(selectedArchive) ? unpacked : QString();
    QString error;
    const bool unpackHere = installDir.isEmpty();
    if (unpackHere && !scratch.isValid()) {
        problem(QStringLiteral("archive-unreadable"),
                QStringLiteral("no temporary directory to unpack the archive into"));
        return;
    }
    // Removed by the names' bytes, which QTemporaryDir cannot do for names that are not UTF-8.
    struct Unpacked {
        QString scratch;
        ~Unpacked() {
            if (!scratch.isEmpty()) {
                tree::removeTree(scratch, QStringLiteral("install"));
            }
        }
    } unpackedHere{unpackHere ? scratch.path() : QString()};
    if (unpackHere) {
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
        if (!hashFile(QDir(installDir).filePath(name), QStringLiteral("Hashing ") + name, reporter,
                      &digest, &error)) {
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
        problem(
            QStringLiteral("executable-missing"),
            QStringLiteral("\"%1\" in the archive has no execute permission").arg(binary.mid(1)));
    }
#endif
    element = result.entryIndex;
    checkManifest(installDir);
    element = -1;
}

} // namespace publish
