#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class Downloader;
class MainWindowForm;

// The updater's one window: progress bar, Cancel button and status line. Its construction
// starts the whole update workflow, which runs in the slots below on the event loop.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    // serverUrl replaces the download server compiled into the build (used by tests).
    MainWindow(QWidget* parent, const QUrl& serverUrl);
    ~MainWindow() override;

    // Starts the updater copy installed in the data directory, unless this is that copy.
    void launchInstalledUpdater();
    // Writes record as the installed-version record at path (indented JSON, UTF-8).
    void saveVersionRecord(const QJsonObject& record, const QString& path);
    // Creates the directory path if missing; returns path unchanged either way.
    QString ensureDirectory(const QString& path);
    // Requests the server's version list; the reply ends in onDownloadFinished.
    void requestVersionList();

private slots:
    void onCancelButtonClicked();
    void checkForInstalledApplication();
    void installDownloadedFile(QString filePath);
    void onUpdateProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished(QNetworkReply* reply);
    void onDownloadFullVersionFinished(bool state, QString path);
    void verifyInstalledVersion();
    void onHashListDownloadFinished(bool success, QString filePath);
    void updateLoadBar(int progress);
    void startProcess(QString binaryPath);

private:
    void setStatus(const QString& text);
    void onExtractionFinished(bool success, const QString& errorMessage, const QString& targetDir);
    // Chooses the entry of a version list received whole (and checked, in a signed build) and
    // downloads its archive.
    void useVersionList(const QByteArray& body);
    // Checks the installed files against a hash list received whole (and checked).
    void verifyInstalledFiles(const QByteArray& hashList);
    // Signed builds: fetches the signature of the document at path ("/versions.json") and checks
    // it over bytes, the document as received; accepted() goes on with the document. A signature
    // that does not check out makes refetch() fetch the document once more (a publish may have
    // replaced both between the two requests); the second time the run stops on its own message,
    // as after a failed download of the document.
    void checkSignature(const QString& path, const QByteArray& bytes,
                        const std::function<void()>& accepted,
                        const std::function<void()>& refetch);
    bool verifyArchive(const QString& path);
    // Hashes a file for the workflow: adds each block to *processed and shows it on the bar as
    // a share of total, keeping the window live. False when the file cannot be read.
    bool hashFileLive(const QString& path, QString* digest, qint64* processed, qint64 total);
    // Removes the installed-version record (it no longer describes what is on disk); false
    // when it is still there.
    bool removeVersionRecord();

    MainWindowForm* form;
    QNetworkAccessManager* networkManager;
    QPointer<QNetworkReply> versionReply;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancelButton = nullptr;
    QLabel* statusLabel = nullptr;
    Downloader* downloader = nullptr;
    // Cancel was clicked: the transfer that fails next was stopped by the user.
    bool cancelled = false;
    QJsonObject versionInfo;

    QUrl serverUrl;
    // The release signature keys of this build; empty: the documents are not signed.
    const QString publicKeys;
    // The signature of the document being fetched did not check out once already.
    bool signatureRetried = false;
    // The version number of the installed-version record, 0 without one: a signed build installs
    // nothing older.
    qint32 installedNumber = 0;
    // The latest message produced before the status line existed, shown once it does.
    QString pendingStatus;
    // When pending events last ran during a long computation.
    QElapsedTimer sinceEvents;
};
