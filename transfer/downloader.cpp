#include "downloader.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include "network.h"
#include "wholefile.h"

namespace {
// Qt's own default; the application sets its build's value when it starts.
int transferTimeoutMs = 60000;
int documentTimeLimitMs = 120000;
} // namespace

Downloader::Downloader(QObject* parent)
    : QObject(parent)
    , currentReply(nullptr)
    , transferTimeout(transferTimeoutMs) {}

Downloader::~Downloader() {
    // Destroyed mid-transfer: stop the reply before the manager goes (a shared one stays, and
    // would keep the reply). Only the temporary file of this transfer goes with it; the target
    // is not touched.
    if (currentReply && running) {
        currentReply->disconnect(this);
        currentReply->abort();
        currentReply->deleteLater();
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
        failure = QStringLiteral("не задан каталог или адрес загрузки");
        return false;
    }
    const QString name = targetFileName(url);
    if (name.isEmpty()) {
        failure = QStringLiteral("недопустимое имя файла в адресе загрузки");
        qWarning() << "Недопустимое имя файла в адресе загрузки:" << url.toString();
        return false;
    }
    targetPath = destDir + QDir::separator() + name;
    if (QFileInfo(targetPath).isDir()) {
        failure = QStringLiteral("на месте файла находится каталог: ") + targetPath;
        return false;
    }

    // Unbuffered: every write reaches the file system at once, so a full disk is seen at the
    // write that hits it rather than silently at the end.
    this->url = url;
    if (resumable) {
        if (!openPartial()) {
            failure =
                QStringLiteral("не удалось открыть файл ") + targetPath + QStringLiteral(".part");
            return false;
        }
    } else {
        file = new WholeFile(targetPath);
        if (!file->open()) {
            failure = QStringLiteral("не удалось создать файл ") + targetPath +
                      QStringLiteral(": ") + file->errorString();
            delete file;
            file = nullptr;
            return false;
        }
    }
    if (!sharedManager) {
        ownManager = std::make_unique<QNetworkAccessManager>();
        ownManager->setTransferTimeout(transferTimeout);
        network::reportProblems(ownManager.get());
    }
    maxSize = sizeLimit;
    started = true;
    running = true;
    sendRequest();
    if (timeLimitMs > 0) {
        QTimer::singleShot(timeLimitMs, this,
                           [this] { fail(QStringLiteral("превышено время загрузки")); });
    }
    return true;
}

void Downloader::sendRequest() {
    QNetworkRequest request = network::request(url);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    request.setAttribute(QNetworkRequest::FollowRedirectsAttribute, true);
    QT_WARNING_POP
    if (offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        request.setRawHeader("If-Range", validator);
    }
    QNetworkAccessManager* manager = sharedManager ? sharedManager.data() : ownManager.get();
    QNetworkReply* reply = manager->get(request);
    reply->setReadBufferSize(ReadBufferSize);
    currentReply = reply;
    // Each reply reports its own end: a shared manager's finished() is every transfer's.
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onReply(reply); });
    connect(reply, &QNetworkReply::metaDataChanged, this, &Downloader::onMetaData);
    connect(reply, &QNetworkReply::readyRead, this, &Downloader::onReadyRead);
    // A reply aborted from its own readyRead (past the size cap, a failed write) still reports
    // that data's progress after it has finished; a transfer that has ended reports no more.
    // A resumed transfer counts the bytes it continues from.
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 done, qint64 total) {
        if (running && (headersSeen || !part)) {
            emit updateDownloadProgress(offset + done, total < 0 ? total : offset + total);
        }
    });
}

bool Downloader::openPartial() {
    const QString partPath = targetPath + QStringLiteral(".part");
    const QString metaPath = partMetaPath();
    // Partial files of other downloads can no longer be resumed.
    const QDir dir(QFileInfo(targetPath).absolutePath());
    for (const QString& name :
         dir.entryList({QStringLiteral("*.part"), QStringLiteral("*.part.meta")}, QDir::Files)) {
        if (dir.filePath(name) != QFileInfo(partPath).absoluteFilePath() &&
            dir.filePath(name) != QFileInfo(metaPath).absoluteFilePath()) {
            QFile::remove(dir.filePath(name));
        }
    }
    QFile meta(metaPath);
    if (meta.open(QIODevice::ReadOnly)) {
        const QJsonObject kept = QJsonDocument::fromJson(meta.read(64 * 1024)).object();
        if (kept.value(QStringLiteral("url")).toString() == url.toString(QUrl::FullyEncoded)) {
            validator = kept.value(QStringLiteral("validator")).toString().toLatin1();
        }
        meta.close();
    }
    part = new QFile(partPath, this);
    if (!part->open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        delete part;
        part = nullptr;
        return false;
    }
    if (validator.isEmpty() || part->size() == 0) {
        restartPartial();
    } else {
        offset = part->size();
        part->seek(offset);
    }
    return true;
}

