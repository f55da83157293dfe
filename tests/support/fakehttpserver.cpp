#include "fakehttpserver.h"

#include <QFile>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr qint64 SendWindow = 512 * 1024;
constexpr qint64 PieceSize = 64 * 1024;

quint64 splitMix64(quint64 x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}
} // namespace

// Connections arrive as plain sockets, or as TLS sockets that have begun their handshake with
// the certificate set.
class FakeHttpServer::Listener : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    QSslCertificate certificate;
    QSslKey key;

protected:
    void incomingConnection(qintptr descriptor) override {
        if (certificate.isNull()) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        addPendingConnection(socket);
        socket->startServerEncryption();
    }
};

struct FakeHttpServer::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray input;
    FakeResponse response;
    bool responding = false;
    QByteArray path;
    qint64 first = 0; // the body's first byte sent (a range)
    qint64 sent = 0;
    qint64 limit = 0;
    QTimer* trickle = nullptr;
};

FakeResponse FakeResponse::ok(const QByteArray& body) {
    FakeResponse response;
    response.body = body;
    return response;
}

FakeResponse FakeResponse::withStatus(int status) {
    FakeResponse response;
    response.status = status;
    response.body = "error page";
    return response;
}

FakeResponse FakeResponse::generated(qint64 size) {
    FakeResponse response;
    response.generatedSize = size;
    return response;
}

FakeHttpServer::FakeHttpServer(quint16 port, QObject* parent)
    : QObject(parent)
    , server(new Listener(this)) {
    connect(server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server->nextPendingConnection()) {
            auto* c = new Connection;
            c->socket = socket;
            connections.append(c);
            connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadable(c); });
            connect(socket, &QTcpSocket::disconnected, this, [this, c] { drop(c); });
            connect(socket, &QTcpSocket::bytesWritten, this, [this, c] {
                if (!c->trickle) {
                    pump(c);
                }
            });
        }
    });
    server->listen(QHostAddress::LocalHost, port);
}

FakeHttpServer::~FakeHttpServer() {
    while (!connections.isEmpty()) {
        drop(connections.first());
    }
}

bool FakeHttpServer::isListening() const {
    return server->isListening();
}

QUrl FakeHttpServer::url(const QString& path) const {
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                    .arg(server->certificate.isNull() ? "http" : "https")
                    .arg(server->serverPort())
                    .arg(path));
}

bool FakeHttpServer::useTls(const QString& name) {
    if (name.isEmpty()) {
        server->certificate.clear();
        return true;
    }
    QFile certificate(certificatePath(name + ".pem"));
    QFile key(certificatePath(name + ".key"));
    if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)) {
        return false;
    }
    server->certificate = QSslCertificate(&certificate);
    server->key = QSslKey(&key, QSsl::Rsa);
    return !server->certificate.isNull() && !server->key.isNull();
}

bool FakeHttpServer::trustTestAuthority() {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!tls.addCaCertificates(certificatePath("ca.pem"))) {
        return false;
    }
    QSslConfiguration::setDefaultConfiguration(tls);
    return true;
}

QString FakeHttpServer::certificatePath(const QString& file) {
    return QStringLiteral(QUORVEX_TEST_CERTS "/") + file;
}

void FakeHttpServer::setRoute(const QByteArray& path, const FakeResponse& response) {
    routes.insert(path, response);
}

void FakeHttpServer::setFirstResponse(const QByteArray& path, const FakeResponse& response) {
    first.insert(path, response);
}

int FakeHttpServer::requestCount(const QByteArray& path) const {
    return path.isEmpty() ? requested.size() : requested.count(path);
}

QByteArray FakeHttpServer::generatedBytes(qint64 offset, qint64 size) {
    QByteArray out(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) {
        const qint64 position = offset + i;
        out[int(i)] = char(splitMix64(quint64(position / 8)) >> (8 * (position % 8)));
    }
    return out;
}

