#include "editor/empty_state_view.h"

#include "coordinator/engine_coordinator.h"
#include "editor/lanes_view.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace hf {

// ---- Grain

const QImage& grainImage()
{
    static const QImage image = [] {
        QImage grain(128, 128, QImage::Format_RGBA8888_Premultiplied);
        quint32 s = 0x9E3779B9u;
        for (int y = 0; y < grain.height(); ++y) {
            uchar* row = grain.scanLine(y);
            for (int x = 0; x < grain.width(); ++x) {
                s ^= s << 13;
                s ^= s >> 17;
                s ^= s << 5;
                const quint32 t = s >> 24;
                const uchar v = t > 150 ? uchar((((s >> 23) & 0x1FEu) - 44u) & 0xFFu) : uchar(0);
                std::fill(row + 4 * x, row + 4 * x + 4, v);
            }
        }
        return grain;
    }();
    return image;
}

void paintGrain(QPainter& painter, const QRectF& rect)
{
    static const QPixmap tile = [] {
        QPixmap pixmap = QPixmap::fromImage(grainImage());
        pixmap.setDevicePixelRatio(2.0);
        return pixmap;
    }();
    painter.save();
    painter.setOpacity(0.035);
    painter.setCompositionMode(QPainter::CompositionMode_Plus);
    painter.drawTiledPixmap(rect, tile);
    painter.restore();
}

namespace {

constexpr double grainBandHeight = 280;

} // namespace

class GrainOverlay : public QWidget {
public:
    explicit GrainOverlay(QWidget* parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        ui::hideFromAccessibility(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        paintGrain(painter, rect());
    }
};

namespace {

// A small indeterminate progress indicator: an arc turning while shown.
class Spinner : public QWidget {
public:
    explicit Spinner(QWidget* parent) : QWidget(parent)
    {
        setFixedSize(16, 16);
        m_timer.setInterval(50);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_angle = (m_angle + 30) % 360;
            update();
        });
        ui::hideFromAccessibility(this);
    }

protected:
    void showEvent(QShowEvent*) override { m_timer.start(); }
    void hideEvent(QHideEvent*) override { m_timer.stop(); }
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);
        painter.setPen(QPen(ui::color(ui::ColorName::Rule), 2));
        painter.drawEllipse(box);
        painter.setPen(QPen(ui::color(ui::ColorName::Ink), 2, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(box, -m_angle * 16, 100 * 16);
    }

private:
    QTimer m_timer;
    int m_angle = 0;
};

// The view paints the paper and the grain; the layers above it let them show through.
QWidget* transparent(QWidget* widget)
{
    widget->setAutoFillBackground(false);
    return widget;
}

} // namespace

