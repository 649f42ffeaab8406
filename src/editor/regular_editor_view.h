#pragma once

// The editor screen of the open video: the picture on top, a rule, the transport bar, another
// rule, and the soundtrack band with the stem lanes. At the accessibility text sizes the screen
// becomes one scrolling column (a picture 40 % of the height, the transport bar with its text
// capped at accessibility2, the stacked lanes).
//
// Needs: the coordinator, the audition player and the account state by pointer (not owned; they
// must outlive the view), and the LaneZoom that holds the lanes' zoom index. The main window
// keeps the LaneZoom so the zoom survives a change of layout or of screen; with none the view
// keeps its own.
//
// The one action the screen wires is the comparison: a press on the picture, the picture's
// accessibility action and the compare key (in either layout, once a result exists) all call
// AudioPlayerService::setComparing().

#include <QPointer>
#include <QWidget>

namespace hf {

class AccountStore;
class AudioPlayerService;
class CompareKeyMonitor;
class EngineCoordinator;
class LaneZoom;
class PictureView;
class SoundtrackBand;
class TransportBar;

class RegularEditorView : public QWidget {
    Q_OBJECT

public:
    RegularEditorView(LaneZoom* zoom, EngineCoordinator* coordinator, AudioPlayerService* player,
                      AccountStore* account, QWidget* parent = nullptr);
    ~RegularEditorView() override;

    bool usesAccessibilityLayout() const { return m_accessibilityLayout; }

    // The pieces, for the screen's tests.
    PictureView* picture() const { return m_picture; }
    TransportBar* transport() const { return m_transport; }
    SoundtrackBand* band() const { return m_band; }
    CompareKeyMonitor* compareKey() const { return m_compareKey; }
    LaneZoom* zoom() const { return m_zoom; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void chooseLayout();
    void buildRegular();
    void buildAccessibility();
    void refreshPicture();
    void refreshComparing();
    void sizeAccessibilityPicture();

    QPointer<EngineCoordinator> m_coordinator;
    QPointer<AudioPlayerService> m_player;
    QPointer<AccountStore> m_account;
    QPointer<LaneZoom> m_zoom;

    PictureView* m_picture = nullptr;
    TransportBar* m_transport = nullptr;
    SoundtrackBand* m_band = nullptr;
    CompareKeyMonitor* m_compareKey = nullptr;
    QWidget* m_content = nullptr;   // the current layout's root, rebuilt on a switch
    bool m_accessibilityLayout = false;
    bool m_built = false;
};

} // namespace hf
