#include "support/layout_audit.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QFontMetricsF>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QLayout>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainterPath>
#include <QScrollBar>
#include <QSet>
#include <QTextDocument>
#include <QWidget>

#include <algorithm>
#include <functional>
#include <cmath>

namespace hf::test {

namespace {

// How far a drawn text or an outline may reach past an edge before it counts as cut: glyphs'
// antialiasing and the rounding of fractional layouts.
constexpr double slack = 1.5;

class RecordingEngine final : public QPaintEngine {
public:
    RecordingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}

    DrawnWidget drawn;

    bool begin(QPaintDevice*) override
    {
        m_transform = QTransform();
        m_pen = QPen();
        return true;
    }
    bool end() override { return true; }
    Type type() const override { return QPaintEngine::User; }

    void updateState(const QPaintEngineState& state) override
    {
        if (state.state() & QPaintEngine::DirtyTransform)
            m_transform = state.transform();
        if (state.state() & QPaintEngine::DirtyPen)
            m_pen = state.pen();
    }

    void drawTextItem(const QPointF& p, const QTextItem& item) override
    {
        QString text = item.text();
        text.remove(QChar(0x200B));   // break opportunities draw nothing
        // Trailing spaces take room on a line without showing.
        while (!text.isEmpty() && text.back().isSpace())
            text.chop(1);
        if (text.trimmed().isEmpty())
            return;
        const QFontMetricsF metrics(item.font());
        const QRectF box(p.x(), p.y() - item.ascent(), metrics.horizontalAdvance(text),
                         item.ascent() + item.descent());
        drawn.texts.append({text, m_transform.mapRect(box)});
    }

    void drawPath(const QPainterPath& path) override { stroke(path.boundingRect()); }
    void drawRects(const QRectF* rects, int count) override
    {
        for (int i = 0; i < count; ++i)
            stroke(rects[i]);
    }
    void drawEllipse(const QRectF& rect) override { stroke(rect); }
    void drawPolygon(const QPointF* points, int count, PolygonDrawMode) override
    {
        QPolygonF polygon;
        for (int i = 0; i < count; ++i)
            polygon << points[i];
        stroke(polygon.boundingRect());
    }
    void drawLines(const QLineF*, int) override {}
    void drawPoints(const QPointF*, int) override {}
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawImage(const QRectF&, const QImage&, const QRectF&, Qt::ImageConversionFlags) override {}
    void drawTiledPixmap(const QRectF&, const QPixmap&, const QPointF&) override {}

private:
    void stroke(const QRectF& bounds)
    {
        if (m_pen.style() == Qt::NoPen || m_pen.brush().style() == Qt::NoBrush || m_pen.color().alpha() == 0)
            return;
        const double half = m_pen.widthF() / 2.0;
        drawn.outlines.append(m_transform.mapRect(bounds.adjusted(-half, -half, half, half)));
    }

    QTransform m_transform;
    QPen m_pen;
};

class RecordingDevice final : public QPaintDevice {
public:
    RecordingDevice(const QWidget* widget) : m_widget(widget) {}
    QPaintEngine* paintEngine() const override { return &m_engine; }
    RecordingEngine& engine() { return m_engine; }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth: return m_widget->width();
        case PdmHeight: return m_widget->height();
        case PdmWidthMM: return m_widget->widthMM();
        case PdmHeightMM: return m_widget->heightMM();
        case PdmNumColors: return INT_MAX;
        case PdmDepth: return 32;
        case PdmDpiX:
        case PdmPhysicalDpiX: return m_widget->logicalDpiX();
        case PdmDpiY:
        case PdmPhysicalDpiY: return m_widget->logicalDpiY();
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return int(devicePixelRatioFScale());
        default: return 0;
        }
    }

private:
    const QWidget* m_widget;
    mutable RecordingEngine m_engine;
};

QString nameOf(const QWidget* widget)
{
    const QString cls = QString::fromLatin1(widget->metaObject()->className());
    return widget->objectName().isEmpty() ? cls : cls + u'(' + widget->objectName() + u')';
}

QString pathOf(const QWidget* widget, const QWidget* root)
{
    QStringList parts;
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        // Unnamed plain holders add length, not meaning.
        if (w == widget || w == root || !w->objectName().isEmpty() || w->metaObject() != &QWidget::staticMetaObject)
            parts.prepend(nameOf(w));
        if (w == root)
            break;
    }
    return parts.join(u'/');
}

