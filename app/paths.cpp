#include "paths.h"

#include <QStandardPaths>

#include "buildconfig.h"

namespace paths {

QString dataDir() {
    return QStandardPaths::writableLocation(QStandardPaths::DataLocation);
}

namespace {
QUrl serverInUse = QUrl(QStringLiteral(QUORVEX_SERVER_URL));
} // namespace

QUrl defaultServerUrl() {
    return serverInUse;
}

void setDefaultServerUrl(const QUrl& url) {
    serverInUse = url;
}

QUrl serverDocument(const QUrl& base, const QString& path) {
    QString text = base.toString(QUrl::FullyEncoded);
    while (text.endsWith(QLatin1Char('/'))) {
        text.chop(1);
    }
    return QUrl(text + path);
}

} // namespace paths
