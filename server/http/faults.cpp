#include "http/faults.h"

#include "http/util.h"

namespace hf::server {

QJsonObject Fault::toJson() const
{
    QJsonObject o{{"id", id}, {"path", toQ(path)}};
    if (!method.empty())
        o["method"] = toQ(method);
    if (status)
        o["status"] = status;
    if (!body.empty())
        o["body"] = toQ(body);
    if (delayMs)
        o["delayMs"] = delayMs;
    if (drop)
        o["drop"] = true;
    if (malformed)
        o["malformed"] = true;
    if (times >= 0)
        o["times"] = times;
    return o;
}

std::optional<Fault> Faults::fromJson(const QJsonObject& o, std::string& error)
{
    Fault f;
    if (!o.value("path").isString() || o.value("path").toString().isEmpty()) {
        error = "A fault needs a \"path\" pattern.";
        return std::nullopt;
    }
    f.path = toStd(o.value("path").toString());
    f.method = toStd(o.value("method").toString()).substr(0, 16);
    f.status = o.value("status").toInt(0);
    f.body = toStd(o.value("body").toString());
    f.delayMs = o.value("delayMs").toInt(0);
    f.drop = o.value("drop").toBool(false);
    f.malformed = o.value("malformed").toBool(false);
    f.times = o.contains("times") ? o.value("times").toInt(-1) : -1;
    if (f.status != 0 && (f.status < 100 || f.status > 599)) {
        error = "\"status\" must be an HTTP status.";
        return std::nullopt;
    }
    if (f.delayMs < 0 || f.delayMs > 120000) {
        error = "\"delayMs\" must be between 0 and 120000.";
        return std::nullopt;
    }
    if (f.times == 0 || f.times < -1) {
        error = "\"times\" must be positive.";
        return std::nullopt;
    }
    if (!f.status && !f.drop && !f.malformed && !f.delayMs) {
        error = "A fault needs one of \"status\", \"delayMs\", \"drop\" or \"malformed\".";
        return std::nullopt;
    }
    return f;
}

int Faults::add(Fault fault)
{
    std::lock_guard lock(m_mutex);
    fault.id = m_nextId++;
    m_faults.push_back(fault);
    return fault.id;
}

void Faults::clear()
{
    std::lock_guard lock(m_mutex);
    m_faults.clear();
    rejectTokens = false;
}

QJsonArray Faults::list() const
{
    std::lock_guard lock(m_mutex);
    QJsonArray out;
    for (const auto& f : m_faults)
        out.append(f.toJson());
    return out;
}

std::optional<Fault> Faults::take(const std::string& method, const std::string& path)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if ((!it->method.empty() && it->method != method) || !pathMatches(it->path, path))
            continue;
        Fault fired = *it;
        if (it->times > 0 && --it->times == 0)
            m_faults.erase(it);
        return fired;
    }
    return std::nullopt;
}

bool pathMatches(std::string_view pattern, std::string_view path)
{
    if (pattern.empty())
        return path.empty();
    if (pattern.front() == '*') {
        // Try every split within the current segment.
        for (size_t i = 0;; ++i) {
            if (pathMatches(pattern.substr(1), path.substr(i)))
                return true;
            if (i >= path.size() || path[i] == '/')
                return false;
        }
    }
    return !path.empty() && pattern.front() == path.front() && pathMatches(pattern.substr(1), path.substr(1));
}

} // namespace hf::server
