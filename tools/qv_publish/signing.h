#pragma once

// The vendor's side of the release signatures: Ed25519 signing keys, their files, and the
// signature files written beside the documents (signature.h has the updater's side).

#include <QByteArray>
#include <QString>

namespace publish::signing {

// A new private key (the raw 32-byte seed); empty when none could be made.
QByteArray generateKey();

// The public key of a private key as the build setting QUORVEX_PUBLIC_KEYS takes it (base64 of
// its raw 32 bytes); empty for a malformed private key.
QString publicKeyOf(const QByteArray& privateKey);

// The text of a signature file: the base64 of the signature over document, and a line end.
// Empty for a malformed private key.
QByteArray sign(const QByteArray& privateKey, const QByteArray& document);

// Writes a new key file readable by its owner only; never replaces an existing file.
bool writeKeyFile(const QString& path, const QByteArray& privateKey, QString* error);

// The private key of a key file written by writeKeyFile.
bool readKeyFile(const QString& path, QByteArray* privateKey, QString* error);

} // namespace publish::signing
