#include "http/util.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <chrono>
#include <cctype>
#include <cmath>

namespace hf::server {

double nowSeconds()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string isoDate(double seconds)
{
    auto ms = qint64(std::llround(seconds * 1000));
    return toStd(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

std::string randomToken(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()), bytes / 4);
    for (int i = bytes / 4 * 4; i < bytes; ++i)
        raw[i] = char(QRandomGenerator::system()->bounded(256));
    return base64Url(std::string_view(raw.constData(), size_t(raw.size())));
}

std::string base64Url(std::string_view data)
{
    return QByteArray(data.data(), qsizetype(data.size()))
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
        .toStdString();
}

std::string sha256Hex(std::string_view data)
{
    return QCryptographicHash::hash(QByteArrayView(data.data(), qsizetype(data.size())), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::string sha256Base64Url(std::string_view data)
{
    auto digest = QCryptographicHash::hash(QByteArrayView(data.data(), qsizetype(data.size())),
                                           QCryptographicHash::Sha256);
    return base64Url(std::string_view(digest.constData(), size_t(digest.size())));
}

bool constantTimeEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string bodyOf(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

void sendJson(httplib::Response& res, int status, const QJsonObject& object)
{
    res.status = status;
    res.set_content(bodyOf(object), "application/json");
}

std::string errorCodeForStatus(int status)
{
    switch (status) {
    case 400:
    case 411:
    case 413: return "invalid_request";
    case 401: return "unauthorized";
    case 403: return "forbidden";
    case 404: return "not_found";
    case 409: return "conflict";
    case 429: return "rate_limited";
    case 503: return "unavailable";
    default: return status >= 500 ? "internal" : "unknown";
    }
}

void sendError(httplib::Response& res, int status, const std::string& code, const std::string& message)
{
    QJsonObject inner{{"code", toQ(code)}, {"message", toQ(message)}};
    sendJson(res, status, QJsonObject{{"error", inner}});
}

std::optional<QJsonObject> parseObject(const httplib::Request& req, httplib::Response& res)
{
    if (req.body.empty())
        return QJsonObject{};
    if (req.body.size() > kMaxJsonBody) {
        sendError(res, 413, "invalid_request", "The request body is too large.");
        return std::nullopt;
    }
    QJsonParseError error;
    auto document = QJsonDocument::fromJson(QByteArray::fromStdString(req.body), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        sendError(res, 400, "invalid_request", "The request body must be a JSON object.");
        return std::nullopt;
    }
    return document.object();
}

std::string baseUrlOf(const httplib::Request& req, const std::string& fallback)
{
    std::string host = req.get_header_value("Host");
    bool sane = !host.empty() && host.size() < 256;
    for (char c : host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '['
              || c == ']'))
            sane = false;
    return sane ? "http://" + host : fallback;
}

bool isValidId(std::string_view id)
{
    if (id.empty() || id.size() > 128)
        return false;
    for (char c : id)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-'))
            return false;
    return true;
}

std::string asciiLower(std::string text)
{
    for (auto& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string htmlEscape(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string urlEncode(std::string_view text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~')
            out += char(c);
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string bearerToken(const httplib::Request& req)
{
    std::string value = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (value.size() <= prefix.size() || value.compare(0, prefix.size(), prefix) != 0)
        return {};
    std::string token = value.substr(prefix.size());
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t'))
        token.pop_back();
    return token;
}

} // namespace hf::server
