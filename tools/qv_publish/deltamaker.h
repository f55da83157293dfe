#pragma once

// Binary deltas of the content store, on the publishing side. A file that changed since earlier
// releases gets, besides its object, one delta from each earlier content of its path:
// "store/deltas/<first two>/<sha256>-<base sha256>", the new bytes as one zstd frame made with
// the base's bytes as its reference prefix (delta.h applies it). The manifest lists a delta only
// when it is clearly smaller than the whole object; neither side may exceed MaxDeltaFileSize.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>
#include <functional>

namespace publish {

// How many earlier releases a new one gets deltas from, unless told (--delta-from).
constexpr int DefaultDeltaFrom = 3;

// zstd's levels for deltas: the files' (executables and libraries, where level 19 finds a good
// deal more), and the manifests' (text whose changes the fastest level finds as well, with a
// tenth of the memory and time: 20,000 files, three changed, 424 bytes at level 3 against 377 at
// 19, with 13 MB against 110 MB).
constexpr int DeltaLevel = 19;
constexpr int ManifestDeltaLevel = 3;

// The delta that makes target from base: one zstd frame at level that carries its content size,
// with base as its reference prefix and a window over both (at most delta::MaxWindowLog). Empty
// with *error set when zstd fails.
QByteArray makeDelta(const QByteArray& base, const QByteArray& target, QString* error,
                     int level = DeltaLevel);

// The delta object that makes the content to from the content from, relative to the server
// directory: "store/deltas/<to, first two>/<to>-<from>".
QString deltaObjectName(const QString& to, const QString& from);

struct EarlierContent {
    QString sha256;
    qint64 size = 0;
};

// What earlier releases held, each content once, the newest first.
struct EarlierContents {
    QHash<QString, QVector<EarlierContent>> files; // by path, the other contents it had
    QVector<EarlierContent> manifests;             // their manifests themselves
};

// What the files held in the newest `releases` full entries of versionList that have a
// manifest in serverDir's manifests folder (found by its digest), newest (by version number)
// first, and those manifests; the entry labelled `label`, which the new release replaces, is
// left out. Entries whose manifest is not there or cannot be read are passed over.
EarlierContents earlierContents(const QString& serverDir, const QByteArray& versionList,
                                const QString& label, int releases);

// One delta to make or prove: of the file at path (relative to the tree), from base.
struct DeltaJob {
    int item = -1; // the file's place in the manifest
    QString path;
    qint64 size = 0;
    QString sha256;
    qint64 packed = 0; // the size of the file's whole object
    EarlierContent base;
    // The outcome:
    qint64 deltaSize = 0;
    bool listed = false;  // the delta is in the store, proven and clearly smaller: listed
    bool added = false;   // there was no delta object before
    bool written = false; // made by this publish
    QString skipped;      // why none could be made (the base's object cannot be read)
};

// Makes or proves the delta of each job on up to four cores, from the base's object in the store
// and the file under installDir. A delta object already there is kept when it applies to the
// file; one that does not is made again. Deltas are written whole and, where SyncsFileSystem,
// left for the caller's FileSystemSync to flush. A store folder or delta that is a link is
// refused, never written through. progress(jobs done) is called on this thread. False with
// *error when something could not be written or the file could not be read; an unreadable base
// only skips its delta.
bool storeDeltas(const QString& installDir, const QString& serverDir, QVector<DeltaJob>* jobs,
                 const std::function<void(int)>& progress, QString* error);

} // namespace publish
