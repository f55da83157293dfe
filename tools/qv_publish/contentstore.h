#pragma once

// The per-file side of a release: the manifest of its installation tree and the content store,
// where each file's bytes are kept once, packed, under their digest, shared by every release
// that holds them. Both live in the server directory: "manifests/<sha256 of the manifest>.json"
// and "store/<first two characters>/<sha256 of the file>". Neither is ever rewritten under its
// name with other bytes, so publishing adds them before the version list names them, and the
// only clean-up is removing what no entry names any more (prune).

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

#include "deltamaker.h"

namespace publish {

class Reporter;

// Where the manifests and the objects are, relative to the server directory.
extern const char* const ManifestFolder; // "manifests"
extern const char* const StoreFolder;    // "store"

// The object of the file whose SHA-256 is sha256: "store/<first two characters>/<sha256>".
QString objectName(const QString& sha256);

struct StoreResult {
    QByteArray manifest;  // the manifest's bytes; empty when the tree cannot have one
    QString manifestName; // relative to the server directory
    QString manifestSha256;
    QString skipped; // why the tree has no manifest (it is then published as an archive only)
    int files = 0;   // files listed
    int written = 0; // objects packed by this publish
    qint64 packedBytes = 0;    // the packed size of all listed files
    int deltas = 0;            // deltas listed
    int deltasWritten = 0;     // deltas made by this publish
    qint64 manifestPacked = 0; // the size of the manifest's own object in the store
    QJsonArray manifestDeltas; // its deltas from earlier manifests, as the entry lists them
    QStringList added;         // the files that were not there before, the manifest last
};

// Objects made from the application's directory while 7-Zip packs it: writeStore then only
// hashes the unpacked files whose objects are there already.
struct Prefill {
    QSet<QString> proven; // digests whose objects are in the store as they should be
    QStringList added;    // the objects that were not there before
    int written = 0;      // objects packed
};

// Makes (or proves) the objects of the files under sourceDir, on every core. Never fails: what
// it could not do is left to writeStore. Nothing when the tree cannot have a manifest.
Prefill prefillStore(const QString& sourceDir, const QString& serverDir);

// Lists every file under installDir (the tree as the updater unpacks it) in a manifest and
// makes sure that the store of serverDir holds each file's object: a missing one is packed, an
// existing one is unpacked once (in memory) to prove it and packed again when it is damaged,
// on every core. Then the manifest is written. Where SyncsFileSystem, the objects are not yet
// flushed to the disk: the caller's FileSystemSync does that before anything names them. A
// folder or object of the store that is a link is refused, never written through. A tree that
// a manifest cannot describe (a link, a FIFO, a path the updater refuses) gets none: *result
// names why. A file whose path held other contents in earlier releases (earlier) gets a delta
// from each of them (storeDeltas), listed when it is clearly smaller than the object. The
// manifest is also stored as an object, with deltas from the manifests of those releases
// (storeManifestObject). False only when something could not be written or read, with *error.
bool writeStore(const QString& installDir, const QString& serverDir, Reporter& reporter,
                StoreResult* result, QString* error, const Prefill& prefill = Prefill(),
                const EarlierContents& earlier = EarlierContents());

// The file of serverDir that url names, when url lies below the folder of the entry's
// "download_url" (the server directory's root); an empty string otherwise.
QString servedFile(const QString& serverDir, const QJsonObject& entry, const QUrl& url);

struct PruneOptions {
    bool dryRun = false;       // list only
    bool evenIfShared = false; // also a store that may be shared with another server directory
};

struct PruneResult {
    bool ok = false;
    QString error;      // why nothing was removed
    QStringList unused; // files of the manifests and the store that no entry names
    qint64 bytes = 0;   // their total size
    QString shared;     // why the store may be shared with another server directory
    QStringList notes;  // worth knowing: a dry run without the lock
};

// (deltamaker.cpp) The manifest that entry names, as the server directory holds it under its
// digest; empty when there is none as named.
QByteArray servedManifest(const QString& serverDir, const QJsonObject& entry);

// Whether manifest (a manifest's text) lists the same files, with the same sizes and digests, as
// the manifest that entry names, read from serverDir's manifests folder under its digest; nothing
// when either cannot be read.
std::optional<bool> sameFiles(const QString& serverDir, const QJsonObject& entry,
                              const QByteArray& manifest);

// Removes the files that writeStore added, and the folders that this leaves empty: a publish
// that fails leaves the server directory as it was.
void removeAdded(const QString& serverDir, const StoreResult& result);

// (prune.cpp) Finds (and unless dryRun, removes) every file under the server directory's manifests
// and store folders that no entry of its version list names, through its manifest: a manifest is
// found by its digest and file name and an object by its digest, however the entry's URLs are
// written; the manifest's own object and deltas are named by the entry itself. Refuses, removing
// nothing, when the version list cannot be read, or a manifest that an entry names is not there or
// cannot be read, or (unless evenIfShared) the store shows signs of being shared with another
// server directory. Holds the server directory's lock; a dry run that cannot make the lock file
// lists without it.
PruneResult pruneStore(const QString& serverDir, const PruneOptions& options, Reporter& reporter);

} // namespace publish
