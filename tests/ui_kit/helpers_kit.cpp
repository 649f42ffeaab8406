#include "helpers_kit.h"

#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QTest>
#include <QVBoxLayout>

namespace hf::test {

KitHost::KitHost(int width)
{
    ui::setBackground(this, ui::ColorName::Paper);
    // The window keeps the focus until a test moves it, so no control shows a focus ring unasked.
    setFocusPolicy(Qt::ClickFocus);
    setFocus();
    m_column = new QVBoxLayout(this);
    m_column->setContentsMargins(10, 10, 10, 10);
    m_column->setSpacing(10);
    m_column->addStretch();
    resize(width, 100);
}

void KitHost::addWidget(QWidget* widget)
{
    m_column->insertWidget(m_column->count() - 1, widget);
}

void KitHost::settle()
{
    show();
    QCoreApplication::processEvents(); // pending layout requests of the children
    m_column->activate();
    resize(width(), std::max(heightForWidth(width()), sizeHint().height()));
    QApplication::setActiveWindow(this);
    QVERIFY(QTest::qWaitForWindowExposed(this));
    QCoreApplication::processEvents();
}

QImage KitHost::picture() const
{
    return const_cast<KitHost*>(this)->grab().toImage();
}

QColor KitHost::pixel(const QWidget* child, QPointF at) const
{
    const QPoint p = child->mapTo(this, at.toPoint());
    return picture().pixelColor(p);
}

bool near(const QColor& a, const QColor& b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

QColor blend(const QColor& over, const QColor& under, double opacity)
{
    const auto mix = [opacity](int o, int u) { return int(std::lround(o * opacity + u * (1 - opacity))); };
    return QColor(mix(over.red(), under.red()), mix(over.green(), under.green()), mix(over.blue(), under.blue()));
}

bool contains(const QImage& picture, const QRect& area, const QColor& colour, int tolerance)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (near(picture.pixelColor(x, y), colour, tolerance))
                return true;
    return false;
}

} // namespace hf::test
