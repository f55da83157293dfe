#include "delta.h"

#include <QFile>
#include <memory>
#include <zstd.h>

#include "sha256.h"
#include "wholefile.h"

namespace {
constexpr qint64 BlockSize = 256 * 1024;

struct FreeContext {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

QString failed(const QString& what, const QFileDevice& file) {
    return what + QStringLiteral(" ") + file.fileName() + QStringLiteral(": ") + file.errorString();
}

// Decodes the delta at source onto the base, checking it as delta::apply() describes, and hands
// each block of the result to out when given.
QString applyChecked(const QString& source, const QString& base, qint64 baseSize, qint64 size,
                     const QString& sha256, const std::atomic_bool* stop, WholeFile* out) {
    if (size > delta::MaxFileSize || baseSize > delta::MaxFileSize || size < 0 || baseSize < 0) {
        return QStringLiteral("the file is too large for a delta");
    }
    // The base is read whole, once: the decoder refers to it in place.
    QFile baseFile(base);
    if (!baseFile.open(QIODevice::ReadOnly)) {
        return failed(QStringLiteral("cannot read the base"), baseFile);
    }
    if (baseFile.size() != baseSize) {
        return QStringLiteral("the base %1 is %2 bytes, not %3")
            .arg(base)
            .arg(baseFile.size())
            .arg(baseSize);
    }
    const QByteArray reference = baseFile.read(baseSize);
    if (reference.size() != baseSize) {
        return failed(QStringLiteral("cannot read the base"), baseFile);
    }
    baseFile.close();

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        return failed(QStringLiteral("cannot read"), in);
    }
    QByteArray input(int(qBound<qint64>(1, in.size(), BlockSize)), Qt::Uninitialized);
    qint64 got = in.read(input.data(), input.size());
    if (got < 0) {
        return failed(QStringLiteral("cannot read"), in);
    }
    // The frame says what it makes before anything is decoded.
    const unsigned long long announced = ZSTD_getFrameContentSize(input.constData(), size_t(got));
    if (announced == ZSTD_CONTENTSIZE_ERROR) {
        return QStringLiteral("the delta is not a zstd frame");
    }
    if (announced != static_cast<unsigned long long>(size)) {
        return QStringLiteral("the delta does not say it makes %1 bytes").arg(size);
    }
    const std::unique_ptr<ZSTD_DCtx, FreeContext> context(ZSTD_createDCtx());
    if (!context ||
        ZSTD_isError(
            ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, delta::MaxWindowLog)) ||
        ZSTD_isError(
            ZSTD_DCtx_refPrefix(context.get(), reference.constData(), size_t(reference.size())))) {
        return QStringLiteral("zstd cannot start");
    }
    Sha256 hash;
    QByteArray output(int(qMin(size + 1, BlockSize)), Qt::Uninitialized);
    qint64 made = 0;
    bool ended = false;
    while (got > 0) {
        if (stop && stop->load()) {
            return QStringLiteral("stopped");
        }
        if (ended) {
            return QStringLiteral("the delta has bytes after its frame");
        }
        ZSTD_inBuffer chunk{input.constData(), size_t(got), 0};
        bool full = false;
        while (!ended && (chunk.pos < chunk.size || full)) {
            ZSTD_outBuffer block{output.data(), size_t(output.size()), 0};
            const size_t status = ZSTD_decompressStream(context.get(), &block, &chunk);
            if (ZSTD_isError(status)) {
                return QStringLiteral("the delta is damaged (%1)")
                    .arg(QString::fromLatin1(ZSTD_getErrorName(status)));
            }
            made += qint64(block.pos);
            if (made > size) {
                return QStringLiteral("the delta makes more than %1 bytes").arg(size);
            }
            hash.addData(output.constData(), qint64(block.pos));
            if (out && !out->write(output.constData(), qint64(block.pos))) {
                return out->errorString();
            }
            full = block.pos == block.size;
            ended = status == 0;
        }
        if (ended && chunk.pos < chunk.size) {
            return QStringLiteral("the delta has bytes after its frame");
        }
        got = in.read(input.data(), input.size());
        if (got < 0) {
            return failed(QStringLiteral("cannot read"), in);
        }
    }
    if (!ended) {
        return QStringLiteral("the delta ends before its frame does");
    }
    if (made != size) {
        return QStringLiteral("the delta makes %1 bytes, not %2").arg(made).arg(size);
    }
    const QString digest = hash.hexResult();
    if (digest != sha256) {
        return QStringLiteral("the delta makes SHA-256 %1, not %2").arg(digest, sha256);
    }
    return QString();
}
} // namespace

namespace delta {

QString apply(const QString& source, const QString& base, qint64 baseSize, const QString& target,
              qint64 size, const QString& sha256, const std::atomic_bool* stop) {
    WholeFile out(target);
    if (!out.open()) {
        return out.errorString();
    }
    const QString problem = applyChecked(source, base, baseSize, size, sha256, stop, &out);
    if (!problem.isEmpty()) {
        out.cancel();
        return problem;
    }
    return out.commit() ? QString() : out.errorString();
}

QString verify(const QString& source, const QString& base, qint64 baseSize, qint64 size,
               const QString& sha256, const std::atomic_bool* stop) {
    return applyChecked(source, base, baseSize, size, sha256, stop, nullptr);
}

} // namespace delta
