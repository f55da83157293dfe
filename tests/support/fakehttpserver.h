#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QUrl>

// One scripted HTTP response; the connection is closed after it unless a stall is scripted.
struct FakeResponse {
    // Held: no answer until releaseHeld().
    enum class Stall { None, BeforeHeaders, AfterCut, Held };
    int status = 200;
    QByteArray location;        // sent as "Location" when not empty
    QByteArray body;            // ignored when generatedSize >= 0
    qint64 generatedSize = -1;  // >= 0: that many bytes of generatedBytes, made while sending
    bool announceLength = true; // false: the body ends with the connection
    qint64 cutAfter = -1;       // >= 0: only this many body bytes are sent (length still announced)
    Stall stall = Stall::None;  // AfterCut: after the cut the connection stays open, silent
    int trickleBytes = 0;       // > 0: one piece of this size every trickleIntervalMs
    int trickleIntervalMs = 0;
    QByteArray etag;     // sent as "ETag" when not empty
    bool ranges = false; // honours "Range: bytes=N-" unless "If-Range" differs from etag
    QByteArray headers;  // further header lines, each ending in "\r\n"

    qint64 bodySize() const { return generatedSize >= 0 ? generatedSize : body.size(); }
    static FakeResponse ok(const QByteArray& body);
    static FakeResponse withStatus(int status);
    static FakeResponse generated(qint64 size);
};

// An HTTP/1.1 server on 127.0.0.1 for broken and hostile responses, serving while the creating
// thread processes events. Routes match the request path as sent; unknown paths get 404.
class FakeHttpServer : public QObject {
    Q_OBJECT
public:
    explicit FakeHttpServer(quint16 port = 0, QObject* parent = nullptr);
    ~FakeHttpServer() override;
    bool isListening() const;
    // An https:// address once TLS is in use, else http://.
    QUrl url(const QString& path) const;
    // Serves the connections that arrive from now on over TLS, with the certificate and key
    // <name>.pem and <name>.key of the tests' TLS material (tests/support/make-certs.sh):
    // "good" (127.0.0.1, issued by "ca.pem"), "wronghost", "expired", "selfsigned"; an empty
    // name goes back to plain HTTP.
    bool useTls(const QString& name);
    static QString certificatePath(const QString& file);
    // Makes this process trust the tests' certificate authority.
    static bool trustTestAuthority();
    void setRoute(const QByteArray& path, const FakeResponse& response);
    // Answers the next request of path with response, the later ones with its route.
    void setFirstResponse(const QByteArray& path, const FakeResponse& response);
    // Forgets the routes and the requests received.
    void reset() {
        routes.clear();
        first.clear();
        requested.clear();
    }
    // Requests received so far, all or for one path.
    int requestCount(const QByteArray& path = QByteArray()) const;
    QList<QByteArray> requestedPaths() const { return requested; }
    int openConnections() const { return connections.size(); }
    // The header lines of the latest request.
    QByteArray lastRequest() const { return latest; }
    // Answers the requests held so far with their routes as they are now.
    void releaseHeld();

    // Deterministic pseudo-random bytes [offset, offset + size) of an endless stream.
    static QByteArray generatedBytes(qint64 offset, qint64 size);

private:
    class Listener;
    struct Connection;
    void onReadable(Connection* connection);
    void respond(Connection* connection);
    void pump(Connection* connection);
    void drop(Connection* connection);

    Listener* server;
    QHash<QByteArray, FakeResponse> routes;
    QHash<QByteArray, FakeResponse> first;
    QList<QByteArray> requested;
    QList<Connection*> connections;
    QByteArray latest;
};
