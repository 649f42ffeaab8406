#include "editor/copyright_check_card_view.h"

#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/export_status.h"
#include "platform/texts.h"
#include "ui_kit/busy_indicator.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/layouts.h"
#include "ui_kit/palette.h"
#include "ui_kit/sections.h"
#include "ui_kit/text_styles.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QBoxLayout>
#include <QFontMetricsF>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace hf {

namespace {

QLabel* wrappingLabel(const QString& content, ui::TextStyle style, ui::ColorName colour, QWidget* parent,
                      QFont::Weight weight = QFont::Normal)
{
    auto* label = new QLabel(content, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    ui::setTextStyle(label, style, weight);
    ui::setForeground(label, colour);
    return label;
}

QLabel* disclaimer(QWidget* parent)
{
    return wrappingLabel(text("ui.copyright.disclaimer", "Platforms use their own matching, so this isn't a guarantee."),
                         ui::TextStyle::callout, ui::ColorName::Muted, parent);
}

// The verdict's icon: a check in a circle, or a warning triangle; hidden from assistive
// technologies.
class VerdictIcon : public QWidget {
public:
    VerdictIcon(bool warning, QWidget* parent) : QWidget(parent), m_warning(warning)
    {
        const int side = int(std::ceil(QFontMetricsF(ui::font(ui::TextStyle::callout)).ascent()));
        setFixedSize(side, side);
        ui::hideFromAccessibility(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
        const double line = std::max(1.3, r.width() / 10);
        p.setPen(QPen(ui::color(ui::ColorName::Ink), line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        if (m_warning) {
            QPainterPath triangle;
            triangle.moveTo(r.center().x(), r.top());
            triangle.lineTo(r.right(), r.bottom());
            triangle.lineTo(r.left(), r.bottom());
            triangle.closeSubpath();
            p.drawPath(triangle);
            const double x = r.center().x();
            p.drawLine(QPointF(x, r.top() + r.height() * 0.38), QPointF(x, r.top() + r.height() * 0.66));
            p.drawPoint(QPointF(x, r.top() + r.height() * 0.82));
        } else {
            p.drawEllipse(r);
            QPainterPath tick;
            tick.moveTo(r.left() + r.width() * 0.28, r.top() + r.height() * 0.52);
            tick.lineTo(r.left() + r.width() * 0.44, r.top() + r.height() * 0.68);
            tick.lineTo(r.left() + r.width() * 0.72, r.top() + r.height() * 0.34);
            p.drawPath(tick);
        }
    }

private:
    bool m_warning;
};

// A range chip: the range's clock texts in a capsule; a click moves the audition to its start.
class RangeChip : public QAbstractButton {
public:
    RangeChip(const ClaimCheckRange& range, QWidget* parent) : QAbstractButton(parent)
    {
        setText(CopyrightCheckCard::rangeLabel(range.start, range.end));
        setAccessibleName(CopyrightCheckCard::rangeAccessibilityLabel(range.start, range.end));
        setFont(ui::font(ui::TextStyle::callout, QFont::Medium));
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        // Reached with Tab like the kit's buttons; a click leaves the focus where it was.
        setFocusPolicy(Qt::TabFocus);
    }

    QSize sizeHint() const override
    {
        const QFontMetricsF metrics(font());
        return QSize(int(std::ceil(metrics.horizontalAdvance(text()) + 20)),
                     int(std::ceil(std::max(24.0, metrics.height() + 8))));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        const double radius = r.height() / 2;
        p.setPen(Qt::NoPen);
        p.setBrush(ui::color(isDown() ? ui::ColorName::ControlSelected : ui::ColorName::ControlFill));
        p.drawRoundedRect(r, radius, radius);
        ui::paintContrastEdge(p, r, radius, ui::color(ui::ColorName::ControlStroke));
        p.setPen(ui::color(ui::ColorName::Ink));
        p.setFont(font());
        p.drawText(rect(), Qt::AlignCenter, text());
        if (hasFocus())
            ui::paintFocusRing(p, QRectF(rect()), height() / 2.0);
    }
};

} // namespace

CopyrightCheckCardView::CopyrightCheckCardView(EngineCoordinator* coordinator, AudioPlayerService* player,
                                               QWidget* parent)
    : QWidget(parent), m_coordinator(coordinator), m_player(player)
{
    m_frame = new QVBoxLayout(this);
    m_frame->setContentsMargins(14, 14, 14, 14);
    m_frame->setSpacing(0);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    connect(coordinator, &EngineCoordinator::copyrightCheckCardChanged, this, &CopyrightCheckCardView::refresh);
    connect(coordinator, &EngineCoordinator::currentResultChanged, this, &CopyrightCheckCardView::refresh);
    connect(coordinator, &EngineCoordinator::settingsChanged, this, &CopyrightCheckCardView::refresh);
    connect(coordinator, &EngineCoordinator::isRequestingSongCheckChanged, this, &CopyrightCheckCardView::refresh);
    refresh();
}

void CopyrightCheckCardView::refresh()
{
    // Whether an available check has expired is decided on every look, as time passes.
    CopyrightCheckCard card = m_coordinator->copyrightCheckCard();
    if (m_built && card == m_card)
        return;
    const bool wasChecking = m_built && m_card.kind == CopyrightCheckCard::Kind::checking;
    m_card = std::move(card);
    m_built = true;
    rebuild();
    if (m_card.kind == CopyrightCheckCard::Kind::checking && !wasChecking) {
        ++m_announcements;
        // Raised on the checking row, which carries the text.
        auto* checking = findChild<QWidget*>(QStringLiteral("copyrightCheck.checking"));
        QAccessibleEvent event(checking ? checking : static_cast<QWidget*>(this), QAccessible::Alert);
        QAccessible::updateAccessibility(&event);
    }
}

void CopyrightCheckCardView::rebuild()
{
    using Kind = CopyrightCheckCard::Kind;
    if (m_content) {
        m_content->hide();
        m_content->deleteLater();
        m_content = nullptr;
    }
    if (m_card.kind == Kind::hidden) {
        setObjectName(QString());
        setVisible(false);
        return;
    }
    setObjectName(QStringLiteral("copyrightCheck"));

    m_content = new QWidget(this);
    auto* column = new QVBoxLayout(m_content);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(new ui::SectionLabel(text("ui.copyright.card.title", "Copyright check"), m_content));

    switch (m_card.kind) {
    case Kind::checking: {
        column->setSpacing(8);
        auto* row = new QWidget(m_content);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(10);
        auto* spinner = new ui::BusyIndicator(16, row);
        ui::hideFromAccessibility(spinner);
        line->addWidget(spinner, 0, Qt::AlignVCenter);
        const QString checking = text("ui.copyright.checking", "Checking for songs\u2026");
        line->addWidget(wrappingLabel(checking, ui::TextStyle::body, ui::ColorName::Muted, row), 1);
        row->setObjectName(QStringLiteral("copyrightCheck.checking"));
        ui::presentAsOne(row, QAccessible::StaticText);
        row->setAccessibleName(checking);
        column->addWidget(row);
        break;
    }
    case Kind::songs:
        column->setSpacing(12);
        for (const CopyrightCheckCard::Song& song : m_card.songList)
            column->addWidget(songRow(song, m_content));
        column->addWidget(disclaimer(m_content));
        break;
    case Kind::noSongs:
        column->setSpacing(6);
        column->addWidget(wrappingLabel(text("ui.copyright.none", "No known songs found in the original."),
                                        ui::TextStyle::body, ui::ColorName::Ink, m_content));
        column->addWidget(disclaimer(m_content));
        break;
    case Kind::failed:
        column->setSpacing(6);
        column->addWidget(wrappingLabel(text("ui.copyright.failed", "The song check couldn't finish for this video."),
                                        ui::TextStyle::body, ui::ColorName::Ink, m_content));
        column->addWidget(disclaimer(m_content));
        break;
    case Kind::unavailable:
        column->setSpacing(6);
        column->addWidget(wrappingLabel(text("ui.copyright.unavailable",
                                             "Songs can't be checked on this server, so this video wasn't checked."),
                                        ui::TextStyle::body, ui::ColorName::Ink, m_content));
        break;
    case Kind::available: {
        column->setSpacing(8);
        auto* check = new ui::QuietButton(text("ui.copyright.action.check", "Check for songs"), m_content);
        check->setObjectName(QStringLiteral("copyrightCheck.check"));
        check->setMinHeight(44);
        check->setFillsWidth(false);
        connect(check, &QAbstractButton::clicked, this, [this] { m_coordinator->requestSongCheck(); });
        column->addWidget(check, 0, Qt::AlignLeft);
        column->addWidget(disclaimer(m_content));
        break;
    }
    case Kind::expired:
        column->setSpacing(4);
        column->addWidget(wrappingLabel(text("ui.copyright.expired", "Expired"), ui::TextStyle::body,
                                        ui::ColorName::Ink, m_content, QFont::DemiBold));
        column->addWidget(wrappingLabel(
            text("ui.copyright.expired.detail", "Checks are available for 24 hours after cleaning."),
            ui::TextStyle::callout, ui::ColorName::Muted, m_content));
        break;
    case Kind::hidden: break;
    }
    m_frame->addWidget(m_content);
    m_content->show();
    setVisible(true);
    updateGeometry();
}

QWidget* CopyrightCheckCardView::songRow(const CopyrightCheckCard::Song& song, QWidget* parent)
{
    using Verdict = CopyrightCheckCard::Verdict;
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("copyrightCheck.song.%1").arg(song.id));
    auto* column = new QVBoxLayout(row);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);

    auto* heading = new QWidget(row);
    auto* headingColumn = new QVBoxLayout(heading);
    headingColumn->setContentsMargins(0, 0, 0, 0);
    headingColumn->setSpacing(2);
    headingColumn->addWidget(wrappingLabel(song.title, ui::TextStyle::body, ui::ColorName::Ink, heading, QFont::DemiBold));
    if (song.artist)
        headingColumn->addWidget(wrappingLabel(*song.artist, ui::TextStyle::callout, ui::ColorName::Muted, heading));
    const bool warning = song.verdict == Verdict::ambienceZero || song.verdict == Verdict::stillThere;
    auto* verdictLine = new QHBoxLayout;
    verdictLine->setContentsMargins(0, 2, 0, 0);
    verdictLine->setSpacing(6);
    verdictLine->addWidget(new VerdictIcon(warning, heading), 0, Qt::AlignTop);
    const QString verdict = CopyrightCheckCard::label(song.verdict);
    verdictLine->addWidget(wrappingLabel(verdict, ui::TextStyle::callout, ui::ColorName::Ink, heading,
                                         warning ? QFont::DemiBold : QFont::Normal),
                           1);
    headingColumn->addLayout(verdictLine);
    QStringList spoken{song.title};
    if (song.artist)
        spoken << *song.artist;
    spoken << verdict;
    ui::presentAsOne(heading, QAccessible::StaticText);
    heading->setAccessibleName(spoken.join(QStringLiteral(", ")));
    column->addWidget(heading);

    if (!song.ranges.empty()) {
        auto* chips = new QWidget(row);
        auto* flow = new ui::FlowLayout(6, 6, chips);
        flow->setContentsMargins(0, 0, 0, 0);
        for (const ClaimCheckRange& range : song.ranges) {
            auto* chip = new RangeChip(range, chips);
            const double start = range.start;
            connect(chip, &QAbstractButton::clicked, this, [this, start] { m_player->seek(start); });
            flow->addWidget(chip);
        }
        column->addWidget(chips);
    }

    if (song.verdict == Verdict::ambienceZero) {
        auto* zero = new ui::QuietButton(text("ui.copyright.action.ambienceZero", "Set Ambience to 0"), row);
        zero->setObjectName(QStringLiteral("copyrightCheck.ambienceZero"));
        zero->setMinHeight(44);
        zero->setFillsWidth(false);
        connect(zero, &QAbstractButton::clicked, this, [this] { m_coordinator->setAmbience(0); });
        column->addWidget(zero, 0, Qt::AlignLeft);
    }
    return row;
}

void CopyrightCheckCardView::paintEvent(QPaintEvent*)
{
    if (m_card.kind == CopyrightCheckCard::Kind::hidden)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(ui::color(ui::ColorName::Rule), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(ui::roundedRectPath(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12));
}

} // namespace hf
