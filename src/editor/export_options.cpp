#include "editor/export_options.h"

#include "coordinator/engine_coordinator.h"
#include "editor/option_row.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/marks.h"
#include "ui_kit/palette.h"
#include "ui_kit/sections.h"
#include "ui_kit/text_styles.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QFontMetrics>
#include <QPainter>
#include <QStandardPaths>

#include <cmath>

namespace hf {

namespace ExportPreferences {

QString rawValue(Folder folder)
{
    switch (folder) {
    case Folder::movies: return QStringLiteral("movies");
    case Folder::desktop: return QStringLiteral("desktop");
    case Folder::downloads: return QStringLiteral("downloads");
    }
    return {};
}

std::optional<Folder> folderFromRawValue(const QString& raw)
{
    for (Folder folder : allFolders)
        if (rawValue(folder) == raw)
            return folder;
    return std::nullopt;
}

QString title(Folder folder)
{
    switch (folder) {
    case Folder::movies: return text("ui.export.folder.movies", "Videos");
    case Folder::desktop: return text("ui.export.folder.desktop", "Desktop");
    case Folder::downloads: return text("ui.export.folder.downloads", "Downloads");
    }
    return {};
}

std::optional<QString> directory(Folder folder)
{
    QStandardPaths::StandardLocation location = QStandardPaths::MoviesLocation;
    if (folder == Folder::desktop)
        location = QStandardPaths::DesktopLocation;
    else if (folder == Folder::downloads)
        location = QStandardPaths::DownloadLocation;
    const QString path = QStandardPaths::writableLocation(location);
    // Without a user folder of its own, a desktop answers with the home folder itself: that is
    // not the folder asked for.
    if (path.isEmpty() || !QFileInfo(path).isDir() || QDir(path) == QDir::home())
        return std::nullopt;
    return path;
}

QString storedFolder(const SettingsStore& defaults)
{
    return defaults.string(QString::fromLatin1(folderKey)).value_or(QStringLiteral("movies"));
}

QString folderPath(const SettingsStore& defaults)
{
    const QString stored = defaults.string(QString::fromLatin1(folderKey)).value_or(QString());
    if (const auto folder = folderFromRawValue(stored))
        if (const auto path = directory(*folder))
            return *path;
    if (const auto videos = directory(Folder::movies))
        return *videos;
    return QDir::homePath();
}

bool includeStems(const SettingsStore& defaults)
{
    return defaults.boolean(QString::fromLatin1(includeStemsKey)).value_or(false);
}

bool includeAudio(const SettingsStore& defaults)
{
    return defaults.boolean(QString::fromLatin1(includeAudioKey)).value_or(false);
}

} // namespace ExportPreferences

namespace {

// The folder picker, drawn by the kit like its other controls in either appearance: a rounded
// "ControlFill" box with the chosen folder in "Ink" and the pop-up chevrons at its trailing end.
class FolderPicker final : public QComboBox {
public:
    explicit FolderPicker(QWidget* parent) : QComboBox(parent) {}

