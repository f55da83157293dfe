#pragma once

#include <QHash>
#include <QJsonObject>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

#include "documents.h"
#include "filehasher.h"
#include "manifest.h"
#include "perfileupdate.h"

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QTimer;
class QPushButton;
class Downloader;
class MainWindowForm;

// The updater's one window: progress bar, Cancel button and status line. Its construction
// starts the whole update workflow, which runs in the slots below on the event loop.
//
// The members are grouped by the file that defines them:
//   mainwindow.cpp               the window, the status line, Cancel, the steps both workflows
//                                use (hashing on worker threads, signatures)
//   launching.cpp                hand-offs, the application's start (a verified installation's
//                                too), the record written and set aside (record.h)
//   workflow/verification.cpp    the start-up check: record, hash list, installed digests
//   workflow/installation.cpp    version list, archive download and check, wipe, extraction;
//                                the per-file update and repair (workflow/perfileupdate.*) started
//                                and its end acted on
// The workflow runs verification -> installation, never the other way round; both launch
// through launching.cpp.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // mainwindow.cpp
    explicit MainWindow(QWidget* parent = nullptr);
    // serverUrl replaces the download server compiled into the build (used by tests).
    MainWindow(QWidget* parent, const QUrl& serverUrl);
    ~MainWindow() override;
    // Creates the directory path if missing; returns path unchanged either way.
    QString ensureDirectory(const QString& path);

    // launching.cpp
    // Starts the updater copy installed in the data directory, unless this is that copy.
    void launchInstalledUpdater();
    // Writes record as the installed-version record at path (indented JSON, UTF-8); false
    // (with a warning) when it could not be written whole, the previous record left as it was.
    bool saveVersionRecord(const QJsonObject& record, const QString& path);

    // workflow/installation.cpp
    // Requests the server's version list; the reply ends in onDownloadFinished.
    void requestVersionList();

private slots:
    // mainwindow.cpp. installDownloadedFile and updateLoadBar are connected to nothing: they
    // are kept, as they have always been part of the window's slots.
    void onCancelButtonClicked();
    void onUpdateProgress(qint64 bytesReceived, qint64 bytesTotal);
    void installDownloadedFile(QString filePath);
    void updateLoadBar(int progress);
    // launching.cpp
    // True when the program started (the quit is then scheduled).
    bool startProcess(QString binaryPath);
    // workflow/verification.cpp
    void checkForInstalledApplication();
    void verifyInstalledVersion();
    void onHashListDownloadFinished(bool success, QString filePath);
    // workflow/installation.cpp
    void onDownloadFinished(QNetworkReply* reply);
    void onDownloadFullVersionFinished(bool state, QString path);

private:
    // mainwindow.cpp
    void setStatus(const QString& text);
    // Writes the status just shown with the reason transfer gives for its failure into the
    // diagnostics: the labels are fixed, so disk full, a cap and a 404 read alike on screen.
    void logFailure(const Downloader* transfer);
    // Hashes files on worker threads while the event loop runs on, the bar showing their
    // progress; done runs on this thread once all are hashed. One set at a time.
    void hashInBackground(const QStringList& paths,
                          const std::function<void(const FileHasher&)>& done);
    void stopHashing();
    // Signed builds: fetches the signature of the document at path ("/versions.json") and checks
    // it over bytes, the document as received; accepted() goes on with the document. A signature
    // that does not check out makes refetch() fetch the document once more (a publish may have
    // replaced both between the two requests); the second time the run stops on its own message,
    // as after a failed download of the document.
    void checkSignature(const QString& path, const QByteArray& bytes,
                        const std::function<void()>& accepted,
                        const std::function<void()>& refetch);

    // launching.cpp
    // Starts the verified installation's executable (the record is written again).
    void launchVerified();

    // workflow/verification.cpp
    // Checks the installed files against a hash list received whole (and checked).
    void verifyInstalledFiles(const QByteArray& hashList);
    // Hashes the installed files; the first pass starts with the hash-list download.
    void hashInstalledFiles(const QStringList& paths);
    // Judges the installation once both the hash list and the digests are there.
    void compareInstalledFiles();

    // workflow/installation.cpp
    // Chooses the entry of a version list received whole (and checked, in a signed build) and
    // downloads its archive.
    void useVersionList(const QByteArray& body);
    // Lists the downloaded archive at path: one that the extractor cannot open, or whose files
    // would not fit, is removed with a message, before anything of the installation is.
    void checkArchive(const QString& path);
    // Unpacks the downloaded archive at path over the installation and launches the result.
    void installArchive(const QString& path);
    void onExtractionFinished(bool success, const QString& errorMessage, const QString& targetDir);
    // Downloads the chosen entry's archive (the full installation).
    void downloadArchive();
    // The per-file path (PerFileUpdate), for an entry with a manifest: an update to the chosen
    // entry, or with repair the mending of the recorded installation; its end is acted on by
    // endPerFile (a launch, the archive once, or a message).
    void startPerFile(bool repair);
    void endPerFile(PerFileUpdate::End end, const QString& detail, bool repair);
    // Puts the settings files kept while the installation at dirPath was replaced back there.
    void putBackSettings(const QString& dirPath);

    // The separate update program was started at construction: this run's workflow does not
    // start (the entry still hands off to an installed copy of the updater, as it always has).
    bool startedUpdateProgram = false;

    // The window and its transfers.
    MainWindowForm* form;
    QNetworkAccessManager* networkManager;
    QPointer<QNetworkReply> versionReply;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancelButton = nullptr;
    QLabel* statusLabel = nullptr;
    Downloader* downloader = nullptr;
    QPointer<PerFileUpdate> perFile;
    // The latest message produced before the status line existed, shown once it does.
    QString pendingStatus;
    // The hashing under way, and the timer that moves the bar with it.
    QPointer<FileHasher> hasher;
    QTimer* hashProgress = nullptr;

    // What this build trusts and where it asks.
    QUrl serverUrl;
    // The release signature keys of this build; empty: the documents are not signed.
    const QString publicKeys;

    // The entry being verified or installed: the record's, then the chosen version's.
    QJsonObject versionInfo;
    // The version number of the installed-version record, 0 without one: a signed build installs
    // nothing older.
    qint32 installedNumber = 0;

    // The state of this run's checks, set by the workflow files and read across them.
    struct RunState {
        // Cancel was clicked: the transfer that fails next was stopped by the user.
        bool cancelled = false;
        // The signature of the document being fetched did not check out once already.
        bool signatureRetried = false;
        // The installed files' digests by path (as far as hashed) and the hash list, once
        // received; the files are judged when the hashing has ended and the list is there.
        QHash<QString, FileHasher::Result> installedDigests;
        bool installedHashed = false;
        // The files that changed while hashed were hashed a second time.
        bool hashedAgain = false;
        std::optional<QJsonObject> hashList;
        // The installed-version record as read at the start.
        QJsonObject recordEntry;
        // The archive of the chosen entry.
        QUrl archiveUrl;
        // The per-file path failed once: the archive is used.
        bool archiveOnly = false;
        // An archive found complete in the download folder was tried once.
        bool archiveReuseTried = false;
        // The whole tree of a recorded installation with a manifest was checked.
        bool treeChecked = false;
    } run;
};