QString rectText(const QRectF& r)
{
    return QStringLiteral("(%1,%2 %3x%4)").arg(r.x(), 0, 'f', 0).arg(r.y(), 0, 'f', 0).arg(r.width(), 0, 'f', 0)
        .arg(r.height(), 0, 'f', 0);
}

bool within(const QRectF& inner, const QRectF& outer)
{
    return inner.left() >= outer.left() - slack && inner.right() <= outer.right() + slack
           && inner.top() >= outer.top() - slack && inner.bottom() <= outer.bottom() + slack;
}

// The widgets a layout places, through its nested layouts.
void managedWidgets(const QLayout* layout, QList<QWidget*>& out)
{
    if (!layout)
        return;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* w = item->widget())
            out.append(w);
        else if (QLayout* inner = item->layout())
            managedWidgets(inner, out);
    }
}

// The scroll area whose viewport `widget` is, if it is one.
const QAbstractScrollArea* scrollAreaOfViewport(const QWidget* widget)
{
    auto* area = qobject_cast<const QAbstractScrollArea*>(widget->parentWidget());
    return area && area->viewport() == widget ? area : nullptr;
}

// Whether `box` (in the viewport's coordinates) can be brought into view by scrolling. Along an
// axis the user cannot scroll (its bar switched off, or nothing to scroll to) the box must lie
// in the viewport where it is now: content the area was moved past there (by a focus change,
// say) is cut, as is content wider than the viewport.
bool reachableByScrolling(const QAbstractScrollArea* area, const QRectF& box)
{
    const QRectF view = area->viewport()->rect();
    const auto along = [&](const QScrollBar* bar, Qt::ScrollBarPolicy policy, double low, double high, double size) {
        const bool scrolls = policy != Qt::ScrollBarAlwaysOff && bar->maximum() > 0;
        if (!scrolls)
            return low >= -slack && high <= size + slack;
        // In the coordinates of the scrolled content's origin.
        return low + bar->value() >= -slack && high + bar->value() <= size + bar->maximum() + slack;
    };
    return along(area->horizontalScrollBar(), area->horizontalScrollBarPolicy(), box.left() - view.left(),
                 box.right() - view.left(), view.width())
           && along(area->verticalScrollBar(), area->verticalScrollBarPolicy(), box.top() - view.top(),
                    box.bottom() - view.top(), view.height());
}

bool isWordCharacter(QChar c)
{
    return c.isLetterOrNumber();
}

// Whether the lines drawn for `text` break it between two characters of one word.
bool breaksInsideAWord(const QString& text, const QList<DrawnText>& lines)
{
    if (lines.size() < 2)
        return false;
    QList<DrawnText> ordered = lines;
    std::stable_sort(ordered.begin(), ordered.end(), [](const DrawnText& a, const DrawnText& b) {
        return a.box.top() < b.box.top() - 0.5 || (std::abs(a.box.top() - b.box.top()) <= 0.5 && a.box.left() < b.box.left());
    });
    qsizetype at = 0;
    for (int i = 0; i < ordered.size(); ++i) {
        const QString line = ordered[i].text.trimmed();
        const qsizetype found = text.indexOf(line, at);
        if (found < 0)
            return false;   // not a plain wrapping of this text
        const qsizetype end = found + line.size();
        if (i + 1 < ordered.size() && std::abs(ordered[i + 1].box.top() - ordered[i].box.top()) > 0.5 && end > 0
            && end < text.size() && isWordCharacter(text.at(end - 1)) && isWordCharacter(text.at(end)))
            return true;
        at = end;
    }
    return false;
}

// The texts a widget (or the widget it is the viewport of) was given, in which an ellipsis is the
// text's own and not a sign of shortening.
QStringList givenTexts(const QWidget* widget)
{
    QStringList texts;
    for (const QWidget* w : {widget, static_cast<const QWidget*>(widget->parentWidget())}) {
        if (!w)
            continue;
        texts << w->accessibleName() << w->toolTip();
        if (auto* label = qobject_cast<const QLabel*>(w))
            texts << label->text();
        if (auto* button = qobject_cast<const QAbstractButton*>(w))
            texts << button->text();
        if (auto* line = qobject_cast<const QLineEdit*>(w))
            texts << line->text() << line->placeholderText();
        if (auto* edit = qobject_cast<const QPlainTextEdit*>(w))
            texts << edit->toPlainText() << edit->placeholderText();
        if (auto* box = qobject_cast<const QComboBox*>(w))
            texts << box->currentText();
    }
    texts.removeAll(QString());
    return texts;
}

