#pragma once

// What the publishing tool tells its user while it works: one-line messages and the progress
// of long steps (compression, extraction, hashing).

#include <QElapsedTimer>
#include <QString>
#include <functional>

namespace publish {

class Reporter {
public:
    virtual ~Reporter() = default;
    // A finished step or a fact worth knowing.
    virtual void info(const QString& text) = 0;
    // step is a short name ("Compressing"); percent runs from 0 to 100.
    virtual void progress(const QString& step, int percent) = 0;
};

// Discards everything (tests).
class SilentReporter : public Reporter {
public:
    void info(const QString&) override {}
    void progress(const QString&, int) override {}
};

// Messages on stdout; progress on stderr for steps that last longer than a moment, redrawn in
// place on a terminal and in steps of 25 % otherwise, so that a log stays short.
class ConsoleReporter : public Reporter {
public:
    ConsoleReporter();
    void info(const QString& text) override;
    void progress(const QString& step, int percent) override;

private:
    void endProgressLine();
    bool terminal;
    QString currentStep;
    int lastShown = -1;
    QElapsedTimer stepClock;
};

} // namespace publish
