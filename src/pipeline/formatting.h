#pragma once

#include <QLocale>
#include <QString>

namespace hf {

enum class DurationUnit { hours, minutes, seconds };

// Every helper counts a number that is not finite as 0.

// One quantity with its abbreviated unit, at most one fraction digit: "15 sec", "2 min", "1 hr".
QString durationPart(double value, DurationUnit unit, const QLocale& locale = QLocale());

// A length in minutes as words: "0 sec", "30 sec", "1 min 15 sec", "1 hr 2 min" (seconds are
// dropped from an hour on).
QString durationText(double minutes, const QLocale& locale = QLocale());

// A fraction (1.0 = 100%) as a whole percentage, truncated, never rounded up: 0.756 gives "75%",
// 0.29 gives "29%"; negative gives "0%"; above 1 is not capped.
QString percentText(double fraction, const QLocale& locale = QLocale());

// A time in seconds, rounded to the whole second: "1:15" below one hour, "1:02:05" from one hour.
QString clockText(double seconds, const QLocale& locale = QLocale());

} // namespace hf
