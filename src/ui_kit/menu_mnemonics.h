#pragma once

// Underlined letters for menus, so that a keyboard user chooses an item by its letter: with the
// menu open, the letter alone; on a menu bar, Alt and the letter.
//
//     hf::ui::giveMenusMnemonics();     // once: every menu of the application, each time it opens
//
// An item keeps a letter its title already marks with "&"; the other items share out the letters
// and digits of their titles, none taken twice in one menu, each item as early a letter of its
// own as the others leave it (an earlier item gives way to a later one that has no other letter).
// A title whose letters are all taken stays without one. A literal "&" in a title is
// written "&&" (withoutMnemonics() does that for texts that are not the program's own, such as
// file names).

#include <QChar>
#include <QSet>
#include <QString>

class QMenu;

namespace hf::ui {

// Gives every QMenu of the application its letters each time it opens (titles change with state).
void giveMenusMnemonics();

// Gives the items of `menu` their letters now.
void assignMnemonics(QMenu* menu);

// `title` with "&" before its first letter or digit not in `taken` (which then holds it); with
// a mark of its own, that letter (taken too). Unchanged when no letter is free.
QString withMnemonic(const QString& title, QSet<QChar>& taken);

// `text` shown as it is in a menu: every "&" doubled.
QString withoutMnemonics(QString text);

} // namespace hf::ui
