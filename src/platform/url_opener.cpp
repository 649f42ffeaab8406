#include "platform/url_opener.h"

#include <QProcess>

namespace hf {

URLOpener systemURLOpener()
{
    return [](const QUrl& url) {
        if (!url.isValid())
            return false;
        return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
    };
}

} // namespace hf
