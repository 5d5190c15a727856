#include "Tavrel_Agent/Accessibility.h"

#include "Tavrel_Agent/ViewHelpers.h"

#include <QAccessibleWidget>
#include <QCoreApplication>

namespace {
#ifdef Q_OS_MACOS
// VoiceOver reads the name of static text as its value and finds the row label through the
// relation, so there a label keeps its text as its name and stays static text.
constexpr bool nameIsText = true;
#else
constexpr bool nameIsText = false;
#endif

// What assistive technology sees of an AccessibleLabel: its name, and its text both as the value
// and through the text interface, which is what screen readers on Linux read of a label.
class LabelAccessible final : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit LabelAccessible(AccessibleLabel* label)
        : QAccessibleWidget(label, QAccessible::StaticText) {}

    QAccessible::Role role() const override {
        return label()->isStatusLine() && !nameIsText ? QAccessible::StatusBar : QAccessible::StaticText;
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        return state;
    }

    QString text(QAccessible::Text kind) const override {
        const QString name = nameIsText ? QString() : label()->accessibleName();
        if (kind == QAccessible::Name)
            return name.isEmpty() ? label()->text() : name;
        if (kind == QAccessible::Value)
            return name.isEmpty() ? QString() : label()->text();
        return QAccessibleWidget::text(kind);
    }

    QList<std::pair<QAccessibleInterface*, QAccessible::Relation>>
    relations(QAccessible::Relation match) const override {
        auto found = QAccessibleWidget::relations(match);
        if (match & QAccessible::Labelled) {
            if (QAccessibleInterface* view = QAccessible::queryAccessibleInterface(label()->buddy()))
                found.emplace_back(view, QAccessible::Labelled);
        }
        return found;
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // Read-only text without a caret or selection.
    void selection(int, int* startOffset, int* endOffset) const override { *startOffset = *endOffset = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int startOffset, int endOffset) const override {
        return label()->text().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(label()->text().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = offset;
        return {};
    }

private:
    AccessibleLabel* label() const { return static_cast<AccessibleLabel*>(widget()); }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    if (auto* label = qobject_cast<AccessibleLabel*>(object))
        return new LabelAccessible(label);
    // The boxes group their views; Qt would call a frame a border, which screen readers on Linux
    // take for a window.
    if (auto* box = qobject_cast<BorderedBox*>(object))
        return new QAccessibleWidget(box, QAccessible::Grouping);
    // A top-level window made of a plain widget would otherwise be an anonymous client area.
    if (className == QLatin1String("MainWindowController"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

// Installed before any window exists, so that no interface is made without it. Qt's own
// factories come later and go first, but none of them knows these classes.
void installAccessibleFactory() {
    QAccessible::installFactory(accessibleFactory);
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(installAccessibleFactory)

AccessibleLabel::AccessibleLabel(const QString& text, QWidget* parent)
    : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
}

void AccessibleLabel::setText(const QString& text) {
    const QString old = this->text();
    if (text == old)
        return;
    QLabel::setText(text); // reports a change of the name while the label has none of its own
    if (!accessibleName().isEmpty()) {
        QAccessibleTextUpdateEvent event(this, 0, old, text);
        QAccessible::updateAccessibility(&event);
    }
}

void AccessibleLabel::setStatusLine(const QString& name) {
    statusLine = true;
    setAccessibleName(name);
}

void nameByRow(QLabel* rowLabel, QWidget* view) {
    QString name = rowLabel->text().trimmed();
    if (name.endsWith(u':'))
        name.chop(1);
    view->setAccessibleName(name);
    rowLabel->setBuddy(view);
}
