#include "app/content_view.h"

#include "app/app_services.h"
#include "app/dropped_items.h"
#include "app/file_picker.h"
#include "app/hushframe_commands.h"
#include "app/settings_view.h"
#include "app/shell_controls.h"
#include "backend/account_store.h"
#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/export_status.h"
#include "editor/exporter.h"
#include "editor/soundtrack_band.h"
#include "platform/async.h"
#include "platform/texts.h"
#include "sidebar/replace_confirmation.h"
#include "sidebar/video_sidebar.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/screen_fit.h"
#include "ui_kit/text_styles.h"

#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QScrollArea>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

namespace hf {

namespace {

constexpr int toolbarHeight = 52;

QColor dark(ui::ColorName name)
{
    return ui::color(name, ui::Appearance::dark);
}

// The toolbar's background and its rule along the bottom.
class ToolbarBar : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), dark(ui::ColorName::Surface));
        p.fillRect(QRect(0, height() - 1, width(), 1), dark(ui::ColorName::Rule));
    }
};

ui::QuietButton* toolbarButton(const QString& title, ToolbarGlyph glyph, bool showsTitle)
{
    auto* button = new ui::QuietButton(showsTitle ? title : QString());
    button->setIcon(toolbarIcon(glyph));
    button->setFillsWidth(false);
    button->setMinHeight(32);
    button->setToolTip(title);
    button->setAccessibleName(title);
    // One element, so the tooltip repeating the name is not read again as its description.
    ui::presentAsOne(button, QAccessible::Button);
    return button;
}

} // namespace

