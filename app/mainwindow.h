#pragma once

#include <QJsonObject>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QUrl>

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
    void construct(const QUrl& serverUrl);
    void setStatus(const QString& text);
    void onExtractionFinished(bool success, const QString& errorMessage, const QString& targetDir);
    bool verifyArchive(const QString& path);
    // Runs pending events at most every few milliseconds during long computations.
    void keepWindowAlive();

    MainWindowForm* form;
    QNetworkAccessManager* networkManager;
    QPointer<QNetworkReply> versionReply;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancelButton = nullptr;
    QLabel* statusLabel = nullptr;
    Downloader* downloader = nullptr;
    QJsonObject versionInfo;

    QUrl serverUrl;
    // The latest message produced before the status line existed, shown once it does.
    QString pendingStatus;
    qint64 lastEventPass = 0;
};
