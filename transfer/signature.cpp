#include "signature.h"

#include <QStringList>
#include <openssl/err.h>
#include <openssl/evp.h>

namespace signature {

namespace {
// None until the application sets its build's keys (before main, so that a test program may
// replace them); a function's static, so that it exists whichever initialisation runs first.
QString& keysInUse() {
    static QString keys;
    return keys;
}

constexpr int KeySize = 32;
constexpr int SignatureSize = 64;

// Strict base64 of exactly size bytes, or an empty array.
QByteArray decoded(const QByteArray& text, int size) {
    const auto result =
        QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return result.decodingStatus == QByteArray::Base64DecodingStatus::Ok &&
                   result.decoded.size() == size
               ? result.decoded
               : QByteArray();
}

bool verifiedBy(const QByteArray& key, const QByteArray& document, const QByteArray& signature) {
    EVP_PKEY* publicKey = EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
        size_t(key.size()));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok =
        publicKey && context &&
        EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, publicKey) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.constData()),
                         size_t(signature.size()),
                         reinterpret_cast<const unsigned char*>(document.constData()),
                         size_t(document.size())) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(publicKey);
    // A refused signature leaves its reason queued, where a later TLS handshake would find it.
    ERR_clear_error();
    return ok;
}
} // namespace

bool parsePublicKeys(const QString& text, QList<QByteArray>* keys) {
    bool allWellFormed = true;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QByteArray key = decoded(item.toLatin1(), KeySize);
        if (key.isEmpty()) {
            allWellFormed = false;
        } else {
            keys->append(key);
        }
    }
    return allWellFormed;
}

Verdict verify(const QByteArray& document, const QByteArray& signatureText,
               const QList<QByteArray>& keys) {
    if (signatureText.trimmed().isEmpty()) {
        return Verdict::Missing;
    }
    const QByteArray signature = decoded(signatureText, SignatureSize);
    if (signature.isEmpty()) {
        return Verdict::Malformed;
    }
    for (const QByteArray& key : keys) {
        if (verifiedBy(key, document, signature)) {
            return Verdict::Valid;
        }
    }
    return Verdict::Mismatch;
}

QString trustedKeys() {
    return keysInUse();
}

void setTrustedKeys(const QString& keys) {
    keysInUse() = keys;
}

} // namespace signature
