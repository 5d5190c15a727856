#pragma once

#include "Tavrel_Agent/Accessibility.h"

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QRect>
#include <QString>

#include <functional>

class QTimer;

// Colours, fonts and label styles shared by the status menu, the main window and the sheet.
namespace Style {
inline constexpr int systemFontSize = 13; // pixels: frames are laid out in points at 1x
inline constexpr int smallSystemFontSize = 11;

QColor accentColor();  // the header stripe
QColor successColor(); // green: "Running", progress and success
QColor errorColor();   // dark red: "Stopped" and errors
QColor warningColor(); // orange: every other state
QColor blueColor();    // the re-authentication toggle
// Green for "Running", dark red for "Stopped", orange for anything else.
QColor stateColor(const QString& state);

QFont systemFont(int pixelSize = systemFontSize);
QFont boldSystemFont(int pixelSize = systemFontSize);
// "Menlo" where installed, else the fixed system font, at the given pixel size.
QFont monospaceFont(int pixelSize);

// The platform's secondary text: the window text at half strength, so it follows dark mode.
QColor secondaryTextColor(const QWidget* widget);

// The text colour of a label, field or button; a disabled button still greys its title out.
void setTextColor(QWidget* widget, const QColor& color);
QColor textColor(const QWidget* widget);
} // namespace Style

// A one-line read-only label that cuts its text at the tail with an ellipsis instead of growing.
class ElidedLabel final : public AccessibleLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(const QString& text = {}, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// Label style: not selectable, no border or background, cut at the tail.
ElidedLabel* addLabel(QWidget* parent, const QString& text, const QRect& frame, const QFont& font);
ElidedLabel* addBoldLabel(QWidget* parent, const QString& text, const QRect& frame);
// A bold label at (x, y, 492, 18); the caller adds it to a parent.
ElidedLabel* sectionLabel(const QString& text, int x, int y);
// Value style: system font, initial text "—".
ElidedLabel* addValueLabel(QWidget* parent, const QRect& frame);
// A read-only value drawn like a label that can still be selected and copied by hand. Reached
// with the keyboard it selects its text, which is what shows that it has the focus.
class SelectableValue final : public QLineEdit {
    Q_OBJECT
public:
    explicit SelectableValue(QWidget* parent = nullptr);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

SelectableValue* addSelectableValue(QWidget* parent, const QRect& frame, const QFont& font);
// A white panel with a thin light-grey border that groups the views inside it.
class BorderedBox final : public QFrame {
    Q_OBJECT
public:
    explicit BorderedBox(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

BorderedBox* addBox(QWidget* parent, const char* objectName, const QRect& frame,
                    const QString& accessibleName);
// A plain white header with the logo and a bold title at the given frames. The logo is decoration:
// it is painted by the header, so assistive technology never meets it.
QWidget* addHeader(QWidget* parent, const QRect& frame, const QRect& logoFrame, const QString& title,
                   const QRect& titleFrame, int titlePixelSize);
// A push button at its frame in the system font. It never answers Return by itself: that must not
// fire whichever button happens to come first (Close, Unregister).
QPushButton* addButton(QWidget* parent, const char* objectName, const QString& title, const QRect& frame,
                       const QString& description = {});
// A solid bar in the accent colour.
QWidget* addAccentStripe(QWidget* parent, const QRect& frame);

// The repeating status refresh of owner, every 3 seconds, named "refreshTimer"; the first one is
// the caller's.
QTimer* startRefreshTimer(QObject* owner, const std::function<void()>& refresh);

// Runs refresh once, delayMs from now, unless owner is gone by then. The timer is a child named
// "recheck", so that the next state check after a command can be seen and hurried along.
void scheduleRecheck(QObject* owner, int delayMs, const std::function<void()>& refresh);

// Menu entries take "&" as a mnemonic marker; this shows text as written.
QString menuText(const QString& text);
