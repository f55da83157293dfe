// The version-number rule against an independent reading, on labels of any content: the
// first byte chooses how the rest becomes a string (UTF-8, raw UTF-16 or Latin-1), so that
// surrogates, non-ASCII digits and control characters all occur.

#include "documents.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(data + 1);
    const int length = static_cast<int>(size - 1);
    QString label;
    switch (data[0] % 3) {
    case 0:
        label = QString::fromUtf8(text, length);
        break;
    case 1: {
        QByteArray aligned(text, length); // QChar needs 2-byte alignment
        label = QString(reinterpret_cast<const QChar*>(aligned.constData()), length / 2);
        break;
    }
    default:
        label = QString::fromLatin1(text, length);
        break;
    }
    const qint32 number = documents::versionNumber(label);
    FUZZ_CHECK(number >= 0);
    FUZZ_CHECK(number == fuzzcheck::referenceVersionNumber(label));
    return 0;
}
