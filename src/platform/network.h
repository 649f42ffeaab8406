#pragma once

#include <QNetworkAccessManager>

#include <chrono>

namespace hf {

// The network session of the backend client: no cookies are ever sent or stored (the session
// token travels only in the Authorization header), no cache, redirects only within one origin,
// and `idleTimeout` of inactivity ends a request.
QNetworkAccessManager* makeEphemeralNetworkSession(QObject* parent,
                                                   std::chrono::milliseconds idleTimeout = std::chrono::seconds(30));

} // namespace hf
