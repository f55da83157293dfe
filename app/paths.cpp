#include "paths.h"

#include <QStandardPaths>

#include "buildconfig.h"

namespace paths {

QString dataDir() {
    return QStandardPaths::writableLocation(QStandardPaths::DataLocation);
}

QUrl defaultServerUrl() {
    return QUrl(QStringLiteral(QUORVEX_SERVER_URL));
}

QUrl serverDocument(const QUrl& base, const QString& path) {
    QString text = base.toString(QUrl::FullyEncoded);
    while (text.endsWith(QLatin1Char('/'))) {
        text.chop(1);
    }
    return QUrl(text + path);
}

} // namespace paths
