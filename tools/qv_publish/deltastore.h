#pragma once

// The deltas that writeStore keeps beside the objects (deltastore.cpp): those of the files that
// changed since earlier releases, and the manifest's own object with its deltas from the
// earlier manifests, through which an updater that holds one of them fetches the new manifest
// as a few bytes instead of its whole text.

#include <QHash>
#include <QJsonArray>
#include <QString>
#include <QVector>

#include "contentstore.h"

namespace publish {

class Reporter;

// A file of the tree as the store holds it.
struct StoredFile {
    QString path;
    qint64 size = 0;
    QString sha256;
    qint64 packed = 0; // the size of its object
};

// Makes or proves (storeDeltas) a delta of each file of installDir whose path held other
// contents in earlier releases, and fills listed, by the file's place in files, with those the
// manifest lists. The deltas this publish added are appended to result->added, also when it
// fails; result->deltas and deltasWritten count the listed ones. False with *error.
bool storeFileDeltas(const QString& installDir, const QString& serverDir,
                     const QVector<StoredFile>& files, const EarlierContents& earlier,
                     Reporter& reporter, StoreResult* result, QHash<int, QJsonArray>* listed,
                     QString* error);

// Stores result->manifest as an object of the store ("store/<first two>/<manifest sha256>",
// result->manifestPacked), and a delta to it from each of the earlier manifests (read from the
// manifests folder by digest) that is less than half that object (result->manifestDeltas, as the
// entry lists them). An object or delta already there is kept once proven, made again
// otherwise; new ones are written whole, appended to result->added, and where SyncsFileSystem
// left for the caller's FileSystemSync. A folder or file of the store that is a link is refused.
// False with *error when something could not be written.
bool storeManifestObject(const QString& serverDir, const QVector<EarlierContent>& earlier,
                         Reporter& reporter, StoreResult* result, QString* error);

} // namespace publish
