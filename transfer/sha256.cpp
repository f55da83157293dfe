#include "sha256.h"

#include <QFile>
#include <limits>

// The digest's own functions: they touch nothing but their context, so any number of threads
// can hash at once, even on a libcrypto without thread support. The generic EVP interface
// reaches the same code per byte but looks the algorithm up in shared, locked tables for each
// file: about 8,000 instructions more per file (bench/hash.cpp under callgrind), 7 % of hashing
// a 4 KiB file.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/sha.h>

struct Sha256::State {
    SHA256_CTX ctx;
};

void Sha256::prepare() {
    // The library's one-time set-up (which also picks the CPU's SHA instructions) is not safe
    // to race with on a libcrypto without threads: it runs once, here.
    static const bool ready = OPENSSL_init_crypto(0, nullptr) == 1;
    Q_UNUSED(ready)
}

Sha256::Sha256()
    : state(new State) {
    prepare();
    SHA256_Init(&state->ctx);
}

Sha256::~Sha256() = default;

void Sha256::addData(const char* data, qint64 length) {
    if (length > 0) {
        SHA256_Update(&state->ctx, data, static_cast<size_t>(length));
    }
}

QByteArray Sha256::result() {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, &state->ctx);
    SHA256_Init(&state->ctx);
    return QByteArray(reinterpret_cast<const char*>(digest), SHA256_DIGEST_LENGTH);
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
    return hashDevice(&file, -1, hexDigest, onBlock, errorString);
}

bool Sha256::hashDevice(QIODevice* device, qint64 limit, QString* hexDigest,
                        const std::function<bool(qint64)>& onBlock, QString* errorString) {
    Sha256 hash;
    QByteArray buffer(static_cast<int>(FileBlockSize), Qt::Uninitialized);
    for (qint64 left = limit < 0 ? std::numeric_limits<qint64>::max() : limit; left > 0;) {
        const qint64 got = device->read(buffer.data(), qMin(left, FileBlockSize));
        if (got < 0) {
            if (errorString) {
                *errorString = device->errorString();
            }
            return false;
        }
        if (got == 0) {
            break;
        }
        left -= got;
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
