#include "fakehttpserver.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <zlib.h>

namespace {

// Upper bound of what is queued on a socket before waiting for it to drain.
constexpr qint64 SendWindow = 512 * 1024;
constexpr qint64 PieceSize = 64 * 1024;
constexpr int MaxHeaderBytes = 64 * 1024;

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

quint64 splitMix64(quint64 x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Compresses what produce() hands out (an empty result ends the input) into one gzip member.
template <typename Producer> QByteArray deflateGzip(Producer produce) {
    z_stream stream = {};
    if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        return QByteArray();
    }
    QByteArray out;
    char buffer[64 * 1024];
    bool more = true;
    while (more) {
        QByteArray input = produce();
        more = !input.isEmpty();
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = uInt(input.size());
        int result = Z_OK;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            result = deflate(&stream, more ? Z_NO_FLUSH : Z_FINISH);
            out.append(buffer, int(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0 || (!more && result != Z_STREAM_END));
    }
    deflateEnd(&stream);
    return out;
}

} // namespace

struct FakeHttpServer::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray input;
    bool responding = false;
    bool done = false;
    FakeResponse response;
    qint64 sent = 0;
    qint64 limit = 0;
    QTimer* trickleTimer = nullptr;
};

FakeResponse FakeResponse::ok(const QByteArray& body) {
    FakeResponse response;
    response.body = body;
    return response;
}

FakeResponse FakeResponse::withStatus(int status, const QByteArray& body) {
    FakeResponse response;
    response.status = status;
    response.body = body;
    return response;
}

FakeResponse FakeResponse::redirect(const QByteArray& location, int status) {
    FakeResponse response;
    response.status = status;
    response.headers.append(qMakePair(QByteArray("Location"), QByteArray(location)));
    return response;
}

FakeResponse FakeResponse::generated(qint64 size) {
    FakeResponse response;
    response.generatedSize = size;
    return response;
}

FakeResponse FakeResponse::gzipped(const QByteArray& rawBody) {
    FakeResponse response;
    response.body = FakeHttpServer::gzip(rawBody);
    response.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    return response;
}

FakeResponse FakeResponse::gzippedZeros(qint64 zeroCount) {
    const QByteArray zeros(1024 * 1024, '\0');
    qint64 left = zeroCount;
    FakeResponse response;
    response.body = deflateGzip([&]() {
        const qint64 n = qMin<qint64>(left, zeros.size());
        left -= n;
        return n > 0 ? zeros.left(int(n)) : QByteArray();
    });
    response.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    return response;
}

FakeResponse FakeResponse::rawResponse(const QByteArray& bytes) {
    FakeResponse response;
    response.raw = bytes;
    return response;
}

QByteArray FakeHttpServer::Request::header(const QByteArray& lowerCaseName) const {
    for (const auto& h : headers) {
        if (h.first == lowerCaseName) {
            return h.second;
        }
    }
    return QByteArray();
}

FakeHttpServer::FakeHttpServer(quint16 port, QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this)) {
    connect(server, &QTcpServer::newConnection, this, &FakeHttpServer::onNewConnection);
    server->listen(QHostAddress::LocalHost, port);
}

FakeHttpServer::~FakeHttpServer() {
    closeAllConnections();
}

bool FakeHttpServer::isListening() const {
    return server->isListening();
}

quint16 FakeHttpServer::port() const {
    return server->serverPort();
}

QUrl FakeHttpServer::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void FakeHttpServer::setRoute(const QByteArray& path, const FakeResponse& response) {
    routes.insert(path, response);
}

void FakeHttpServer::removeRoute(const QByteArray& path) {
    routes.remove(path);
}

void FakeHttpServer::clearRoutes() {
    routes.clear();
}

QStringList FakeHttpServer::requestedPaths() const {
    QStringList paths;
    for (const Request& r : receivedRequests) {
        paths.append(QString::fromLatin1(r.path));
    }
    return paths;
}

int FakeHttpServer::requestCount(const QByteArray& path) const {
    int count = 0;
    for (const Request& r : receivedRequests) {
        count += r.path == path ? 1 : 0;
    }
    return count;
}

int FakeHttpServer::openConnectionCount() const {
    return connections.size();
}

void FakeHttpServer::closeAllConnections() {
    const QList<Connection*> open = connections;
    for (Connection* c : open) {
        drop(c);
    }
}

QByteArray FakeHttpServer::generatedBytes(qint64 offset, qint64 size) {
    QByteArray out;
    out.resize(int(size));
    char* p = out.data();
    qint64 position = offset;
    const qint64 end = offset + size;
    while (position < end) {
        const quint64 word = splitMix64(quint64(position / 8));
        for (qint64 i = position % 8; i < 8 && position < end; ++i, ++position) {
            *p++ = char((word >> (8 * i)) & 0xff);
        }
    }
    return out;
}

QByteArray FakeHttpServer::generatedSha256(qint64 size) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (qint64 offset = 0; offset < size; offset += 1024 * 1024) {
        hash.addData(generatedBytes(offset, qMin<qint64>(1024 * 1024, size - offset)));
    }
    return hash.result().toHex();
}

