#pragma once

// The application's side of the feedback kit: the kit token and the feedback service's address
// from the build's configuration, and the launch step that configures the kit. Without a valid
// token the kit stays unconfigured and the application offers no feedback.
//
// The shell runs configureFeedbackKit() once, as the launch sequence's feedback step, and asks
// feedbackKitToken() (or Tellu::shared().isConfigured()) before it offers the feedback form.

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

struct TelluConfig;

namespace hf {

// The kit token ("TelluKitToken"), trimmed; absent when missing, blank, an unexpanded build
// setting ("$(...") or a placeholder (containing "REPLACE_ME").
std::optional<QString> feedbackKitToken(const QJsonObject& info);
std::optional<QString> feedbackKitToken();

// Where submissions are posted: "TelluFeedbackURL" when it parses as an http(s) URL, else the
// built-in feedback service.
QUrl feedbackServiceURL(const QJsonObject& info);
QUrl feedbackServiceURL();

// The kit's configuration for a token: the application's name, system information included, the
// interface kit's accent as the buttons' tint.
TelluConfig feedbackKitConfig(const QString& token, const QJsonObject& info);

// Configures the kit from the build's configuration when it holds a valid token; returns whether
// it did.
bool configureFeedbackKit(const QJsonObject& info);
bool configureFeedbackKit();

} // namespace hf
