#pragma once

// The application's windows by identifier ("main", "settings", "help", "feedback"). Each
// identifier has one factory; open() raises the window when it exists and otherwise makes it with
// its factory and shows it, so there is never more than one window of an identifier. A window
// closed by the user is destroyed and made anew by the next open(). Main thread only.

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

namespace hf {

// Escape and the desktop's Close keys (Ctrl+W) close `window`, as its title bar's close button
// does. A card or sheet shown in the window takes Escape first (see ui::CardOverlay); a key held
// down closes one thing only.
void closeWithKeys(QWidget* window);

class WindowRegistry : public QObject {
    Q_OBJECT

public:
    using Factory = std::function<QWidget*()>;

    explicit WindowRegistry(QObject* parent = nullptr) : QObject(parent) {}
    ~WindowRegistry() override;

    void setFactory(const QString& id, Factory factory);

    // Shows and raises the window of `id`, making it first when there is none; null for an
    // identifier without a factory.
    QWidget* open(const QString& id);
    // The window of `id` while it exists.
    QWidget* window(const QString& id) const;

private:
    QHash<QString, Factory> m_factories;
    QHash<QString, QPointer<QWidget>> m_windows;
};

} // namespace hf
