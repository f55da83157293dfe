#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

class QTcpServer;
class QTcpSocket;

// One scripted HTTP response. Build it with the static makers and adjust the public fields.
// The server always answers with "Connection: close" and closes the connection after the
// response (or leaves it open where a stall is scripted).
struct FakeResponse {
    // How the body is delimited on the wire.
    enum class Framing {
        ContentLength,  // "Content-Length: <announced length>"
        CloseDelimited, // no length; the end of the body is the end of the connection
        Chunked,        // "Transfer-Encoding: chunked"
    };
    enum class Stall {
        None,
        BeforeHeaders, // the request is read, nothing is ever sent
        // The status line and headers are sent (and the first cutAfter body bytes when
        // cutAfter >= 0), then nothing; the connection stays open.
        AfterHeaders,
    };

    int status = 200;
    QByteArray reason;                            // empty: the usual phrase for the status
    QList<QPair<QByteArray, QByteArray>> headers; // extra headers, sent as given
    QByteArray body;                              // ignored when generatedSize >= 0
    // >= 0: the body is this many bytes of FakeHttpServer::generatedBytes, produced while
    // sending (nothing of that size is held in memory).
    qint64 generatedSize = -1;
    Framing framing = Framing::ContentLength;
    // >= 0: close the connection after this many body bytes although the framing announces
    // the whole body (a chunked body then lacks its last chunk).
    qint64 cutAfter = -1;
    // > 0: send the body in pieces of trickleBytes, one piece every trickleIntervalMs.
    int trickleBytes = 0;
    int trickleIntervalMs = 0;
    Stall stall = Stall::None;
    // Non-empty: sent exactly as it stands instead of all of the above, then the connection
    // is closed.
    QByteArray raw;

    qint64 bodySize() const { return generatedSize >= 0 ? generatedSize : body.size(); }

    static FakeResponse ok(const QByteArray& body);
    static FakeResponse withStatus(int status, const QByteArray& body = QByteArray());
    // A redirect (301, 302, 303, 307, 308) to location, an absolute URL or a path.
    static FakeResponse redirect(const QByteArray& location, int status = 302);
    // 200 with size bytes of generatedBytes.
    static FakeResponse generated(qint64 size);
    // 200 whose body is rawBody compressed with gzip, sent with "Content-Encoding: gzip".
    static FakeResponse gzipped(const QByteArray& rawBody);
    // 200 whose body decompresses to zeroCount zero bytes ("Content-Encoding: gzip"); the
    // compressed body is about a thousandth of that, the zeros are never held in memory.
    static FakeResponse gzippedZeros(qint64 zeroCount);
    // Sends bytes as they stand and closes the connection.
    static FakeResponse rawResponse(const QByteArray& bytes);
};

// An HTTP/1.1 server on 127.0.0.1 for tests, running in the thread that creates it (requests
// are served while that thread processes events: QTest::qWaitFor, QSignalSpy::wait, an event
// loop). Requests are routed by the path of the request line, without the query, exactly as
// the client sent it (still percent-encoded). Unknown paths get 404.
class FakeHttpServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray target;                            // as on the request line: path and query
        QByteArray path;                              // target without the query
        QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
        QByteArray header(const QByteArray& lowerCaseName) const;
    };

    // Listens on 127.0.0.1:port (0: any free port). Check isListening().
    explicit FakeHttpServer(quint16 port = 0, QObject* parent = nullptr);
    ~FakeHttpServer() override;

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>" + path; path starts with "/" and may be percent-encoded.
    QUrl url(const QString& path) const;

    // Scripts the response to every request for path (replacing an earlier one).
    void setRoute(const QByteArray& path, const FakeResponse& response);
    void removeRoute(const QByteArray& path);
    void clearRoutes();

    // Every request received so far, in order of arrival.
    QList<Request> requests() const { return receivedRequests; }
    QStringList requestedPaths() const;
    int requestCount() const { return receivedRequests.size(); }
    int requestCount(const QByteArray& path) const;
    // Connections accepted so far, and still open.
    int connectionCount() const { return acceptedConnections; }
    int openConnectionCount() const;
    // Drops every open connection at once (stalled ones included).
    void closeAllConnections();

    // The deterministic pseudo-random content of generated bodies: the bytes at
    // [offset, offset + size) of an endless stream.
    static QByteArray generatedBytes(qint64 offset, qint64 size);
    // Lowercase hex SHA-256 of the first size bytes of that stream.
    static QByteArray generatedSha256(qint64 size);
    // gzip (RFC 1952) of data.
    static QByteArray gzip(const QByteArray& data);

signals:
    void requestReceived(const QByteArray& path);

private:
    struct Connection;
    void onNewConnection();
    void onReadable(Connection* connection);
    void respond(Connection* connection);
    void pump(Connection* connection);
    void finish(Connection* connection);
    void drop(Connection* connection);

    QTcpServer* server;
    QHash<QByteArray, FakeResponse> routes;
    QList<Request> receivedRequests;
    QList<Connection*> connections;
    int acceptedConnections = 0;
};
