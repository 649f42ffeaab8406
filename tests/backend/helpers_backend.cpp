#include "helpers_backend.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace hf::test {

void followPage(QNetworkAccessManager& network, const QUrl& url, std::function<void(const QUrl&)> onAppLink)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = network.get(request);
    QObject::connect(reply, &QNetworkReply::finished, reply, [&network, reply, url, onAppLink] {
        reply->deleteLater();
        const QByteArray location = reply->rawHeader("Location");
        if (location.isEmpty())
            return;
        const QUrl next = url.resolved(QUrl::fromEncoded(location));
        if (next.scheme() == u"http" || next.scheme() == u"https")
            followPage(network, next, onAppLink);
        else if (onAppLink)
            onAppLink(next);
    });
}

} // namespace hf::test