    QSize sizeHint() const override
    {
        const QFontMetricsF metrics(font());
        double widest = 0;
        for (int i = 0; i < count(); ++i)
            widest = std::max(widest, metrics.horizontalAdvance(itemText(i)));
        const double height = std::max(28.0, std::ceil(metrics.height()) + 10);
        return QSize(int(std::ceil(padding + widest + gap + chevronWidth() + padding)), int(height));
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

    void showPopup() override
    {
        m_open = true;
        QComboBox::showPopup();
        update();
    }
    void hidePopup() override
    {
        QComboBox::hidePopup();
        m_open = false;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF box = rect();
        const double radius = 7;
        p.fillPath(ui::roundedRectPath(box, radius),
                   ui::color(m_open ? ui::ColorName::ControlSelected : ui::ColorName::ControlFill));
        ui::paintContrastEdge(p, box, radius, ui::color(ui::ColorName::ControlStroke));
        if (hasFocus())
            ui::strokeInside(p, box, radius, 1.5, ui::color(ui::ColorName::Ink));

        const QColor ink = ui::color(isEnabled() ? ui::ColorName::Ink : ui::ColorName::DisabledText);
        const double chevron = chevronWidth();
        const QRectF label(padding, 0, std::max(box.width() - 2 * padding - gap - chevron, 0.0), box.height());
        p.setFont(font());
        p.setPen(ink);
        p.drawText(label, Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetricsF(font()).elidedText(currentText(), Qt::ElideRight, label.width()));

        // Two small chevrons, one up and one down, centred on the trailing end.
        const double cx = box.right() - padding - chevron / 2;
        const double cy = box.center().y();
        const double half = chevron / 2;
        const double rise = chevron * 0.4;
        p.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF{QPointF(cx - half, cy - 2), QPointF(cx, cy - 2 - rise), QPointF(cx + half, cy - 2)});
        p.drawPolyline(QPolygonF{QPointF(cx - half, cy + 2), QPointF(cx, cy + 2 + rise), QPointF(cx + half, cy + 2)});
    }

private:
    static constexpr double padding = 10;
    static constexpr double gap = 8;
    bool m_open = false;
    double chevronWidth() const { return std::round(QFontMetricsF(font()).height() * 0.4); }
};

} // namespace

ExportOptionsView::ExportOptionsView(EngineCoordinator* coordinator, SettingsStore* defaults, QWidget* parent)
    : QWidget(parent), m_coordinator(coordinator), m_defaults(defaults)
{
    setObjectName(QStringLiteral("export.options"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    column->addWidget(new ui::SectionLabel(text("ui.export.title", "Export"), this));

    m_sourceRow = new OptionRow(OptionRow::Kind::radio, text("ui.export.option.source", "Same as source"),
                                text("ui.export.option.source.detail", "Picture copied as is, soundtrack replaced"),
                                this);
    m_sourceRow->setObjectName(QStringLiteral("export.option.source"));
    m_losslessRow = new OptionRow(OptionRow::Kind::radio, text("ui.export.option.lossless", "Lossless PCM .mov"),
                                  text("ui.export.option.lossless.detail", "Uncompressed soundtrack, same picture"),
                                  this);
    m_losslessRow->setObjectName(QStringLiteral("export.option.lossless"));
    m_stemsRow = new OptionRow(OptionRow::Kind::check, text("ui.export.option.stems", "Also save stems as FLAC"),
                               text("ui.export.option.stems.detail", "Dialogue, music, and effects and ambience"),
                               this);
    m_stemsRow->setObjectName(QStringLiteral("export.option.stems"));
    column->addWidget(m_sourceRow);
    column->addWidget(m_losslessRow);
    column->addWidget(m_stemsRow);

    auto* folderLine = new QBoxLayout(QBoxLayout::LeftToRight);
    auto* saveTo = new QLabel(text("ui.export.saveTo", "Save to"), this);
    ui::setTextStyle(saveTo, ui::TextStyle::body);
    ui::setForeground(saveTo, ui::ColorName::Ink);
    m_folderPicker = new FolderPicker(this);
    m_folderPicker->setObjectName(QStringLiteral("export.folder"));
    m_folderPicker->setAccessibleName(saveTo->text());
    ui::presentAsChoice(m_folderPicker);
    ui::setTextStyle(m_folderPicker, ui::TextStyle::body);
    for (ExportPreferences::Folder folder : ExportPreferences::allFolders)
        m_folderPicker->addItem(ExportPreferences::title(folder), ExportPreferences::rawValue(folder));
    m_folderPicker->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    folderLine->addWidget(saveTo);
    folderLine->addStretch(1);
    folderLine->addWidget(m_folderPicker);
    column->addLayout(folderLine);
    // Side by side at ordinary sizes; at the accessibility sizes the picker goes under its label.
    const auto arrangeFolderLine = [folderLine] {
        const bool column = ui::Environment::instance().isAccessibilitySize();
        folderLine->setDirection(column ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
        folderLine->setSpacing(column ? 6 : -1);
    };
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, arrangeFolderLine);
    arrangeFolderLine();

    auto* note = new QLabel(
        text("ui.export.alwaysClean",
             "The export is always the clean mix at this ambience. What you listen to never changes it."),
        this);
    note->setWordWrap(true);
    ui::setTextStyle(note, ui::TextStyle::body);
    ui::setForeground(note, ui::ColorName::Muted);
    column->addWidget(note);

    connect(m_sourceRow, &QAbstractButton::clicked, this, [this] { setQuality(AudioQuality::aac); });
    connect(m_losslessRow, &QAbstractButton::clicked, this, [this] { setQuality(AudioQuality::losslessPCM); });
    connect(m_stemsRow, &QAbstractButton::clicked, this, &ExportOptionsView::toggleStems);
    connect(m_folderPicker, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < int(ExportPreferences::allFolders.size()))
            chooseFolder(ExportPreferences::allFolders[index]);
    });
    connect(coordinator, &EngineCoordinator::settingsChanged, this, &ExportOptionsView::refresh);
    // The rows show what is stored, whoever wrote it (the save dialog writes the stems choice too).
    for (const char* key : {ExportPreferences::includeStemsKey, ExportPreferences::folderKey})
        defaults->observe(QString::fromLatin1(key), this, [this] { refresh(); });
    refresh();
}

void ExportOptionsView::setQuality(AudioQuality quality)
{
    // Stored on every choice, the same one included.
    m_coordinator->modifySettings([quality](SeparationSettings& settings) { settings.audioQuality = quality; });
}

void ExportOptionsView::toggleStems()
{
    m_defaults->setValue(QString::fromLatin1(ExportPreferences::includeStemsKey),
                         !ExportPreferences::includeStems(*m_defaults));
}

void ExportOptionsView::chooseFolder(ExportPreferences::Folder folder)
{
    m_defaults->setValue(QString::fromLatin1(ExportPreferences::folderKey), ExportPreferences::rawValue(folder));
}

void ExportOptionsView::refresh()
{
    const AudioQuality quality = m_coordinator->settings().audioQuality;
    m_sourceRow->setOn(quality == AudioQuality::aac);
    m_losslessRow->setOn(quality == AudioQuality::losslessPCM);
    m_stemsRow->setOn(ExportPreferences::includeStems(*m_defaults));
    const int index = m_folderPicker->findData(ExportPreferences::storedFolder(*m_defaults));
    m_folderPicker->setCurrentIndex(index >= 0 ? index : 0);
}

} // namespace hf