QByteArray FakeHttpServer::gzip(const QByteArray& data) {
    bool given = false;
    return deflateGzip([&]() {
        if (given) {
            return QByteArray();
        }
        given = true;
        return data;
    });
}

void FakeHttpServer::onNewConnection() {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        socket->setParent(this);
        auto* c = new Connection;
        c->socket = socket;
        connections.append(c);
        ++acceptedConnections;
        connect(socket, &QTcpSocket::readyRead, this, [this, c]() { onReadable(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c]() { drop(c); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c]() {
            if (c->responding && !c->done && !c->trickleTimer) {
                pump(c);
            }
        });
        if (socket->bytesAvailable() > 0) {
            onReadable(c);
        }
    }
}

void FakeHttpServer::onReadable(Connection* c) {
    const QByteArray incoming = c->socket->readAll();
    if (c->responding) {
        return; // one request per connection; anything after it is ignored
    }
    c->input.append(incoming);
    const int end = c->input.indexOf("\r\n\r\n");
    if (end < 0) {
        if (c->input.size() > MaxHeaderBytes) {
            drop(c);
        }
        return;
    }
    const QList<QByteArray> lines = c->input.left(end).split('\n');
    Request request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    const int query = request.target.indexOf('?');
    request.path = query < 0 ? request.target : request.target.left(query);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0) {
            request.headers.append(
                {lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed()});
        }
    }
    receivedRequests.append(request);
    c->responding = true;
    c->response = routes.value(request.path, FakeResponse::withStatus(404, "Not Found"));
    emit requestReceived(request.path);
    if (connections.contains(c)) {
        respond(c);
    }
}

void FakeHttpServer::respond(Connection* c) {
    const FakeResponse& r = c->response;
    if (!r.raw.isEmpty()) {
        c->socket->write(r.raw);
        finish(c);
        return;
    }
    if (r.stall == FakeResponse::Stall::BeforeHeaders) {
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' +
                      (r.reason.isEmpty() ? reasonPhrase(r.status) : r.reason) + "\r\n";
    for (const auto& h : r.headers) {
        head += h.first + ": " + h.second + "\r\n";
    }
    switch (r.framing) {
    case FakeResponse::Framing::ContentLength:
        head += "Content-Length: " + QByteArray::number(r.bodySize()) + "\r\n";
        break;
    case FakeResponse::Framing::Chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    case FakeResponse::Framing::CloseDelimited:
        break;
    }
    head += "Connection: close\r\n\r\n";
    c->socket->write(head);
    if (r.stall == FakeResponse::Stall::AfterHeaders && r.cutAfter < 0) {
        return;
    }
    c->sent = 0;
    c->limit = r.cutAfter >= 0 ? qMin(r.cutAfter, r.bodySize()) : r.bodySize();
    if (r.trickleBytes > 0) {
        c->trickleTimer = new QTimer(this);
        connect(c->trickleTimer, &QTimer::timeout, this, [this, c]() { pump(c); });
        c->trickleTimer->start(r.trickleIntervalMs);
    }
    pump(c);
}

void FakeHttpServer::pump(Connection* c) {
    const FakeResponse& r = c->response;
    const bool chunked = r.framing == FakeResponse::Framing::Chunked;
    auto sendPiece = [&](qint64 n) {
        const QByteArray piece =
            r.generatedSize >= 0 ? generatedBytes(c->sent, n) : r.body.mid(int(c->sent), int(n));
        if (chunked) {
            c->socket->write(QByteArray::number(n, 16) + "\r\n" + piece + "\r\n");
        } else {
            c->socket->write(piece);
        }
        c->sent += n;
    };
    if (c->trickleTimer) {
        if (c->sent < c->limit) {
            sendPiece(qMin<qint64>(r.trickleBytes, c->limit - c->sent));
        }
    } else {
        while (c->sent < c->limit && c->socket->bytesToWrite() < SendWindow) {
            sendPiece(qMin(PieceSize, c->limit - c->sent));
        }
    }
    if (c->sent < c->limit) {
        return;
    }
    const bool cut = c->limit < r.bodySize();
    if (cut && r.stall == FakeResponse::Stall::AfterHeaders) {
        c->done = true;
        if (c->trickleTimer) {
            c->trickleTimer->stop();
        }
        return;
    }
    if (chunked && !cut) {
        c->socket->write("0\r\n\r\n");
    }
    finish(c);
}

void FakeHttpServer::finish(Connection* c) {
    c->done = true;
    if (c->trickleTimer) {
        c->trickleTimer->stop();
    }
    // Closes once everything queued has been written.
    c->socket->disconnectFromHost();
}

void FakeHttpServer::drop(Connection* c) {
    if (!connections.removeOne(c)) {
        return;
    }
    c->socket->disconnect(this);
    c->socket->abort();
    c->socket->deleteLater();
    delete c->trickleTimer;
    delete c;
}
