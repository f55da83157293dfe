#pragma once

// What every transfer of the updater shares with the system it runs on: the proxy the user has
// set, the system's root certificates, and diagnostics that say why a certificate or a proxy
// ended a transfer.

class QNetworkAccessManager;

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

} // namespace network
