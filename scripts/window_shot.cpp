// Shows the real updater window on the X display, in the middle of a download, and saves a
// screenshot of it taken from the display server.
//   qv_window_shot <output.png>

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTcpServer>
#include <QTimer>
#include <QWindow>

#include "mainwindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        qCritical("usage: qv_window_shot <output.png>");
        return 2;
    }
    // A server that accepts and never answers keeps the version list "downloading".
    QTcpServer silent;
    if (!silent.listen(QHostAddress::LocalHost)) {
        qCritical("cannot listen on 127.0.0.1");
        return 1;
    }
    MainWindow window(nullptr,
                      QUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort())));
    window.setWindowIcon(QIcon(QStringLiteral(":/icons/ICON.png")));
    window.show();
    QMetaObject::invokeMethod(&window, "onUpdateProgress", Q_ARG(qint64, 3276800),
                              Q_ARG(qint64, 7864320));
    const QString output = QString::fromLocal8Bit(argv[1]);
    int status = 1;
    QTimer::singleShot(1500, &window, [&] {
        const QPixmap shot = window.windowHandle()->screen()->grabWindow(window.winId());
        status = shot.save(output) ? 0 : 1;
        app.exit(status);
    });
    app.exec();
    return status;
}
