#pragma once

// The application's configuration values. Most come from the configuration compiled into the
// application (":/config/bundle.json", filled in from the build's cache options); a build that
// left a value blank or as a placeholder runs with the built-in default instead.

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

namespace hf {

// The configuration compiled into the application; an empty object when there is none.
const QJsonObject& bundleInfo();

// A configuration string: absent when the key is missing or not a string, when it is blank after
// trimming, or when it still holds an unexpanded build setting ("$(...").
std::optional<QString> infoPlistString(const QJsonObject& info, const QString& key);
std::optional<QString> infoPlistString(const QString& key);

// The backend's root: "HushframeAPIBaseURL" when it parses as a URL with a scheme, else the
// built-in endpoint.
QUrl apiBaseURL(const QJsonObject& info);
QUrl apiBaseURL();

// The Google client identifiers ("GIDClientID", "GIDServerClientID"); a value containing
// "REPLACE_WITH" counts as missing. No client identifier means Google sign-in is not configured.
std::optional<QString> googleClientID(const QJsonObject& info);
std::optional<QString> googleClientID();
std::optional<QString> googleServerClientID(const QJsonObject& info);
std::optional<QString> googleServerClientID();

// The endpoints of Google's OAuth 2.0 service ("GoogleAuthorizationURL", "GoogleTokenURL",
// "GoogleRevocationURL"), each falling back to Google's published endpoint. A local build points
// them at the local server's identity provider.
struct GoogleEndpoints {
    QUrl authorization;
    QUrl token;
    QUrl revocation;
};
GoogleEndpoints googleEndpoints(const QJsonObject& info);
GoogleEndpoints googleEndpoints();

// The legal pages of the web site ("HushframeWebsiteURL", else the built-in site), built once.
const QUrl& termsURL();
const QUrl& privacyURL();
QUrl legalPageURL(const QJsonObject& info, const QString& path);

} // namespace hf
