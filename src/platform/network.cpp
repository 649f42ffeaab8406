#include "platform/network.h"

#include <QNetworkCookie>
#include <QNetworkCookieJar>

namespace hf {
namespace {

// A cookie jar that accepts nothing and offers nothing.
class NoCookies final : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

} // namespace

QNetworkAccessManager* makeEphemeralNetworkSession(QObject* parent, std::chrono::milliseconds idleTimeout)
{
    auto* session = new QNetworkAccessManager(parent);
    session->setCookieJar(new NoCookies(session));
    session->setTransferTimeout(static_cast<int>(idleTimeout.count()));
    session->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
    return session;
}

} // namespace hf
