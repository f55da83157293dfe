#pragma once

#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkReply;

// Fetches one URL into a file in a given directory, streaming the body to disk.
// One object serves one transfer; it reports its end with exactly one downloadFinished.
class Downloader : public QObject {
    Q_OBJECT
public:
    explicit Downloader(QObject* parent = nullptr);
    ~Downloader() override;

    // Starts the transfer into destDir + native separator + the URL's last path segment
    // (fully decoded). Returns false, with nothing created and no signal to follow, when the
    // directory or URL is empty, the name is not a plain file name, a transfer already ran
    // on this object, or the file cannot be opened.
    bool startDownload(const QString& destDir, const QUrl& url);

    // The plain file name a download of url would be saved under, or an empty string when
    // the URL's last segment is not a plain name ("", ".", "..", a separator once decoded).
    static QString targetFileName(const QUrl& url);

    // A transfer that receives nothing for this long fails (0 disables the limit). Applies to
    // the objects created afterwards.
    static void setDefaultTransferTimeout(int milliseconds);
    static int defaultTransferTimeout();

    // Upper bound of the reply's read buffer, so memory does not grow with the body.
    static constexpr qint64 ReadBufferSize = 1024 * 1024;

signals:
    bool downloadFinished(bool res, QString path);
    void updateDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

public slots:
    void cancelDownload();

private slots:
    void onReadyRead();
    void onReply(QNetworkReply* reply);

private:
    void discardFile();

    QPointer<QNetworkReply> currentReply;
    QFile* file;
    QNetworkAccessManager manager;
    QString writeError;
    bool started = false;
    bool running = false;
};
