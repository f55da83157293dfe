#include "versionlist.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace publish::versionlist {

namespace {
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int skipSpace(const QByteArray& text, int pos) {
    while (pos < text.size() && isSpace(text.at(pos))) {
        ++pos;
    }
    return pos;
}

// pos is on the opening quote; returns the position after the closing one.
int skipString(const QByteArray& text, int pos) {
    ++pos;
    while (pos < text.size()) {
        const char c = text.at(pos);
        if (c == '\\') {
            pos += 2;
            continue;
        }
        ++pos;
        if (c == '"') {
            break;
        }
    }
    return pos;
}

// The document is known to be valid JSON; this only finds where one value ends.
int skipValue(const QByteArray& text, int pos) {
    const char first = text.at(pos);
    if (first == '"') {
        return skipString(text, pos);
    }
    if (first == '{' || first == '[') {
        int depth = 0;
        while (pos < text.size()) {
            const char c = text.at(pos);
            if (c == '"') {
                pos = skipString(text, pos);
                continue;
            }
            if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (--depth == 0) {
                    return pos + 1;
                }
            }
            ++pos;
        }
        return pos;
    }
    while (pos < text.size() && !isSpace(text.at(pos)) && text.at(pos) != ',' &&
           text.at(pos) != ']') {
        ++pos;
    }
    return pos;
}
} // namespace

Parsed split(const QByteArray& document) {
    Parsed parsed;
    if (document.trimmed().isEmpty()) {
        parsed.ok = true;
        return parsed;
    }
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(document, &error);
    if (json.isNull()) {
        parsed.error = QStringLiteral("not valid JSON (%1 at byte %2)")
                           .arg(error.errorString())
                           .arg(error.offset);
        return parsed;
    }
    if (!json.isArray()) {
        parsed.error = QStringLiteral("the document is a JSON object, not an array");
        return parsed;
    }
    const QJsonArray array = json.array();
    int pos = skipSpace(document, document.startsWith("\xEF\xBB\xBF") ? 3 : 0) + 1; // past "["
    for (int i = 0; i < array.size(); ++i) {
        pos = skipSpace(document, pos);
        Element element;
        element.begin = pos;
        element.end = skipValue(document, pos);
        element.value = array.at(i);
        parsed.elements << element;
        pos = skipSpace(document, element.end) + 1; // past "," or "]"
    }
    parsed.ok = true;
    return parsed;
}

bool isFullEntryFor(const QJsonValue& element, const QString& version) {
    const QJsonObject object = element.toObject();
    return element.isObject() && object.value(QStringLiteral("full")) == QJsonValue(true) &&
           object.value(QStringLiteral("version")) == QJsonValue(version);
}

QByteArray entryText(const QJsonObject& entry) {
    QByteArray text = QJsonDocument(entry).toJson(QJsonDocument::Indented).trimmed();
    text.replace("\n", "\n    ");
    return text;
}

Edit withEntry(const QByteArray& original, const Parsed& parsed, const QJsonObject& entry) {
    const QString version = entry.value(QStringLiteral("version")).toString();
    QList<QByteArray> parts;
    QJsonArray expected; // what the updater must read from the new list
    Edit edit;
    for (const Element& element : parsed.elements) {
        if (isFullEntryFor(element.value, version)) {
            if (edit.replaced++ == 0) {
                parts << entryText(entry);
                expected << entry;
            }
            continue;
        }
        parts << original.mid(element.begin, element.end - element.begin);
        expected << element.value;
    }
    if (edit.replaced == 0) {
        parts << entryText(entry);
        expected << entry;
    }
    edit.document = "[\n    ";
    for (int i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            edit.document += ",\n    ";
        }
        edit.document += parts.at(i);
    }
    edit.document += "\n]\n";
    const QJsonDocument written = QJsonDocument::fromJson(edit.document);
    edit.intact = written.isArray() && written.array() == expected;
    return edit;
}

} // namespace publish::versionlist
