#include <QApplication>
#include <QFileInfo>
#include <QIcon>

#include "mainwindow.h"
#include "network.h"
#include "paths.h"

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
    MainWindow window;
    window.launchInstalledUpdater();
    window.setWindowIcon(QIcon(QStringLiteral(":/icons/ICON.ico")));
    window.show();
    return application.exec();
}
