#include <QApplication>
#include <QIcon>

#include "mainwindow.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    MainWindow window;
    window.launchInstalledUpdater();
    window.setWindowIcon(QIcon(QStringLiteral(":/icons/ICON.ico")));
    window.show();
    return application.exec();
}