QString plainTextOf(const QWidget* widget)
{
    if (auto* label = qobject_cast<const QLabel*>(widget)) {
        if (label->textFormat() == Qt::PlainText
            || (label->textFormat() == Qt::AutoText && !Qt::mightBeRichText(label->text())))
            return label->text();
        QTextDocument document;
        document.setHtml(label->text());
        return document.toPlainText();
    }
    if (auto* button = qobject_cast<const QAbstractButton*>(widget))
        return button->text();
    return {};
}

bool isGiven(const QString& drawn, const QWidget* widget)
{
    for (const QString& given : givenTexts(widget))
        if (given.contains(drawn.trimmed()))
            return true;
    return false;
}

class Auditor {
public:
    explicit Auditor(QWidget* root) : m_root(root) {}

    QList<LayoutFault> run()
    {
        visit(m_root);
        return m_faults;
    }

private:
    void fault(const QString& kind, const QWidget* widget, const QString& detail)
    {
        m_faults.append({kind, pathOf(widget, m_root), detail});
    }

    void visit(QWidget* widget)
    {
        if (widget != m_root && (widget->isHidden() || widget->isWindow()))
            return;
        checkPainting(widget);
        checkSize(widget);
        checkChildren(widget);
        for (QObject* child : widget->children())
            if (auto* w = qobject_cast<QWidget*>(child))
                visit(w);
    }

    void checkPainting(QWidget* widget)
    {
        if (widget->size().isEmpty())
            return;
        const DrawnWidget drawn = recordPainting(widget);
        const QRectF own = widget->rect();
        for (const DrawnText& text : drawn.texts) {
            if (text.text.contains(QChar(0x2026)) && !isGiven(text.text, widget))
                fault(QStringLiteral("shortened"), widget, QStringLiteral("\"%1\"").arg(text.text));
            // An item view draws its items on its viewport: they are cut only where no scrolling reaches.
            // A text field scrolls its text along its line, under the cursor.
            const QAbstractScrollArea* scrolled = scrollAreaOfViewport(widget);
            const bool field = qobject_cast<const QLineEdit*>(widget) && text.box.top() >= own.top() - slack
                               && text.box.bottom() <= own.bottom() + slack;
            if (!field && (scrolled ? !reachableByScrolling(scrolled, text.box) : !within(text.box, own))) {
                fault(QStringLiteral("text cut"), widget,
                      QStringLiteral("\"%1\" at %2 in %3").arg(text.text, rectText(text.box), rectText(own)));
                continue;
            }
            if (const QWidget* clipper = clippingAncestor(widget, text.box))
                fault(QStringLiteral("text cut"), widget,
                      QStringLiteral("\"%1\" by %2").arg(text.text, pathOf(clipper, m_root)));
        }
        for (const QRectF& outline : drawn.outlines)
            if (!within(outline, own))
                fault(QStringLiteral("outline cut"), widget, QStringLiteral("%1 in %2").arg(rectText(outline), rectText(own)));
        const QString plain = plainTextOf(widget);
        if (!plain.isEmpty() && breaksInsideAWord(plain, drawn.texts))
            fault(QStringLiteral("broken word"), widget, QStringLiteral("\"%1\"").arg(plain));
    }

    // The first ancestor (up to the root) whose visible area does not hold `box`, or null.
    const QWidget* clippingAncestor(const QWidget* widget, QRectF box) const
    {
        const QWidget* w = widget;
        // What a viewport draws itself is its area's content: cut where no scrolling reaches it.
        if (const QAbstractScrollArea* area = scrollAreaOfViewport(widget)) {
            if (!reachableByScrolling(area, box))
                return area;
            box = widget->rect();
        }
        while (w != m_root && w->parentWidget()) {
            const QWidget* parent = w->parentWidget();
            box.translate(w->pos());
            if (const QAbstractScrollArea* area = scrollAreaOfViewport(parent)) {
                if (!reachableByScrolling(area, box))
                    return parent;
                // Reachable: what remains to check is that the viewport itself shows.
                box = parent->rect();
            } else if (!within(box, parent->rect())) {
                return parent;
            }
            w = parent;
        }
        return nullptr;
    }