void FakeHttpServer::onReadable(Connection* c) {
    c->input += c->socket->readAll();
    const int end = c->input.indexOf("\r\n\r\n");
    if (c->responding || end < 0) {
        return;
    }
    c->responding = true;
    latest = c->input.left(end);
    QByteArray path = c->input.left(c->input.indexOf('\r')).split(' ').value(1);
    c->path = path.left(path.indexOf('?') < 0 ? path.size() : path.indexOf('?'));
    requested.append(c->path);
    respond(c);
}

void FakeHttpServer::releaseHeld() {
    for (Connection* c : connections) {
        if (c->responding && c->response.stall == FakeResponse::Stall::Held) {
            respond(c);
        }
    }
}

void FakeHttpServer::respond(Connection* c) {
    const FakeResponse held = c->response;
    FakeResponse& r = c->response = first.contains(c->path)
                                        ? first.take(c->path)
                                        : routes.value(c->path, FakeResponse::withStatus(404));
    if (r.stall == FakeResponse::Stall::BeforeHeaders ||
        (r.stall == FakeResponse::Stall::Held && held.stall != FakeResponse::Stall::Held)) {
        return;
    }
    r.stall = r.stall == FakeResponse::Stall::Held ? FakeResponse::Stall::None : r.stall;
    auto header = [&](const QByteArray& name) {
        const int at = latest.indexOf("\r\n" + name + ": ");
        return at < 0 ? QByteArray()
                      : latest.mid(at + name.size() + 4).split('\r').first().trimmed();
    };
    const QByteArray range = header("Range"), ifRange = header("If-Range");
    int status = r.status;
    QByteArray head;
    if (r.ranges && range.startsWith("bytes=") && (ifRange.isEmpty() || ifRange == r.etag)) {
        c->first = range.mid(6, range.indexOf('-') - 6).toLongLong();
        status = c->first < r.bodySize() ? 206 : 416;
        c->first = qMin(c->first, r.bodySize());
        head += "Content-Range: bytes " + QByteArray::number(c->first) + '-' +
                QByteArray::number(r.bodySize() - 1) + '/' + QByteArray::number(r.bodySize()) +
                "\r\n";
    }
    if (!r.location.isEmpty()) {
        head += "Location: " + r.location + "\r\n";
    }
    if (!r.etag.isEmpty()) {
        head += "ETag: " + r.etag + "\r\n";
    }
    head += r.headers;
    if (r.announceLength) {
        head += "Content-Length: " + QByteArray::number(r.bodySize() - c->first) + "\r\n";
    }
    c->socket->write("HTTP/1.1 " + QByteArray::number(status) + " Status\r\n" + head +
                     "Connection: close\r\n\r\n");
    const qint64 size = r.bodySize() - c->first;
    c->limit = r.cutAfter >= 0 ? qMin(r.cutAfter, size) : size;
    if (r.trickleBytes > 0) {
        c->trickle = new QTimer(this);
        connect(c->trickle, &QTimer::timeout, this, [this, c] { pump(c); });
        c->trickle->start(r.trickleIntervalMs);
    }
    pump(c);
}

void FakeHttpServer::pump(Connection* c) {
    if (!c->responding || c->sent > c->limit) {
        return;
    }
    const FakeResponse& r = c->response;
    while (c->sent < c->limit && c->socket->bytesToWrite() < SendWindow) {
        const qint64 n = qMin(c->trickle ? qint64(r.trickleBytes) : PieceSize, c->limit - c->sent);
        const qint64 at = c->first + c->sent;
        c->socket->write(r.generatedSize >= 0 ? generatedBytes(at, n)
                                              : r.body.mid(int(at), int(n)));
        c->sent += n;
        if (c->trickle) {
            return;
        }
    }
    if (c->sent < c->limit) {
        return;
    }
    c->sent = c->limit + 1; // done: nothing more is sent on this connection
    if (c->trickle) {
        c->trickle->stop();
    }
    if (r.stall != FakeResponse::Stall::AfterCut) {
        c->socket->disconnectFromHost();
    }
}

void FakeHttpServer::drop(Connection* c) {
    if (!connections.removeOne(c)) {
        return;
    }
    c->socket->disconnect(this);
    c->socket->abort();
    c->socket->deleteLater();
    delete c->trickle;
    delete c;
}
