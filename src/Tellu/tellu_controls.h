#pragma once

// The painted controls that the kit's two forms share. The kit draws them itself so that the forms
// look the same on every desktop and know nothing of the host's own controls.

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

class QHBoxLayout;
class QLabel;
class QMenu;
class QPainter;
class QStackedLayout;
class QTimer;
class QVBoxLayout;

namespace TelluLook {
QFont headline(const QFont& base);    // semibold, a little larger than body text
QFont subheadline(const QFont& base); // a little smaller than body text
QFont caption(const QFont& base);
QColor secondary(const QWidget* widget);
QColor red();
QColor green();
// The tint when the host gave one, else the accent the widget inherits.
QColor tint(const QWidget* widget, const std::optional<QColor>& tint);
// The gap the forms keep around their content.
inline constexpr int padding = 16;
// The forms' focus ring on a face of `radius` filling `box` (an ellipse when `radius` reaches half
// its shorter side): a line 2 wide in the tint along the face's edge and a line 1.5 wide in the
// base colour inside it, so it shows on a tinted face as on a plain one.
void paintFocusRing(QPainter& painter, const QRectF& box, double radius, const QWidget* widget,
                    const std::optional<QColor>& tint);
} // namespace TelluLook

// A filled, rounded push button in the tint colour with white text.
class TelluProminentButton : public QAbstractButton {
    Q_OBJECT

public:
    TelluProminentButton(const QString& title, std::optional<QColor> tint, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<QColor> m_tint;
};

// A small indeterminate progress spinner; it turns only while shown.
class TelluSpinner : public QWidget {
    Q_OBJECT

public:
    explicit TelluSpinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer* m_timer;
    int m_angle = 0;
};

// A pop-up menu button: shows the chosen entry and offers every entry in a menu. The menu opens
// without blocking (no event loop of its own).
class TelluMenuPicker : public QAbstractButton {
    Q_OBJECT

public:
    explicit TelluMenuPicker(QWidget* parent = nullptr);

    void setEntries(const QStringList& entries);
    const QStringList& entries() const { return m_entries; }
    int currentIndex() const { return m_current; }
    // Shows entry `index` as chosen without telling anyone.
    void setCurrentIndex(int index);
    // As if the user picked entry `index` from the menu.
    void choose(int index);
    QMenu* menu() const { return m_menu; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    void chosen(int index);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void openMenu();
    QStringList m_entries;
    int m_current = 0;
    QMenu* m_menu;
};

// A rounded outline around one text field or editor, which it holds with a small inset. The field
// draws on the frame's background (its own is made transparent) so that the rounded corners show.
// While the field has the keyboard focus, the outline is the focus ring.
class TelluFieldFrame : public QWidget {
    Q_OBJECT

public:
    TelluFieldFrame(QWidget* field, int inset, QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* m_field;
};

// The thank-you view both forms end in: a green check mark, the thank-you line and, when the host
// gave a dismiss action, a Done button.
class TelluSuccessView : public QWidget {
    Q_OBJECT

public:
    TelluSuccessView(std::optional<QColor> tint, std::function<void()> onDismiss, QWidget* parent = nullptr);
};

// The frame both forms share: `view` gets its background, its least width, the padding and a stack
// of two pages, the form (returned in `form`, with `column` laid out in it from the top) and the
// thank-you view. Returns the stack; page 0 is the form, page 1 the thank-you view.
QStackedLayout* makeTelluPages(QWidget* view, std::optional<QColor> tint, std::function<void()> onDismiss,
                               QWidget** form, QVBoxLayout** column);

// A form's error line: caption-sized red text that wraps, hidden until there is an error.
QLabel* makeTelluErrorLabel(const QString& objectName, QWidget* parent);

// A form's bottom row, right-aligned: the spinner (hidden until the form sends) and the send button.
QHBoxLayout* makeTelluSendRow(TelluSpinner* spinner, QAbstractButton* send);

// Hides a widget that only repeats or decorates what a neighbour says from assistive technologies,
// or only draws for it (an editor's viewport): it is never where they find the focus.
void markTelluDecoration(QWidget* widget);

// The check mark of the success view.
class TelluCheckMark : public QWidget {
    Q_OBJECT

public:
    explicit TelluCheckMark(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {52, 52}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};
