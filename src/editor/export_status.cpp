#include "editor/export_status.h"

#include "coordinator/engine_coordinator.h"
#include "editor/exporter.h"
#include "editor/processing_block.h"
#include "pipeline/formatting.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/busy_indicator.h"
#include "ui_kit/buttons.h"
#include "ui_kit/layouts.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QBoxLayout>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>

#include <cmath>

namespace hf {

namespace {

// A wrapping label of at most three lines.
QLabel* bodyLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    ui::setTextStyle(label, ui::TextStyle::body);
    ui::setForeground(label, ui::ColorName::Ink);
    return label;
}

QLabel* threeLineLabel(QWidget* parent)
{
    QLabel* label = bodyLabel(parent);
    label->setMaximumHeight(QFontMetrics(ui::font(ui::TextStyle::body)).lineSpacing() * 3 + 2);
    return label;
}

} // namespace

ExportStatusView::ExportStatusView(Exporter* exporter, EngineCoordinator* coordinator, QWidget* parent)
    : QWidget(parent), m_exporter(exporter), m_coordinator(coordinator)
{
    setObjectName(QStringLiteral("export.status"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_rendering = new QWidget(this);
    auto* renderingColumn = new QVBoxLayout(m_rendering);
    renderingColumn->setContentsMargins(0, 0, 0, 0);
    renderingColumn->setSpacing(6);
    auto* renderingRow = new QHBoxLayout();
    renderingRow->setContentsMargins(0, 0, 0, 0);
    renderingRow->setSpacing(10);
    renderingColumn->addLayout(renderingRow);
    renderingRow->addWidget(new ui::BusyIndicator(18, m_rendering), 0, Qt::AlignVCenter);
    auto* preparing = new QLabel(text("ui.export.preparing", "Preparing your clean video"), m_rendering);
    preparing->setWordWrap(true);
    ui::setTextStyle(preparing, ui::TextStyle::body);
    ui::setForeground(preparing, ui::ColorName::Ink);
    renderingRow->addWidget(preparing, 1, Qt::AlignVCenter);
    m_percent = new QLabel(m_rendering);
    m_percent->setObjectName(QStringLiteral("export.percent"));
    ui::setTextStyle(m_percent, ui::TextStyle::body);
    ui::setForeground(m_percent, ui::ColorName::Ink);
    renderingRow->addWidget(m_percent, 0, Qt::AlignVCenter);
    m_bar = new ProcessingBar(m_rendering);
    m_bar->setObjectName(QStringLiteral("export.bar"));
    renderingColumn->addWidget(m_bar);
    column->addWidget(m_rendering);

    m_saved = new QWidget(this);
    auto* savedColumn = new QVBoxLayout(m_saved);
    savedColumn->setContentsMargins(0, 0, 0, 0);
    savedColumn->setSpacing(6);
    m_savedText = threeLineLabel(m_saved);
    savedColumn->addWidget(m_savedText);
    // The two buttons wrap onto a second line when the column is too narrow for both.
    auto* buttonRow = new QWidget(m_saved);
    auto* buttons = new ui::FlowLayout(8, 8, buttonRow);
    buttons->setContentsMargins(0, 0, 0, 0);
    m_show = new ui::QuietButton(text("ui.batch.row.showInFinder", "Show in Folder"), buttonRow);
    m_show->setObjectName(QStringLiteral("export.saved"));
    m_show->setMinHeight(30);
    m_show->setFillsWidth(false);
    m_openNext = new ui::QuietButton(text("ui.export.openNext", "Open Next Video..."), buttonRow);
    m_openNext->setObjectName(QStringLiteral("export.openNext"));
    m_openNext->setMinHeight(30);
    m_openNext->setFillsWidth(false);
    buttons->addWidget(m_show);
    buttons->addWidget(m_openNext);
    savedColumn->addWidget(buttonRow);
    column->addWidget(m_saved);

    // A failure says what went wrong and what helps: all of it shows, on as many lines as it takes.
    m_failedText = bodyLabel(this);
    m_failedText->setObjectName(QStringLiteral("export.failure"));
    column->addWidget(m_failedText);
    // Shown under a failure only when the video changed on disk since it was cleaned.
    m_cleanAgainRow = new QWidget(this);
    auto* cleanAgainRow = new QHBoxLayout(m_cleanAgainRow);
    cleanAgainRow->setContentsMargins(0, 6, 0, 0);
    m_cleanAgain = new ui::QuietButton(text("ui.export.cleanAgain", "Clean Again"), m_cleanAgainRow);
    m_cleanAgain->setObjectName(QStringLiteral("export.cleanAgain"));
    m_cleanAgain->setMinHeight(30);
    m_cleanAgain->setFillsWidth(false);
    cleanAgainRow->addWidget(m_cleanAgain, 0, Qt::AlignLeft);
    cleanAgainRow->addStretch(1);
    column->addWidget(m_cleanAgainRow);

    connect(m_show, &QAbstractButton::clicked, exporter, &Exporter::showSaved);
    connect(m_openNext, &QAbstractButton::clicked, this, [this] { m_coordinator->presentFileImporter(); });
    connect(m_cleanAgain, &QAbstractButton::clicked, this, [this] { m_coordinator->cleanChangedSourceAgain(); });
    connect(exporter, &Exporter::stateChanged, this, &ExportStatusView::refresh);
    refresh();
}

QString ExportStatusView::message() const
{
    switch (m_exporter->state().kind) {
    case Exporter::State::Kind::idle: return {};
    case Exporter::State::Kind::rendering: return text("ui.export.preparing", "Preparing your clean video");
    case Exporter::State::Kind::saved:
        return text("ui.export.savedFile", "Saved %@", {QFileInfo(m_exporter->state().savedPath).fileName()});
    case Exporter::State::Kind::failed: return m_exporter->state().message;
    }
    return {};
}

void ExportStatusView::refresh()
{
    using Kind = Exporter::State::Kind;
    const Kind kind = m_exporter->state().kind;
    m_rendering->setVisible(kind == Kind::rendering);
    if (kind == Kind::rendering) {
        m_percent->setText(percentText(m_exporter->state().fraction));
        m_bar->setFraction(m_exporter->state().fraction);
    }
    m_saved->setVisible(kind == Kind::saved);
    m_failedText->setVisible(kind == Kind::failed);
    m_cleanAgainRow->setVisible(kind == Kind::failed && m_exporter->state().offersCleanAgain);
    if (kind == Kind::saved)
        m_savedText->setText(message());
    if (kind == Kind::failed)
        m_failedText->setText(message());
    setVisible(kind != Kind::idle);
}

ExportPreparationCard::ExportPreparationCard(Exporter* exporter, QWidget* window)
    : ui::QuestionCard(window, text("ui.export.preparing", "Preparing your clean video")), m_exporter(exporter)
{
    setObjectName(QStringLiteral("export.preparation"));
    card()->setObjectName(QStringLiteral("export.preparationCard"));
    auto* cancel = new ui::QuietButton(text("ui.common.cancel", "Cancel"));
    cancel->setObjectName(QStringLiteral("export.preparation.cancel"));
    cancel->setMinHeight(34);
    addAnswer(cancel);
    // No default answer: Return, typed ahead of the dialog, stops nothing.
    setAnswers(nullptr, cancel);
    connect(cancel, &QAbstractButton::clicked, exporter, &Exporter::cancel);
    connect(exporter, &Exporter::stateChanged, this, &ExportPreparationCard::follow);
    follow();
}

void ExportPreparationCard::follow()
{
    const Exporter::State& state = m_exporter->state();
    if (state.kind != Exporter::State::Kind::rendering || !state.preparing) {
        hide();
        return;
    }
    setMessage(text("ui.export.preparing.progress", "%@ done. The save dialog opens once the video is ready.",
                    {percentText(state.fraction)}));
    if (isHidden())
        present();
    else
        layOut();
}

} // namespace hf
