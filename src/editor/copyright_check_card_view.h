#pragma once

// The song check card of the inspector: the songs the check found in the original soundtrack,
// where each was found (chips that move the audition there), whether each is still detectable
// after cleaning, the "Check for songs" request and, for songs only the ambience keeps, "Set
// Ambience to 0". It draws the coordinator's copyrightCheckCard and keeps no state of its own;
// hidden, it takes no space. Needs the coordinator and the audition player (neither owned).

#include "coordinator/copyright_check_card.h"

#include <QWidget>

class QVBoxLayout;

namespace hf {

class AudioPlayerService;
class EngineCoordinator;

class CopyrightCheckCardView : public QWidget {
    Q_OBJECT

public:
    CopyrightCheckCardView(EngineCoordinator* coordinator, AudioPlayerService* player, QWidget* parent = nullptr);

    // The card drawn now.
    const CopyrightCheckCard& card() const { return m_card; }
    // Times the checking announcement was made (each time the checking row came on screen).
    int checkingAnnouncements() const { return m_announcements; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    void rebuild();
    QWidget* songRow(const CopyrightCheckCard::Song& song, QWidget* parent);

    EngineCoordinator* m_coordinator;
    AudioPlayerService* m_player;
    CopyrightCheckCard m_card;
    bool m_built = false;
    QWidget* m_content = nullptr;
    QVBoxLayout* m_frame;
    int m_announcements = 0;
};

} // namespace hf
