#include "network.h"

#include <QAuthenticator>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>

namespace network {

void useSystemProxy() {
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

void reportProblems(QNetworkAccessManager* manager) {
    QObject::connect(manager, &QNetworkAccessManager::sslErrors, manager,
                     [](QNetworkReply* reply, const QList<QSslError>& errors) {
                         for (const QSslError& error : errors) {
                             qWarning()
                                 << "Ошибка TLS:" << reply->url().toString() << error.errorString();
                         }
                     });
    QObject::connect(manager, &QNetworkAccessManager::proxyAuthenticationRequired, manager,
                     [](const QNetworkProxy& proxy, QAuthenticator* authenticator) {
                         qWarning()
                             << "Прокси-сервер требует авторизации:"
                             << QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port())
                             << authenticator->realm();
                     });
}

QNetworkRequest request(const QUrl& url) {
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

} // namespace network
