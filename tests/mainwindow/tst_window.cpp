// The main window and the status menu: a service button with its alert and re-check and what both
// views then show, the setup sheet, the live log pane, what assistive technology and the keyboard meet
// in the window and the sheet; without a system tray, the wait for one and the one main window.
#include "Tavrel_Agent/AgentState.h"
#include "Tavrel_Agent/AppDelegate.h"
#include "Tavrel_Agent/AuthenticationDialog.h"
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/InstanceChannel.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/MainWindowDisplay.h"
#ifdef TAVREL_POLKIT_AGENT
#include "Tavrel_Agent/PolkitAgent.h"
#endif
#include "Tavrel_Agent/ScreenFit.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "Tavrel_Agent/StatusBarController.h"
#include "Tavrel_Agent/StatusIcon.h"
#include "Tavrel_Agent/StopNotice.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "core/Logger.h"
#include "core/Privileged.h"
#include "support/TestSandbox.h"

#include <QLocalSocket>
#include <QtWidgets>

#include <future>

using namespace Qt::StringLiterals;

namespace {
// One 3-second look, now, with the updates it queues; the timer itself is stopped, so that from
// then on only the looks and re-checks a test asks for change what the views show.
void tick(const AgentState& state) {
    child<QTimer>(state, "refreshTimer")->stop();
    QVERIFY(QMetaObject::invokeMethod(child<QTimer>(state, "refreshTimer"), "timeout"));
    // The look's result, then what the views queue on it (the log pane's lines).
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

QByteArray logBytes(int first, int last, int debugEvery = 0) { // lines of one length while numbers have
    QByteArray bytes;
    for (int number = first; number <= last; ++number)
        bytes += QString::asprintf("[2026-12-06T09:00:00Z] [%s] heartbeat %d\n",
                                   debugEvery && number % debugEvery == 0 ? "DEBUG" : "INFO", number)
                     .toLatin1();
    return bytes;
}

// A registered record: this computer ID and token, the rest of the defaults.
AgentConfig registered(const QString& computerID, const QString& token) {
    AgentConfig config = AgentConfig::defaults();
    config.computerID = computerID;
    config.token = token;
    return config;
}

// Alerts answered at once, each kept as "text|informative text", while the object lives.
struct Alerts final : QStringList {
    Alerts() {
        Dialogs::setHook([this](QMessageBox& box) { *this << box.text() + u'|' + box.informativeText(); });
    }
    ~Alerts() { Dialogs::setHook({}); }
};

QStringList lines(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).split(u'\n', Qt::SkipEmptyParts);
}

// The views a person reaches or reads, in the order a screen reader walks them: all but hidden
// views, unnamed containers, scroll bars, separators and plain labels (read as their text).
void walk(QAccessibleInterface* node, QStringList& names, QStringList& focusable) {
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* view = node->child(i);
        const QString name = view->text(QAccessible::Name);
        const auto* label = qobject_cast<const QLabel*>(view->object());
        const QAccessible::Role role = view->role();
        const bool read = !view->state().invisible && (!label || label->text() != name) &&
                          role != QAccessible::Client && role != QAccessible::ScrollBar &&
                          role != QAccessible::Separator;
        names << (read ? QStringList{name} : QStringList());
        focusable << (read && view->state().focusable ? QStringList{name} : QStringList());
        walk(view, names, focusable);
    }
}
} // namespace

