#pragma once

// A selectable row: a radio or check mark, a title and a one-line explanation; a click anywhere
// on the row emits clicked(). The row never changes its own mark: its owner decides the on state
// with setOn(). Used by the export options and the settings window.
//
//     auto* row = new OptionRow(OptionRow::Kind::radio, title, detail, parent);
//     connect(row, &QAbstractButton::clicked, owner, [..] { ...; row->setOn(...); });

#include <QAbstractButton>

class QLabel;

namespace hf {

class OptionRow : public QAbstractButton {
public:
    enum class Kind { radio, check };

    OptionRow(Kind kind, const QString& title, const QString& detail, QWidget* parent);

    void setOn(bool on);
    QLabel* titleLabel() const { return m_title; }

protected:
    void paintEvent(QPaintEvent*) override;
    void changeEvent(QEvent* event) override;
    // A click toggles nothing by itself: the owner decides the on state.
    void nextCheckState() override {}

private:
    // The mark's centre sits level with the middle of the title's first line.
    void sizeMark();
    int markSize() const;
    void applyColours();

    Kind m_kind;
    QWidget* m_mark;
    QLabel* m_title;
    QLabel* m_detail;
    int m_markTop = 0;
};

} // namespace hf
