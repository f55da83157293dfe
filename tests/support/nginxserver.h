#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

// Serves a directory over HTTP on 127.0.0.1 with the system's nginx (/usr/sbin/nginx or
// nginx on PATH), under its own configuration and state in a temporary directory. nginx runs
// in the foreground as a child of the test; stop() or the destructor ends it.
class NginxServer {
public:
    NginxServer() = default;
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Serves rootDir on 127.0.0.1:port (0: a free port is picked) and returns once nginx
    // answers. False (with errorString()) when nginx is missing or does not come up.
    bool start(const QString& rootDir, quint16 port = 0);
    void stop();
    bool isRunning() const;

    quint16 port() const { return listenPort; }
    // "http://127.0.0.1:<port>" + path (path starts with "/").
    QUrl url(const QString& path) const;
    QString errorString() const { return error; }
    // nginx's access log so far (one line per request, "$request" in double quotes).
    QByteArray accessLog() const;

    static QString nginxProgram();

private:
    bool startOn(const QString& rootDir, quint16 port);

    QTemporaryDir* state = nullptr;
    QProcess* process = nullptr;
    quint16 listenPort = 0;
    QString error;
};
