// The feedback endpoint, the update feed and the test controls.

#include "http/files.h"
#include "http/service.h"
#include "http/util.h"

#include <QDateTime>
#include <QJsonArray>

#include <fstream>

namespace hf::server {

namespace {

const char* kDefaultFeed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0">
  <channel>
    <title>Hushframe updates</title>
    <description>Releases of Hushframe for Linux.</description>
    <language>en</language>
    <item>
      <title>Version 0.1.0</title>
      <description>The first release.</description>
      <pubDate>Mon, 07 Dec 2026 00:00:00 +0000</pubDate>
      <guid isPermaLink="false">hushframe-0.1.0</guid>
      <enclosure url="https://example.invalid/hushframe-0.1.0.tar.gz" length="0" type="application/octet-stream"/>
    </item>
  </channel>
</rss>
)";

bool isStringMap(const QJsonValue& value)
{
    if (!value.isObject())
        return false;
    for (const auto& member : value.toObject())
        if (!member.isString())
            return false;
    return true;
}

} // namespace

void Service::addMiscRoutes()
{
    auto feed = m_options.dataDir / "appcast.xml";
    if (!std::filesystem::exists(feed))
        writeFileDurably(feed, kDefaultFeed);

    m_http.Post("/feedback", [this](const httplib::Request& req, httplib::Response& res) {
        if (!m_options.feedbackToken.empty()
            && (!req.has_header("X-Tellu-Token")
                || !constantTimeEqual(req.get_header_value("X-Tellu-Token"), m_options.feedbackToken))) {
            sendError(res, 401, "unauthorized", "The feedback token is missing or wrong.");
            return;
        }
        if (req.body.empty()) {
            sendError(res, 400, "invalid_request", "The feedback is empty.");
            return;
        }
        auto body = parseObject(req, res);
        if (!body)
            return;
        static const QStringList categories{"general", "bug", "featureRequest", "other"};
        const QJsonObject& o = *body;
        std::string problem;
        if (!o.value("app").isString() || o.value("app").toString().isEmpty())
            problem = "\"app\" must be a non-empty string.";
        else if (!o.value("message").isString())
            problem = "\"message\" must be a string.";
        else if (!o.value("timestamp").isString()
                 || !QDateTime::fromString(o.value("timestamp").toString(), Qt::ISODate).isValid())
            problem = "\"timestamp\" must be an ISO 8601 date-time.";
        else if (o.contains("email") && !o.value("email").isString())
            problem = "\"email\" must be a string.";
        else if (o.contains("category") && !categories.contains(o.value("category").toString()))
            problem = "\"category\" must be one of general, bug, featureRequest, other.";
        else if (o.contains("metadata") && !isStringMap(o.value("metadata")))
            problem = "\"metadata\" must be an object of strings.";
        else
            for (const char* key : {"version", "platform"})
                if (o.contains(key) && !o.value(key).isString())
                    problem = std::string("\"") + key + "\" must be a string.";
        if (!problem.empty()) {
            sendError(res, 400, "invalid_request", problem);
            return;
        }
        std::string id = toStd(QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss")) + "-" + randomToken(6);
        // Answered 201 only once the submission is completely on disk.
        if (int error = writeFileDurably(m_options.dataDir / "feedback" / (id + ".json"), req.body)) {
            int status = statusForWriteError(error);
            sendError(res, status, errorCodeForStatus(status), "The feedback could not be stored.");
            logLine("Feedback could not be stored: " + std::generic_category().message(error));
            return;
        }
        logLine("Stored feedback " + id);
        sendJson(res, 201, QJsonObject{{"id", toQ(id)}});
    });

    m_http.Get("/appcast.xml", [this](const httplib::Request&, httplib::Response& res) {
        std::ifstream in(m_options.dataDir / "appcast.xml", std::ios::binary);
        if (!in) {
            sendError(res, 404, "not_found", "There is no update feed.");
            return;
        }
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        res.set_header("Cache-Control", "no-cache");
        res.set_content(text, "application/rss+xml; charset=utf-8");
    });
}

void Service::addTestRoutes()
{
    m_http.Post("/_test/faults", [this](const httplib::Request& req, httplib::Response& res) {
        auto body = parseObject(req, res);
        if (!body)
            return;
        if (body->contains("rejectTokens")) {
            m_faults.rejectTokens = body->value("rejectTokens").toBool();
            sendJson(res, 200, QJsonObject{{"rejectTokens", m_faults.rejectTokens.load()}});
            return;
        }
        std::string error;
        auto fault = Faults::fromJson(*body, error);
        if (!fault) {
            sendError(res, 400, "invalid_request", error);
            return;
        }
        int id = m_faults.add(*fault);
        sendJson(res, 200, QJsonObject{{"id", id}});
    });
    m_http.Get("/_test/faults", [this](const httplib::Request&, httplib::Response& res) {
        sendJson(res, 200, QJsonObject{{"faults", m_faults.list()}, {"rejectTokens", m_faults.rejectTokens.load()}});
    });
    m_http.Delete("/_test/faults", [this](const httplib::Request&, httplib::Response& res) {
        m_faults.clear();
        sendJson(res, 200, QJsonObject{{"cleared", true}});
    });
}

} // namespace hf::server
