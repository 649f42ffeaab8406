#pragma once

// Injected faults for tests (only with --test-controls): a fault names a method and a path
// pattern ("*" matches within one path segment) and makes matching requests wait, answer a given
// status, lose their connection, or carry a broken body; "times" limits how often it fires.
// A separate switch makes every session token count as invalid.

#include <httplib.h>

#include <QJsonArray>
#include <QJsonObject>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hf::server {

struct Fault {
    int id = 0;
    std::string method;        // "" matches every method
    std::string path;          // pattern
    int status = 0;            // 0: keep the real answer
    std::string body;          // with status: the body to send ("" = an error body for the status)
    int delayMs = 0;
    bool drop = false;         // close the connection without answering
    bool malformed = false;    // the real answer's status with a body that is not JSON
    int times = -1;            // -1: until cleared

    QJsonObject toJson() const;
};

class Faults {
public:
    // Reads a fault from its JSON form; returns an error text for a bad one.
    static std::optional<Fault> fromJson(const QJsonObject& object, std::string& error);

    int add(Fault fault);
    void clear();
    QJsonArray list() const;
    // The first armed fault matching the request, used up by one when it has a count.
    std::optional<Fault> take(const std::string& method, const std::string& path);

    std::atomic<bool> rejectTokens{false};

private:
    mutable std::mutex m_mutex;
    std::vector<Fault> m_faults;
    int m_nextId = 1;
};

bool pathMatches(std::string_view pattern, std::string_view path);

} // namespace hf::server
