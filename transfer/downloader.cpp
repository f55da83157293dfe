#include "downloader.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>

#include "buildconfig.h"

namespace {
int transferTimeoutMs = QUORVEX_TRANSFER_TIMEOUT_MS;
int documentTimeLimitMs = 120000;
} // namespace

Downloader::Downloader(QObject* parent)
    : QObject(parent)
    , currentReply(nullptr) {
    manager.setTransferTimeout(transferTimeoutMs);
    connect(&manager, &QNetworkAccessManager::finished, this, &Downloader::onReply);
}

Downloader::~Downloader() {
    // Destroyed mid-transfer: stop the reply before the manager goes. Only the temporary file
    // of this transfer goes with it; the target is not touched.
    if (currentReply && running) {
        currentReply->disconnect(this);
        manager.disconnect(this);
        currentReply->abort();
    }
    discardFile();
}

void Downloader::setDefaultTransferTimeout(int milliseconds) {
    transferTimeoutMs = milliseconds;
}

int Downloader::defaultTransferTimeout() {
    return transferTimeoutMs;
}

int Downloader::documentTimeLimit() {
    return documentTimeLimitMs;
}

void Downloader::setDocumentTimeLimit(int milliseconds) {
    documentTimeLimitMs = milliseconds;
}

QString Downloader::targetFileName(const QUrl& url) {
    const QString encodedPath = url.path(QUrl::FullyEncoded);
    const QString lastSegment = encodedPath.mid(encodedPath.lastIndexOf(QLatin1Char('/')) + 1);
    const QString name = QUrl::fromPercentEncoding(lastSegment.toUtf8());
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        name.contains(QChar(0))) {
        return QString();
    }
    return name;
}

bool Downloader::startDownload(const QString& destDir, const QUrl& url, qint64 sizeLimit,
                               int timeLimitMs) {
    if (destDir.isEmpty() || url.isEmpty() || started) {
        return false;
    }
    const QString name = targetFileName(url);
    if (name.isEmpty()) {
        qWarning() << "Недопустимое имя файла в адресе загрузки:" << url.toString();
        return false;
    }
    targetPath = destDir + QDir::separator() + name;
    if (QFileInfo(targetPath).isDir()) {
        return false;
    }

    // Unbuffered: every write reaches the file system at once, so a full disk is seen at the
    // write that hits it rather than silently at the end.
    file = new QSaveFile(targetPath);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        delete file;
        file = nullptr;
        return false;
    }
    maxSize = sizeLimit;

    QNetworkRequest request(url);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    request.setAttribute(QNetworkRequest::FollowRedirectsAttribute, true);
    QT_WARNING_POP
    started = true;
    running = true;
    QNetworkReply* reply = manager.get(request);
    reply->setReadBufferSize(ReadBufferSize);
    currentReply = reply;
    connect(reply, &QNetworkReply::readyRead, this, &Downloader::onReadyRead);
    // A reply aborted from its own readyRead (past the size cap, a failed write) still reports
    // that data's progress after it has finished; a transfer that has ended reports no more.
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 done, qint64 total) {
        if (running) {
            emit updateDownloadProgress(done, total);
        }
    });
    if (timeLimitMs > 0) {
        QTimer::singleShot(timeLimitMs, reply,
                           [this] { fail(QStringLiteral("превышено время загрузки")); });
    }
    return true;
}

void Downloader::cancelDownload() {
    fail(QStringLiteral("загрузка отменена"));
}

void Downloader::fail(const QString& why) {
    if (!running || !currentReply || !writeError.isEmpty()) {
        return;
    }
    writeError = why;
    qWarning() << "Ошибка загрузки:" << currentReply->url().toString() << why;
    // abort() finishes the reply at once; onReply reports the failure.
    currentReply->abort();
}

void Downloader::onReadyRead() {
    if (!file || !currentReply || !writeError.isEmpty()) {
        return;
    }
    char buffer[64 * 1024];
    for (;;) {
        const qint64 got = currentReply->read(buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        if (maxSize >= 0 && received + got > maxSize) {
            fail(QStringLiteral("размер превышает допустимый (%1 байт)").arg(maxSize));
            return;
        }
        if (file->write(buffer, got) != got) {
            fail(QStringLiteral("ошибка записи в файл ") + targetPath + QStringLiteral(": ") +
                 file->errorString());
            return;
        }
        received += got;
    }
}

void Downloader::onReply(QNetworkReply* reply) {
    if (reply != currentReply || !running) {
        reply->deleteLater();
        return;
    }
    if (reply->error() == QNetworkReply::NoError && writeError.isEmpty()) {
        // Whatever is still buffered in the reply goes to the file before it is closed.
        onReadyRead();
    }
    running = false;

    bool ok = reply->error() == QNetworkReply::NoError && writeError.isEmpty() && file;
    // The network layer may finish a reply without error when the server closes the
    // connection before the announced length has arrived; such a body is incomplete. (When
    // the body is decompressed on the way, the announced length is not reported.)
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (ok && announced.isValid() && received != announced.toLongLong()) {
        qWarning() << "Ошибка загрузки: получены не все данные:" << reply->url().toString()
                   << received << announced.toLongLong();
        ok = false;
    }
    if (ok && !file->commit()) {
        qWarning() << "Ошибка записи в файл:" << targetPath << file->errorString();
        ok = false;
    }
    if (!ok && reply->error() != QNetworkReply::NoError && writeError.isEmpty()) {
        qWarning() << "Ошибка загрузки:" << reply->url().toString() << reply->errorString();
    }
    discardFile();
    reply->deleteLater();
    emit downloadFinished(ok, ok ? targetPath : QString());
}

void Downloader::discardFile() {
    if (file) {
        // Without a commit the temporary file is removed; a committed one is already in place.
        file->cancelWriting();
        delete file;
        file = nullptr;
    }
}
