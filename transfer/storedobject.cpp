#include "storedobject.h"

#include "sha256.h"
#include "wholefile.h"
#include <QFile>

#ifdef Q_OS_WIN
// The static Qt of the Windows build carries zlib with prefixed names.
#include <QtZlib/zlib.h>
#else
#include <zlib.h>
#endif

namespace {
constexpr int BlockSize = 256 * 1024;

QString failed(const QString& what, const QFileDevice& file) {
    return what + QStringLiteral(" ") + file.fileName() + QStringLiteral(": ") + file.errorString();
}
} // namespace

namespace storedobject {

QString pack(const QString& source, const QString& target, qint64* packedSize) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        return failed(QStringLiteral("cannot read"), in);
    }
    WholeFile out(target);
    if (!out.open()) {
        return out.errorString();
    }
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
        return QStringLiteral("zlib cannot start");
    }
    QByteArray input(BlockSize, Qt::Uninitialized);
    QByteArray output(BlockSize, Qt::Uninitialized);
    QString problem;
    qint64 written = 0;
    for (int flush = Z_NO_FLUSH; flush != Z_FINISH && problem.isEmpty();) {
        const qint64 got = in.read(input.data(), BlockSize);
        if (got < 0) {
            problem = failed(QStringLiteral("cannot read"), in);
            break;
        }
        flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = uInt(got);
        do {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = uInt(BlockSize);
            deflate(&stream, flush);
            const qint64 produced = BlockSize - qint64(stream.avail_out);
            if (!out.write(output.constData(), produced)) {
                problem = out.errorString();
                break;
            }
            written += produced;
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    if (problem.isEmpty() && !out.commit()) {
        problem = out.errorString();
    }
    if (problem.isEmpty() && packedSize) {
        *packedSize = written;
    }
    return problem;
}

namespace {
// Inflates the object at source, checking it as unpack() describes, and hands each block of the
// result to out when given. Small objects are read whole, into blocks no larger than they need.
QString inflateChecked(const QString& source, qint64 size, const QString& sha256,
                       const std::atomic_bool* stop, WholeFile* out) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        return failed(QStringLiteral("cannot read"), in);
    }
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return QStringLiteral("zlib cannot start");
    }
    const int block = int(qBound<qint64>(1, in.size(), BlockSize));
    Sha256 hash;
    QByteArray input(block, Qt::Uninitialized);
    QByteArray output(int(qMin(size + 1, qint64(BlockSize))), Qt::Uninitialized);
    QString problem;
    qint64 unpacked = 0;
    int status = Z_OK;
    while (problem.isEmpty() && status != Z_STREAM_END) {
        if (stop && stop->load()) {
            problem = QStringLiteral("stopped");
            break;
        }
        const qint64 got = in.read(input.data(), block);
        if (got < 0) {
            problem = failed(QStringLiteral("cannot read"), in);
            break;
        }
        if (got == 0) {
            problem = QStringLiteral("the stored object ends before its stream does");
            break;
        }
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = uInt(got);
        while (problem.isEmpty() && status != Z_STREAM_END &&
               (stream.avail_in > 0 || stream.avail_out == 0)) {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = uInt(output.size());
            status = inflate(&stream, Z_NO_FLUSH);
            if (status == Z_BUF_ERROR) { // no progress without more input
                status = Z_OK;
                break;
            }
            if (status != Z_OK && status != Z_STREAM_END) {
                problem = QStringLiteral("the stored object is not a zlib stream (%1)")
                              .arg(QString::fromLatin1(stream.msg ? stream.msg : "no data"));
                break;
            }
            const qint64 produced = output.size() - qint64(stream.avail_out);
            unpacked += produced;
            if (unpacked > size) {
                problem =
                    QStringLiteral("the stored object unpacks to more than %1 bytes").arg(size);
                break;
            }
            hash.addData(output.constData(), produced);
            if (out && !out->write(output.constData(), produced)) {
                problem = out->errorString();
            }
        }
        if (problem.isEmpty() && status == Z_STREAM_END && (stream.avail_in > 0 || !in.atEnd())) {
            problem = QStringLiteral("the stored object has bytes after its stream");
        }
    }
    inflateEnd(&stream);
    if (problem.isEmpty() && unpacked != size) {
        problem =
            QStringLiteral("the stored object unpacks to %1 bytes, not %2").arg(unpacked).arg(size);
    }
    if (problem.isEmpty()) {
        const QString digest = hash.hexResult();
        if (digest != sha256) {
            problem = QStringLiteral("the stored object unpacks to SHA-256 %1, not %2")
                          .arg(digest, sha256);
        }
    }
    return problem;
}
} // namespace

QString unpack(const QString& source, const QString& target, qint64 size, const QString& sha256,
               const std::atomic_bool* stop) {
    WholeFile out(target);
    if (!out.open()) {
        return out.errorString();
    }
    const QString problem = inflateChecked(source, size, sha256, stop, &out);
    if (!problem.isEmpty()) {
        out.cancel();
        return problem;
    }
    return out.commit() ? QString() : out.errorString();
}

QString verify(const QString& source, qint64 size, const QString& sha256,
               const std::atomic_bool* stop) {
    return inflateChecked(source, size, sha256, stop, nullptr);
}

QByteArray packBytes(const QByteArray& bytes) {
    uLongf length = compressBound(uLong(bytes.size()));
    QByteArray packed(int(length), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
                  reinterpret_cast<const Bytef*>(bytes.constData()), uLong(bytes.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        return QByteArray();
    }
    packed.truncate(int(length));
    return packed;
}

} // namespace storedobject
