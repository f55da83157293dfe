// Process start to the first painted window, then exit. Mirrors the updater's entry; with
// --bare it shows an empty window of the same size instead, the floor any Qt program pays,
// and --bare=nam,icon adds single ingredients of the updater's start to that window (two
// network access managers, as the window and its first Downloader create; the ICO icon).
// The moment the window has been exposed and painted is written, as nanoseconds of
// CLOCK_REALTIME, to the file named by QV_BENCH_STAMP.

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QNetworkAccessManager>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <memory>
#include <time.h>

#include "mainwindow.h"

namespace {
class ShownProbe : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = qobject_cast<QWindow*>(watched);
        if (!fired && event->type() == QEvent::Expose && window && window->isExposed()) {
            fired = true;
            // Queued: the expose event paints the window synchronously first.
            QTimer::singleShot(0, [] {
                timespec now;
                clock_gettime(CLOCK_REALTIME, &now);
                QFile out(QString::fromLocal8Bit(qgetenv("QV_BENCH_STAMP")));
                if (out.open(QIODevice::WriteOnly)) {
                    out.write(QByteArray::number(qint64(now.tv_sec) * 1000000000LL + now.tv_nsec));
                }
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    bool fired = false;
};
} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    ShownProbe probe;
    application.installEventFilter(&probe);
    std::unique_ptr<QWidget> window;
    const QStringList args = application.arguments();
    const QString bare =
        args.size() > 1 && args.at(1).startsWith(QLatin1String("--bare")) ? args.at(1) : QString();
    if (!bare.isEmpty()) {
        window.reset(new QWidget);
        window->setFixedSize(550, 90);
        if (bare.contains(QLatin1String("nam"))) {
            new QNetworkAccessManager(window.get());
            new QNetworkAccessManager(window.get());
        }
        if (bare.contains(QLatin1String("icon"))) {
            window->setWindowIcon(QIcon(QStringLiteral(":/icons/ICON.ico")));
        }
    } else {
        auto* updaterWindow = new MainWindow;
        window.reset(updaterWindow);
        updaterWindow->launchInstalledUpdater();
        window->setWindowIcon(QIcon(QStringLiteral(":/icons/ICON.ico")));
    }
    window->show();
    return application.exec();
}
