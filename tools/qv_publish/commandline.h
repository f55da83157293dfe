#pragma once

// qv_publish's command line: its usage text, how options are read, and how a bad one is
// reported. main.cpp runs the commands.

#include <QMap>
#include <QString>
#include <QStringList>

namespace commandline {

enum ExitCode { Ok = 0, Failed = 1, BadArguments = 2 };

// The text of --help.
extern const char* const usageText;

// "qv_publish: " and text on the standard error.
void printError(const QString& text);

// Prints text and where to find the usage; BadArguments.
int badArguments(const QString& text);

// Removes the flag (an option without a value) from arguments; true when it was there.
bool takeFlag(QStringList* arguments, const QString& flag);

// Options of the form --name VALUE or --name=VALUE, each at most once, all of them known.
bool parseOptions(const QStringList& arguments, const QStringList& known,
                  QMap<QString, QString>* values, QString* error);

} // namespace commandline
