// The updater as built, with the public keys of the test that starts it (QUORVEX_TEST_PUBLIC_KEYS)
// in place of those compiled in: the program's own main() runs once the keys are set. Only the
// tests build it; the updater itself has no run-time configuration.

#include <QApplication>
#include <QFileInfo>
#include <QIcon>

#include "mainwindow.h"
#include "signature.h"

#define main updaterMain
#include "../../app/main.cpp"
#undef main

int main(int argc, char* argv[]) {
    signature::setTrustedKeys(qEnvironmentVariable("QUORVEX_TEST_PUBLIC_KEYS"));
    return updaterMain(argc, argv);
}