ContentView::ContentView(AppServices& services, FilePicker* picker, QWidget* parent)
    : QWidget(parent), m_services(services)
{
    // The window itself holds the focus when it opens (Space plays there); Tab leads to the controls.
    setFocusPolicy(Qt::ClickFocus);
    setFocus();
    if (!picker) {
        m_ownPicker = std::make_unique<DialogFilePicker>();
        picker = m_ownPicker.get();
    }
    m_picker = picker;
    m_router = std::make_unique<ImportRouter>(services.coordinator(), services.batch(),
                                              [this] { setSidebarShown(true); });
    m_exporter = new Exporter(&services.defaults(), this);
    m_zoom = new LaneZoom(this);
    m_exporter->setSaveDialog(std::make_unique<FileExportSaveDialog>(this));

    setObjectName(QStringLiteral("main"));
    setAcceptDrops(true);
    // Small enough for a 1024 x 768 screen with a panel and the window's frame, at every text
    // size: at the accessibility sizes the columns scroll and their rows stack.
    setMinimumSize(1000, 680);
    setAutoFillBackground(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* bar = new ToolbarBar;
    bar->setMinimumHeight(toolbarHeight);
    buildToolbar(bar);
    // Toolbar texts grow with the desktop's only as far as the kit's round controls do, so that
    // its controls still share one row at the window's least width.
    ui::setTextSizeCap(bar, ui::TextSize::xxxLarge);
    layout->addWidget(bar);

    m_split = new QSplitter(Qt::Horizontal);
    m_split->setChildrenCollapsible(false);
    m_split->setHandleWidth(1);
    m_split->setStyleSheet(QString());
    m_sidebar = new VideoSidebar(&services.coordinator(), &services.batch(), &services.thumbnails(), &services.defaults());
    m_sidebar->setObjectName(m_sidebar->objectName().isEmpty() ? QStringLiteral("sidebar") : m_sidebar->objectName());
    m_sidebar->setMaximumWidth(340);
    m_detailSlot = new QWidget;
    auto* detailLayout = new QVBoxLayout(m_detailSlot);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    // The inspector is made when the first video opens (see updateInspector).
    m_split->addWidget(m_sidebar);
    m_split->addWidget(m_detailSlot);
    m_split->setStretchFactor(0, 0);
    m_split->setStretchFactor(1, 1);
    m_split->setSizes({270, 1170});
    layout->addWidget(m_split, 1);

    m_dropEdge = new DropEdge(this);
    m_dropEdge->hide();
    m_signInHost = new SheetHost(this);
    m_signInHost->setObjectName(QStringLiteral("signIn.host"));
    m_alertHost = new SheetHost(this);
    m_alertHost->setObjectName(QStringLiteral("alert.host"));
    m_alertHost->setAccessibleRole(QAccessible::AlertMessage);
    new ReplaceConfirmation(&services.coordinator(), this);
    new ExportPreparationCard(m_exporter, this);
    HushframeCommands::install(services, this);

    EngineCoordinator& coordinator = services.coordinator();
    AccountStore& account = services.account();
    AudioPlayerService& player = services.player();
    connect(&coordinator, &EngineCoordinator::sourceChanged, this, [this] {
        updateDetail();
        updateTitle();
        updateToolbar();
        updateInspector();
        sourceLocationMaybeChanged();
    });
    for (auto signal : {&EngineCoordinator::currentResultChanged, &EngineCoordinator::isProcessingChanged,
                        &EngineCoordinator::isPromotingChanged, &EngineCoordinator::progressChanged})
        connect(&coordinator, signal, this, [this] {
            updateToolbar();
            updateTitle();
            // The inspector shows other rows now; its column may need another width.
            if (m_inspector)
                QTimer::singleShot(0, m_inspector, [this] { sizeInspectorColumn(); });
        });
    connect(&coordinator, &EngineCoordinator::errorMessageChanged, this, &ContentView::updateAlert);
    connect(&coordinator, &EngineCoordinator::showExportSheetChanged, this, &ContentView::serveExportRequest);
    connect(&coordinator, &EngineCoordinator::isFileImporterPresentedChanged, this, [this] {
        if (m_services.coordinator().isFileImporterPresented())
            presentFileChooser();
    });
    connect(&account, &AccountStore::isSignInPresentedChanged, this, &ContentView::updateSignInSheet);
    connect(&player, &AudioPlayerService::selectedTrackModeChanged, this, &ContentView::updateListen);
    connect(&player, &AudioPlayerService::isComparingChanged, this, &ContentView::updateListen);
    connect(&player, &AudioPlayerService::isPlayingChanged, this, &ContentView::updateTitle);
    connect(m_exporter, &Exporter::stateChanged, this, &ContentView::updateToolbar);
    connect(m_alertHost, &SheetHost::dismissedByUser, this,
            [this] { m_services.coordinator().setErrorMessage(std::nullopt); });
    connect(m_signInHost, &SheetHost::dismissedByUser, this, &ContentView::closeSignInSheet);

    if (coordinator.source())
        m_sourceLocation = coordinator.source()->url;
    updateDetail();
    updateTitle();
    updateToolbar();
    updateInspector();
    updateListen();
    updateAlert();
    updateSignInSheet();

    // Requests made while the window did not exist are served once it is there.
    QTimer::singleShot(0, this, [this] {
        serveExportRequest();
        if (m_services.coordinator().isFileImporterPresented())
            presentFileChooser();
    });
}

ContentView::~ContentView()
{
    // The exporter closes its dialog and question as it goes: while the window is still whole.
    delete m_exporter;
}

void ContentView::setWindowActions(WindowActions actions)
{
    m_actions = std::move(actions);
    if (m_detailIsEditor) {
        m_detail->deleteLater();
        m_detail = nullptr;
        updateDetail();
    }
}

// ---- toolbar

void ContentView::buildToolbar(QWidget* bar)
{
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(12, 10, 12, 10);
    row->setSpacing(8);

    m_sidebarButton = toolbarButton(text("ui.toolbar.sidebar", "Sidebar"), ToolbarGlyph::sidebarLeft, false);
    m_sidebarButton->setObjectName(QStringLiteral("chrome.sidebar"));
    connect(m_sidebarButton, &QAbstractButton::clicked, this, [this] { setSidebarShown(!isSidebarShown()); });
    m_openButton = toolbarButton(text("ui.menu.openVideo", "Open Video..."), ToolbarGlyph::plus, true);
    m_openButton->setObjectName(QStringLiteral("chrome.openVideo"));
    m_openButton->setToolTip(text("ui.toolbar.openVideo.help", "Open another video"));
    connect(m_openButton, &QAbstractButton::clicked, this, [this] { m_services.coordinator().presentFileImporter(); });

    auto* titles = new QWidget;
    auto* titleColumn = new QVBoxLayout(titles);
    titleColumn->setContentsMargins(8, 0, 8, 0);
    titleColumn->setSpacing(0);
    m_titleLabel = new QLabel;
    m_titleLabel->setObjectName(QStringLiteral("window.title"));
    ui::setTextStyle(m_titleLabel, ui::TextStyle::headline, QFont::DemiBold);
    m_subtitleLabel = new QLabel;
    m_subtitleLabel->setObjectName(QStringLiteral("window.subtitle"));
    ui::setTextStyle(m_subtitleLabel, ui::TextStyle::caption);
    QPalette palette = m_titleLabel->palette();
    palette.setColor(QPalette::WindowText, dark(ui::ColorName::Ink));
    m_titleLabel->setPalette(palette);
    palette.setColor(QPalette::WindowText, dark(ui::ColorName::SecondaryText));
    m_subtitleLabel->setPalette(palette);
    titleColumn->addWidget(m_titleLabel);
    titleColumn->addWidget(m_subtitleLabel);

    m_listen = new SegmentedPicker({text("ui.track.clean", "Clean"), text("ui.track.original", "Original")});
    m_listen->setObjectName(QStringLiteral("toolbar.listen"));
    m_listen->setAccessibleName(text("ui.listen.label", "Listen to"));
    connect(m_listen, &SegmentedPicker::chosen, this, [this](int index) {
        AudioPlayerService& player = m_services.player();
        player.setSelectedTrackMode(index == 0 ? AuditionTrackMode::hushframed : AuditionTrackMode::original);
        player.applyVolumes();
        updateListen();
    });

    m_inspectorButton = toolbarButton(text("ui.toolbar.inspector", "Inspector"), ToolbarGlyph::sidebarRight, false);
    m_inspectorButton->setObjectName(QStringLiteral("chrome.inspector"));
    connect(m_inspectorButton, &QAbstractButton::clicked, this, [this] {
        m_showInspector = !m_showInspector;
        updateInspector();
    });

    m_exportButton = new ToolbarInkButton(text("ui.menu.export", "Export..."));
    m_exportButton->setObjectName(QStringLiteral("result.export"));
    m_exportButton->setAccessibleName(text("ui.result.export", "Export"));
    connect(m_exportButton, &QAbstractButton::clicked, this, [this] {
        EngineCoordinator& coordinator = m_services.coordinator();
        if (!coordinator.showExportSheet())
            coordinator.setShowExportSheet(true);
    });
    m_cleanButton = new ToolbarInkButton(text("ui.primary.cleanFull", "Clean full video"));
    m_cleanButton->setObjectName(QStringLiteral("result.cleanFull"));
    connect(m_cleanButton, &QAbstractButton::clicked, this, [this] { m_services.coordinator().cleanFullVideo(); });

    row->addWidget(m_sidebarButton);
    row->addWidget(m_openButton);
    row->addWidget(titles, 1);
    row->addWidget(m_listen);
    row->addStretch(1);
    row->addWidget(m_inspectorButton);
    row->addWidget(m_exportButton);
    row->addWidget(m_cleanButton);
}

void ContentView::updateToolbar()
{
    const EngineCoordinator& coordinator = m_services.coordinator();
    const bool open = coordinator.source().has_value();
    m_listen->setVisible(coordinator.currentResult().has_value());
    m_inspectorButton->setVisible(open);
    const bool full = coordinator.hasFullResult();
    m_exportButton->setVisible(full);
    m_exportButton->setEnabled(m_exporter->state().kind != Exporter::State::Kind::rendering);
    m_cleanButton->setVisible(open && !full);
    m_cleanButton->setEnabled(!coordinator.isProcessing() && !coordinator.isPromoting());
}

void ContentView::updateListen()
{
    const AudioPlayerService& player = m_services.player();
    const AuditionTrackMode mode = player.isComparing() ? AuditionTrackMode::original : player.selectedTrackMode();
    m_listen->setSelected(mode == AuditionTrackMode::hushframed ? 0 : mode == AuditionTrackMode::original ? 1 : -1);
}

// ---- title

QString ContentView::title() const
{
    const auto& source = m_services.coordinator().source();
    // The product name is shown as it is, never translated.
    return source ? source->displayName : QStringLiteral("Hushframe");
}

QString ContentView::subtitle() const
{
    if (!m_services.coordinator().source())
        return QString();
    return windowSubtitle(m_services);
}

void ContentView::updateTitle()
{
    const QString title = this->title();
    setWindowTitle(title);
    m_titleLabel->setText(title);
    const QString subtitle = this->subtitle();
    m_subtitleLabel->setText(subtitle);
    m_subtitleLabel->setVisible(!subtitle.isEmpty());
}

// ---- columns

void ContentView::updateDetail()
{
    const bool wantsEditor = m_services.coordinator().source().has_value();
    if (m_detail && wantsEditor == m_detailIsEditor)
        return;
    if (m_detail)
        m_detail->deleteLater();
    m_detail = wantsEditor ? makeEditor(m_services, m_actions, *m_zoom) : makeEmptyState(m_services);
    m_detailIsEditor = wantsEditor;
    if (m_detail->objectName().isEmpty())
        m_detail->setObjectName(wantsEditor ? QStringLiteral("editor") : QStringLiteral("emptyState"));
    m_detailSlot->layout()->addWidget(m_detail);
    if (!wantsEditor)
        setEmptyStateDropCount(m_detail, m_dropCount);
}

void ContentView::updateInspector()
{
    const bool shown = isInspectorShown();
    if (shown && !m_inspector) {
        // Made on first use, so the window's first frame does not wait for it.
        m_inspector = makeInspector(m_services, *m_exporter);
        if (m_inspector->objectName().isEmpty())
            m_inspector->setObjectName(QStringLiteral("inspector"));
        const int width = sizeInspectorColumn();
        const QList<int> sizes = m_split->sizes();
        m_split->addWidget(m_inspector);
        m_split->setStretchFactor(2, 0);
        const int detail = sizes.value(1) - width;
        if (detail > 0)
            m_split->setSizes({sizes.value(0), detail, width});
        connect(&ui::Environment::instance(), &ui::Environment::changed, m_inspector, [this] { sizeInspectorColumn(); });
        // Whatever changes the rows' least width (a status, a card) resizes the column, so that
        // the column never scrolls sideways where the window has room for it.
        if (auto* scroll = m_inspector->findChild<QScrollArea*>(); scroll && scroll->widget())
            scroll->widget()->installEventFilter(this);
    }
    if (m_inspector)
        m_inspector->setVisible(shown);
}

bool ContentView::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::LayoutRequest && m_inspector && m_inspector->isAncestorOf(qobject_cast<QWidget*>(watched)))
        QTimer::singleShot(0, m_inspector, [this] { sizeInspectorColumn(); });
    return QWidget::eventFilter(watched, event);
}