void Downloader::onMetaData() {
    QNetworkReply* reply = currentReply;
    if (!part || headersSeen || !reply) {
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status >= 300) {
        return; // a redirect (followed) or an error (reported at the end)
    }
    headersSeen = true;
    // "bytes <first>-<last>/<length>": the rest of what is on disk, or nothing usable.
    const QByteArray range = reply->rawHeader("Content-Range");
    const bool continues = status == 206 && offset > 0 &&
                           range.startsWith("bytes " + QByteArray::number(offset) + '-');
    if (status == 206 && !continues) {
        fail(QStringLiteral("сервер прислал не запрошенную часть файла: ") +
             QString::fromLatin1(range));
        return;
    }
    if (continues) {
        return; // the kept validator still describes the body
    }
    // The whole body: the server ignored the range, or the file changed since. Only a strong
    // entity tag identifies the bytes exactly; a weak one ("W/") cannot be used.
    restartPartial();
    const QByteArray etag = reply->rawHeader("ETag");
    validator =
        !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply->rawHeader("Last-Modified");
    if (validator.isEmpty()) {
        QFile::remove(partMetaPath());
    } else {
        // Without its note the partial file is simply not continued.
        WholeFile::writeAll(
            partMetaPath(),
            QJsonDocument(
                QJsonObject{{QStringLiteral("url"), url.toString(QUrl::FullyEncoded)},
                            {QStringLiteral("validator"), QString::fromLatin1(validator)}})
                .toJson(),
            nullptr);
    }
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
    if (!(part || file) || !currentReply || !writeError.isEmpty() || (part && !headersSeen)) {
        return;
    }
    char buffer[64 * 1024];
    for (;;) {
        const qint64 got = currentReply->read(buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        if (maxSize >= 0 && offset + received + got > maxSize) {
            fail(QStringLiteral("размер превышает допустимый (%1 байт)").arg(maxSize));
            return;
        }
        if (part ? part->write(buffer, got) != got : !file->write(buffer, got)) {
            fail(QStringLiteral("ошибка записи в файл ") + targetPath + QStringLiteral(": ") +
                 (part ? part->errorString() : file->errorString()));
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
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (part && offset > 0 && status == 416 && writeError.isEmpty()) {
        // Nothing is left past what is on disk, which has not been checked against the
        // validator: the whole body is fetched again.
        reply->deleteLater();
        restartPartial();
        sendRequest();
        return;
    }
    if (reply->error() == QNetworkReply::NoError && writeError.isEmpty()) {
        // Whatever is still buffered in the reply goes to the file before it is closed.
        onReadyRead();
    }
    running = false;

    bool ok = reply->error() == QNetworkReply::NoError && writeError.isEmpty() && (file || part);
    // The connection broke off (refused, reset, silent, closed early, also on the way through
    // a proxy): what arrived is good.
    bool interrupted = writeError.isEmpty() && reply->error() != QNetworkReply::NoError &&
                       reply->error() < QNetworkReply::ContentAccessDenied;
    // The network layer may finish a reply without error when the server closes the
    // connection before the announced length has arrived; such a body is incomplete. (When
    // the body is decompressed on the way, the announced length is not reported.)
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    failure = writeError.isEmpty() && reply->error() != QNetworkReply::NoError
                  ? reply->errorString()
                  : writeError;
    if (ok && announced.isValid() && received != announced.toLongLong()) {
        failure = QStringLiteral("получены не все данные (%1 из %2 байт)")
                      .arg(received)
                      .arg(announced.toLongLong());
        qWarning() << "Ошибка загрузки:" << reply->url().toString() << failure;
        ok = false;
        interrupted = true;
    }
    if (ok && file && !file->commit()) {
        failure = QStringLiteral("ошибка записи в файл ") + targetPath + QStringLiteral(": ") +
                  file->errorString();
        qWarning() << "Ошибка записи в файл:" << targetPath << file->errorString();
        ok = false;
    }
    if (ok && part && !finishPartial()) {
        failure =
            QStringLiteral("не удалось переименовать файл ") + targetPath + QStringLiteral(".part");
        ok = false;
    }
    if (!ok && reply->error() != QNetworkReply::NoError && writeError.isEmpty()) {
        qWarning() << "Ошибка загрузки:" << reply->url().toString() << reply->errorString();
    }
    if (part && !(interrupted && !validator.isEmpty() && part->size() > 0)) {
        removePartial();
    }
    discardFile();
    reply->deleteLater();
    emit downloadFinished(ok, ok ? targetPath : QString());
}

bool Downloader::finishPartial() {
    part->close();
    QFile::remove(targetPath);
    if (!part->rename(targetPath)) {
        qWarning() << "Ошибка записи в файл:" << targetPath << part->errorString();
        return false;
    }
    QFile::remove(partMetaPath());
    delete part;
    part = nullptr;
    return true;
}

QString Downloader::partMetaPath() const {
    return targetPath + QStringLiteral(".part.meta");
}

void Downloader::restartPartial() {
    offset = 0;
    validator.clear();
    part->resize(0);
    part->seek(0);
}

void Downloader::removePartial() {
    if (part) {
        part->close();
        part->remove();
        QFile::remove(partMetaPath());
        delete part;
        part = nullptr;
    }
}

void Downloader::discardFile() {
    if (file) {
        // Without a commit the temporary file is removed; a committed one is already in place.
        file->cancel();
        delete file;
        file = nullptr;
    }
    // A partial body that can be resumed stays, whatever ended the transfer.
    if (part && validator.isEmpty()) {
        removePartial();
    }
    delete part;
    part = nullptr;
}
