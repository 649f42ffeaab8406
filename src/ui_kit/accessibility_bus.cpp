#include "ui_kit/accessibility_bus.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QXmlStreamReader>

#include <algorithm>
#include <optional>

namespace hf::ui::bus {

// One range of text in an area, as the bus carries it: start, end, text and extra data.
struct TextRange {
    int start = 0;
    int end = 0;
    QString text;
    QDBusVariant data;
};

QDBusArgument& operator<<(QDBusArgument& argument, const TextRange& range)
{
    argument.beginStructure();
    argument << range.start << range.end << range.text << range.data;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TextRange& range)
{
    argument.beginStructure();
    argument >> range.start >> range.end >> range.text >> range.data;
    argument.endStructure();
    return argument;
}

} // namespace hf::ui::bus

Q_DECLARE_METATYPE(hf::ui::bus::TextRange)

namespace hf::ui {

namespace {

// Where Qt's bridge serves every accessible element (the application at ".../root", the others
// at ".../<id>"), on the connection it names "a11y".
const QString connectionName = QStringLiteral("a11y");
const QString elementsPath = QStringLiteral("/org/a11y/atspi/accessible");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

QAccessibleInterface* elementAt(const QString& path)
{
    const QString id = path.section(u'/', -1);
    if (id == QLatin1String("root"))
        return QAccessible::queryAccessibleInterface(qApp);
    bool number = false;
    const QAccessible::Id value = id.toUInt(&number);
    QAccessibleInterface* element = number ? QAccessible::accessibleInterface(value) : nullptr;
    return element && element->isValid() ? element : nullptr;
}

class BridgeGuard final : public QDBusVirtualObject {
public:
    explicit BridgeGuard(QDBusVirtualObject* bridge) : QDBusVirtualObject(bridge), m_bridge(bridge) {}

    QString introspect(const QString& path) const override { return m_bridge ? m_bridge->introspect(path) : QString(); }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (!m_bridge)
            return false;
        const QString interface = message.interface();
        const QString member = message.member();
        if (interface == propertiesInterface) {
            // The bridge reads an interface and a property name from every property call.
            static const QHash<QString, QString> arguments{
                {QStringLiteral("Get"), QStringLiteral("ss")},
                {QStringLiteral("Set"), QStringLiteral("ssv")},
                {QStringLiteral("GetAll"), QStringLiteral("s")},
            };
            if (message.signature() != arguments.value(member, message.signature()))
                return invalidArguments(message, connection);
            if (member == QLatin1String("GetAll"))
                return answer(message, connection, {QVariant::fromValue(QVariantMap())});
        } else if (const auto declared = declaredArguments(message.path(), interface, member);
                   declared && *declared != message.signature()) {
            return invalidArguments(message, connection);
        }
        // The bridge reads a table from any element with a table's or a cell's interface.
        const QString target = interface == propertiesInterface ? message.arguments().at(0).toString() : interface;
        QAccessibleInterface* element = elementAt(message.path());
        if (target == QLatin1String("org.a11y.atspi.Table") && element && !element->tableInterface()) {
            if (message.isReplyRequired())
                connection.send(message.createErrorReply(QDBusError::UnknownInterface, QStringLiteral("not a table")));
            return true;
        }
        // Text inserted is the text given, cut to the length given, at a place in the text: the
        // bridge would pad it to any length, or the field pad its text to any place, with blanks.
        if (interface == QLatin1String("org.a11y.atspi.EditableText") && member == QLatin1String("InsertText") && element
            && element->editableTextInterface() && element->textInterface()) {
            const int position = message.arguments().at(0).toInt();
            const QString text = message.arguments().at(1).toString();
            const bool inside = position >= 0 && position <= element->textInterface()->characterCount();
            if (inside)
                element->editableTextInterface()->insertText(position, text.left(std::max(0, message.arguments().at(2).toInt())));
            return answer(message, connection, {inside});
        }
        // The bridge reads a value to set as the third argument of a property call.
        if (interface == QLatin1String("org.a11y.atspi.Value") && member == QLatin1String("SetCurrentValue") && element) {
            if (QAccessibleValueInterface* value = element->valueInterface())
                value->setCurrentValue(message.arguments().at(0).toDouble());
            return answer(message, connection, {});
        }
        if (interface == QLatin1String("org.a11y.atspi.Text") && member == QLatin1String("GetBoundedRanges"))
            return answer(message, connection, {QVariant::fromValue(QList<bus::TextRange>())});
        if (interface == QLatin1String("org.a11y.atspi.Table") && member == QLatin1String("GetRowColumnExtentsAtIndex"))
            if (element)
                return answer(message, connection, cellAtIndex(element->tableInterface(), message.arguments().at(0).toInt()));
        const bool handled = m_bridge->handleMessage(message, connection);
        // The bridge takes the application's id without answering.
        if (handled && interface == propertiesInterface && member == QLatin1String("Set")
            && message.arguments().at(1).toString() == QLatin1String("Id"))
            connection.send(message.createReply());
        return handled;
    }

private:
    static bool answer(const QDBusMessage& message, const QDBusConnection& connection, const QVariantList& arguments)
    {
        if (message.isReplyRequired())
            connection.send(message.createReply(arguments));
        return true;
    }
    static bool invalidArguments(const QDBusMessage& message, const QDBusConnection& connection)
    {
        if (message.isReplyRequired())
            connection.send(message.createErrorReply(QDBusError::InvalidArgs,
                                                     QStringLiteral("%1.%2 takes other arguments than \"%3\"")
                                                         .arg(message.interface(), message.member(), message.signature())));
        return true;
    }

