#pragma once

// Detached Ed25519 signatures of the server's documents. A signature file holds the base64 of
// the 64-byte signature over the document's exact bytes as served; a public key is the base64
// of its raw 32 bytes, and a build trusts a comma-separated list of them (QUORVEX_PUBLIC_KEYS),
// so that a vendor can move to a new key while the old one still signs.

#include <QByteArray>
#include <QList>
#include <QString>

namespace signature {

enum class Verdict {
    Valid,     // made over the document by one of the keys
    Missing,   // no signature text
    Malformed, // not base64 of 64 bytes
    Mismatch,  // well-formed, but no key made it over these bytes
};

// Largest signature file read (the text is 88 characters and a line end).
constexpr qint64 MaxSignatureSize = 1024;

// The raw keys of a comma-separated list of base64 keys, spaces around each allowed; false
// when one of them is not the base64 of 32 bytes (the well-formed ones are still listed).
bool parsePublicKeys(const QString& text, QList<QByteArray>* keys);

// Whether signatureText (surrounding white space allowed) is a signature of document by one of
// keys.
Verdict verify(const QByteArray& document, const QByteArray& signatureText,
               const QList<QByteArray>& keys);

// The keys the updater trusts (the application sets those of its build). Empty: the documents
// are neither signed nor checked.
QString trustedKeys();
void setTrustedKeys(const QString& keys);

} // namespace signature
