#include "nginxserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest/QTest>

#include <unistd.h>

#include "testenv.h"

NginxServer::~NginxServer() {
    stop();
}

QString NginxServer::nginxProgram() {
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (!onPath.isEmpty()) {
        return onPath;
    }
    return QFileInfo(QStringLiteral("/usr/sbin/nginx")).isExecutable()
               ? QStringLiteral("/usr/sbin/nginx")
               : QString();
}

bool NginxServer::start(const QString& rootDir, quint16 port) {
    stop();
    if (nginxProgram().isEmpty()) {
        error = QStringLiteral("nginx is not installed");
        return false;
    }
    if (port != 0) {
        return startOn(rootDir, port);
    }
    // A port found free can be taken before nginx binds it; try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOn(rootDir, testenv::freeLoopbackPort())) {
            return true;
        }
    }
    return false;
}

bool NginxServer::startOn(const QString& rootDir, quint16 port) {
    state = new QTemporaryDir;
    const QString s = state->path();
    const QString root = QFileInfo(rootDir).absoluteFilePath();
    QByteArray conf;
    conf += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    // Workers of a root master would run as nobody and could not read private temporary
    // directories.
    if (geteuid() == 0) {
        conf += "user root;\n";
    }
    conf += "pid " + s.toUtf8() + "/nginx.pid;\n";
    conf += "error_log " + s.toUtf8() + "/error.log warn;\n";
    conf += "events { worker_connections 256; }\n";
    conf += "http {\n";
    conf += "    access_log " + s.toUtf8() + "/access.log;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf += "    " + QByteArray(temp) + "_temp_path " + s.toUtf8() + "/" + temp + ";\n";
    }
    conf += "    types { application/json json; application/x-7z-compressed 7z; }\n";
    conf += "    default_type application/octet-stream;\n";
    conf += "    sendfile on;\n";
    conf += "    server {\n";
    conf += "        listen 127.0.0.1:" + QByteArray::number(port) + ";\n";
    conf += "        root \"" + root.toUtf8() + "\";\n";
    conf += "    }\n}\n";
    testenv::writeFile(s + QStringLiteral("/nginx.conf"), conf);

    process = new QProcess;
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(nginxProgram(), {QStringLiteral("-c"), s + QStringLiteral("/nginx.conf"),
                                    QStringLiteral("-p"), s + QStringLiteral("/"),
                                    QStringLiteral("-e"), s + QStringLiteral("/error.log")});
    if (!process->waitForStarted(10000)) {
        error = process->errorString();
        stop();
        return false;
    }
    listenPort = port;
    const bool answers = QTest::qWaitFor(
        [&]() {
            if (process->state() != QProcess::Running) {
                return true;
            }
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), port);
            return probe.waitForConnected(200);
        },
        10000);
    if (!answers || process->state() != QProcess::Running) {
        error = QStringLiteral("nginx did not start on port %1: %2 %3")
                    .arg(port)
                    .arg(QString::fromUtf8(process->readAll()))
                    .arg(QString::fromUtf8(testenv::readFile(s + QStringLiteral("/error.log"))));
        stop();
        return false;
    }
    error.clear();
    return true;
}

void NginxServer::stop() {
    if (process) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(10000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
        delete process;
        process = nullptr;
    }
    delete state;
    state = nullptr;
    listenPort = 0;
}

bool NginxServer::isRunning() const {
    return process && process->state() == QProcess::Running;
}

QUrl NginxServer::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(listenPort).arg(path));
}

QByteArray NginxServer::accessLog() const {
    return state ? testenv::readFile(state->path() + QStringLiteral("/access.log")) : QByteArray();
}