    void checkSize(QWidget* widget)
    {
        if (widget == m_root || widget->isWindow() || !widget->parentWidget()
            || scrollAreaOfViewport(widget->parentWidget()))
            return;
        QList<QWidget*> managed;
        managedWidgets(widget->parentWidget()->layout(), managed);
        if (!managed.contains(widget))
            return;
        const QSizePolicy policy = widget->sizePolicy();
        const QSize least = widget->minimumSizeHint().expandedTo(widget->minimumSize());
        if (policy.horizontalPolicy() != QSizePolicy::Ignored && least.width() > 0 && widget->width() + 1 < least.width())
            fault(QStringLiteral("squeezed"), widget,
                  QStringLiteral("%1 wide, needs %2").arg(widget->width()).arg(least.width()));
        if (policy.verticalPolicy() == QSizePolicy::Ignored)
            return;
        int needed = widget->hasHeightForWidth() ? widget->heightForWidth(widget->width()) : -1;
        if (needed < 0)
            needed = least.height();
        if (needed > 0 && widget->height() + 1 < needed)
            fault(QStringLiteral("squeezed"), widget,
                  QStringLiteral("%1 high at %2 wide, needs %3").arg(widget->height()).arg(widget->width()).arg(needed));
    }

    void checkChildren(QWidget* parent)
    {
        QList<QWidget*> managed;
        managedWidgets(parent->layout(), managed);
        QList<QWidget*> shown;
        for (QWidget* w : managed)
            if (!w->isHidden() && w->parentWidget() == parent && !w->size().isEmpty())
                shown.append(w);
        const bool scrolled = scrollAreaOfViewport(parent) != nullptr;
        for (qsizetype i = 0; i < shown.size(); ++i) {
            const QRect a = shown[i]->geometry();
            if (!scrolled && !within(a, parent->rect()))
                fault(QStringLiteral("outside"), shown[i],
                      QStringLiteral("%1 in %2").arg(rectText(a), rectText(parent->rect())));
            for (qsizetype j = i + 1; j < shown.size(); ++j) {
                const QRect overlap = a.intersected(shown[j]->geometry());
                if (overlap.width() > 1 && overlap.height() > 1)
                    fault(QStringLiteral("overlap"), shown[i],
                          QStringLiteral("%1 with %2 %3").arg(rectText(a), pathOf(shown[j], m_root),
                                                              rectText(shown[j]->geometry())));
            }
        }
    }

    QWidget* m_root;
    QList<LayoutFault> m_faults;
};

} // namespace

DrawnWidget recordPainting(QWidget* widget)
{
    RecordingDevice device(widget);
    widget->render(&device, QPoint(), QRegion(widget->rect()), QWidget::RenderFlags());
    return device.engine().drawn;
}

QList<LayoutFault> auditLayout(QWidget* root)
{
    return Auditor(root).run();
}

QString describeTree(QWidget* root)
{
    QStringList lines;
    std::function<void(QWidget*, int)> walk = [&](QWidget* widget, int depth) {
        if (widget != root && (widget->isHidden() || widget->isWindow()))
            return;
        lines << QStringLiteral("%1%2 %3 least %4x%5").arg(QString(depth * 2, u' '), nameOf(widget),
                                                           rectText(widget->geometry()))
                     .arg(widget->minimumSizeHint().width()).arg(widget->minimumSizeHint().height());
        for (QObject* child : widget->children())
            if (auto* w = qobject_cast<QWidget*>(child))
                walk(w, depth + 1);
    };
    walk(root, 0);
    return lines.join(u'\n');
}

QString describe(const QList<LayoutFault>& faults)
{
    QStringList lines;
    for (const LayoutFault& f : faults)
        lines << QStringLiteral("%1: %2: %3").arg(f.kind, f.widget, f.detail);
    return lines.join(u'\n');
}

} // namespace hf::test
