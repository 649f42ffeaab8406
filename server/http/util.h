#pragma once

// Small helpers shared by the route handlers: JSON answers and error bodies, random tokens,
// digests, dates and the checks every request goes through.

#include <httplib.h>

#include <QJsonObject>
#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace hf::server {

inline std::string toStd(const QString& s) { return s.toStdString(); }
inline QString toQ(const std::string& s) { return QString::fromStdString(s); }

double nowSeconds();
std::string isoDate(double seconds);

std::string randomToken(int bytes = 32);              // base64url, no padding
std::string base64Url(std::string_view data);
std::string sha256Hex(std::string_view data);
std::string sha256Base64Url(std::string_view data);   // the S256 code challenge of a verifier
bool constantTimeEqual(std::string_view a, std::string_view b);

std::string bodyOf(const QJsonObject& object);
void sendJson(httplib::Response& res, int status, const QJsonObject& object);
// The error body the client parses: {"error":{"code":..,"message":..}}.
void sendError(httplib::Response& res, int status, const std::string& code, const std::string& message);
std::string errorCodeForStatus(int status);

// The largest JSON or form body a request may carry.
constexpr std::size_t kMaxJsonBody = 1 << 20;

// The request body as a JSON object; an empty body counts as {}. Answers 400 and returns none
// when it is not a JSON object (413 when it is larger than kMaxJsonBody).
std::optional<QJsonObject> parseObject(const httplib::Request& req, httplib::Response& res);

// "http://" + the Host the client used, so that URLs handed out reach this server the same way.
std::string baseUrlOf(const httplib::Request& req, const std::string& fallback);

// Opaque URL-safe identifiers: letters, digits, ".", "_", "-"; 1 to 128 characters.
bool isValidId(std::string_view id);

std::string asciiLower(std::string text);
std::string htmlEscape(std::string_view text);
std::string urlEncode(std::string_view text);

std::string bearerToken(const httplib::Request& req); // "" when there is none

} // namespace hf::server
