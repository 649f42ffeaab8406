#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace hf::iso8601 {

// Parses an internet date-time: "2026-12-07T08:15:30Z", "2026-12-07T08:15:30.250Z",
// "2026-12-07T10:15:30+0200" (or "+02:00"). Date and time are both required: a bare date such
// as "2026-12-07" is refused, as is anything else outside that form. The result is in UTC.
std::optional<QDateTime> parse(QStringView text);

// The same, throwing hf::DecodingError (data corrupted) whose message is
// "Invalid ISO 8601 date: " followed by the text as received.
QDateTime parseOrThrow(const QString& text);

// Writes the standard form in UTC without fractional seconds: "2026-12-07T08:15:30Z".
QString format(const QDateTime& when);

} // namespace hf::iso8601
