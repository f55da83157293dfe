// The hash-list reader on arbitrary bytes, followed by the look-ups the verifier makes: each
// installed file's name is looked up and its value read as a string (empty unless it is one).

#include "documents.h"
#include "fuzzcheck.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text = fuzzcheck::bytes(data, size);
    const std::optional<QJsonObject> parsed = documents::parseHashList(text);
    const QJsonDocument document = QJsonDocument::fromJson(text);
    FUZZ_CHECK(parsed.has_value() == document.isObject());
    if (!parsed) {
        return 0;
    }
    const QJsonObject hashes = *parsed;
    FUZZ_CHECK(hashes == document.object());

    const QStringList keys = hashes.keys();
    FUZZ_CHECK(keys.size() == hashes.size());
    // Every listed name can be looked up, so a file named like a key finds its digest. (Qt
    // mismatches keys holding U+0000, which no file name can hold.)
    if (!fuzzcheck::mayHoldByteOrderMark(text)) {
        for (const QString& key : keys) {
            if (!key.contains(QChar(0))) {
                FUZZ_CHECK(hashes.contains(key) && !hashes.value(key).isUndefined());
            }
        }
    }
    QStringList names = keys;
    names << QString() << QStringLiteral("app.exe") << QStringLiteral("APP.EXE")
          << QStringLiteral("settings.ini") << QStringLiteral("hashlist.json");
    for (const QString& name : names) {
        // Settings files are skipped by the verifier, whatever the list says about them.
        if (name.endsWith(QLatin1String(".ini"), Qt::CaseInsensitive)) {
            continue;
        }
        const QJsonValue value = hashes.value(name);
        const QString expected = value.toString();
        // Only a string value can ever match; anything else compares as the empty string.
        FUZZ_CHECK(value.isString() || expected.isEmpty());
    }
    return 0;
}
