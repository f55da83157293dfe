#pragma once

// The objects of a content store: one file's bytes as one zlib stream (RFC 1950). The publishing
// tool packs them; the updater unpacks them, checking the result against the size and digest
// that the manifest gives. Both read and write through files in blocks, so memory does not grow
// with the file; both are plain functions, safe on any thread.

#include <QByteArray>
#include <QString>
#include <atomic>

namespace storedobject {

// Packs the file at source into target, written whole or not at all. Returns an empty string,
// or why it failed; *packedSize (when given) is the object's byte size.
QString pack(const QString& source, const QString& target, qint64* packedSize = nullptr);

// Unpacks the object at source into target, which is written (whole, replacing what is there)
// only when the stream is complete, nothing follows it, and the bytes are exactly size long
// with the lowercase SHA-256 sha256. Returns an empty string, or why not; nothing is left at
// target then. Unpacking stops as soon as the output passes size, and when *stop turns true.
QString unpack(const QString& source, const QString& target, qint64 size, const QString& sha256,
               const std::atomic_bool* stop = nullptr);

// Checks as unpack does, writing nothing: the object at source is a complete zlib stream with
// nothing after it, of exactly size bytes with the lowercase SHA-256 sha256. Returns an empty
// string, or why not.
QString verify(const QString& source, qint64 size, const QString& sha256,
               const std::atomic_bool* stop = nullptr);

// The object of a file whose bytes are held in memory (small files, packed many at a time).
QByteArray packBytes(const QByteArray& bytes);

} // namespace storedobject
