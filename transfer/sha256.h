#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <functional>
#include <memory>

// Incremental SHA-256 on OpenSSL's libcrypto (which uses the CPU's SHA instructions where
// present); several times faster than QCryptographicHash on the same machine.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Sets up the library for hashing on several threads; call on the main thread before any
    // worker hashes (constructing a Sha256 does it too).
    static void prepare();

    void addData(const char* data, qint64 length);
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    // Finishes the digest; the object is reset afterwards.
    QByteArray result();
    QString hexResult() { return QString::fromLatin1(result().toHex()); }

    // Block size used when hashing files: large enough to amortise each read.
    static constexpr qint64 FileBlockSize = 64 * 1024;

    // Hashes the file's exact bytes in blocks, calling onBlock(bytesInBlock) after each one;
    // onBlock returning false stops the work. Returns false when the file cannot be opened or
    // read (errorString then says why) or when onBlock stopped it.
    static bool hashFile(const QString& path, QString* hexDigest,
                         const std::function<bool(qint64)>& onBlock = {},
                         QString* errorString = nullptr);
    // The same over an open device, reading at most limit bytes (all of them when negative).
    static bool hashDevice(QIODevice* device, qint64 limit, QString* hexDigest,
                           const std::function<bool(qint64)>& onBlock = {},
                           QString* errorString = nullptr);

private:
    struct State;
    std::unique_ptr<State> state;
};
