#pragma once

// Editing the version list without rewriting what is already in it: every element other than
// the one being replaced keeps its exact text (key order, number spelling, unknown keys).

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

namespace publish::versionlist {

struct Element {
    int begin = 0; // byte offset of the element's first character in the document
    int end = 0;   // one past its last character
    QJsonValue value;
};

struct Parsed {
    bool ok = false;
    QString error; // why the document is not a JSON array
    QList<Element> elements;
};

// Splits a JSON array into its elements. An empty or whitespace-only document is an empty list;
// a leading UTF-8 byte order mark is passed over, as the JSON parser (and so the updater) does.
Parsed split(const QByteArray& document);

// True for an element that is a full entry labelled version.
bool isFullEntryFor(const QJsonValue& element, const QString& version);

struct Edit {
    QByteArray document; // the new list
    int replaced = 0;    // full entries with the same label that the new entry replaced
    bool intact = false; // document parses to the earlier elements with the entry in its place
};

// The list with entry added: it takes the place of the first full entry with the same label
// (later ones with that label are dropped) or goes to the end. Other elements are copied
// byte for byte; the new list has no byte order mark.
Edit withEntry(const QByteArray& original, const Parsed& parsed, const QJsonObject& entry);

// entry as indented JSON text, indented one more level to sit inside the list.
QByteArray entryText(const QJsonObject& entry);

} // namespace publish::versionlist
