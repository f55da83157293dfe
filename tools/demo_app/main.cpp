// A stand-in for the Quorvex application: a small window that shows its version. On start it
// writes "<executable>.started.ini" beside itself (version and process id), so that a script
// can see that it was launched; the ".ini" ending keeps the updater's check from counting it
// as an installed file. It closes by itself after QUORVEX_DEMO_QUIT_AFTER_MS milliseconds,
// and after 2 s when there is no screen to show it on.

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QTimer>

#ifndef QUORVEX_DEMO_VERSION
#define QUORVEX_DEMO_VERSION "0.0"
#endif

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const QString version = QStringLiteral(QUORVEX_DEMO_VERSION);

    QFile marker(QCoreApplication::applicationFilePath() + QStringLiteral(".started.ini"));
    if (marker.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        marker.write(QStringLiteral("version=%1\npid=%2\nstarted=%3\n")
                         .arg(version)
                         .arg(QCoreApplication::applicationPid())
                         .arg(QDateTime::currentDateTime().toString(Qt::ISODate))
                         .toUtf8());
        marker.close();
    }

    QLabel window(QStringLiteral("Quorvex %1").arg(version));
    window.setWindowTitle(QStringLiteral("Quorvex %1").arg(version));
    window.setAlignment(Qt::AlignCenter);
    QFont font = window.font();
    font.setPointSize(28);
    window.setFont(font);
    window.resize(420, 160);
    window.show();

    bool ok = false;
    int quitAfterMs = qEnvironmentVariableIntValue("QUORVEX_DEMO_QUIT_AFTER_MS", &ok);
    if (!ok && QGuiApplication::platformName() == QLatin1String("offscreen")) {
        quitAfterMs = 2000;
        ok = true;
    }
    if (ok) {
        QTimer::singleShot(quitAfterMs, &application, &QCoreApplication::quit);
    }
    return application.exec();
}
