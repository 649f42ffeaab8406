#pragma once

#include <QHash>
#include <QLocale>
#include <QString>

#include <concepts>
#include <initializer_list>

namespace hf {

// The string tables of user-visible texts. Most texts live in the main table; a few belong
// to the table "Direct".
enum class TextTable { Main, Direct };

// One argument of a localized text: "%@" takes its string form, "%lld"/"%ld"/"%d" an integer,
// "%f" a number.
class TextArg {
public:
    TextArg(const QString& s) : m_value(s) {}
    TextArg(const char* s) : m_value(QString::fromUtf8(s)) {}
    template<std::integral I>
    TextArg(I n) : m_value(QString::number(static_cast<qlonglong>(n))) {}
    template<std::floating_point F>
    TextArg(F x) : m_value(QString::number(static_cast<double>(x), 'f', 6)) {}
    const QString& value() const { return m_value; }

private:
    QString m_value;
};

// Fills the placeholders "%@", "%lld", "%ld", "%d" and "%f" of `format` with `args`, in order;
// "%%" stands for a percent sign. Missing arguments leave their placeholder empty; extra
// arguments are ignored.
QString fillText(const QString& format, std::initializer_list<TextArg> args);

// Looks a text up by its dotted key in the current locale's table; the English default is the
// text as written in the code and is what an untranslated key shows.
QString text(const char* key, const char* english, TextTable table = TextTable::Main);

// The same, with the placeholders filled in order.
QString text(const char* key, const char* english, std::initializer_list<TextArg> args,
             TextTable table = TextTable::Main);

// The translation catalogue behind text(). Empty until translations are installed, so every
// lookup yields its English default.
class TextCatalog {
public:
    static void install(TextTable table, QHash<QString, QString> translations);
    // Loads ":/texts/<language>/Localizable.json" and ":/texts/<language>/Direct.json" when
    // they exist (objects of key to text); clears the catalogue otherwise.
    static void load(const QLocale& locale);
    static void clear();
};

} // namespace hf