// 336 to 380 wide; at the largest text sizes as wide as its widest row needs, when that is more.
int ContentView::sizeInspectorColumn()
{
    const int least = m_inspector->minimumSizeHint().width();
    m_inspector->setMinimumWidth(std::max(336, least));
    m_inspector->setMaximumWidth(std::max(380, least));
    return std::max(336, least);
}

bool ContentView::isInspectorShown() const
{
    return m_showInspector && m_services.coordinator().source().has_value();
}

bool ContentView::isSidebarShown() const
{
    return !m_sidebar->isHidden();
}

void ContentView::setSidebarShown(bool shown)
{
    m_sidebar->setVisible(shown);
}

// ---- alert and sign-in sheet

bool ContentView::isAlertShown() const
{
    return m_alertHost->isPresented();
}

bool ContentView::isSignInSheetShown() const
{
    return m_signInHost->isPresented();
}

void ContentView::updateAlert()
{
    const std::optional<QString>& message = m_services.coordinator().errorMessage();
    if (!message) {
        m_alertHost->dismiss();
        return;
    }
    auto* card = new QWidget;
    card->setObjectName(QStringLiteral("alert"));
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    auto* heading = new QLabel(QStringLiteral("Hushframe"));
    ui::applyHeadingStyle(heading, ui::TextStyle::headline);
    auto* body = new QLabel(*message);
    body->setObjectName(QStringLiteral("alert.message"));
    body->setWordWrap(true);
    body->setFont(ui::font(ui::TextStyle::body));
    QPalette palette = heading->palette();
    palette.setColor(QPalette::WindowText, dark(ui::ColorName::Ink));
    heading->setPalette(palette);
    body->setPalette(palette);
    auto* ok = new ToolbarInkButton(text("ui.common.ok", "OK"));
    ok->setObjectName(QStringLiteral("alert.ok"));
    connect(ok, &QAbstractButton::clicked, this, [this] { m_services.coordinator().setErrorMessage(std::nullopt); });
    column->addWidget(heading);
    column->addWidget(body);
    column->addSpacing(6);
    column->addWidget(ok, 0, Qt::AlignRight);
    m_alertHost->present(card, 420);
    m_alertHost->setAccessibleDescription(*message);
    m_alertHost->setAnswers(ok, nullptr);
    ok->setFocus();
}

