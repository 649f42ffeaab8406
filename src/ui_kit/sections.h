#pragma once

// Section captions, framed sections and rules.
//
//     auto* section = new hf::ui::FrameSection(hf::text("ui.settings.audio", "Audio"));
//     section->addRow(qualityRow);            // each row sits on the "Surface" panel,
//     section->addRow(songCheckRow);          // rows are parted by rules
//     layout->addWidget(section);
//     layout->addWidget(new hf::ui::Rule);   // a 1 px "Rule" line spanning the width
//     layout->addWidget(new hf::ui::SectionLabel(alreadyLocalizedText));
//
// SectionLabel shows its text verbatim (callout, semibold, "Muted") and is announced as a heading.
// FrameSection shows its title in the case it is written, never capitalised; without a title
// there is no header. Rule is hidden from assistive technologies.

#include <QLabel>
#include <QWidget>

class QVBoxLayout;

namespace hf::ui {

class SectionLabel : public QLabel {
    Q_OBJECT
public:
    explicit SectionLabel(const QString& text = {}, QWidget* parent = nullptr);
};

class Rule : public QWidget {
    Q_OBJECT
public:
    explicit Rule(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {1, 1}; }
    QSize minimumSizeHint() const override { return {0, 1}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

class FrameSection : public QWidget {
    Q_OBJECT
public:
    explicit FrameSection(const QString& title = {}, QWidget* parent = nullptr);

    QString title() const;
    void setTitle(const QString& title);
    // The header label, or nullptr without a title.
    SectionLabel* header() const;

    // Adds a row on the section's panel; the section takes ownership.
    void addRow(QWidget* row);
    int rowCount() const;
    QWidget* row(int index) const;
    // The panel the rows sit on (its background is "Surface").
    QWidget* panel() const;

    // Inner padding of each row.
    static constexpr int rowHorizontalPadding = 12;
    static constexpr int rowVerticalPadding = 8;
    static constexpr double panelRadius = 8;

private:
    class Panel;
    SectionLabel* m_header = nullptr;
    Panel* m_panel;
    QVBoxLayout* m_rows;
    QList<QWidget*> m_rowWidgets;
};

} // namespace hf::ui
