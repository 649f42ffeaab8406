#include "editor/regular_editor_view.h"

#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/compare_key.h"
#include "editor/editor_state.h"
#include "editor/picture_view.h"
#include "editor/soundtrack_band.h"
#include "editor/transport_bar.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/sections.h"

#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <cmath>

namespace hf {

namespace {

// The column the editor scrolls in at the largest text sizes: never sideways, so it asks for the
// width its content needs beside the scroll bar, and the window gives it that.
class EditorColumn final : public QScrollArea {
public:
    using QScrollArea::QScrollArea;
    QSize minimumSizeHint() const override
    {
        const int content = widget() ? widget()->minimumSizeHint().width() : 0;
        return {content + verticalScrollBar()->sizeHint().width(), QScrollArea::minimumSizeHint().height()};
    }
};

} // namespace

RegularEditorView::RegularEditorView(LaneZoom* zoom, EngineCoordinator* coordinator, AudioPlayerService* player,
                                     AccountStore* account, QWidget* parent)
    : QWidget(parent), m_coordinator(coordinator), m_player(player), m_account(account), m_zoom(zoom)
{
    if (!m_zoom)
        m_zoom = new LaneZoom(this);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    m_picture = new PictureView(this);
    m_transport = new TransportBar(m_zoom, coordinator, player, this);
    m_band = new SoundtrackBand(LaneLayout::regular, m_zoom, true, coordinator, player, account, this);
    m_compareKey = new CompareKeyMonitor(this);

    connect(m_picture, &PictureView::compareRequested, this, [this](bool comparing) {
        if (m_player)
            m_player->setComparing(comparing);
    });
    connect(m_compareKey, &CompareKeyMonitor::changed, this, [this](bool comparing) {
        if (m_player)
            m_player->setComparing(comparing);
    });

    if (coordinator) {
        connect(coordinator, &EngineCoordinator::currentResultChanged, this, &RegularEditorView::refreshComparing);
        connect(coordinator, &EngineCoordinator::thumbnailChanged, this, &RegularEditorView::refreshPicture);
    }
    if (player) {
        connect(player, &AudioPlayerService::hasPictureChanged, this, &RegularEditorView::refreshPicture);
        connect(player, &AudioPlayerService::currentFrameChanged, this, &RegularEditorView::refreshPicture);
        connect(player, &AudioPlayerService::isComparingChanged, this, &RegularEditorView::refreshComparing);
        connect(player, &AudioPlayerService::selectedTrackModeChanged, this, &RegularEditorView::refreshComparing);
    }
    connect(&ui::Environment::instance(), &ui::Environment::textSizeChanged, this, &RegularEditorView::chooseLayout);

    chooseLayout();
    refreshPicture();
    refreshComparing();
}

RegularEditorView::~RegularEditorView() = default;

void RegularEditorView::chooseLayout()
{
    const bool accessibility = ui::Environment::instance().isAccessibilitySize();
    if (m_built && accessibility == m_accessibilityLayout)
        return;
    m_accessibilityLayout = accessibility;
    m_built = true;

    // The pieces move into the new layout; the old layout's frame goes.
    for (QWidget* piece : std::initializer_list<QWidget*>{m_picture, m_transport, m_band})
        piece->setParent(this);
    if (m_content) {
        layout()->removeWidget(m_content);
        delete m_content;
        m_content = nullptr;
    }
    if (accessibility)
        buildAccessibility();
    else
        buildRegular();
    for (QWidget* piece : std::initializer_list<QWidget*>{m_picture, m_transport, m_band})
        piece->show();
    refreshComparing();
}

void RegularEditorView::buildRegular()
{
    m_content = new QWidget(this);
    auto* column = new QVBoxLayout(m_content);
    column->setContentsMargins(0, 0, 0, 20);
    column->setSpacing(0);

    // A short window shrinks the picture before the band.
    m_picture->setMinimumHeight(0);
    m_picture->setMaximumHeight(QWIDGETSIZE_MAX);
    m_picture->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    column->addWidget(m_picture, 1);
    column->addWidget(new ui::Rule(m_content));
    m_transport->setTextSizeCap(std::nullopt);
    column->addWidget(m_transport);
    column->addWidget(new ui::Rule(m_content));
    m_band->setLaneLayout(LaneLayout::regular);
    m_band->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    column->addWidget(m_band);
    static_cast<QVBoxLayout*>(layout())->addWidget(m_content);
}

void RegularEditorView::buildAccessibility()
{
    auto* scroll = new EditorColumn(this);
    scroll->setFocusPolicy(Qt::NoFocus);   // the controls inside take the focus; the area follows it
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setAutoFillBackground(false);
    scroll->viewport()->setAutoFillBackground(false);
    m_content = scroll;

    auto* inner = new QWidget;
    inner->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(inner);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_picture->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    column->addWidget(m_picture);
    m_transport->setTextSizeCap(ui::TextSize::accessibility2);
    column->addWidget(m_transport);

    auto* bandBox = new QWidget(inner);
    auto* bandLayout = new QVBoxLayout(bandBox);
    bandLayout->setContentsMargins(20, 0, 20, 20);
    m_band->setLaneLayout(LaneLayout::stacked);
    m_band->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    bandLayout->addWidget(m_band);
    column->addWidget(bandBox);
    column->addStretch(1);

    scroll->setWidget(inner);
    static_cast<QVBoxLayout*>(layout())->addWidget(scroll);
    sizeAccessibilityPicture();
}

// In the scrolling layout the picture is 40 % of the screen's height.
void RegularEditorView::sizeAccessibilityPicture()
{
    if (m_accessibilityLayout)
        m_picture->setFixedHeight(int(std::round(0.4 * height())));
}

void RegularEditorView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    sizeAccessibilityPicture();
}

void RegularEditorView::refreshPicture()
{
    if (m_player)
        m_picture->setPlayerFrame(m_player->hasPicture(), m_player->currentFrame());
    if (m_coordinator)
        m_picture->setStill(m_coordinator->thumbnail());
}

void RegularEditorView::refreshComparing()
{
    const EditorState state{m_coordinator, m_player, m_account};
    const bool hasResult = m_coordinator && state.hasResult();
    m_picture->setCanCompare(hasResult);
    std::optional<QString> shortHearing;
    if (m_accessibilityLayout && m_player)
        shortHearing = label(m_player->isComparing() ? AuditionTrackMode::original : m_player->selectedTrackMode());
    m_picture->setHearing(m_player && m_coordinator ? state.hearing() : QString(), shortHearing);
    m_picture->setComparing(m_player && m_player->isComparing());
    m_picture->setShowsHearingLabel(true);
    m_compareKey->setEnabled(hasResult);
}

void RegularEditorView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), ui::color(ui::ColorName::Paper));
}

} // namespace hf
