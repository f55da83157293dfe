#pragma once

// What every transfer of the updater shares with the system it runs on: the proxy the user has
// set, the system's root certificates, and diagnostics that say why a certificate or a proxy
// ended a transfer.

class QNetworkAccessManager;
class QNetworkRequest;
class QUrl;

namespace network {

// Sends every transfer of this process through the proxy the system names: on Linux
// "http_proxy", "https_proxy" and "no_proxy" (credentials in the proxy's address are used when
// it asks for them), on Windows the user's Internet Settings, a fixed proxy or automatic
// configuration. Without one, transfers go straight to the server.
void useSystemProxy();

// Logs every certificate error of the manager's transfers (the transfer then fails: nothing
// here or anywhere in the updater accepts a certificate that does not verify against the
// system's roots), and a proxy that asks for credentials the updater does not have (Qt then ends
// the transfer with that error instead of waiting).
void reportProblems(QNetworkAccessManager* manager);

// A GET of url as every transfer of the updater makes it: the body travels as the server
// stores it ("Accept-Encoding: identity"). Qt would otherwise ask for gzip and deflate and
// inflate the whole body in memory before a byte is counted, so that a small compressed body
// could grow the process past every size cap before any check. A server that encodes the body
// anyway delivers its encoded bytes, which then fail their size or digest like any other.
QNetworkRequest request(const QUrl& url);

} // namespace network
