#include "testproxy.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

TestProxy::TestProxy(QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this)) {
    connect(server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* client = server->nextPendingConnection()) {
            connect(client, &QTcpSocket::readyRead, this, [this, client] { onReadable(client); });
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    server->listen(QHostAddress::LocalHost);
}

quint16 TestProxy::port() const {
    return server->serverPort();
}

void TestProxy::onReadable(QTcpSocket* client) {
    // Until the first request is answered, the client's bytes collect here; from then on the
    // connection is a pipe to the server that request named.
    QByteArray input = client->property("input").toByteArray() + client->readAll();
    const int end = input.indexOf("\r\n\r\n");
    if (end < 0) {
        client->setProperty("input", input);
        return;
    }
    client->disconnect(this);
    const QByteArray head = input.left(end);
    const QByteArray requestLine = head.left(head.indexOf("\r\n"));
    const QList<QByteArray> words = requestLine.split(' ');
    const bool tunnel = words.value(0) == "CONNECT";
    if (!credentials.isEmpty() &&
        !(head + "\r\n")
             .contains("\r\nProxy-Authorization: Basic " + credentials.toBase64() + "\r\n")) {
        relayed << "407 " + requestLine;
        client->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                      "Proxy-Authenticate: Basic realm=\"quorvex-test\"\r\n"
                      "Content-Length: 0\r\nConnection: close\r\n\r\n");
        client->disconnectFromHost();
        return;
    }
    relayed << requestLine;
    QByteArray host = words.value(1);
    QByteArray rest;
    if (!tunnel) {
        // The request goes on in origin form, without what was meant for the proxy.
        const QUrl url(QString::fromLatin1(words.value(1)));
        host = url.authority().toLatin1();
        QByteArray headers;
        for (const QByteArray& line : head.mid(requestLine.size() + 2).split('\n')) {
            if (!line.toLower().startsWith("proxy-")) {
                headers += line.trimmed() + "\r\n";
            }
        }
        rest = words.value(0) + ' ' + url.path(QUrl::FullyEncoded).toLatin1() + ' ' +
               words.value(2) + "\r\n" + headers + "\r\n" + input.mid(end + 4);
    }
    auto* upstream = new QTcpSocket(client);
    connect(upstream, &QTcpSocket::connected, client, [client, upstream, tunnel, rest] {
        if (tunnel) {
            client->write("HTTP/1.1 200 Connection established\r\n\r\n");
        } else {
            upstream->write(rest);
        }
        client->write(upstream->readAll());
    });
    connect(upstream, &QTcpSocket::readyRead, client,
            [client, upstream] { client->write(upstream->readAll()); });
    connect(client, &QTcpSocket::readyRead, upstream,
            [client, upstream] { upstream->write(client->readAll()); });
    connect(upstream, &QTcpSocket::disconnected, client,
            [client] { client->disconnectFromHost(); });
    connect(upstream, &QTcpSocket::errorOccurred, client,
            [client] { client->disconnectFromHost(); });
    // Every host name stands for this machine: names that no resolver knows show that the
    // transfer went through here.
    upstream->connectToHost(QHostAddress::LocalHost,
                            quint16(host.mid(host.lastIndexOf(':') + 1).toUInt()));
}
