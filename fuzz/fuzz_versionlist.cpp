// The version-list reader on arbitrary bytes: it must judge every document without a crash,
// and a chosen entry must be the earliest full entry with the highest positive number.

#include "documents.h"
#include "fuzzcheck.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body = fuzzcheck::bytes(data, size);
    const documents::VersionSelection selection = documents::selectFullVersion(body);

    const QJsonDocument document = QJsonDocument::fromJson(body);
    FUZZ_CHECK(selection.isArray == document.isArray());
    if (!selection.isArray) {
        FUZZ_CHECK(!selection.found);
        FUZZ_CHECK(selection.invalidElements == 0);
        FUZZ_CHECK(selection.entry.isEmpty());
        return 0;
    }

    // The same choice made independently: only the literal true counts as full.
    const QJsonArray list = document.array();
    int invalid = 0;
    int bestIndex = -1;
    qint32 best = 0;
    for (int i = 0; i < list.size(); ++i) {
        const QJsonValue element = list.at(i);
        if (!element.isObject()) {
            ++invalid;
            continue;
        }
        const QJsonObject entry = element.toObject();
        const QJsonValue full = entry.value(QStringLiteral("full"));
        if (!full.isBool() || !full.toBool()) {
            continue;
        }
        const QJsonValue version = entry.value(QStringLiteral("version"));
        const qint32 number =
            version.isString() ? fuzzcheck::referenceVersionNumber(version.toString()) : 0;
        if (number > best) {
            best = number;
            bestIndex = i;
        }
    }
    FUZZ_CHECK(selection.invalidElements == invalid);
    FUZZ_CHECK(selection.found == (bestIndex >= 0));
    if (!selection.found) {
        FUZZ_CHECK(selection.entry.isEmpty());
        FUZZ_CHECK(selection.downloadUrl.isEmpty());
        return 0;
    }

    const QJsonObject& entry = selection.entry;
    FUZZ_CHECK(entry.value(QStringLiteral("full")) == QJsonValue(true));
    const qint32 chosen =
        documents::versionNumber(entry.value(QStringLiteral("version")).toString());
    FUZZ_CHECK(chosen > 0);
    FUZZ_CHECK(chosen == best);
    // No full entry has a strictly greater number, and the earliest among equals wins.
    FUZZ_CHECK(entry == list.at(bestIndex).toObject());
    const QJsonValue url = entry.value(QStringLiteral("download_url"));
    FUZZ_CHECK(selection.downloadUrl == (url.isString() ? url.toString() : QString()));
    return 0;
}
