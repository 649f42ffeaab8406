#include "app/feedback_setup.h"

#include "Tellu/tellu.h"
#include "backend/bundle_configuration.h"

#include <QGuiApplication>
#include <QPalette>

namespace hf {

namespace {

// The feedback service of released builds.
const QUrl& builtInFeedbackURL()
{
    static const QUrl url(QStringLiteral("https://feedback.lanternworkshop.dev"));
    return url;
}

} // namespace

std::optional<QString> feedbackKitToken(const QJsonObject& info)
{
    // infoPlistString trims, and gives nothing for a blank value or an unexpanded build setting.
    const std::optional<QString> token = infoPlistString(info, QStringLiteral("TelluKitToken"));
    if (!token || token->contains(QStringLiteral("REPLACE_ME")))
        return std::nullopt;
    return token;
}

std::optional<QString> feedbackKitToken()
{
    return feedbackKitToken(bundleInfo());
}

QUrl feedbackServiceURL(const QJsonObject& info)
{
    if (const auto value = infoPlistString(info, QStringLiteral("TelluFeedbackURL"))) {
        const QUrl url(*value, QUrl::StrictMode);
        if (url.isValid() && (url.scheme() == u"https" || url.scheme() == u"http") && !url.host().isEmpty())
            return url;
    }
    return builtInFeedbackURL();
}

QUrl feedbackServiceURL()
{
    return feedbackServiceURL(bundleInfo());
}

TelluConfig feedbackKitConfig(const QString& token, const QJsonObject& info)
{
    return TelluConfig{feedbackServiceURL(info), QStringLiteral("Hushframe"), true,
                       QGuiApplication::palette().color(QPalette::Highlight), token};
}

bool configureFeedbackKit(const QJsonObject& info)
{
    const std::optional<QString> token = feedbackKitToken(info);
    if (!token)
        return false;
    Tellu::configure(feedbackKitConfig(*token, info));
    return true;
}

bool configureFeedbackKit()
{
    return configureFeedbackKit(bundleInfo());
}

} // namespace hf
