#pragma once

// Binary deltas of the content store: a file's new bytes as one zstd frame made with an earlier
// content of the file (the base) as its reference prefix. The publishing tool makes them; the
// updater applies them onto a base it already has installed and checks the result against the
// size and digest that the manifest gives, as for a whole object. Applying holds the base once
// (read from disk) and decodes with a window no larger than MaxWindowLog, whatever the frame
// asks for, so a hostile delta cannot claim more memory. Plain functions, safe on any thread.

#include <QByteArray>
#include <QString>
#include <atomic>

namespace delta {

// Neither a base nor a target above this size gets a delta: applying holds the base and the
// decoder's window (about the target's size) in memory, which must stay modest in a 32-bit
// process.
constexpr qint64 MaxFileSize = 64 * 1024 * 1024;
// The largest window a delta may use: base and target together (2 × MaxFileSize).
constexpr int MaxWindowLog = 27;
// Deltas applied at once hold at most this much of bases and targets together (one of any size
// always may): two of the largest files never share a 32-bit process's memory.
constexpr qint64 MaxApplyMemory = 2 * MaxFileSize;

// Applies the delta at source onto the file at base (which must be baseSize bytes) into target,
// written whole (replacing what is there) only when the frame is complete, nothing follows it,
// and the bytes are exactly size long with the lowercase SHA-256 sha256. Returns an empty string,
// or why not; nothing is left at target then. Stops when *stop turns true.
QString apply(const QString& source, const QString& base, qint64 baseSize, const QString& target,
              qint64 size, const QString& sha256, const std::atomic_bool* stop = nullptr);

// Checks as apply does, writing nothing.
QString verify(const QString& source, const QString& base, qint64 baseSize, qint64 size,
               const QString& sha256, const std::atomic_bool* stop = nullptr);

} // namespace delta