    // Whether the cell at `index` (counted row by row) is there, its row, column, spans and
    // whether it is selected.
    static QVariantList cellAtIndex(QAccessibleTableInterface* table, int index)
    {
        const int columns = table->columnCount();
        if (index >= 0 && columns > 0 && qint64(index) < qint64(table->rowCount()) * columns) {
            QAccessibleInterface* cell = table->cellAt(index / columns, index % columns);
            if (QAccessibleTableCellInterface* found = cell && cell->isValid() ? cell->tableCellInterface() : nullptr)
                return {true, found->rowIndex(), found->columnIndex(), found->rowExtent(), found->columnExtent(),
                        found->isSelected()};
        }
        return {false, -1, -1, -1, -1, false};
    }

    // The arguments the bridge declares for a method, read from what it tells of the element.
    std::optional<QString> declaredArguments(const QString& path, const QString& interface, const QString& member)
    {
        const QString key = interface + u'.' + member;
        if (!m_read.contains(interface)) {
            QXmlStreamReader xml(QStringLiteral("<node>") + m_bridge->introspect(path) + QStringLiteral("</node>"));
            QString in, method, signature;
            while (!xml.atEnd()) {
                xml.readNext();
                if (xml.isStartElement() && xml.name() == QLatin1String("interface")) {
                    in = xml.attributes().value(QLatin1String("name")).toString();
                    m_read.insert(in);
                } else if (xml.isStartElement() && xml.name() == QLatin1String("method")) {
                    method = in + u'.' + xml.attributes().value(QLatin1String("name")).toString();
                    m_declared.insert(method, QString());
                } else if (xml.isStartElement() && xml.name() == QLatin1String("arg")
                           && xml.attributes().value(QLatin1String("direction")) != QLatin1String("out")) {
                    m_declared[method] += xml.attributes().value(QLatin1String("type"));
                } else if (xml.isEndElement() && xml.name() == QLatin1String("method")) {
                    method.clear();
                }
            }
        }
        const auto found = m_declared.constFind(key);
        return found == m_declared.cend() ? std::nullopt : std::optional<QString>(*found);
    }

    QPointer<QDBusVirtualObject> m_bridge;
    QSet<QString> m_read;
    QHash<QString, QString> m_declared;
};

// Puts a guard in front of the bridge's elements, once per connection of the bridge.
void guardTheBridge()
{
    QDBusConnection connection(connectionName);
    if (!connection.isConnected())
        return;
    auto* bridge = qobject_cast<QDBusVirtualObject*>(connection.objectRegisteredAt(elementsPath));
    if (!bridge || dynamic_cast<BridgeGuard*>(bridge))
        return;
    connection.unregisterObject(elementsPath);
    if (!connection.registerVirtualObject(elementsPath, new BridgeGuard(bridge), QDBusConnection::SubPath))
        connection.registerVirtualObject(elementsPath, bridge, QDBusConnection::SubPath);
}

// The bridge turns accessibility on once it is connected and serves its elements.
class BridgeWatch final : public QAccessible::ActivationObserver {
public:
    void accessibilityActiveChanged(bool active) override
    {
        if (!active)
            return;
        guardTheBridge();
        // Accessibility may be turned on just before the elements are served.
        QTimer::singleShot(0, qApp, &guardTheBridge);
    }
};

} // namespace

void standInFrontOfAccessibilityBus()
{
    qDBusRegisterMetaType<bus::TextRange>();
    qDBusRegisterMetaType<QList<bus::TextRange>>();
    static BridgeWatch watch;
    QAccessible::installActivationObserver(&watch);
    if (QAccessible::isActive())
        watch.accessibilityActiveChanged(true);
}

} // namespace hf::ui
