#pragma once

// The main window: the sidebar, the detail column (the empty import screen or the editor) and
// the inspector side by side; the toolbar with the Listen picker, Open Video..., the inspector
// switch and the primary action; the title and subtitle; the error alert; the sign-in sheet;
// the export the coordinator asks for; the file chooser; and drops of videos anywhere on it.
// Always drawn dark. Main thread only.

#include "app/import_routing.h"
#include "app/main_window_parts.h"

#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <optional>

class QLabel;
class QSplitter;

namespace hf {

class AppServices;
class DropEdge;
class Exporter;
class LaneZoom;
class FilePicker;
class SegmentedPicker;
class SheetHost;
class ToolbarInkButton;

namespace ui {
class QuietButton;
}

class ContentView : public QWidget {
    Q_OBJECT

public:
    // `picker` is the file chooser (not owned; the desktop's when null).
    ContentView(AppServices& services, FilePicker* picker = nullptr, QWidget* parent = nullptr);
    ~ContentView() override;

    // What the editor's menus call to open the settings and help windows.
    void setWindowActions(WindowActions actions);

    ImportRouter& router() { return *m_router; }
    Exporter& exporter() const { return *m_exporter; }

    // The state of the window, for its tests.
    std::optional<int> dropCount() const { return m_dropCount; }
    QString title() const;
    QString subtitle() const;
    bool isSidebarShown() const;
    void setSidebarShown(bool shown);
    bool isInspectorShown() const;
    bool showInspector() const { return m_showInspector; }
    bool isAlertShown() const;
    bool isSignInSheetShown() const;
    QWidget* detail() const { return m_detail; }

Q_SIGNALS:
    // The window was drawn for the first time.
    void firstPainted();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildToolbar(QWidget* bar);
    void updateDetail();
    void updateTitle();
    void updateToolbar();
    void updateInspector();
    int sizeInspectorColumn();
    void updateListen();
    void updateAlert();
    void updateSignInSheet();
    void closeSignInSheet();
    // Where the keyboard goes and what is told once a sign-in on the sheet has closed it.
    void signedInFromSheet();
    void serveExportRequest();
    void sourceLocationMaybeChanged();
    void presentFileChooser();
    void setDropCount(std::optional<int> count);

    AppServices& m_services;
    std::unique_ptr<FilePicker> m_ownPicker;
    FilePicker* m_picker;
    std::unique_ptr<ImportRouter> m_router;
    Exporter* m_exporter;
    LaneZoom* m_zoom;
    WindowActions m_actions;

    QSplitter* m_split = nullptr;
    QWidget* m_sidebar = nullptr;
    QWidget* m_detailSlot = nullptr;
    QWidget* m_detail = nullptr;
    bool m_detailIsEditor = false;
    QWidget* m_inspector = nullptr;

    QLabel* m_titleLabel = nullptr;
    QLabel* m_subtitleLabel = nullptr;
    SegmentedPicker* m_listen = nullptr;
    ui::QuietButton* m_sidebarButton = nullptr;
    ui::QuietButton* m_openButton = nullptr;
    ui::QuietButton* m_inspectorButton = nullptr;
    ToolbarInkButton* m_exportButton = nullptr;
    ToolbarInkButton* m_cleanButton = nullptr;

    DropEdge* m_dropEdge = nullptr;
    SheetHost* m_signInHost = nullptr;
    SheetHost* m_alertHost = nullptr;

    std::optional<int> m_dropCount;
    bool m_showInspector = true;
    std::optional<QUrl> m_sourceLocation;
    bool m_painted = false;
};

} // namespace hf
