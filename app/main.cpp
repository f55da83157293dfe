#include <QApplication>
#include <QDebug>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "mainwindow.h"
#include "network.h"
#include "paths.h"
#include "runlock.h"

namespace {
// The window of a run that waits for another one on the same data directory: its message and
// Cancel, which ends the run.
QWidget* waitingWindow() {
    auto* window = new QWidget;
    window->setWindowTitle(QStringLiteral("Обновление Quorvex"));
    window->setFixedSize(550, 90);
    auto* cancel = new QPushButton(QStringLiteral("Отмена"), window);
    QObject::connect(cancel, &QPushButton::clicked, window, &QWidget::close);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(cancel);
    auto* column = new QVBoxLayout(window);
    column->addLayout(row);
    column->addWidget(new QLabel(
        QStringLiteral("Обновление уже выполняется в другом окне. Ожидание его завершения..."),
        window));
    return window;
}
} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
#ifndef Q_OS_WIN
    // The data directory is named after the executable up to its first dot, as the toolkit
    // names it on Windows: the copy installed as "qv_updater.exe" then works in the same
    // "qv_updater" directory as the updater that installed it.
    QCoreApplication::setApplicationName(
        QFileInfo(QCoreApplication::applicationFilePath()).baseName());
#endif
    paths::keepFilesPrivate();
    network::useSystemProxy();
    const QIcon icon(QStringLiteral(":/icons/ICON.ico"));
    // Nothing in the data directory is read or written before the lock is held.
    RunLock lock(paths::dataDir());
    if (!lock.tryTake()) {
        qDebug() << "Обновление уже выполняется в другом окне, ожидание:" << paths::dataDir();
        const std::unique_ptr<QWidget> waiting(waitingWindow());
        waiting->setWindowIcon(icon);
        waiting->show();
        bool taken = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            // Closed, the window ends the run.
            if (waiting->isVisible() && lock.tryTake()) {
                taken = true;
                QCoreApplication::quit();
            }
        });
        poll.start(200);
        // The workflow starts outside this loop, as it does without waiting.
        if (application.exec() != 0 || !taken) {
            return 0;
        }
        waiting->hide();
        // Started twice at once (a double click): the application is started once.
        if (lock.previousRunLaunched()) {
            qDebug() << "Приложение уже запущено другим окном";
            return 0;
        }
    }
    lock.begin();
    MainWindow window;
    window.launchInstalledUpdater();
    window.setWindowIcon(icon);
    window.show();
    return application.exec();
}
