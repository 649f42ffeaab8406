#include "ui_kit/menu_mnemonics.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QHash>
#include <QMenu>
#include <QVariant>

#include <mutex>

namespace hf::ui {

namespace {

// The title as the program set it, and the marked title given for it, kept on the action so that
// a later opening tells a title the program changed from one this code marked.
constexpr const char* plainProperty = "hfPlainTitle";
constexpr const char* markedProperty = "hfMarkedTitle";

// The index of the letter `title` marks with a single "&", or -1.
qsizetype markedIndex(const QString& title)
{
    for (qsizetype i = 0; i + 1 < title.size(); ++i) {
        if (title.at(i) != u'&')
            continue;
        if (title.at(i + 1) == u'&') {
            ++i;   // a literal "&"
            continue;
        }
        return i + 1;
    }
    return -1;
}

class MenuOpening : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show)
            if (auto* menu = qobject_cast<QMenu*>(watched))
                assignMnemonics(menu);
        return false;
    }
};

} // namespace

QString withMnemonic(const QString& title, QSet<QChar>& taken)
{
    if (const qsizetype marked = markedIndex(title); marked >= 0) {
        taken.insert(title.at(marked).toLower());
        return title;
    }
    for (qsizetype i = 0; i < title.size(); ++i) {
        const QChar c = title.at(i);
        if (c == u'&') {
            ++i;   // the second half of a literal "&"
            continue;
        }
        if (c.isLetterOrNumber() && !taken.contains(c.toLower())) {
            taken.insert(c.toLower());
            return title.left(i) + u'&' + title.mid(i);
        }
    }
    return title;
}

QString withoutMnemonics(QString text)
{
    return text.replace(u'&', QStringLiteral("&&"));
}

namespace {

// The letters and digits of `title` a mark may go before, each once, in the order they come.
QList<QChar> candidates(const QString& title)
{
    QList<QChar> letters;
    for (qsizetype i = 0; i < title.size(); ++i) {
        const QChar c = title.at(i);
        if (c == u'&') {
            ++i;
            continue;
        }
        if (c.isLetterOrNumber() && !letters.contains(c.toLower()))
            letters << c.toLower();
    }
    return letters;
}

// `title` with "&" before the first occurrence of `letter` (outside a literal "&&").
QString markedAt(const QString& title, QChar letter)
{
    for (qsizetype i = 0; i < title.size(); ++i) {
        if (title.at(i) == u'&') {
            ++i;
            continue;
        }
        if (title.at(i).toLower() == letter)
            return title.left(i) + u'&' + title.mid(i);
    }
    return title;
}

// Item `item` takes the first of its candidate letters that is free; failing that, one whose
// holder can move to another of its own (so that as many items as possible get a letter).
bool take(qsizetype item, const QList<QList<QChar>>& wanted, QHash<QChar, qsizetype>& holder, QSet<QChar>& tried)
{
    for (const QChar letter : wanted.at(item))
        if (!holder.contains(letter)) {
            holder.insert(letter, item);
            return true;
        }
    for (const QChar letter : wanted.at(item)) {
        if (tried.contains(letter))
            continue;
        tried.insert(letter);
        const auto held = holder.constFind(letter);
        if (held == holder.cend() || (*held >= 0 && take(*held, wanted, holder, tried))) {
            holder.insert(letter, item);
            return true;
        }
    }
    return false;
}

} // namespace

void assignMnemonics(QMenu* menu)
{
    const QList<QAction*> actions = menu->actions();
    // The program's own titles: a title this code marked earlier counts as its plain form again.
    QList<QString> plain;
    for (QAction* action : actions) {
        const QString text = action->text();
        const bool ours = action->property(markedProperty).toString() == text && !text.isEmpty();
        plain << (ours ? action->property(plainProperty).toString() : text);
    }
    // Letters marked by the titles themselves are theirs (held by no movable item); the other
    // items share out the rest, in menu order.
    QHash<QChar, qsizetype> holder;
    QList<QList<QChar>> wanted(actions.size());
    for (qsizetype i = 0; i < actions.size(); ++i) {
        if (const qsizetype marked = markedIndex(plain.at(i)); marked >= 0)
            holder.insert(plain.at(i).at(marked).toLower(), -1);
        else if (!actions.at(i)->isSeparator())
            wanted[i] = candidates(plain.at(i));
    }
    for (qsizetype i = 0; i < actions.size(); ++i) {
        QSet<QChar> tried;
        if (!wanted.at(i).isEmpty())
            take(i, wanted, holder, tried);
    }
    QHash<qsizetype, QChar> letterOf;
    for (auto it = holder.cbegin(); it != holder.cend(); ++it)
        if (it.value() >= 0)
            letterOf.insert(it.value(), it.key());
    for (qsizetype i = 0; i < actions.size(); ++i) {
        if (wanted.at(i).isEmpty())
            continue;
        QAction* action = actions.at(i);
        const QString marked = letterOf.contains(i) ? markedAt(plain.at(i), letterOf.value(i)) : plain.at(i);
        action->setProperty(plainProperty, plain.at(i));
        action->setProperty(markedProperty, marked);
        if (action->text() != marked)
            action->setText(marked);
    }
}

void giveMenusMnemonics()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (qApp)
            qApp->installEventFilter(new MenuOpening(qApp));
    });
}

} // namespace hf::ui
