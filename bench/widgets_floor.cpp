// tavrel-bench-widgets-floor [--tray] [--tick]: the yardstick of bench/footprint. The app's views without
// its logic: the main window's widget tree (the same classes and counts, frames, fonts, palette
// and the log pane holding 80 agent lines), the status icon with the same menu, the same window
// icon and the same libraries, but no state checks, log follow, tray-host watch, bus or lock.
// With --tray only the status icon shows, as with the app's --tray.
#include "Tavrel_Agent/ScreenFit.h"
#include "Tavrel_Agent/StatusIcon.h"
#include "Tavrel_Agent/ViewHelpers.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPalette>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {
void buildMainWindow(QWidget& window) {
    window.setWindowTitle(QStringLiteral("Tavrel widgets floor"));
    window.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint);
    addHeader(&window, QRect(0, 0, 540, 77), QRect(10, 10, 57, 57), QStringLiteral("Tavrel Agent Service"),
              QRect(78, 33, 440, 24), Style::systemFontSize);
    addAccentStripe(&window, QRect(0, 77, 540, 3));
    BorderedBox* box =
        addBox(&window, "identityBox", QRect(16, 94, 492, 199), QStringLiteral("Agent identity"));
    const char* const rows[] = {"Service Status:", "Computer:", "Computer ID:",  "Client Name:",
                                "Location Name:",  "API URL:",  "Agent Version:"};
    int y = 10;
    for (const char* row : rows) {
        ElidedLabel* label = addBoldLabel(box, QString::fromLatin1(row), QRect(10, y, 120, 18));
        QWidget* value = nullptr;
        if (y == 58) {
            value = addSelectableValue(box, QRect(136, y, 230, 18),
                                       Style::monospaceFont(Style::smallSystemFontSize));
            addButton(box, "btnCopy", QStringLiteral("Copy"), QRect(374, y - 2, 104, 24));
        } else {
            value = addValueLabel(box, QRect(136, y, 342, 18));
        }
        nameByRow(label, value);
        y += 24;
    }
    addLabel(&window, QStringLiteral("Agent is NOT registered.  Click  Setup / Settings  to register."),
             QRect(16, 299, 492, 22), Style::boldSystemFont());
    sectionLabel(QStringLiteral("Service Control"), 16, 329)->setParent(&window);
    addButton(&window, "btnStart", QStringLiteral("Start"), QRect(16, 351, 100, 28));
    addButton(&window, "btnStop", QStringLiteral("Stop"), QRect(126, 351, 100, 28));
    addButton(&window, "btnRestart", QStringLiteral("Restart"), QRect(236, 351, 100, 28));
    addButton(&window, "btnSettings", QStringLiteral("Setup / Settings"), QRect(16, 391, 160, 28));
    ElidedLabel* activityLog = sectionLabel(QStringLiteral("Activity Log"), 16, 437);
    activityLog->setParent(&window);

    auto* logView = new QPlainTextEdit(&window);
    logView->setGeometry(16, 459, 492, 200);
    nameByRow(activityLog, logView);
    logView->setReadOnly(true);
    logView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    logView->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    logView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logView->setMaximumBlockCount(300);
    logView->setStyleSheet(QStringLiteral("QPlainTextEdit:focus { border: 1px solid palette(highlight); }"));
    logView->setUndoRedoEnabled(false);
    logView->setFont(Style::monospaceFont(8));
    QPalette palette = logView->palette();
    palette.setColor(QPalette::Base, QColor(18, 18, 18));
    palette.setColor(QPalette::Text, QColor(0, 220, 80));
    logView->setPalette(palette);
    // What the app's pane starts with: the stand-in agent's lines.
    QStringList lines;
    for (int i = 0; i < 80; ++i)
        lines << QStringLiteral("[2026-12-06T09:00:00Z] [INFO] Heartbeat %1: not registered").arg(i);
    logView->appendPlainText(lines.join(u'\n'));
    logView->verticalScrollBar()->setValue(logView->verticalScrollBar()->maximum());

    new ScreenFit(&window, QSize(540, 780));
    if (const QScreen* screen = window.screen())
        window.move(screen->availableGeometry().center() - window.rect().center());
}

void buildMenu(QMenu& menu) {
    menu.addAction(QStringLiteral("Status: Checking\u2026"))->setEnabled(false);
    menu.addAction(QStringLiteral("ID: \u2014"))->setEnabled(false);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Stop Service"))->setEnabled(false);
    menu.addAction(QStringLiteral("Restart Service"))->setEnabled(false);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Open Tavrel Agent\u2026"));
    menu.addAction(QStringLiteral("Save Support Report\u2026"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("Quit"))->setShortcut(QKeySequence::Quit);
}
} // namespace

int main(int argc, char* argv[]) {
    const auto given = [&](QByteArrayView option) {
        return std::find(argv + 1, argv + argc, option) != argv + argc;
    };
    const bool trayOnly = given("--tray");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tavrel Agent"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/logo-letters.png")));
    QMenu menu;
    buildMenu(menu);
    std::unique_ptr<QSystemTrayIcon> statusItem;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        statusItem = std::make_unique<QSystemTrayIcon>(StatusIcon::icon(QStringLiteral("Checking")));
        statusItem->setContextMenu(&menu);
        statusItem->show();
    }
    QWidget window;
    if (!trayOnly) {
        buildMainWindow(window);
        window.show();
    }
    // With --tick, an empty timer at the app's refresh pace: what waking every 3 s costs by itself.
    QTimer tick;
    if (given("--tick")) {
        QObject::connect(&tick, &QTimer::timeout, [] {});
        tick.start(3000);
    }
    return QApplication::exec();
}