EmptyStateView::EmptyStateView(EngineCoordinator* coordinator, QWidget* parent)
    : QWidget(parent), m_coordinator(coordinator)
{

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    m_scroll = new QScrollArea(this);
    m_scroll->setFocusPolicy(Qt::NoFocus);   // the controls inside take the focus; the area follows it
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    transparent(m_scroll);
    transparent(m_scroll->viewport());
    outer->addWidget(m_scroll);

    m_column = transparent(new QWidget);
    m_columnLayout = new QVBoxLayout(m_column);
    m_columnLayout->setContentsMargins(0, 0, 0, 0);
    m_columnLayout->setSpacing(0);

    m_topSpacer = new QSpacerItem(0, 40, QSizePolicy::Minimum, QSizePolicy::Fixed);
    m_columnLayout->addSpacerItem(m_topSpacer);

    // The text block, at most 640 wide, 48 in from either side.
    auto* textRow = new QHBoxLayout;
    textRow->setContentsMargins(48, 0, 48, 0);
    auto* block = new QWidget(m_column);
    block->setMaximumWidth(640);
    auto* blockLayout = new QVBoxLayout(block);
    blockLayout->setContentsMargins(0, 0, 0, 0);
    blockLayout->setSpacing(16);

    m_headline = new QLabel(block);
    m_headline->setObjectName(QStringLiteral("import.headline"));
    ui::presentAsHeading(m_headline);
    m_headline->setWordWrap(true);
    ui::applyDisplayStyle(m_headline, 44);
    ui::setForeground(m_headline, ui::ColorName::Ink);
    blockLayout->addWidget(m_headline);

    m_detail = new QLabel(block);
    m_detail->setWordWrap(true);
    m_detail->setMaximumWidth(560);
    ui::setTextStyle(m_detail, ui::TextStyle::title3);
    ui::setForeground(m_detail, ui::ColorName::Muted);
    // In a row of its own: a column asks a wrapping label its height at the column's width,
    // not at its own narrower one, and would give it too few lines.
    auto* detailRow = new QHBoxLayout;
    detailRow->setContentsMargins(0, 0, 0, 0);
    detailRow->addWidget(m_detail, 1);
    detailRow->addStretch(0);
    blockLayout->addLayout(detailRow);

    m_chooseRow = new QWidget(block);
    auto* chooseLayout = new QHBoxLayout(m_chooseRow);
    chooseLayout->setContentsMargins(0, 8, 0, 0);
    chooseLayout->setSpacing(16);
    m_choose = new ui::InkButton(QString(), m_chooseRow);
    m_choose->setObjectName(QStringLiteral("import.choose"));
    m_choose->setMinHeight(44);
    m_choose->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_dragSeveral = new QLabel(m_chooseRow);
    ui::setTextStyle(m_dragSeveral, ui::TextStyle::body);
    ui::setForeground(m_dragSeveral, ui::ColorName::Muted);
    chooseLayout->addWidget(m_choose);
    chooseLayout->addWidget(m_dragSeveral);
    chooseLayout->addStretch(1);
    blockLayout->addWidget(m_chooseRow);

    m_openingRow = new QWidget(block);
    auto* openingLayout = new QHBoxLayout(m_openingRow);
    openingLayout->setContentsMargins(0, 8, 0, 0);
    openingLayout->setSpacing(10);
    m_openingRow->setMinimumHeight(44 + 8);
    openingLayout->addWidget(new Spinner(m_openingRow));
    m_opening = new QLabel(m_openingRow);
    ui::setTextStyle(m_opening, ui::TextStyle::body);
    ui::setForeground(m_opening, ui::ColorName::Ink);
    openingLayout->addWidget(m_opening);
    openingLayout->addStretch(1);
    blockLayout->addWidget(m_openingRow);

    textRow->addWidget(block, 1);
    textRow->addStretch(0);
    m_columnLayout->addLayout(textRow);

    // The second spacer takes whatever height is left.
    m_columnLayout->addSpacerItem(new QSpacerItem(0, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));

    // The idle lanes: the separated rows with their names, nothing drawn in them, no playhead.
    m_lanesBox = transparent(new QWidget(m_column));
    auto* lanesLayout = new QVBoxLayout(m_lanesBox);
    lanesLayout->setSpacing(0);
    m_lanes = new LanesView(LaneLayout::regular, m_lanesBox);
    m_lanes->setTimeline(LaneTimeline{.visibleStart = 0, .visibleEnd = 30, .separatedEnd = 0, .videoDuration = 30,
                                      .playable = 0});
    m_lanes->setEnvelopes(nullptr, nullptr);
    m_lanes->setMode(AuditionTrackMode::hushframed);
    m_lanes->setAmbience(0);
    m_lanes->setSplitProgress(1);
    m_lanes->setSplitCrossfades(false);
    m_lanes->setPlayhead(std::nullopt);
    m_lanes->setWorkingStatus(std::nullopt);
    m_lanes->setResting(true);
    m_lanes->setAllowsSolo(true);
    m_lanes->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui::hideFromAccessibility(m_lanes);
    lanesLayout->addWidget(m_lanes);
    m_columnLayout->addWidget(m_lanesBox);

    m_scroll->setWidget(m_column);
    m_column->setAutoFillBackground(false);   // setWidget() turned it on

    // The grain lies over everything along the bottom; it only adds a little light, so it reads
    // the same as a grain under the idle lanes.
    m_grain = new GrainOverlay(this);

    connect(m_choose, &QAbstractButton::clicked, this, [this] {
        if (m_coordinator)
            m_coordinator->presentFileImporter();
    });
    if (coordinator)
        connect(coordinator, &EngineCoordinator::isImportingChanged, this, &EmptyStateView::refreshImporting);
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, &EmptyStateView::refreshLayout);

    refreshTexts();
    refreshImporting();
    refreshLayout();
}

