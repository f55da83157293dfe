#pragma once

#include <QString>

namespace diskspace {

// Whether needed bytes fit on a volume with available bytes free once reclaimed bytes there
// are freed (the files that the new ones replace): an empty string when they do, or when the
// free space is unknown (negative); otherwise the message that says what is missing.
inline QString shortage(qint64 needed, qint64 available, qint64 reclaimed = 0) {
    if (available < 0 || needed <= available + reclaimed) {
        return QString();
    }
    constexpr qint64 MiB = 1024 * 1024;
    return QStringLiteral(
               "Недостаточно места на диске: для обновления нужно %1 МБ, свободно %2 МБ.")
        .arg(needed / MiB + (needed % MiB != 0 ? 1 : 0))
        .arg((available + reclaimed) / MiB);
}

} // namespace diskspace
