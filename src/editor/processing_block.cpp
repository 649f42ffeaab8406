#include "editor/processing_block.h"

#include "coordinator/engine_coordinator.h"
#include "pipeline/formatting.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/card_overlay.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QBoxLayout>
#include <QEasingCurve>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QVariantAnimation>

#include <algorithm>

namespace hf {

ProcessingBar::ProcessingBar(QWidget* parent) : QWidget(parent), m_animation(new QVariantAnimation(this))
{
    setFixedHeight(6);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    ui::presentAsProgress(this);
    m_animation->setDuration(300);
    m_animation->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_drawn = value.toDouble();
        update();
    });
}

void ProcessingBar::setFraction(double fraction)
{
    const double target = std::clamp(fraction, 0.03, 1.0);
    ui::setAccessibleProgress(this, fraction);
    m_animation->stop();
    // Only progress eases: a bar that starts over (a new clean after another, a separation begun
    // again) is drawn at its new fraction at once, never swept back from the old one.
    if (ui::Environment::instance().reduceMotion() || !isVisible() || target < m_drawn) {
        m_drawn = target;
        update();
        return;
    }
    m_animation->setStartValue(m_drawn);
    m_animation->setEndValue(target);
    m_animation->start();
}

void ProcessingBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QRectF r = rect();
    p.setBrush(ui::color(ui::ColorName::ControlSelected));
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    p.setBrush(ui::color(ui::ColorName::Ink));
    const QRectF filled(r.left(), r.top(), std::max(r.width() * m_drawn, r.height()), r.height());
    p.drawRoundedRect(filled, r.height() / 2, r.height() / 2);
}

ProcessingBlock::ProcessingBlock(EngineCoordinator* coordinator, QWidget* parent)
    : QWidget(parent), m_coordinator(coordinator)
{
    setObjectName(QStringLiteral("processing"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    m_titleRow = new QBoxLayout(QBoxLayout::LeftToRight);
    QBoxLayout* titleRow = m_titleRow;
    titleRow->setSpacing(8);
    m_title = new QLabel(this);
    m_title->setWordWrap(true);
    ui::setTextStyle(m_title, ui::TextStyle::body, QFont::DemiBold);
    ui::setForeground(m_title, ui::ColorName::Ink);
    m_percent = new QLabel(this);
    ui::setTextStyle(m_percent, ui::TextStyle::body, QFont::DemiBold);
    ui::setForeground(m_percent, ui::ColorName::Ink);
    m_percent->setAlignment(Qt::AlignRight | Qt::AlignTop);
    // The bar says both to assistive technologies: the title as its name, the percent as its value.
    ui::hideFromAccessibility(m_title);
    ui::hideFromAccessibility(m_percent);
    titleRow->addWidget(m_title, 1, Qt::AlignTop);
    titleRow->addWidget(m_percent, 0, Qt::AlignTop);
    column->addLayout(titleRow);

    m_bar = new ProcessingBar(this);
    column->addWidget(m_bar);

    m_statusRow = new QBoxLayout(QBoxLayout::LeftToRight);
    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    m_status->setObjectName(QStringLiteral("processing.status"));
    ui::setTextStyle(m_status, ui::TextStyle::body);
    ui::setForeground(m_status, ui::ColorName::Ink);
    m_cancel = new ui::QuietButton(text("ui.common.cancel", "Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("processing.cancel"));
    m_cancel->setMinHeight(44);
    m_cancel->setFillsWidth(false);
    m_statusRow->addWidget(m_status, 1);
    m_statusRow->addWidget(m_cancel, 0);
    column->addLayout(m_statusRow);

    m_escape = new QShortcut(QKeySequence::Cancel, this);
    m_escape->setContext(Qt::WindowShortcut);
    connect(m_escape, &QShortcut::activated, this, &ProcessingBlock::escapePressed);
    connect(m_cancel, &QAbstractButton::clicked, this, [this] { m_coordinator->cancelProcessing(); });

    connect(coordinator, &EngineCoordinator::isProcessingChanged, this, &ProcessingBlock::refresh);
    connect(coordinator, &EngineCoordinator::processingKindChanged, this, &ProcessingBlock::refresh);
    connect(coordinator, &EngineCoordinator::progressChanged, this, &ProcessingBlock::refresh);
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, &ProcessingBlock::applyLayout);
    applyLayout();
    refresh();
}

void ProcessingBlock::escapePressed()
{
    // The window's shortcut sees Escape before the card does; a card on top answers it first, and
    // the clean is cancelled only when nothing covers the window.
    if (ui::CardOverlay* card = ui::CardOverlay::topmost(window())) {
        // Handed on as the key itself, with this shortcut out of the way while it travels.
        m_escape->setEnabled(false);
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(card, &escape);
        m_escape->setEnabled(true);
        return;
    }
    m_cancel->click();
}

QString ProcessingBlock::title() const
{
    if (m_coordinator->processingKind() == JobKind::full)
        return text("ui.processing.title.full", "Cleaning the full video");
    return text("ui.processing.title.preview", "Making your 30-second preview");
}

void ProcessingBlock::applyLayout()
{
    // At accessibility text sizes the percent sits below the title, and the status line above
    // Cancel: beside each other they would leave the title a word a line.
    const bool stacked = ui::Environment::instance().isAccessibilitySize();
    m_titleRow->setDirection(stacked ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
    m_titleRow->setSpacing(stacked ? 2 : 8);
    m_percent->setAlignment((stacked ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignTop);
    m_titleRow->setAlignment(m_percent, stacked ? Qt::AlignLeft | Qt::AlignTop : Qt::AlignTop);
    if (stacked) {
        m_statusRow->setDirection(QBoxLayout::TopToBottom);
        m_statusRow->setSpacing(10);
        m_statusRow->setAlignment(m_cancel, Qt::AlignLeft);
    } else {
        m_statusRow->setDirection(QBoxLayout::LeftToRight);
        m_statusRow->setSpacing(12);
        m_statusRow->setAlignment(m_cancel, Qt::AlignVCenter);
    }
}

void ProcessingBlock::refresh()
{
    const bool processing = m_coordinator->isProcessing();
    const ProcessingProgress& progress = m_coordinator->progress();
    m_title->setText(title());
    m_percent->setText(percentText(progress.fractionCompleted));
    ui::setAccessibleName(m_bar, title());
    m_status->setText(progress.currentStatusMessage);
    setVisible(processing);
    m_bar->setFraction(progress.fractionCompleted);
}

} // namespace hf
