#include "pipeline/formatting.h"

#include "platform/texts.h"

#include <cmath>

namespace hf {

namespace {

double finiteOrZero(double x)
{
    return std::isfinite(x) ? x : 0.0;
}

QString number(double value, const QLocale& locale)
{
    QString s = locale.toString(value, 'f', 1);
    const QString zeroFraction = locale.decimalPoint() + locale.zeroDigit();
    if (s.endsWith(zeroFraction))
        s.chop(zeroFraction.size());
    return s;
}

// Zero-padded to two digits in the locale's digits.
QString twoDigits(qint64 n, const QLocale& locale)
{
    QString s = locale.toString(n);
    if (n < 10)
        s.prepend(locale.zeroDigit());
    return s;
}

} // namespace

QString durationPart(double value, DurationUnit unit, const QLocale& locale)
{
    const QString n = number(finiteOrZero(value), locale);
    switch (unit) {
    case DurationUnit::hours:
        return text("ui.duration.unit.hours", "%@ hr", {n});
    case DurationUnit::minutes:
        return text("ui.duration.unit.minutes", "%@ min", {n});
    case DurationUnit::seconds:
        return text("ui.duration.unit.seconds", "%@ sec", {n});
    }
    return n;
}

QString durationText(double minutes, const QLocale& locale)
{
    // Past a thousand billion minutes the whole-number arithmetic below would overflow.
    const double m = std::clamp(finiteOrZero(minutes), 0.0, 1.0e15);
    if (m >= 60) {
        const qint64 whole = static_cast<qint64>(std::floor(m));
        const qint64 h = whole / 60;
        const qint64 r = whole - 60 * h;
        const QString hours = durationPart(double(h), DurationUnit::hours, locale);
        if (r == 0)
            return hours;
        return text("ui.duration.hoursAndMinutes", "%@ %@",
                    {hours, durationPart(double(r), DurationUnit::minutes, locale)});
    }
    // The small addition absorbs floating error: 123 s passed as 123 / 60 minutes stays 123 s.
    const qint64 s = static_cast<qint64>(std::floor(m * 60 + 0.0001));
    if (s < 60)
        return durationPart(double(s), DurationUnit::seconds, locale);
    const qint64 mm = s / 60;
    const qint64 ss = s - 60 * mm;
    const QString mins = durationPart(double(mm), DurationUnit::minutes, locale);
    if (ss == 0)
        return mins;
    return text("ui.duration.minutesAndSeconds", "%@ %@",
                {mins, durationPart(double(ss), DurationUnit::seconds, locale)});
}

QString percentText(double fraction, const QLocale& locale)
{
    // The epsilon keeps 0.29 (28.999999999999996 after scaling) at 29.
    const double scaled = std::max(finiteOrZero(fraction), 0.0) * 100.0 + 1e-9;
    const double whole = std::trunc(scaled);
    if (!(whole < 9.0e18))
        return locale.toString(whole, 'f', 0) + locale.percent();
    return locale.toString(static_cast<qint64>(whole)) + locale.percent();
}

QString clockText(double seconds, const QLocale& locale)
{
    const double rounded = std::round(std::max(finiteOrZero(seconds), 0.0));
    const qint64 s = rounded < 9.0e18 ? static_cast<qint64>(rounded) : 0;
    const QString sep = QStringLiteral(":");
    if (s < 3600)
        return locale.toString(s / 60) + sep + twoDigits(s % 60, locale);
    return locale.toString(s / 3600) + sep + twoDigits((s / 60) % 60, locale) + sep
        + twoDigits(s % 60, locale);
}

} // namespace hf
