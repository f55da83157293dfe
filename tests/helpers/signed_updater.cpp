// The updater as built, with settings of the test that starts it in place of those compiled in:
// the public keys (QUORVEX_TEST_PUBLIC_KEYS; none: unsigned documents), the download server
// (QUORVEX_TEST_SERVER_URL) and, on Linux, one more root certificate besides the system's
// (QUORVEX_TEST_CA, a PEM file; Windows tests put theirs into the certificate store), and a
// stop before a move of the per-file swap (QUORVEX_TEST_STOP_AT_MOVE, its number), where the
// test kills it. The
// program's own main() runs once they are set. Only the tests build it; the updater itself has
// no run-time configuration.

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QSslConfiguration>
#include <QThread>

#include "mainwindow.h"
#include "paths.h"
#include "signature.h"
#include "tree.h"

#define main updaterMain
#include "../../app/main.cpp"
#undef main

int main(int argc, char* argv[]) {
    signature::setTrustedKeys(qEnvironmentVariable("QUORVEX_TEST_PUBLIC_KEYS"));
    if (qEnvironmentVariableIsSet("QUORVEX_TEST_SERVER_URL")) {
        paths::setDefaultServerUrl(QUrl(qEnvironmentVariable("QUORVEX_TEST_SERVER_URL")));
    }
    if (qEnvironmentVariableIsSet("QUORVEX_TEST_CA")) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        // The system's roots stay trusted too.
        tls.addCaCertificates(QSslConfiguration::systemCaCertificates());
        tls.addCaCertificates(qEnvironmentVariable("QUORVEX_TEST_CA"));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    if (qEnvironmentVariableIsSet("QUORVEX_TEST_STOP_AT_MOVE")) {
        const int stopAt = qEnvironmentVariableIntValue("QUORVEX_TEST_STOP_AT_MOVE");
        tree::setBeforeMove([stopAt](int move) {
            if (move == stopAt) {
                qWarning("stopped before move %d", move);
                for (;;) {
                    QThread::sleep(1); // until killed
                }
            }
        });
    }
    return updaterMain(argc, argv);
}
