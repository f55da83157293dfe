#pragma once

// The manifest of a release's tree and the plan of a per-file update: which files to fetch
// from the content store, keep and remove. Pure functions beside documents.*, whose rules
// they share.

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVector>
#include <optional>

namespace documents {

// An entry may name a manifest of its installation tree with three keys, all or none:
// "manifest_url" (an absolute http or https URL), "manifest_size" (its byte size, a JSON number)
// and "manifest_sha256" (its lowercase SHA-256). The manifest is a JSON object:
//   {"format": 1, "store": "../store/",
//    "files": [{"path": "sub/a.dll", "size": 123, "sha256": "<64 hex>", "packed": 99}, ...]}
// "store" is the content store's folder, relative to the manifest's URL (or an absolute http or
// https URL), ending in "/". A file's content is stored once under its digest, compressed as one
// zlib stream (RFC 1950): store + the digest's first two characters + "/" + the digest; "packed"
// is that object's byte size. Paths are relative, "/"-separated, inside the installation
// directory, and each must also be a Windows path; no two may differ in letter case only, and
// none may be a folder of another.
// A file may also list binary deltas that make it from earlier contents (see delta.h):
//   "deltas": [{"from": "<64 hex>", "from_size": 120, "packed": 40}, ...]
// at most MaxDeltas, each from another content than the file's own, from_size and the file's
// size at most MaxDeltaFileSize. A delta is stored as store + "deltas/" + the file's digest's
// first two characters + "/" + the file's digest + "-" + the base's digest; "packed" is its byte
// size. Readers that do not know the key ignore it.

// Largest manifest accepted (about two hundred thousand files).
constexpr qint64 MaxManifestSize = 32 * 1024 * 1024;

// Deltas listed for one file, at most.
constexpr int MaxDeltas = 8;
// Neither a base nor a target of a delta is larger (the applying side's limit, delta.h).
constexpr qint64 MaxDeltaFileSize = 64 * 1024 * 1024;

struct ManifestDelta {
    QString from; // the base's lowercase SHA-256
    qint64 fromSize = 0;
    qint64 packed = 0; // the delta object's byte size
};

struct ManifestFile {
    QString path; // relative, "/"-separated
    qint64 size = 0;
    QString sha256; // lowercase hexadecimal
    qint64 packed = 0;
    QVector<ManifestDelta> deltas;
};

struct Manifest {
    QString store; // as written, ending in "/"
    QVector<ManifestFile> files;
};

// Why the entry's manifest keys are not usable, or an empty string when they are well-formed or
// all absent.
QString manifestKeysProblem(const QJsonObject& entry);

// True when the entry names a manifest (its keys were judged by manifestKeysProblem).
bool hasManifest(const QJsonObject& entry);

// The manifest's own object in the content store, which an entry with a manifest may also name:
// "manifest_store" (the store's folder, an absolute http or https URL ending in "/"),
// "manifest_packed" (the byte size of the manifest's object there: store + the manifest's
// digest's first two characters + "/" + the digest) and, optionally, "manifest_deltas" (deltas
// to the manifest from earlier manifests, as a file's "deltas", stored as a file's are). Builds
// that know only "manifest_url" keep using it.
struct StoredManifest {
    QUrl object;
    qint64 packed = 0;
    QVector<ManifestDelta> deltas;
    QUrl store;
};
// What the entry names of it, or nothing when it names nothing usable (then "manifest_url"
// serves, as before).
std::optional<StoredManifest> storedManifest(const QJsonObject& entry);

// The manifest, or nothing with *problem set when text is not one (bad JSON, a missing or
// ill-typed key, an unusable path, a duplicate, a size out of range).
std::optional<Manifest> parseManifest(const QByteArray& text, QString* problem = nullptr);

// Where the compressed content of file is, for a manifest fetched from manifestUrl.
QUrl storedFileUrl(const QUrl& manifestUrl, const Manifest& manifest, const ManifestFile& file);

// Where the delta that makes file from delta.from is, for a manifest fetched from manifestUrl.
QUrl storedDeltaUrl(const QUrl& manifestUrl, const Manifest& manifest, const ManifestFile& file,
                    const ManifestDelta& delta);
// The same, relative to the store's folder: "deltas/<to, first two>/<to>-<from>".
QString deltaName(const QString& to, const QString& from);

// The key under which Windows finds a name: each UTF-16 unit through its simple upper-case
// mapping, as NTFS compares names through its own upper-case table (so "ı" and "i", "ς" and
// "σ", "ſ" and "s" are one name there, while "ß" stays apart from "ss").
QString windowsNameKey(const QString& path);
// The key under which this system's file system finds path: windowsNameKey on Windows, the
// path itself elsewhere.
QString fileSystemKey(const QString& path);

// True for the settings files (".ini", any letter case) that the user may change: an installed
// one is never compared, nor removed when a release no longer has it.
bool isSettingsFile(const QString& path);

// Each file fetched costs a request besides its bytes: counted as this many bytes when the
// per-file update is weighed against the archive.
constexpr qint64 PerFileCost = 64 * 1024;
// The per-file update is used while its cost stays within this share (percent) of the archive.
constexpr int MaxFetchShare = 60;

// An installed file that a fetched file has a delta from.
struct DeltaBase {
    QString path; // installed, as in planUpdate's installed
    ManifestDelta delta;
};

// What a per-file update or repair does with the installed tree.
struct UpdatePlan {
    QVector<ManifestFile> fetch; // missing, or installed with another digest (manifest order)
    QStringList keep;            // installed as listed
    QStringList remove;          // installed but not in the manifest (settings files kept)
    // By a fetched file's digest: the smallest of its deltas whose base is installed, when that
    // is smaller than its whole object.
    QHash<QString, DeltaBase> bases;
    qint64 fetchBytes = 0;   // the sum of what the fetched files cost: their deltas or "packed"
    bool useArchive = false; // the archive is cheaper: fetch it instead
};

// installed: the relative paths of the installed files (as the manifest spells them, "/"-
// separated) with their lowercase SHA-256, or an empty digest when unknown or unreadable (such a
// file is fetched again). archiveSize: the archive's size, or -1 when unknown (then the packed
// total of the whole manifest stands for it). removeExtra: false for a repair, which leaves
// files the manifest does not know alone.
UpdatePlan planUpdate(const Manifest& manifest, const QHash<QString, QString>& installed,
                      qint64 archiveSize, bool removeExtra);

} // namespace documents
