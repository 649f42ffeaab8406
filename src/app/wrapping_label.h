#pragma once

// Labels shared by the help browser, the feedback window and the settings window.
//
// WrappingLabel is a button face made of a symbol and a title that wraps onto further lines
// instead of being cut off; it is clickable (clicked()) and draws in "Ink", at 70 % while
// pressed, "DisabledText" when disabled:
//     auto* help = new WrappingLabel(text("ui.settings.help.topics", "Help and support"),
//                                    QStringLiteral("questionmark.circle"));
//     connect(help, &QAbstractButton::clicked, ...);
//
// ContentUnavailableView is the notice a window shows when its content cannot be offered: a
// large symbol, a title and a wrapping description, centred.
//
// The symbols are drawn by hand so they look the same on every desktop; paintSymbol() knows
// "questionmark.circle", "envelope", "bubble.left.and.text.bubble.right" and
// "bubble.left.and.exclamationmark.bubble.right" (any other name draws nothing).

#include <QAbstractButton>
#include <QColor>
#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;

namespace hf {

void paintSymbol(QPainter& painter, const QRectF& box, const QString& systemImage, const QColor& color);

class WrappingLabel : public QAbstractButton {
    Q_OBJECT

public:
    WrappingLabel(const QString& title, QString systemImage, QWidget* parent = nullptr);

    QString title() const { return text(); }
    const QString& systemImage() const { return m_systemImage; }

    // Announced as a link rather than a button (the e-mail button, which leaves the application).
    void setAnnouncedAsLink(bool link) { m_link = link; }
    bool isAnnouncedAsLink() const { return m_link; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double iconSide() const;
    QSizeF titleSize(double width) const;

    QString m_systemImage;
    bool m_link = false;
};

class ContentUnavailableView : public QWidget {
    Q_OBJECT

public:
    ContentUnavailableView(const QString& title, QString systemImage, const QString& description,
                           QWidget* parent = nullptr);
};

} // namespace hf