class TestWindow final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // What each state shows, by value: the window's buttons and state colour, the menu's entries, the
    // icon's colour; and the menu says "Checking" until the first look has been published.
    void display() {
        const QRgb green = qRgb(52, 199, 89), red = qRgb(179, 26, 26), orange = qRgb(255, 149, 0);
        // Enabled ('+') or not: the window's Start, Stop and Restart, the menu's Stop and Restart.
        const std::tuple<QString, const char*, QRgb> rows[] = {{u"Checking"_s, "+-+--", orange},
                                                               {u"Running"_s, "-++++", green},
                                                               {u"Stopped"_s, "+-+-+", red},
                                                               {u"Not Installed"_s, "+-+--", orange}};
        for (const auto& [state, enabled, colour] : rows) {
            const MainWindowDisplay window = mainWindowDisplay(AgentConfig::defaults(), state);
            const StatusMenuDisplay menu =
                state == "Checking"_L1 ? initialStatusMenuDisplay() : statusMenuDisplay(state, {});
            QString shown;
            for (const bool on : {window.startEnabled, window.stopEnabled, window.restartEnabled,
                                  menu.stopEnabled, menu.restartEnabled})
                shown += on ? u'+' : u'-';
            QCOMPARE(shown, QLatin1String(enabled));
            QCOMPARE(window.serviceStateColor.rgb(), colour);
            QCOMPARE(StatusIcon::image(state, 48).pixel(6, 24), colour); // the icon's disc, left of any glyph
        }
        TestSandbox sandbox;
        AgentState state;
        StatusBarController menu(state);
        QVERIFY(child<QAction>(*menu.trayMenu(), "statusMenuItem")->text().contains(u"Checking"_s));
        QCoreApplication::processEvents();
        QVERIFY(child<QAction>(*menu.trayMenu(), "statusMenuItem")->text().contains(u"Not Installed"_s));
        // Only the argument "--tray" itself counts, wherever it stands.
        for (const auto& [arguments, tray] : {std::pair{QStringList{u"app"_s, u"--tray"_s}, true},
                                              {{u"--tray"_s}, true},
                                              {{u"app"_s, u"--tray=1"_s}, false},
                                              {{u"app"_s, u"-tray"_s, u"--Tray"_s, u"tray"_s}, false}})
            QCOMPARE(hasTrayOption(arguments), tray);
    }

    void serviceButton_data() {
        QTest::addColumn<QByteArray>("button"); // in the window, or an entry of the status menu
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>(
            "answer"); // the pkexec stand-in's: "127" refuses, "hold" waits for the test
        const std::tuple<const char*, const char*, const char*> rows[] = {
            {"btnStart", "start", ""},        {"btnStart", "start", "127"},
            {"btnStop", "stop", "127"},       {"btnStop", "stop", "hold"},
            {"btnRestart", "restart", "127"}, {"stopMenuItem", "stop", ""},
            {"stopMenuItem", "stop", "127"},  {"restartMenuItem", "restart", "127"}};
        for (const auto& [button, command, answer] : rows)
            QTest::addRow("%s, %s", button, *answer ? answer : "done")
                << QByteArray(button) << QString::fromLatin1(command) << QByteArray(answer);
    }

    // A service command from the window or the menu, through pkexec and the helper to the sandbox's
    // systemctl, which does nothing: the test starts or stops the agent for the re-check to see. While
    // the administrator is asked nothing freezes: the event loop turns, the window paints and the
    // state keeps being looked at; only another root operation waits.
    void serviceButton() {
        QFETCH(QByteArray, button);
        QFETCH(QString, command);
        QFETCH(QByteArray, answer);
        TestSandbox sandbox;
        const Alerts alerts;
        // Without a token; in the menu "&" is no mnemonic marker.
        const AgentConfig config = registered(u"C-4&2"_s, {});
        sandbox.writeConfig(config);
        sandbox.setServiceDefinition(true);
        const bool running = command != "start"_L1, fromMenu = button.endsWith("MenuItem"),
                   held = answer == "hold";
        QVERIFY(!running || sandbox.startAgentProcess());
        sandbox.useStandin(PrivilegeMethod::Pkexec, held ? QByteArray() : answer, held);
        QVERIFY(QFile::link(u"/bin/true"_s, sandbox.path(u"bin/systemctl"_s)));
        // pkexec hands the helper no PATH of ours; the test's own leads to the sandbox's systemctl.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(sandbox.path(u"bin"_s)) + ':' + path);
        const auto restorePath = qScopeGuard([path] { qputenv("PATH", path); });
        AgentState state;
        MainWindowController window(state);
        StatusBarController menu(state);
        window.show();
        tick(state);

        if (fromMenu)
            child<QAction>(*menu.trayMenu(), button.constData())->trigger();
        else
            child<QPushButton>(window, button.constData())->click();
        if (held) {
            QVERIFY(RootActivity::instance().running());
            struct Painted final : QObject {
                int paints = 0;
                bool eventFilter(QObject*, QEvent* event) override {
                    return paints += event->type() == QEvent::Paint, false;
                }
            } painted;
            auto* shown = child<QWidget>(window, "lblServiceStatus");
            shown->installEventFilter(&painted);
            bool fired = false;
            QTimer::singleShot(10, [&] { fired = true; });
            shown->update();
            QTRY_VERIFY(fired && painted.paints > 0);
            tick(state); // the state is still looked at, and a look enables none of them
            for (const char* name : {"btnStart", "btnStop", "btnRestart"})
                QVERIFY2(!child<QPushButton>(window, name)->isEnabled(), name);
            QVERIFY(!child<QAction>(*menu.trayMenu(), "restartMenuItem")->isEnabled());
            child<QPushButton>(window, "btnSettings")->click();
            auto* sheet = window.findChild<SetupWindowController*>();
            QVERIFY(sheet && !child<QPushButton>(*sheet, "btnRegister")->isEnabled());
            QVERIFY(!await<Outcome>(
                [](auto done) { runServiceCommand(ServiceCommand::Restart, nullptr, done); }));
            TestSandbox::release();
            QTRY_VERIFY(child<QPushButton>(*sheet, "btnRegister")->isEnabled());
        }
        QTRY_VERIFY(!RootActivity::instance().running());
        const QByteArray asked = TestSandbox::readFile(u"pkexec.last"_s);
        QVERIFY(asked.endsWith(QByteArray("\nservice\n" + command.toLatin1() + '\n')));
        QCOMPARE(TestSandbox::pkexecRuns(), 1);
        // What the re-check must see; the alert opens once the outcome has been handled.
        running ? sandbox.stopAgentProcess() : void(sandbox.startAgentProcess());
        QCoreApplication::processEvents();
        // The same alert from the menu as from the window: what failed, and the operation's reason.
        QCOMPARE(alerts.size(), answer == "127" ? 1 : 0);
        QVERIFY2(answer != "127" || (alerts[0].startsWith(u"Failed to "_s + command) &&
                                     alerts[0].endsWith(u"|Not authorized."_s)),
                 qPrintable(alerts.join(u'\n')));
        QVERIFY2(fromMenu || !child<QPushButton>(window, button.constData())->isEnabled(),
                 "re-enabled before the re-check");
        auto* recheck = child<QTimer>(state, "recheck");
        QCOMPARE(recheck->interval(), command == "restart"_L1 ? 4000 : 1500);
        recheck->start(0); // its time has come
        QTRY_COMPARE(child<QLabel>(window, "lblServiceStatus")->text(),
                     running ? "Stopped"_L1 : "Running"_L1);

        // What both views show in the new state. Only the window wants a token as well as an ID.
        QCOMPARE(child<QWidget>(window, "btnStart")->isEnabled(), running);
        QCOMPARE(child<QAction>(*menu.trayMenu(), "stopMenuItem")->isEnabled(), !running);
        QCOMPARE(Style::textColor(child<QWidget>(window, "lblRegStatus")).rgb(), qRgb(255, 149, 0));
        QCOMPARE(child<QAction>(*menu.trayMenu(), "computerIDMenuItem")->iconText(),
                 "ID: "_L1 + config.computerID);
    }

    void setupSheetRefreshesWhenItEnds() {
        TestSandbox sandbox;
        AgentState state;
        MainWindowController window(state);
        tick(state);
        // Copy puts the computer ID on the clipboard, and nothing while there is none.
        QGuiApplication::clipboard()->setText(u"before"_s);
        child<QPushButton>(window, "btnCopy")->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), u"before"_s);
        child<QPushButton>(window, "btnSettings")->click();
        QPointer<SetupWindowController> sheet = window.findChild<SetupWindowController*>();
        QVERIFY(sheet && sheet->isVisible());
        const AgentConfig config = registered(u"C-42"_s, u"C-42"_s);
        sandbox.writeConfig(config);
        sheet->reject();
        QTRY_COMPARE(child<QLineEdit>(window, "txtComputerID")->text(), config.computerID);
        QCOMPARE(Style::textColor(child<QWidget>(window, "lblRegStatus")).rgb(), qRgb(52, 199, 89));
        child<QPushButton>(window, "btnCopy")->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), config.computerID);
        QTRY_VERIFY(!sheet); // a new sheet each time
    }

    void logPane() {
        TestSandbox sandbox;
        // Opened while the agent is half-way through a character.
        sandbox.writeLog(logBytes(1, 100, 8) + QByteArray(1000, 'x') + "\nhalf caf\xc3");
        AgentState state;
        MainWindowController window(state);
        window.show();
        auto* pane = child<QPlainTextEdit>(window, "logView");
        // A look, and a read that waits for its pace (the file system told of the write) done now.
        const auto follow = [&] {
            tick(state);
            for (auto* pace = child<QTimer>(window, "logPace"); pace->isActive();) {
                pace->stop();
                QVERIFY(QMetaObject::invokeMethod(pace, "timeout"));
                QCoreApplication::processEvents();
            }
        };
        follow();
        // The last 80 lines less the debug ones, and of a long line its first 500 characters.
        QCOMPARE(lines(pane->toPlainText().toUtf8()), lines(logBytes(23, 100, 8)).filter(u"[INFO]"_s)
                                                          << QString(500, u'x') + u'\u2026' << u"half caf"_s);

        // What each append adds to the pane, row by row: "[DEBUG]" is judged on the whole line. A new,
        // shorter file (rotated) is followed from its start.
        const std::tuple<const char*, QByteArray, QStringList> steps[] = {
            {"the character cut at the start comes whole", "\xa9 au lait\n", {u"é au lait"_s}},
            {"CRLF line ends", "[t] [INFO] one\r\n[t] [INFO] two\r\n", {"[t] [INFO] one", "[t] [INFO] two"}},
            {"a tag cut in two waits", "[t] [DE", {"[t] "}},
            {"and hides the rest of its line", "BUG] secret\n[t] [INFO] after\n", {"[t] [INFO] after"}},
            {"a debug line in two pieces", "[t] [DEBUG] sec", {}},
            {"hides its second", "ret\n", {}},
            {"what waited was no tag", "[t] [INFO] a[D", {"[t] [INFO] a"}},
            {"and ends its line", "\n", {"[D"}},
            {"a lower-case tag is no tag", "[t] [debug] shown\n", {"[t] [debug] shown"}},
            {"rotated", "[t] [INFO] rotated\n", {"[t] [INFO] rotated"}},
        };
        for (const auto& [what, bytes, added] : steps) {
            const QStringList before = pane->toPlainText().split(u'\n');
            qstrcmp(what, "rotated") == 0 ? sandbox.writeLog(bytes) : sandbox.appendLog(bytes);
            follow();
            QVERIFY2(pane->toPlainText().split(u'\n') == before + added, what);
        }
        // Hidden, the pane reads nothing, looks or not; shown again, it catches up.
        window.hide();
        sandbox.appendLog("[t] [INFO] while hidden\n");
        follow();
        QCOMPARE(lines(pane->toPlainText().toUtf8()).last(), u"[t] [INFO] rotated"_s);
        window.show();
        QCoreApplication::processEvents();
        QCOMPARE(lines(pane->toPlainText().toUtf8()).last(), u"[t] [INFO] while hidden"_s);
        // A line written is shown as the file system tells of it, without a look.
        QSignalSpy written(child<QFileSystemWatcher>(window, "logWatcher"), &QFileSystemWatcher::fileChanged);
        sandbox.appendLog("[t] [INFO] heard\n");
        QVERIFY(written.wait());
        QCoreApplication::processEvents();
        QCOMPARE(lines(pane->toPlainText().toUtf8()).last(), u"[t] [INFO] heard"_s);

        // A runaway burst: a notice of the whole lines not read, then the newest lines less debug, 300 in
        // all.
        // 30000 lines, then a debug one; the user scrolled up to read.
        const QByteArray burst = logBytes(100000, 129999) + logBytes(8, 8, 8);
        pane->verticalScrollBar()->setValue(0);
        sandbox.appendLog(burst);
        follow();
        // 1,410,043 bytes, of which the last MiB is read from its first line start: 7,691 lines of 47
        // skipped.
        QCOMPARE(lines(pane->toPlainText().toUtf8()),
                 QStringList{u"\u2026 361 kB of log skipped \u2026"_s} + lines(burst).mid(30000 - 299, 299));
        // New lines bring the pane back to the end, the caret at the newest line, where a keyboard user
        // starts.
        QVERIFY(pane->verticalScrollBar()->value() == pane->verticalScrollBar()->maximum() &&
                pane->textCursor().atEnd());

        // A line whose start was not read cannot be judged: the notice counts all of it. The oldest
        // line makes room for it.
        const QStringList full = lines(pane->toPlainText().toUtf8());
        const QByteArray tooLong = "[t] [DEBUG] " + QByteArray(Logger::readLimit, 'y') + "end";
        sandbox.appendLog(tooLong + '\n');
        follow();
        QCOMPARE(lines(pane->toPlainText().toUtf8()), full.mid(1)
                                                          << u"\u2026 1.0 MB of log skipped \u2026"_s);
    }

    // In the main window, the registration form and the settings form with its box open.
    void accessibility() {
        for (const QString& form : {u"main"_s, u"setup"_s, u"settings"_s}) {
            TestSandbox sandbox;
            sandbox.writeConfig(form == "settings"_L1 ? registered(u"C-42"_s, u"C-42"_s)
                                                      : AgentConfig::defaults());
            AgentState state;
            MainWindowController window(state);
            window.show();
            if (form != "main"_L1)
                child<QPushButton>(window, "btnSettings")->click();
            QWidget* shown =
                form == "main"_L1 ? static_cast<QWidget*>(&window) : window.findChild<QDialog*>();
            if (form == "settings"_L1)
                child<QPushButton>(*shown, "btnReauthToggle")->click();
            QStringList names, tabStops, chain;
            walk(QAccessible::queryAccessibleInterface(shown), names, tabStops);
            // Every view a screen reader reads has a name of its own.
            QVERIFY2(!names.contains(QString()) && QStringList(names).removeDuplicates() == 0,
                     qPrintable(form + u": "_s + names.join(u'|')));
            // Tab visits every view that takes the focus, in reading order.
            for (QWidget* view = shown->nextInFocusChain(); view != shown; view = view->nextInFocusChain())
                if ((view->focusPolicy() & Qt::TabFocus) && view->isVisibleTo(shown))
                    chain << QAccessible::queryAccessibleInterface(view)->text(QAccessible::Name);
            QCOMPARE(chain, tabStops);
        }
    }

    void statusIconShapes() {
        // Told apart without colour, by the alpha channel alone, at every size and scale panels ask for.
        const QString states[] = {u"Running"_s, u"Stopped"_s, u"Not Installed"_s, u"Checking"_s};
        for (const int size : StatusIcon::sizes) {
            for (const qreal scale : {1.0, 2.0}) {
                QList<QImage> masks;
                for (const QString& state : states) {
                    const QPixmap pixmap = StatusIcon::icon(state).pixmap(QSize(size, size), scale);
                    const QImage mask = pixmap.toImage().createAlphaMask(Qt::ThresholdAlphaDither);
                    for (qsizetype other = 0; other < masks.size(); ++other)
                        QVERIFY2(mask != masks.at(other), qPrintable(state + u'/' + states[other]));
                    masks << mask;
                }
            }
        }
    }

    // A notice when the agent stops by itself: none at start-up or for a stop from the app, and at most
    // one in 10 minutes.
    void stopNotice() {
        // Changes of state: the old, the new, whether a stop or restart from the app is under way, the
        // minute; then the minutes at which a notice comes.
        using Changes = std::vector<std::tuple<const char*, const char*, bool, int>>;
        // clang-format off
        const std::pair<Changes, QList<int>> rows[] = {
            {{{"Checking", "Running", false, 0}, {"Running", "Stopped", false, 5}}, {5}},
            {{{"Running", "Not Installed", false, 1}}, {1}},
            {{{"Checking", "Stopped", false, 0}, {"Stopped", "Not Installed", false, 1}}, {}},
            {{{"Running", "Stopped", true, 0}, {"Stopped", "Running", true, 0}, {"Running", "Stopped", false, 3}}, {3}},
            {{{"Running", "Stopped", false, 1}, {"Stopped", "Running", false, 2}, {"Running", "Stopped", false, 10}}, {1}},
            {{{"Running", "Stopped", false, 1}, {"Stopped", "Running", false, 2}, {"Running", "Not Installed", false, 11}}, {1, 11}},
        };
        // clang-format on
        for (const auto& [changes, expected] : rows) {
            StopNotice notice;
            QList<int> notices;
            for (const auto& [from, to, own, minute] : changes)
                if (notice.stateChanged(QLatin1String(from), QLatin1String(to), own,
                                        StopNotice::Clock::time_point{} + std::chrono::minutes(minute)))
                    notices << minute;
            QCOMPARE(notices, expected);
        }
    }

    // The window's size for its 540 × 780 content in the room a screen leaves, with 16-point bars.
    void screenFit() {
        const std::pair<QSize, QSize> rows[] = {
            {{1366, 1024}, {540, 780}}, // room: exactly the frames
            {{1366, 738}, {556, 738}},  // a 768-pixel screen less a panel: a vertical bar beside
            {{548, 738}, {548, 738}},   // too narrow for the bar as well: both bars
            {{500, 1024}, {500, 796}},  // a horizontal bar below
        };
        for (const auto& [room, size] : rows)
            QCOMPARE(fittedWindowSize(QSize(540, 780), room, 16), size);
    }

    // A second start's request shows the window; anything but exactly that one request does nothing,
    // and the socket is its user's alone.
    void instanceChannel() {
        QTemporaryDir folder;
        const QString path = InstanceChannel::socketPathFor(folder.filePath(u"app.lock"_s));
        TestSandbox::writeFile(path, "left behind by a crashed instance");
        InstanceChannel channel(path); // listening where the crashed one left its socket
        QCOMPARE(QFile::permissions(path) & 0x0077, QFileDevice::Permissions());
        QSignalSpy shown(&channel, &InstanceChannel::showMainWindowRequested);
        for (const QByteArray& request : {QByteArray("show-main-window"), QByteArray("show-main-window\nx"),
                                          QByteArray("SHOW-MAIN-WINDOW\n"), QByteArray(4096, '\n')}) {
            QLocalSocket peer;
            peer.connectToServer(path);
            QVERIFY(peer.waitForConnected());
            peer.write(request);
            peer.flush();
            if (request != "show-main-window") // not yet whole: waits for the rest
                QTRY_COMPARE(peer.state(), QLocalSocket::UnconnectedState);
        }
        QCOMPARE(shown.count(), 0);
        // The real request, from a thread, as a second process would send it while this one runs.
        auto asked =
            std::async(std::launch::async, [&] { return InstanceChannel::askToShowMainWindow(path); });
        QTRY_COMPARE(shown.count(), 1);
        QVERIFY(asked.get());
    }

    // "Save Support Report…" in the status menu and the window's context menu: saved where the dialog
    // says, privately and without the token; a failure says why.
    void supportReport() {
        TestSandbox sandbox;
        sandbox.writeConfig(registered(u"C-77"_s, u"secret-token-77"_s));
        QTemporaryDir folder;
        QString suggested, saveTo = folder.filePath(u"report.txt"_s);
        Dialogs::setSaveFileHook([&](const QString& path) { return std::exchange(suggested, path), saveTo; });
        const auto unhook = qScopeGuard([] { Dialogs::setSaveFileHook({}); });
        const Alerts alerts;
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching({u"tavrel-agent"_s});
        QAction* entry = child<QAction>(*delegate.statusBar()->trayMenu(), "saveReportMenuItem");
        QAction* windowAction = child<QAction>(*delegate.mainWindow(), "saveReportAction");
        QVERIFY(delegate.mainWindow()->actions().contains(windowAction) &&
                delegate.mainWindow()->contextMenuPolicy() == Qt::ActionsContextMenu);

        // Written whole and privately, also over a file that others could read.
        TestSandbox::writeFile(saveTo, "an older report");
        QVERIFY(QFile::setPermissions(saveTo, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        entry->trigger();
        QVERIFY2(suggested.contains(QRegularExpression(u"/tavrel-agent-report-\\d{8}-\\d{6}\\.txt$"_s)),
                 qPrintable(suggested));
        QCOMPARE(QFile::permissions(saveTo) & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        const QByteArray report = TestSandbox::readFile(saveTo);
        QVERIFY(report.contains("computerID: C-77") && !report.contains("secret-token-77") &&
                alerts.isEmpty());
        // A folder that cannot be written to: the alert says so, with the reason.
        saveTo = folder.filePath(u"missing/report.txt"_s);
        windowAction->trigger();
        const QString failed = alerts.value(0);
        QVERIFY2(failed.startsWith(u"The support report could not be saved to "_s + saveTo + u".|"_s) &&
                     !failed.endsWith(u'|') && alerts.size() == 1 && !QFile::exists(saveTo),
                 qPrintable(failed));
    }

#ifdef TAVREL_POLKIT_AGENT
    // The app's own polkit agent with a stand-in for polkit's helper: the identity offered and chosen,
    // a wrong password kept for another try, and Cancel and Escape ending the request unauthenticated.
    void ownAuthenticationAgent() {
        // Of polkit's identities only users count, this process's own offered first.
        const PolkitIdentities identities = {{u"unix-user"_s, {{u"uid"_s, 0u}}},
                                             {u"unix-group"_s, {{u"gid"_s, 0u}}},
                                             {u"unix-user"_s, {{u"uid"_s, 65534u}}}};
        const PolkitAgent::Request request = PolkitAgent::requestFor({}, u"C-1"_s, identities, 65534);
        QCOMPARE(request.users, QStringList({u"root"_s, u"nobody"_s}));
        QCOMPARE(request.selected, 1);

        // Of ann and bob the one offered and the one chosen; the passwords typed ("cancel" and "escape"
        // end it); whether it authenticated; the helper's runs, as "USER COOKIE" lines.
        const std::tuple<int, int, QStringList, bool, const char*> rows[] = {
            {1, 0, {u"wrong"_s, u"right-pass"_s}, true, "ann C-1\nann C-1\n"},
            {0, 1, {u"wrong"_s, u"cancel"_s}, false, "bob C-1\n"},
            {0, 0, {u"escape"_s}, false, ""},
        };
        for (const auto& [offered, chosen, answers, authenticates, runs] : rows) {
            TestSandbox sandbox;
            QDir::setCurrent(sandbox.root()); // where the helper's stand-in counts its runs
            QPointer<AuthenticationDialog> dialog;
            AuthenticationDialog::setHook([&](AuthenticationDialog& shown) {
                dialog = &shown;
                shown.show(); // not modal: the test answers it
            });
            const auto unhook = qScopeGuard([] { AuthenticationDialog::setHook({}); });
            PolkitAgent agent(QStringLiteral(TAVREL_STANDINS_DIR "/polkit-agent-helper-1"));
            std::optional<bool> authenticated;
            agent.authenticate({u"Authentication is required"_s, u"C-1"_s, {u"ann"_s, u"bob"_s}, offered},
                               [&](bool answer) { authenticated = answer; });
            QVERIFY(dialog && dialog->identityChoice()->currentIndex() == offered);
            dialog->identityChoice()->setCurrentIndex(chosen);
            for (const QString& answer : answers) {
                if (answer == "cancel"_L1) {
                    dialog->cancelButton()->click();
                } else if (answer == "escape"_L1) {
                    QTest::keyClick(dialog->passwordField(), Qt::Key_Escape);
                } else {
                    QTest::keyClicks(dialog->passwordField(), answer);
                    QTest::keyClick(dialog->passwordField(), Qt::Key_Return);
                    QVERIFY(dialog->passwordField()->text().isEmpty()); // taken out at once
                    QTRY_VERIFY(authenticated || dialog->authenticateButton()->isEnabled());
                    QVERIFY(authenticated ||
                            dialog->feedback() == u"Sorry, that did not work. Please try again."_s);
                }
            }
            QTRY_VERIFY(authenticated.has_value());
            QCOMPARE(*authenticated, authenticates);
            QTRY_VERIFY(!dialog);
            QCOMPARE(TestSandbox::readFile(u"helper.runs"_s), QByteArray(runs));
            QDir::setCurrent(QDir::tempPath());
        }
    }
#endif

    // Last: it runs the application's event loop until it quits.
    void withoutSystemTray() {
        TestSandbox sandbox;
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching({u"tavrel-agent"_s, u"--tray"_s});
        if (delegate.statusBar()->hasTrayIcon())
            QSKIP("a system tray is available here");
        // A panel that starts after us at login gets its whole chance first; then the window is the way in.
        auto* wait = delegate.findChild<QTimer*>();
        for (int waited = 0; waited < AppDelegate::trayWaitLimitMs;
             waited += AppDelegate::trayWaitIntervalMs) {
            QVERIFY2(!delegate.mainWindow(), qPrintable(QString::number(waited)));
            QVERIFY(QMetaObject::invokeMethod(wait, "timeout"));
        }
        MainWindowController* window = delegate.mainWindow();
        QVERIFY(window && window->isVisible());
        // Minimised, the menu brings the one window back.
        window->showMinimized();
        child<QAction>(*delegate.statusBar()->trayMenu(), "openWindowMenuItem")->trigger();
        QVERIFY(delegate.mainWindow() == window && window->isVisible() && !window->isMinimized());
        // Closing only hides it, still refreshing; with no tray to bring it back, that ends the app.
        window->close();
        QVERIFY(!window->isVisible() && child<QTimer>(*delegate.agentState(), "refreshTimer")->isActive());
        QTimer::singleShot(5000, &delegate, [] { QCoreApplication::exit(-1); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
