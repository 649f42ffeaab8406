#include "platform/iso8601.h"

#include "platform/json.h"

#include <QRegularExpression>
#include <QTimeZone>

namespace hf::iso8601 {

std::optional<QDateTime> parse(QStringView text)
{
    static const QRegularExpression pattern(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{1,9}))?(Z|([+-])(\d{2}):?(\d{2}))$)"));
    const auto m = pattern.match(text.toString());
    if (!m.hasMatch())
        return std::nullopt;
    auto number = [&](int group) { return m.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    if (!date.isValid())
        return std::nullopt;
    int milliseconds = 0;
    if (m.hasCaptured(7)) {
        QString fraction = m.captured(7).left(3);
        while (fraction.size() < 3)
            fraction.append(u'0');
        milliseconds = fraction.toInt();
    }
    const QTime time(number(4), number(5), number(6), milliseconds);
    if (!time.isValid())
        return std::nullopt;
    int offsetSeconds = 0;
    if (m.capturedView(8) != u"Z") {
        const int hours = number(10);
        const int minutes = number(11);
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (m.capturedView(9) == u"-" ? -1 : 1);
    }
    QDateTime local(date, time, QTimeZone(offsetSeconds));
    if (!local.isValid())
        return std::nullopt;
    return local.toUTC();
}

QDateTime parseOrThrow(const QString& text)
{
    if (auto parsed = parse(text))
        return *parsed;
    throw DecodingError(DecodingError::Kind::dataCorrupted, QString(),
                        QStringLiteral("Invalid ISO 8601 date: ") + text);
}

QString format(const QDateTime& when)
{
    return when.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

} // namespace hf::iso8601