void EmptyStateView::setDropCount(std::optional<int> count)
{
    if (m_dropCount == count)
        return;
    m_dropCount = count;
    refreshTexts();
}

QString releaseToAddText(qint64 count)
{
    return pluralText("ui.import.release", "Release to add %lld video", "Release to add %lld videos", count, {count});
}

void EmptyStateView::refreshTexts()
{
    m_headline->setText(m_dropCount ? releaseToAddText(*m_dropCount)
                                    : text("ui.import.headline.drop", "Drop a video anywhere here."));
    m_detail->setText(text("ui.import.detail", "Only the soundtrack is uploaded. The picture is never re-encoded, "
                                               "and the first 30 seconds are a preview."));
    // The label sits 6 px further in on either side than the kit's own inset.
    m_choose->setText(text("ui.import.chooseVideo", "Choose Video..."));
    m_choose->setMinimumWidth(0);
    m_choose->setFixedWidth(m_choose->sizeHint().width() + 12);
    m_dragSeveral->setText(text("ui.import.dragSeveral", "or drag several for a batch"));
    m_opening->setText(text("ui.import.opening", "Opening video"));
}

void EmptyStateView::refreshImporting()
{
    const bool importing = m_coordinator && m_coordinator->isImporting();
    m_chooseRow->setVisible(!importing);
    m_openingRow->setVisible(importing);
}

void EmptyStateView::refreshLayout()
{
    const bool accessibility = ui::Environment::instance().isAccessibilitySize();
    refreshTexts();
    m_lanes->setLaneLayout(accessibility ? LaneLayout::stacked : LaneLayout::regular);
    // Side by side at ordinary sizes; at the accessibility sizes the caption goes under the
    // button and wraps, as a row of them would not fit the column.
    auto* chooseLayout = static_cast<QBoxLayout*>(m_chooseRow->layout());
    chooseLayout->setDirection(accessibility ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
    chooseLayout->setSpacing(accessibility ? 10 : 16);
    m_dragSeveral->setWordWrap(accessibility);
    const int inset = 24 + (accessibility ? 20 : 0);
    m_lanesBox->layout()->setContentsMargins(inset, 0, inset, 24);
    placeSpacers();
}

// The column fills at least the visible height; the first spacer takes up to a fifth of it and
// the second the rest, so the lanes end 24 px above the bottom edge.
void EmptyStateView::placeSpacers()
{
    const int height = this->height();
    m_topSpacer->changeSize(0, 40, QSizePolicy::Minimum, QSizePolicy::Fixed);
    m_columnLayout->invalidate();
    const int natural = m_column->layout()->minimumSize().height();
    const double free = std::max(0, height - natural);
    const double top = std::max(40.0, std::min(0.2 * height, 40 + free / 2));
    m_topSpacer->changeSize(0, int(std::round(top)), QSizePolicy::Minimum, QSizePolicy::Fixed);
    m_columnLayout->invalidate();
}

void EmptyStateView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeSpacers();
    const int band = std::min(int(grainBandHeight), height());
    m_grain->setGeometry(0, height() - band, width(), band);
    m_grain->raise();
}

void EmptyStateView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), ui::color(ui::ColorName::Paper));
}

} // namespace hf

