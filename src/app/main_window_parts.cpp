#include "app/main_window_parts.h"

#include "app/app_services.h"
#include "app/sign_in_view.h"
#include "backend/account_store.h"
#include "coordinator/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/editor_state.h"
#include "editor/empty_state_view.h"
#include "editor/inspector_view.h"
#include "editor/regular_editor_view.h"
#include "editor/soundtrack_band.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QPainter>

namespace hf {

namespace {

QColor dark(ui::ColorName name)
{
    return ui::color(name, ui::Appearance::dark);
}

// PLACEHOLDER of a column: a dark panel with a caption.
class PlaceholderPanel : public QWidget {
public:
    PlaceholderPanel(QString caption, ui::ColorName fill) : m_caption(std::move(caption)), m_fill(fill) {}
    void setCaption(QString caption)
    {
        m_caption = std::move(caption);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), dark(m_fill));
        p.setPen(dark(ui::ColorName::SecondaryText));
        p.setFont(ui::font(ui::TextStyle::callout));
        p.drawText(rect().adjusted(16, 16, -16, -16), Qt::AlignCenter | Qt::TextWordWrap, m_caption);
    }

private:
    QString m_caption;
    ui::ColorName m_fill;
};

} // namespace

// ---- columns

QWidget* makeSidebar(AppServices&)
{
    return new PlaceholderPanel(QString(), ui::ColorName::Surface);
}

QWidget* makeEmptyState(AppServices& services)
{
    return new EmptyStateView(&services.coordinator());
}

void setEmptyStateDropCount(QWidget* emptyState, std::optional<int> dropCount)
{
    if (auto* view = qobject_cast<EmptyStateView*>(emptyState))
        view->setDropCount(dropCount);
}

QWidget* makeEditor(AppServices& services, const WindowActions&, LaneZoom& zoom)
{
    return new RegularEditorView(&zoom, &services.coordinator(), &services.player(), &services.account());
}

QWidget* makeInspector(AppServices& services, Exporter& exporter)
{
    return new InspectorView(&services.coordinator(), &services.player(), &exporter, &services.defaults());
}

QString windowSubtitle(AppServices& services)
{
    return EditorState{&services.coordinator(), &services.player(), &services.account()}.windowSubtitle();
}

// ---- sign-in sheet

QWidget* makeSignInSheetContent(AppServices& services, std::function<void()> close)
{
    auto* sheet = new SignInView(&services.account(), WebSignInService{&services.api()});
    QObject::connect(sheet, &SignInView::dismissRequested, sheet, [close] { close(); });
    return sheet;
}

} // namespace hf
