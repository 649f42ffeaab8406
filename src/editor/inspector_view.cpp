#include "editor/inspector_view.h"

#include "coordinator/engine_coordinator.h"
#include "editor/ambience_control.h"
#include "editor/copyright_check_card_view.h"
#include "editor/export_options.h"
#include "editor/export_status.h"
#include "editor/exporter.h"
#include "editor/processing_block.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/sections.h"
#include "ui_kit/text_styles.h"

#include <QBoxLayout>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

#include <cmath>

namespace hf {

namespace {

// The stem's swatch: a filled bar for dialogue and effects, a dashed line for music (removed).
class Swatch : public QWidget {
public:
    Swatch(Stem stem, QWidget* parent) : QWidget(parent), m_stem(stem)
    {
        setFixedSize(22, 10);
        ui::hideFromAccessibility(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor colour = ui::stemColor(m_stem);
        if (m_stem == Stem::music) {
            QPen pen(colour, 2, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
            pen.setDashPattern({3.5 / 2, 3.0 / 2});   // in units of the pen's width
            pen.setMiterLimit(10);
            p.setPen(pen);
            p.drawLine(QPointF(0, height() / 2.0), QPointF(width(), height() / 2.0));
            return;
        }
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawPath(ui::roundedRectPath(QRectF(rect()), 2));
    }

private:
    Stem m_stem;
};

} // namespace

// One line of text that shrinks to 80 % of its size before it is cut short.
class FittingLabel : public QWidget {
public:
    explicit FittingLabel(QWidget* parent) : QWidget(parent)
    {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    }

    void setText(const QString& text)
    {
        m_text = text;
        updateGeometry();
        update();
    }
    const QString& text() const { return m_text; }

    QSize sizeHint() const override
    {
        const QFontMetricsF metrics(baseFont());
        return QSize(int(std::ceil(metrics.horizontalAdvance(m_text))) + 1, int(std::ceil(metrics.height())));
    }
    QSize minimumSizeHint() const override
    {
        const QFontMetricsF metrics(baseFont());
        return QSize(int(std::ceil(metrics.horizontalAdvance(m_text) * 0.8)) + 1, int(std::ceil(metrics.height())));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        QFont f = baseFont();
        const double natural = QFontMetricsF(f).horizontalAdvance(m_text);
        if (natural > width() && natural > 0) {
            const double factor = std::max(0.8, width() / natural);
            f.setPixelSize(std::max(1, int(std::floor(f.pixelSize() * factor))));
        }
        p.setFont(f);
        p.setPen(ui::color(ui::ColorName::Ink));
        const QString shown = QFontMetricsF(f).elidedText(m_text, Qt::ElideRight, width());
        p.drawText(rect(), Qt::AlignRight | Qt::AlignVCenter, shown);
    }

private:
    static QFont baseFont()
    {
        QFont f = ui::font(ui::TextStyle::body, QFont::DemiBold);
        if (f.pixelSize() <= 0)
            f.setPixelSize(int(std::round(QFontMetricsF(f).height() * 0.8)));
        return f;
    }

