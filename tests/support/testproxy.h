#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

class QTcpServer;
class QTcpSocket;

// An HTTP proxy on 127.0.0.1, serving while the creating thread processes events: "GET
// http://host:port/path" is passed on to 127.0.0.1:port whatever the host, "CONNECT host:port"
// (https) becomes a tunnel to 127.0.0.1:port. Qt never sends loopback addresses through a
// proxy, so the tests name a host that only the proxy knows ("quorvex.test"). It logs what it
// relays and can ask for Basic credentials with 407.
class TestProxy : public QObject {
    Q_OBJECT
public:
    explicit TestProxy(QObject* parent = nullptr);
    quint16 port() const;
    // "user:password" that a request must carry (Proxy-Authorization: Basic); empty: none.
    void requireCredentials(const QByteArray& userAndPassword) { credentials = userAndPassword; }
    // Each request line relayed ("GET http://127.0.0.1:1234/versions.json", "CONNECT
    // 127.0.0.1:443"), and each one refused with 407 ("407 GET ...").
    QList<QByteArray> relayed;

private:
    void onReadable(QTcpSocket* client);

    QTcpServer* server;
    QByteArray credentials;
};
