#pragma once

// Helpers shared by the fuzz targets: invariant checks that stop the run with a report, and
// an independent reading of the version-number rule to compare the updater's against.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A violated invariant is a crash for libFuzzer: it keeps the input as the reproducer.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__,            \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzzcheck {

// The input exactly as libFuzzer passes it, without a copy: reads past its end are caught.
inline QByteArray bytes(const uint8_t* data, size_t size) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

// Every character that is not a decimal digit (Unicode category Nd, per UTF-16 code unit) is
// dropped; the rest is read as a signed 32-bit base-10 number. An empty rest, an overflowing
// one, or one holding a digit outside 0-9 (which base-10 reading does not accept) gives 0.
inline qint32 referenceVersionNumber(const QString& label) {
    qint64 value = 0;
    bool any = false;
    for (const QChar c : label) {
        if (!c.isDigit()) {
            continue;
        }
        if (c.unicode() < u'0' || c.unicode() > u'9') {
            return 0;
        }
        any = true;
        value = value * 10 + (c.unicode() - u'0');
        if (value > INT32_MAX) {
            return 0;
        }
    }
    return any ? static_cast<qint32>(value) : 0;
}

} // namespace fuzzcheck
