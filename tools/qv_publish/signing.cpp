#include "signing.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <openssl/evp.h>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace publish::signing {

namespace {
constexpr int KeySize = 32;
const QByteArray firstLine = "-----BEGIN QUORVEX SIGNING KEY-----";
const QByteArray lastLine = "-----END QUORVEX SIGNING KEY-----";

EVP_PKEY* privateKeyFrom(const QByteArray& seed) {
    return seed.size() != KeySize
               ? nullptr
               : EVP_PKEY_new_raw_private_key(
                     EVP_PKEY_ED25519, nullptr,
                     reinterpret_cast<const unsigned char*>(seed.constData()), size_t(KeySize));
}
} // namespace

QByteArray generateKey() {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY* key = nullptr;
    QByteArray seed(KeySize, '\0');
    size_t length = size_t(KeySize);
    const bool ok =
        context && EVP_PKEY_keygen_init(context) == 1 && EVP_PKEY_keygen(context, &key) == 1 &&
        EVP_PKEY_get_raw_private_key(key, reinterpret_cast<unsigned char*>(seed.data()), &length) ==
            1 &&
        length == size_t(KeySize);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(context);
    return ok ? seed : QByteArray();
}

QString publicKeyOf(const QByteArray& privateKey) {
    EVP_PKEY* key = privateKeyFrom(privateKey);
    QByteArray raw(KeySize, '\0');
    size_t length = size_t(KeySize);
    const bool ok = key &&
                    EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()),
                                                &length) == 1 &&
                    length == size_t(KeySize);
    EVP_PKEY_free(key);
    return ok ? QString::fromLatin1(raw.toBase64()) : QString();
}

QByteArray sign(const QByteArray& privateKey, const QByteArray& document) {
    EVP_PKEY* key = privateKeyFrom(privateKey);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    QByteArray signature(64, '\0');
    size_t length = size_t(signature.size());
    const bool ok =
        key && context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(document.constData()),
                       size_t(document.size())) == 1 &&
        length == size_t(signature.size());
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return ok ? signature.toBase64() + '\n' : QByteArray();
}

bool writeKeyFile(const QString& path, const QByteArray& privateKey, QString* error) {
    const QByteArray text = firstLine + '\n' + privateKey.toBase64() + '\n' + lastLine + '\n';
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        *error = QStringLiteral("%1 already exists; a key file is never overwritten").arg(path);
        return false;
    }
#ifdef Q_OS_UNIX
    // Created with its final mode: the key is never readable by others, not even for a moment.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    const bool created = fd >= 0;
    const bool ok = created && ::write(fd, text.constData(), size_t(text.size())) == text.size() &&
                    ::fsync(fd) == 0;
    const QString why = QString::fromLocal8Bit(std::strerror(errno));
    if (created) {
        ::close(fd);
    }
#else
    QFile file(path);
    const bool created = file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    const bool ok = created && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) &&
                    file.write(text) == text.size() && file.flush();
    const QString why = file.errorString();
    file.close();
#endif
    if (!ok) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, why);
        if (created) {
            QFile::remove(path);
        }
    }
    return ok;
}

bool readKeyFile(const QString& path, QByteArray* privateKey, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QList<QByteArray> lines = file.read(4096).trimmed().split('\n');
    for (QByteArray& line : lines) {
        line = line.trimmed();
    }
    const auto seed = QByteArray::fromBase64Encoding(lines.size() == 3 ? lines[1] : QByteArray(),
                                                     QByteArray::AbortOnBase64DecodingErrors);
    if (lines.size() != 3 || lines[0] != firstLine || lines[2] != lastLine ||
        seed.decoded.size() != KeySize || !seed) {
        *error = QStringLiteral("%1 is not a signing key written by qv_publish keygen").arg(path);
        return false;
    }
    *privateKey = seed.decoded;
    return true;
}

} // namespace publish::signing
