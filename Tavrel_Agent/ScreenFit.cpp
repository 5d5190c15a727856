#include "Tavrel_Agent/ScreenFit.h"

#include <QEvent>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QWidget>

QSize fittedWindowSize(QSize content, QSize room, int scrollBarExtent) {
    // A bar along one side takes room from the other.
    bool vertical = content.height() > room.height();
    const bool horizontal = content.width() + (vertical ? scrollBarExtent : 0) > room.width();
    vertical = vertical || (horizontal && content.height() + scrollBarExtent > room.height());
    return QSize(std::min(content.width() + (vertical ? scrollBarExtent : 0), room.width()),
                 std::min(content.height() + (horizontal ? scrollBarExtent : 0), room.height()));
}

ScreenFit::ScreenFit(QWidget* fittedWindow, QSize contentSize)
    : QObject(fittedWindow)
    , window(fittedWindow)
    , scrollArea(new QScrollArea(fittedWindow))
    , content(new QWidget)
    , size(contentSize) {
    scrollArea->setObjectName(QStringLiteral("screenFit"));
    scrollArea->setFrameShape(QFrame::NoFrame);
    scrollArea->setFocusPolicy(Qt::NoFocus); // Tab goes through the views, as it did
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // In their order, so that reading and Tab order stay as they were; a move takes the focus
    // away, so the view that had it gets it back.
    QWidget* focused = window->focusWidget();
    for (QWidget* view : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (view != scrollArea && !view->isWindow())
            view->setParent(content);
    }
    content->setFixedSize(size);
    // Its palette is the window's, so that what it draws on stays the window's background.
    content->setAutoFillBackground(false);
    scrollArea->setWidget(content);
    if (focused)
        focused->setFocus();
    window->installEventFilter(this);
    fit();
}

void ScreenFit::setContentSize(QSize contentSize) {
    size = contentSize;
    content->setFixedSize(size);
    fit();
}

bool ScreenFit::eventFilter(QObject* watched, QEvent* event) {
    // Shown, moved to another screen, or its frame (known only once the window manager has
    // framed it) changed the room.
    if (watched == window && (event->type() == QEvent::Show ||
                              event->type() == QEvent::ScreenChangeInternal || event->type() == QEvent::Move))
        fit();
    return QObject::eventFilter(watched, event);
}

void ScreenFit::fit() {
    QSize fitted = size;
    if (const QScreen* screen = window->screen()) {
        const QRect frame = window->frameGeometry(), inner = window->geometry();
        const QMargins margins(inner.left() - frame.left(), inner.top() - frame.top(),
                               frame.right() - inner.right(), frame.bottom() - inner.bottom());
        const QRect room = screen->availableGeometry().marginsRemoved(margins);
        fitted =
            fittedWindowSize(size, room.size(), window->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
        // Where it would run past the available area, it moves back inside.
        if (window->isVisible() && !room.contains(QRect(inner.topLeft(), fitted))) {
            const QPoint topLeft(std::clamp(inner.left(), room.left(),
                                            std::max(room.left(), room.right() - fitted.width() + 1)),
                                 std::clamp(inner.top(), room.top(),
                                            std::max(room.top(), room.bottom() - fitted.height() + 1)));
            if (topLeft != inner.topLeft())
                window->move(topLeft - (inner.topLeft() - frame.topLeft()));
        }
    }
    if (window->size() != fitted || window->minimumSize() != fitted || window->maximumSize() != fitted)
        window->setFixedSize(fitted);
    scrollArea->setGeometry(QRect(QPoint(0, 0), fitted));
}