void ContentView::updateSignInSheet()
{
    AccountStore& account = m_services.account();
    if (account.isSignInPresented()) {
        if (!m_signInHost->isPresented())
            m_signInHost->present(makeSignInSheetContent(m_services, [this] { closeSignInSheet(); }), 440);
        m_alertHost->raise();
        return;
    }
    if (m_signInHost->isPresented()) {
        // Closed from elsewhere (a completed sign-in): the sheet's close is reported all the same.
        m_signInHost->dismiss();
        if (account.isSignedIn())
            signedInFromSheet();
        account.signInSheetDismissed();
    }
}

void ContentView::signedInFromSheet()
{
    // The keyboard went back to where it was before the sheet opened. The window itself or its
    // menu bar (where the Account menu is now greyed) names nothing a screen reader could read
    // as a control: the keyboard goes on to the window's first control then.
    QWidget* focus = focusWidget();
    if (!focus || focus == this || qobject_cast<QMenuBar*>(focus)) {
        if (QWidget* first = ui::firstStopWithin(this))
            first->setFocus(Qt::OtherFocusReason);
    }
    if (const std::optional<APIUser>& user = m_services.account().user())
        ui::announce(this, text("ui.settings.account.signedInAs", "Signed in as") + QStringLiteral(", ")
                               + signedInAsText(*user));
}

