#include "sha256.h"

#include <QFile>
#include <openssl/evp.h>

struct Sha256::State {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256()
    : state(new State) {
    state->ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(state->ctx, EVP_sha256(), nullptr);
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(state->ctx);
}

void Sha256::addData(const char* data, qint64 length) {
    if (length > 0) {
        EVP_DigestUpdate(state->ctx, data, static_cast<size_t>(length));
    }
}

QByteArray Sha256::result() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(state->ctx, digest, &length);
    EVP_DigestInit_ex(state->ctx, EVP_sha256(), nullptr);
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length));
}

bool Sha256::hashFile(const QString& path, QString* hexDigest,
                      const std::function<bool(qint64)>& onBlock, QString* errorString) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (errorString) {
            *errorString = file.errorString();
        }
        return false;
    }
    Sha256 hash;
    QByteArray buffer(static_cast<int>(FileBlockSize), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), FileBlockSize);
        if (got < 0) {
            if (errorString) {
                *errorString = file.errorString();
            }
            return false;
        }
        if (got == 0) {
            break;
        }
        hash.addData(buffer.constData(), got);
        if (onBlock && !onBlock(got)) {
            if (errorString) {
                *errorString = QStringLiteral("stopped");
            }
            return false;
        }
    }
    if (hexDigest) {
        *hexDigest = hash.hexResult();
    }
    return true;
}
