#pragma once

// A segmented picker: a rounded track with one segment per option and a pill behind the
// selected one. Segments stand in a row, or in a column at the accessibility text sizes; the
// pill slides to a new choice unless the desktop asks for reduced motion.
//
//     auto* choice = new hf::ui::SegmentedChoice(hf::text("ui.quality", "Quality"),
//         {{QVariant::fromValue(AudioQuality::aac), "AAC"}, {QVariant::fromValue(AudioQuality::wav), "WAV"}},
//         QStringLiteral("export.quality"));           // segments are named "export.quality.AAC", ...
//     choice->setSelection(QVariant::fromValue(current));
//     connect(choice, &hf::ui::SegmentedChoice::selectionChanged, ...);
//
// Titles are shown as given (pass localized text) and must differ within one control.

#include <QAbstractButton>
#include <QList>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>

class QBoxLayout;
class QVariantAnimation;

namespace hf::ui {

class SegmentedChoice : public QWidget {
    Q_OBJECT
public:
    struct Option {
        QVariant value;
        QString title;
    };

    SegmentedChoice(const QString& label, const QList<Option>& options, const QString& identifierPrefix = {},
                    QWidget* parent = nullptr);
    ~SegmentedChoice() override;

    QString label() const { return accessibleName(); }
    const QList<Option>& options() const { return m_options; }
    QVariant selection() const { return m_selection; }
    // Selects the option with this value (none when no option has it); no signal.
    void setSelection(const QVariant& value);

    // The segments, in the order of the options.
    QList<QAbstractButton*> segments() const;
    // Where the pill is drawn now (empty when nothing is selected).
    QRectF pillRect() const;
    bool isColumn() const;
    bool isAnimating() const;

    static constexpr int trackInset = 3;
    static constexpr int segmentGap = 2;
    static constexpr double trackRadius = 13;
    static constexpr double pillRadius = 10;

signals:
    // Every activation of a segment, also of the one already selected.
    void activated(const QVariant& value);
    // The selection changed through a segment.
    void selectionChanged(const QVariant& value);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    class Segment;
    void choose(int index);
    // Checks the segment at `index` and slides the pill there from `from` (no slide when empty).
    void moveSelection(int index, const QRectF& from);
    void arrange();
    int selectedIndex() const;
    QRectF segmentRect(int index) const;

    QList<Option> m_options;
    QList<Segment*> m_segments;
    QBoxLayout* m_layout;
    QVariant m_selection;
    QVariantAnimation* m_animation;
    QRectF m_pillStart;
    double m_progress = 1.0;
};

} // namespace hf::ui