    QString m_text;
};

LegendRow::LegendRow(Stem stem, QWidget* parent) : QWidget(parent), m_stem(stem)
{
    setObjectName(QStringLiteral("inspector.legend.") + rawValue(stem));
    ui::presentAsOne(this, QAccessible::StaticText);
    m_grid = new QGridLayout(this);
    m_grid->setContentsMargins(0, 0, 0, 0);
    m_grid->setHorizontalSpacing(10);
    m_grid->setVerticalSpacing(2);
    m_swatch = new Swatch(stem, this);
    m_name = new QLabel(ui::stemDisplayName(stem), this);
    m_name->setWordWrap(true);
    ui::setTextStyle(m_name, ui::TextStyle::body);
    ui::setForeground(m_name, ui::ColorName::Ink);
    m_value = new FittingLabel(this);
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, &LegendRow::arrange);
    arrange();
}

void LegendRow::setValue(const QString& value)
{
    m_value->setText(value);
    setAccessibleName(m_name->text());
    ui::setAccessibleValue(this, value);
}

QString LegendRow::value() const
{
    return m_value->text();
}

void LegendRow::arrange()
{
    const bool stacked = ui::Environment::instance().isAccessibilitySize();
    if (m_grid->count() > 0 && stacked == m_stacked)
        return;
    m_stacked = stacked;
    for (QWidget* w : {m_swatch, static_cast<QWidget*>(m_name), static_cast<QWidget*>(m_value)})
        m_grid->removeWidget(w);
    if (stacked) {
        m_grid->addWidget(m_swatch, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
        m_grid->addWidget(m_name, 0, 1);
        m_grid->addWidget(m_value, 1, 1, Qt::AlignLeft);
        m_grid->setColumnStretch(1, 1);
        m_grid->setColumnStretch(2, 0);
    } else {
        m_grid->addWidget(m_swatch, 0, 0, Qt::AlignVCenter);
        m_grid->addWidget(m_name, 0, 1, Qt::AlignVCenter);
        m_grid->addWidget(m_value, 0, 2, Qt::AlignVCenter | Qt::AlignRight);
        m_grid->setColumnStretch(1, 1);
        m_grid->setColumnStretch(2, 0);
    }
}

InspectorView::InspectorView(EngineCoordinator* coordinator, AudioPlayerService* player, Exporter* exporter,
                             SettingsStore* defaults, QWidget* parent)
    : QWidget(parent), m_coordinator(coordinator), m_exporter(exporter)
{
    ui::setBackground(this, ui::ColorName::Surface);
    m_outer = new QVBoxLayout(this);
    m_outer->setContentsMargins(0, 0, 0, 0);
    m_outer->setSpacing(0);

    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("inspector"));
    m_scroll->setFocusPolicy(Qt::NoFocus);   // the controls inside take the focus; the column follows it
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    // At the largest text sizes a row can be wider than the column: it scrolls rather than being cut.
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto* content = new QWidget;
    ui::setBackground(content, ui::ColorName::Surface);
    m_column = new QVBoxLayout(content);
    QVBoxLayout* column = m_column;
    column->setContentsMargins(20, 18, 20, 0);
    column->setSpacing(0);

    auto* soundtrack = new QWidget(content);
    auto* section = new QVBoxLayout(soundtrack);
    section->setContentsMargins(0, 0, 0, 18);
    section->setSpacing(14);
    section->addWidget(new ui::SectionLabel(text("ui.inspector.soundtrack", "Soundtrack"), soundtrack));
    m_ambience = new AmbienceControl(text("ui.result.ambience.label", "Ambience"), soundtrack);
    section->addWidget(m_ambience);
    auto* legend = new QVBoxLayout;
    legend->setSpacing(10);
    for (Stem stem : allStems) {
        m_legend[int(stem)] = new LegendRow(stem, soundtrack);
        legend->addWidget(m_legend[int(stem)]);
    }
    section->addLayout(legend);
    m_card = new CopyrightCheckCardView(coordinator, player, soundtrack);
    section->addWidget(m_card);
    column->addWidget(soundtrack);

    m_exportBlock = new QWidget(content);
    auto* exportColumn = new QVBoxLayout(m_exportBlock);
    exportColumn->setContentsMargins(0, 0, 0, 0);
    exportColumn->setSpacing(0);
    exportColumn->addWidget(new ui::Rule(m_exportBlock));
    m_exportOptions = new ExportOptionsView(coordinator, defaults, m_exportBlock);
    auto* padded = new QVBoxLayout;
    padded->setContentsMargins(0, 18, 0, 18);
    padded->addWidget(m_exportOptions);
    exportColumn->addLayout(padded);
    column->addWidget(m_exportBlock);
    column->addStretch(1);
    m_scroll->setWidget(content);
    m_outer->addWidget(m_scroll, 1);

    m_bottom = new QWidget(this);
    m_bottom->setObjectName(QStringLiteral("inspector.bottom"));
    ui::setBackground(m_bottom, ui::ColorName::Surface);
    auto* bottom = new QVBoxLayout(m_bottom);
    bottom->setContentsMargins(20, 20, 20, 20);
    bottom->setSpacing(10);
    m_status = new ExportStatusView(exporter, coordinator, m_bottom);
    m_processing = new ProcessingBlock(coordinator, m_bottom);
    bottom->addWidget(m_status);
    bottom->addWidget(m_processing);
    placeBottomArea();
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, [this] {
        placeBottomArea();
        refresh();
    });

