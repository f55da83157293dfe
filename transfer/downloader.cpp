#include "downloader.h"

#include <QDebug>
#include <QDir>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "buildconfig.h"

namespace {
int transferTimeoutMs = QUORVEX_TRANSFER_TIMEOUT_MS;
}

Downloader::Downloader(QObject* parent)
    : QObject(parent)
    , currentReply(nullptr)
    , file(nullptr) {
    manager.setTransferTimeout(transferTimeoutMs);
    connect(&manager, &QNetworkAccessManager::finished, this, &Downloader::onReply);
}

Downloader::~Downloader() {
    // Destroyed mid-transfer: stop the reply before the manager goes, and do not leave a
    // partial file behind.
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

bool Downloader::startDownload(const QString& destDir, const QUrl& url) {
    if (destDir.isEmpty() || url.isEmpty() || started) {
        return false;
    }
    const QString name = targetFileName(url);
    if (name.isEmpty()) {
        qWarning() << "Недопустимое имя файла в адресе загрузки:" << url.toString();
        return false;
    }
    const QString targetPath = destDir + QDir::separator() + name;

    file = new QFile(targetPath);
    // Unbuffered: every write reaches the file system at once, so a full disk is seen at the
    // write that hits it rather than silently at close.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        delete file;
        file = nullptr;
        return false;
    }

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
    connect(reply, &QNetworkReply::downloadProgress, this, &Downloader::updateDownloadProgress);
    return true;
}

void Downloader::cancelDownload() {
    if (running && currentReply) {
        currentReply->abort();
    }
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
        if (file->write(buffer, got) != got) {
            writeError = file->errorString();
            qWarning() << "Ошибка записи в файл:" << file->fileName() << writeError;
            // abort() finishes the reply at once; onReply reports the failure.
            currentReply->abort();
            return;
        }
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
    if (ok && !file->flush()) {
        writeError = file->errorString();
        ok = false;
    }
    // The network layer may finish a reply without error when the server closes the
    // connection before the announced length has arrived; such a body is incomplete. (When
    // the body is decompressed on the way, the announced length is not reported.)
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (ok && announced.isValid() && file->size() != announced.toLongLong()) {
        qWarning() << "Ошибка загрузки: получены не все данные:" << reply->url().toString()
                   << file->size() << announced.toLongLong();
        ok = false;
    }
    if (ok) {
        const QString path = file->fileName();
        file->close();
        if (file->error() != QFileDevice::NoError) {
            writeError = file->errorString();
            ok = false;
        } else {
            emit downloadFinished(true, path);
        }
    }
    if (!ok) {
        if (reply->error() != QNetworkReply::NoError && writeError.isEmpty()) {
            qWarning() << "Ошибка загрузки:" << reply->url().toString() << reply->errorString();
        }
        discardFile();
        emit downloadFinished(false, QString());
    }
    delete file;
    file = nullptr;
    reply->deleteLater();
}

void Downloader::discardFile() {
    if (file) {
        file->close();
        file->remove();
        delete file;
        file = nullptr;
    }
}
