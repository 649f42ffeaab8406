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

namespace hf {

// ---- columns

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
