#include "app/window_registry.h"

#include <QShortcut>

namespace hf {

void closeWithKeys(QWidget* window)
{
    QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Close);
    if (!keys.contains(QKeySequence(Qt::CTRL | Qt::Key_W)))
        keys << QKeySequence(Qt::CTRL | Qt::Key_W);
    keys.prepend(QKeySequence(Qt::Key_Escape));
    for (const QKeySequence& key : std::as_const(keys)) {
        auto* shortcut = new QShortcut(key, window);
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(false);
        QObject::connect(shortcut, &QShortcut::activated, window, &QWidget::close);
    }
}

WindowRegistry::~WindowRegistry()
{
    for (const QPointer<QWidget>& window : std::as_const(m_windows))
        delete window.data();
}

void WindowRegistry::setFactory(const QString& id, Factory factory)
{
    m_factories.insert(id, std::move(factory));
}

QWidget* WindowRegistry::window(const QString& id) const
{
    return m_windows.value(id).data();
}

QWidget* WindowRegistry::open(const QString& id)
{
    QWidget* existing = window(id);
    if (!existing) {
        const auto factory = m_factories.constFind(id);
        if (factory == m_factories.cend() || !*factory)
            return nullptr;
        existing = (*factory)();
        if (!existing)
            return nullptr;
        existing->setAttribute(Qt::WA_DeleteOnClose);
        if (existing->objectName().isEmpty())
            existing->setObjectName(id);
        m_windows.insert(id, existing);
        existing->show();
    } else {
        if (existing->isMinimized())
            existing->showNormal();
        else
            existing->show();
    }
    existing->raise();
    existing->activateWindow();
    return existing;
}

} // namespace hf
