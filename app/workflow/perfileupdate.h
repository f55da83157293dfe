#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <optional>

#include "filehasher.h"
#include "manifest.h"

class Downloader;
class StoreFetcher;

// The per-file path for an entry with a manifest: an update of the installation to the entry's
// release, or with repair the mending of the recorded installation. The manifest (kept in the
// download folder once its digest checked out), the installed files hashed as far as their
// sizes match, the plan, the changed files fetched from the store and staged, then swapped in,
// the settings files kept. A job as the transfer workers are: made for one run, started once,
// ending with exactly one finished(); the window shows its progress and status and acts on its
// end. Anything that fails before or during the swap (which is undone) ends in FallBack: the
// window takes the archive instead, once.
class PerFileUpdate : public QObject {
    Q_OBJECT
public:
    enum class End {
        Installed,  // the files are in place: launch detail (the executable's path)
        Intact,     // a repair found nothing to mend: launch as verified
        NoManifest, // a repair without the manifest (detail: why): launch as verified, as
                    // before manifests existed, rather than install again at each start
        FallBack,   // the archive instead; detail says why
        Stopped,    // nothing more: detail is the status line's message
    };
    struct Setup {
        QJsonObject entry;          // the release to install or mend
        QJsonObject installedEntry; // the record's entry (its kept manifest spares hashing)
        bool repair = false;        // mend the recorded installation, files of its own kept
        // The installed files' digests already known (the verification's), by path.
        QHash<QString, FileHasher::Result> digests;
    };

    PerFileUpdate(const Setup& setup, QObject* parent = nullptr);
    ~PerFileUpdate() override;
    void start();
    // Stops the transfer under way (the manifest or the files); false when none is.
    bool cancel();

    // The per-file folders inside the download folder: "files" (staged, named by digest),
    // "objects" (compressed, in transit), "old" (moved aside during a swap), "manifests" (of
    // installed releases, named by digest), "settings" (kept while the archive is installed).
    static QString folder(const char* name);

signals:
    void progress(qint64 received, qint64 total); // of the transfers
    void hashProgress(int percent);
    void status(const QString& text);
    void finished(PerFileUpdate::End end, const QString& detail);

private:
    // (perfilemanifest.cpp) Where the manifest that entry names is kept once checked, and
    // whether text is that manifest.
    static QString keptManifest(const QJsonObject& entry);
    static bool isNamedManifest(const QByteArray& text, const QJsonObject& entry);
    void fetchStoredManifest(const documents::StoredManifest& stored);
    void downloadManifest();

    void useManifest(const QByteArray& text);
    void planFiles();
    void placeFiles();
    void fallBack(const QString& why);
    void end(End how, const QString& detail = QString());
    void hash(const QStringList& paths, const std::function<void(const FileHasher&)>& done);

    Setup setup;
    std::optional<documents::Manifest> manifest;
    QStringList installedEntries;
    documents::UpdatePlan plan;
    Downloader* manifestDownload = nullptr;
    QPointer<StoreFetcher> fetcher;
    QPointer<FileHasher> hasher;
    QTimer hashTimer;
    bool cancelled = false;
    bool ended = false;
};