    connect(m_ambience, &AmbienceControl::changeRequested, coordinator, &EngineCoordinator::setAmbience);
    connect(coordinator, &EngineCoordinator::settingsChanged, this, &InspectorView::refresh);
    connect(coordinator, &EngineCoordinator::isRemixingChanged, this, &InspectorView::refresh);
    connect(coordinator, &EngineCoordinator::remixProgressChanged, this, &InspectorView::refresh);
    connect(coordinator, &EngineCoordinator::currentResultChanged, this, &InspectorView::refresh);
    connect(coordinator, &EngineCoordinator::isProcessingChanged, this, &InspectorView::refresh);
    connect(coordinator, &EngineCoordinator::isPromotingChanged, this, &InspectorView::refresh);
    connect(exporter, &Exporter::stateChanged, this, &InspectorView::refresh);
    refresh();
}

QSize InspectorView::minimumSizeHint() const
{
    const int content = m_scroll->widget()->minimumSizeHint().width();
    const int bottom = m_bottom->isHidden() ? 0 : m_bottom->minimumSizeHint().width();
    return QSize(std::max(content + m_scroll->verticalScrollBar()->sizeHint().width(), bottom), 0);
}

void InspectorView::placeBottomArea()
{
    // At the accessibility text sizes the export status and the processing block can take most
    // of a small screen's column: pinned, they would leave the controls above a strip too short
    // to show any of them whole.
    const bool inColumn = ui::Environment::instance().isAccessibilitySize();
    if ((inColumn ? m_column : m_outer)->indexOf(m_bottom) >= 0)
        return;
    (inColumn ? m_outer : m_column)->removeWidget(m_bottom);
    if (inColumn)
        m_column->insertWidget(0, m_bottom);
    else
        m_outer->addWidget(m_bottom, 0);
    // In the column its sides line up with the column's own margins.
    const int edge = inColumn ? 0 : 20;
    m_bottom->layout()->setContentsMargins(edge, edge, edge, inColumn ? 18 : 20);
}

LegendRow* InspectorView::legendRow(Stem stem) const
{
    return m_legend[int(stem)];
}

void InspectorView::refresh()
{
    const bool hasResult = m_coordinator->currentResult().has_value();
    m_ambience->setValue(m_coordinator->settings().ambience);
    m_ambience->setWorking(m_coordinator->isRemixing());
    m_ambience->setWorkProgress(m_coordinator->remixProgress());
    m_ambience->setEnabled(hasResult);

    // "Separating" only while a clean runs: after a failed or cancelled one nothing is.
    const QString separating = m_coordinator->isProcessing() || m_coordinator->isPromoting()
        ? text("ui.lane.separatingShort", "Separating")
        : text("ui.lane.notSeparated", "Not separated yet");
    m_legend[int(Stem::dialogue)]->setValue(hasResult ? text("ui.lane.kept", "Kept") : separating);
    m_legend[int(Stem::music)]->setValue(hasResult ? text("ui.lane.removed", "Removed") : separating);
    m_legend[int(Stem::effects)]->setValue(hasResult ? text("ui.lane.mixedIn", "Mixed in") : separating);

    m_exportBlock->setVisible(hasResult);
    const bool working = m_coordinator->isProcessing() || m_exporter->state().kind != Exporter::State::Kind::idle;
    const bool appears = working && m_bottom->isHidden();
    m_bottom->setVisible(working);
    // In the column it may lie out of view when it appears: the column scrolls to it.
    if (appears && m_column->indexOf(m_bottom) >= 0)
        m_scroll->verticalScrollBar()->setValue(0);
}

} // namespace hf
