#include "backend/bundle_configuration.h"

#include <QFile>
#include <QJsonDocument>

namespace hf {

namespace {

const QString defaultAPIBaseURL = QStringLiteral("https://api.hushframe.app");
const QString defaultWebsiteURL = QStringLiteral("https://hushframe.app");
const QString defaultGoogleAuthorization = QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth");
const QString defaultGoogleToken = QStringLiteral("https://oauth2.googleapis.com/token");
const QString defaultGoogleRevocation = QStringLiteral("https://oauth2.googleapis.com/revoke");

QJsonObject loadBundleInfo()
{
    QFile file(QStringLiteral(":/config/bundle.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    return document.isObject() ? document.object() : QJsonObject{};
}

std::optional<QUrl> schemedURL(const QJsonObject& info, const QString& key)
{
    const auto value = infoPlistString(info, key);
    if (!value)
        return std::nullopt;
    const QUrl url(*value, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}

std::optional<QString> identifier(const QJsonObject& info, const QString& key)
{
    auto value = infoPlistString(info, key);
    if (!value || value->contains(QStringLiteral("REPLACE_WITH")))
        return std::nullopt;
    return value;
}

} // namespace

const QJsonObject& bundleInfo()
{
    static const QJsonObject info = loadBundleInfo();
    return info;
}

std::optional<QString> infoPlistString(const QJsonObject& info, const QString& key)
{
    const QJsonValue value = info.value(key);
    if (!value.isString())
        return std::nullopt;
    const QString trimmed = value.toString().trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QStringLiteral("$(")))
        return std::nullopt;
    return trimmed;
}

std::optional<QString> infoPlistString(const QString& key)
{
    return infoPlistString(bundleInfo(), key);
}

QUrl apiBaseURL(const QJsonObject& info)
{
    return schemedURL(info, QStringLiteral("HushframeAPIBaseURL")).value_or(QUrl(defaultAPIBaseURL));
}

QUrl apiBaseURL()
{
    return apiBaseURL(bundleInfo());
}

std::optional<QString> googleClientID(const QJsonObject& info)
{
    return identifier(info, QStringLiteral("GIDClientID"));
}

std::optional<QString> googleClientID()
{
    return googleClientID(bundleInfo());
}

std::optional<QString> googleServerClientID(const QJsonObject& info)
{
    return identifier(info, QStringLiteral("GIDServerClientID"));
}

std::optional<QString> googleServerClientID()
{
    return googleServerClientID(bundleInfo());
}

GoogleEndpoints googleEndpoints(const QJsonObject& info)
{
    return GoogleEndpoints{
        schemedURL(info, QStringLiteral("GoogleAuthorizationURL")).value_or(QUrl(defaultGoogleAuthorization)),
        schemedURL(info, QStringLiteral("GoogleTokenURL")).value_or(QUrl(defaultGoogleToken)),
        schemedURL(info, QStringLiteral("GoogleRevocationURL")).value_or(QUrl(defaultGoogleRevocation)),
    };
}

GoogleEndpoints googleEndpoints()
{
    return googleEndpoints(bundleInfo());
}

QUrl legalPageURL(const QJsonObject& info, const QString& path)
{
    QUrl site = schemedURL(info, QStringLiteral("HushframeWebsiteURL")).value_or(QUrl(defaultWebsiteURL));
    QString base = site.path();
    while (base.endsWith(u'/'))
        base.chop(1);
    site.setPath(base + path);
    site.setQuery(QString());
    site.setFragment(QString());
    return site;
}

const QUrl& termsURL()
{
    static const QUrl url = legalPageURL(bundleInfo(), QStringLiteral("/terms/"));
    return url;
}

const QUrl& privacyURL()
{
    static const QUrl url = legalPageURL(bundleInfo(), QStringLiteral("/privacy/"));
    return url;
}

} // namespace hf
