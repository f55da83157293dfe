#pragma once

// Publishing one full version into a server directory: the archive, the hash list and the
// version list entry, each written whole or not at all.

#include <QJsonObject>
#include <QString>
#include <functional>

#include "contentstore.h"

namespace publish {

class Reporter;

struct PublishOptions {
    QString appDir;       // the application's build directory: everything in it is shipped
    QString version;      // the version label
    QString baseUrl;      // where the server directory's files will be served
    QString extractTo;    // "extract_to" of the entry, e.g. "/app"
    QString binaryName;   // "binary_name" of the entry, e.g. "/quorvex"
    QString serverDir;    // the directory that the server serves at its root
    QString signingKey;   // a key file of "qv_publish keygen": both documents are signed with it
    bool manifest = true; // also a manifest of the tree, and its files in the content store
    // Changed files get binary deltas from their contents in this many earlier releases that
    // have manifests, the newest ones (0 to documents::MaxDeltas; 0: none).
    int deltaFrom = DefaultDeltaFrom;
    std::function<void(int move)> beforeMove = nullptr; // tests: called between the moves
};

// Why the options cannot be used, or an empty string (publishoptions.cpp).
QString optionsProblem(const PublishOptions& options);

// The archive's file name for a version label.
QString archiveFileName(const QString& version);

// baseUrl without its trailing slashes: the served files' paths follow it after one "/".
QString trimmedBaseUrl(const QString& baseUrl);

// The absolute URL of a file served from baseUrl's root.
QString servedUrl(const QString& baseUrl, const QString& fileName);

struct PublishResult {
    bool ok = false;
    QString error;     // why nothing was published
    QJsonObject entry; // the entry written to the version list
    QString archivePath;
    int replaced = 0;          // earlier full entries with the same label that were replaced
    int hashedFiles = 0;       // keys of the hash list
    QString publicKey;         // of the key that signed the documents; empty when unsigned
    bool sameHashList = false; // the previous hash list is this one: installed copies stay
    StoreResult store;         // the manifest and the store; store.manifest empty when none
};

// Expects options that optionsProblem accepted. Holds the server directory's lock throughout,
// and first repairs what an interrupted publish left there.
PublishResult publishVersion(const PublishOptions& options, Reporter& reporter);

} // namespace publish
