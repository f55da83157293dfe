#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <memory>

class QNetworkReply;
class QFile;
class WholeFile;
class QTimer;

// Fetches one URL into a file in a given directory, streaming the body to disk. The body goes
// into a temporary file beside the target, which replaces the target only when the transfer
// succeeded: until then, and after a failure, a file already at the target stays as it was.
// One object serves one transfer; it reports its end with exactly one downloadFinished.
//
// A resumable download (setResumable) keeps the body in "<target>.part" instead, and the
// server's validator of that body (its strong ETag, or its Last-Modified) in
// "<target>.part.meta". When the connection breaks off, both stay; the next resumable download
// of the same URL asks for the rest only ("Range", with "If-Range" and the validator), and a
// server that ignores the range or now holds another file answers with the whole body, which
// replaces the partial one. Any other failure (an HTTP error, a cancel, a size past the cap,
// a write error) and a body without a validator remove the partial file; so does a resumable
// download of another file into the same directory, since only one archive is ever fetched.
class Downloader : public QObject {
    Q_OBJECT
public:
    explicit Downloader(QObject* parent = nullptr);
    ~Downloader() override;

    // Starts the transfer into destDir + native separator + the URL's last path segment
    // (fully decoded). Returns false, with nothing created and no signal to follow, when the
    // directory or URL is empty, the name is not a plain file name, the target is a
    // directory, a transfer already ran on this object, or the file cannot be created.
    // A body longer than maxSize bytes (when >= 0), or a transfer that has not ended after
    // timeLimitMs (when > 0), fails as soon as it does so.
    bool startDownload(const QString& destDir, const QUrl& url, qint64 maxSize = -1,
                       int timeLimitMs = 0);

    // Makes the next startDownload resumable (see above).
    void setResumable(bool on) { resumable = on; }

    // Sends the transfer through shared (when set before startDownload) instead of a manager of
    // its own, so that transfers running side by side share its connections. The caller sets
    // its transfer timeout and diagnostics, and keeps it until this object is gone.
    void useManager(QNetworkAccessManager* shared) { sharedManager = shared; }

    // True from a successful start until the end is reported.
    bool isRunning() const { return running; }

    // Why the transfer failed or could not start (for the diagnostics; the window shows its own
    // fixed labels); empty after a success.
    QString errorString() const { return failure; }

    // The plain file name a download of url would be saved under, or an empty string when
    // the URL's last segment is not a plain name ("", ".", "..", a separator once decoded).
    static QString targetFileName(const QUrl& url);

    // A transfer that receives nothing for this long fails (0 disables the limit). Applies to
    // the objects created afterwards.
    static void setDefaultTransferTimeout(int milliseconds);
    static int defaultTransferTimeout();

    // Upper bound of the reply's read buffer, so memory does not grow with the body.
    static constexpr qint64 ReadBufferSize = 1024 * 1024;
    // Time allowed for a whole document (the version list, the hash list): a server that
    // trickles a byte now and then is not silent, but must not hold the run for ever.
    static int documentTimeLimit();
    static void setDocumentTimeLimit(int milliseconds);

signals:
    // Declared returning bool and taking the path by value on purpose: that is the signal's
    // signature as its receivers connect to it; the return value is unused. Kept for
    // compatibility.
    bool downloadFinished(bool res, QString path);
    void updateDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

public slots:
    void cancelDownload();

private slots:
    void onReadyRead();
    void onReply(QNetworkReply* reply);
    void onMetaData();

private:
    void discardFile();
    void fail(const QString& why);
    bool openPartial();
    void sendRequest();
    void removePartial();
    // Drops what is on disk: the body is written from its first byte.
    void restartPartial();
    QString partMetaPath() const;
    bool finishPartial();

    QPointer<QNetworkReply> currentReply;
    WholeFile* file = nullptr;
    QFile* part = nullptr;
    QUrl url;
    bool resumable = false;
    bool headersSeen = false;
    qint64 offset = 0;
    QByteArray validator;
    QString targetPath;
    qint64 maxSize = -1;
    qint64 received = 0;
    // The manager of its own is made at the start, unless a shared one is used.
    std::unique_ptr<QNetworkAccessManager> ownManager;
    QPointer<QNetworkAccessManager> sharedManager;
    int transferTimeout;
    QString writeError;
    QString failure;
    bool started = false;
    bool running = false;
};