void ContentView::closeSignInSheet()
{
    AccountStore& account = m_services.account();
    if (!m_signInHost->isPresented())
        return;
    m_signInHost->dismiss();
    account.setSignInPresented(false);
    account.signInSheetDismissed();
}

// ---- export and the open video's location

void ContentView::serveExportRequest()
{
    EngineCoordinator& coordinator = m_services.coordinator();
    if (!coordinator.showExportSheet())
        return;
    coordinator.setShowExportSheet(false);
    m_exporter->exportResult(&coordinator, [] {});
}

void ContentView::sourceLocationMaybeChanged()
{
    const auto& source = m_services.coordinator().source();
    const std::optional<QUrl> location = source ? std::optional<QUrl>(source->url) : std::nullopt;
    if (location == m_sourceLocation)
        return;
    m_sourceLocation = location;
    m_exporter->cancel();
}

// ---- opening and dropping

void ContentView::presentFileChooser()
{
    const bool multiple = m_services.coordinator().importTarget() == ImportTarget::queue;
    QPointer<ContentView> self(this);
    m_picker->pick(this, multiple, [self](PickOutcome outcome) {
        if (!self)
            return;
        self->m_services.coordinator().setFileImporterPresented(false);
        self->m_router->importerFinished(outcome);
    });
}

void ContentView::setDropCount(std::optional<int> count)
{
    m_dropCount = count;
    if (count) {
        m_dropEdge->setState(*count, m_services.coordinator().source().has_value());
        m_dropEdge->setGeometry(rect());
        m_dropEdge->show();
        m_dropEdge->raise();
    } else {
        m_dropEdge->hide();
    }
    if (!m_detailIsEditor)
        setEmptyStateDropCount(m_detail, count);
}

void ContentView::dragEnterEvent(QDragEnterEvent* event)
{
    if (!event->mimeData() || !dragHasImportableItems(*event->mimeData())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    setDropCount(dragItemCount(*event->mimeData()));
}

void ContentView::dragMoveEvent(QDragMoveEvent* event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void ContentView::dragLeaveEvent(QDragLeaveEvent* event)
{
    setDropCount(std::nullopt);
    event->accept();
}

void ContentView::dropEvent(QDropEvent* event)
{
    setDropCount(std::nullopt);
    std::vector<DroppedItem> items = event->mimeData() ? droppedItems(*event->mimeData()) : std::vector<DroppedItem>{};
    if (items.empty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();

    // The items are read one after another; the list is routed once the last one is in.
    auto load = [](QPointer<ContentView> self, std::vector<DroppedItem> items, QString caches) -> QCoro::Task<void> {
        QList<QUrl> loaded;
        for (DroppedItem& item : items) {
            if (item.file) {
                loaded << *item.file;
                continue;
            }
            DroppedItem data = std::move(item);
            auto copying = runOffThread({}, [data, caches] { return loadDroppedItem(caches, data); });
            const std::optional<QUrl> copy = co_await std::move(copying);
            if (copy)
                loaded << *copy;
        }
        if (!self)
            co_return;
        self->m_router->filterImportableURLs(loaded);
    };
    spawn(load(this, std::move(items), m_services.cachesFolder()), lcApp(), QStringLiteral("Drop"));
}

// ---- drawing

void ContentView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), dark(ui::ColorName::Paper));
    if (!m_painted) {
        m_painted = true;
        qCDebug(lcApp, "Main window drawn");
        QTimer::singleShot(0, this, &ContentView::firstPainted);
    }
}

void ContentView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_dropEdge->setGeometry(rect());
}

} // namespace hf
