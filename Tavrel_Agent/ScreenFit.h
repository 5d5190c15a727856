#pragma once

#include <QObject>
#include <QSize>

class QScrollArea;
class QWidget;

// The window's size for content of a fixed size, where room is what the screen leaves for it:
// the content's own size where it fits; else as much as there is room for, with a scroll bar
// (extent wide) along each side that the content overruns, and no more than content and bars.
QSize fittedWindowSize(QSize content, QSize room, int scrollBarExtent);

// Keeps a fixed-size window on its screen: its views, laid out at fixed frames, move into a
// scroll area that fills the window. Where the screen's available area has room, the window has
// exactly the content's size and nothing scrolls; where it is smaller, the window fits that area
// and the content scrolls, so that every control can still be reached (Tab scrolls to the
// focused one).
class ScreenFit final : public QObject {
    Q_OBJECT
public:
    // Takes the window's child views as they are now.
    ScreenFit(QWidget* window, QSize contentSize);

    QSize contentSize() const { return size; }
    void setContentSize(QSize contentSize);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fit();

    QWidget* window = nullptr;
    QScrollArea* scrollArea = nullptr;
    QWidget* content = nullptr;
    QSize size;
};
