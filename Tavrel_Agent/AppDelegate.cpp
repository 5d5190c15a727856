#include "Tavrel_Agent/AppDelegate.h"

#include "Tavrel_Agent/AgentState.h"
#include "Tavrel_Agent/InstanceChannel.h"
#include "Tavrel_Agent/MainWindowController.h"
#ifdef TAVREL_POLKIT_AGENT
#include "Tavrel_Agent/PolkitAgent.h"
#endif
#include "Tavrel_Agent/SetupWindowController.h"
#include "Tavrel_Agent/StatusBarController.h"
#include "Tavrel_Agent/SupportReportFlow.h"
#include "core/Privileged.h"
#include "core/Version.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QLockFile>
#include <QScopeGuard>
#include <QSessionManager>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

bool hasTrayOption(const QStringList& arguments) {
    return arguments.contains(QStringLiteral("--tray"), Qt::CaseSensitive);
}

// A directory only we can write to: anyone else could plant or remove our lock in it.
static bool isPrivateDirectory(const QString& path) {
    struct stat info {};
    return !path.isEmpty() && QDir::isAbsolutePath(path) &&
           ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

QString instanceLockPath(const QString& instanceKey) {
    const QString fileName = instanceKey + QStringLiteral(".lock");
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (isPrivateDirectory(runtime))
        return QDir(runtime).filePath(fileName);
    // No usable runtime directory (macOS, or a session without one): a folder of our own in the
    // per-user or shared temporary directory, used only if nobody else made it first; else one in
    // the user's cache folder, which nobody else can write to.
    const QString fallbacks[] = {
        QDir(QDir::tempPath()).filePath(QStringLiteral("tavrel-agent-") + QString::number(::getuid())),
        QDir(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation))
            .filePath(QStringLiteral("tavrel-agent")),
    };
    for (const QString& fallback : fallbacks) {
        if (!QDir::isAbsolutePath(fallback))
            continue;
        QDir().mkpath(QFileInfo(fallback).path());
        ::mkdir(QFile::encodeName(fallback).constData(), 0700);
        if (isPrivateDirectory(fallback))
            return QDir(fallback).filePath(fileName);
    }
    return {};
}

AppDelegate::AppDelegate() = default;

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching(const QStringList& arguments) {
    // Sees the platform's own quit (the session's end, the macOS application menu) and, without
    // a tray, the main window's close.
    QCoreApplication::instance()->installEventFilter(this);
    connect(qApp, &QGuiApplication::commitDataRequest, this, &AppDelegate::commitData);
    state = std::make_unique<AgentState>();
    statusBarController = std::make_unique<StatusBarController>(*state);
    // A connection ends with either side, so the menu never calls into a deleted delegate.
    connect(statusBarController.get(), &StatusBarController::openMainWindowRequested, this,
            &AppDelegate::showMainWindow);
    connect(statusBarController.get(), &StatusBarController::quitRequested, this, &AppDelegate::quit);
    connect(statusBarController.get(), &StatusBarController::saveSupportReportRequested, this,
            [this] { saveSupportReport(nullptr); });
    if (!hasTrayOption(arguments))
        showMainWindow();
    else if (!statusBarController->hasTrayIcon())
        waitForSystemTray();
}

void AppDelegate::waitForSystemTray() {
    trayWaitTimer = new QTimer(this);
    trayWaitTimer->setInterval(trayWaitIntervalMs);
    connect(trayWaitTimer, &QTimer::timeout, this, [this] {
        trayWaitedMs += trayWaitIntervalMs;
        const bool trayArrived = statusBarController->hasTrayIcon();
        if (!trayArrived && trayWaitedMs < trayWaitLimitMs)
            return;
        trayWaitTimer->deleteLater();
        trayWaitTimer = nullptr;
        // Still no tray: without the window the app would be running but unreachable. A tray that
        // comes later gets the icon all the same, and the window stays as it is.
        if (!trayArrived)
            showMainWindow();
    });
    trayWaitTimer->start();
}

void AppDelegate::showMainWindow() {
    if (!mainWindowController) {
        mainWindowController = std::make_unique<MainWindowController>(*state);
        connect(mainWindowController.get(), &MainWindowController::saveSupportReportRequested, this,
                [this] { saveSupportReport(mainWindowController.get()); });
    }
    QWidget* window = mainWindowController.get();
    if (window->isMinimized())
        window->showNormal();
    else
        window->show();
    window->raise();
    window->activateWindow();
}

void AppDelegate::saveSupportReport(QWidget* parent) {
    SupportReportFlow::save(parent, *state, *statusBarController);
}

SetupWindowController* AppDelegate::openSheet() const {
    return mainWindowController ? mainWindowController->findChild<SetupWindowController*>() : nullptr;
}

void AppDelegate::quit() {
    // A second Quit while the question is open changes nothing.
    if (quitting)
        return;
    quitting = true;
    SetupWindowController* sheet = openSheet();
    const bool mayEnd = !sheet || sheet->mayDiscardRegistration();
    quitting = false;
    // Ended here rather than by Qt's quit, which first closes every window and gives up when one
    // stays visible: the main window only hides on close, and whether another window (the X11
    // tray icon's own) was closed before it was left to chance.
    if (mayEnd)
        QCoreApplication::exit(0);
}

bool AppDelegate::sessionMayEnd(const std::function<bool()>& allowsInteraction) {
    SetupWindowController* sheet = openSheet();
    if (!sheet || !sheet->holdsUnstoredRegistration())
        return true;
    if (!allowsInteraction()) {
        sessionEnding = true;
        return true;
    }
    return sheet->mayDiscardRegistration();
}

void AppDelegate::commitData(QSessionManager& manager) {
    bool interacting = false;
    const bool mayEnd = sessionMayEnd([&] { return interacting = manager.allowsInteraction(); });
    if (!mayEnd)
        manager.cancel();
    if (interacting)
        manager.release();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        // The session manager's quit after it ended the session without letting us ask.
        if (sessionEnding)
            QCoreApplication::exit(0);
        else
            quit();
        return true;
    }
    // Closing the window only hides it, and the status icon brings it back. With no tray to
    // bring it back from, a hidden app could never be reached again (a new start would only ask
    // this one to show the window), so closing the window then ends the app.
    if (event->type() == QEvent::Close && watched == mainWindowController.get() &&
        !statusBarController->hasTrayIcon())
        QMetaObject::invokeMethod(this, &AppDelegate::quit, Qt::QueuedConnection);
    return QObject::eventFilter(watched, event);
}

// How old a lock without its holder's name must be before it counts as left by a crash: a live
// instance writes its name right after making the lock.
constexpr int unreadableLockAgeS = 5;

int runTavrelApp(int argc, char* argv[], AgentEnvironment environment, const QString& instanceKey) {
    // Read before QApplication takes out its own options: every argument counts, argv[0] too.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    AgentEnvironment::install(std::move(environment));

    // One instance per user, decided before any window or tray icon exists. Running unguarded
    // would let two instances drive the service and the configuration at once.
    const QString lockPath = instanceLockPath(instanceKey);
    if (lockPath.isEmpty()) {
        std::fputs("tavrel-agent: no private folder for the single-instance lock (runtime, temporary or "
                   "cache folder); not starting\n",
                   stderr);
        return 1;
    }
    QLockFile instanceLock(lockPath);
    // A live holder keeps its lock however long it runs; a dead one's lock is taken over.
    instanceLock.setStaleLockTime(0);
    const QString socketPath = InstanceChannel::socketPathFor(lockPath);
    // A holder killed between making its lock and writing its name into it leaves a lock that no
    // check calls stale, and the app could never start again; one that old is nobody's.
    qint64 holder = 0;
    QString host, application;
    if (!instanceLock.tryLock(0) && instanceLock.error() == QLockFile::LockFailedError &&
        !instanceLock.getLockInfo(&holder, &host, &application) &&
        QFileInfo(lockPath).lastModified().secsTo(QDateTime::currentDateTime()) > unreadableLockAgeS)
        instanceLock.removeStaleLockFile();
    if (!instanceLock.isLocked() && !instanceLock.tryLock(0)) {
        if (instanceLock.error() == QLockFile::LockFailedError) {
            // Opened from the desktop's menu, the running instance shows its window; an autostart
            // entry (--tray) must not pop it up. Either way this start leaves silently.
            if (!hasTrayOption(arguments))
                (void)InstanceChannel::askToShowMainWindow(socketPath);
            return 0;
        }
        std::fprintf(stderr, "tavrel-agent: cannot take the single-instance lock %s; not starting\n",
                     QFile::encodeName(lockPath).constData());
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tavrel Agent"));
    QApplication::setApplicationVersion(appVersion());
    QGuiApplication::setDesktopFileName(QStringLiteral("tavrel-agent"));
    // Our own logo, the picture the installed icon shows too: taken from the program itself, it
    // needs no search through the icon themes.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/logo-letters.png")));

#ifdef TAVREL_POLKIT_AGENT
    // Lent to pkexec where the session has no authentication agent of its own.
    PolkitAgent ownAgent;
    setOwnAuthenticationAgent(&ownAgent);
    const auto noOwnAgent = qScopeGuard([] { setOwnAuthenticationAgent(nullptr); });
#endif
    InstanceChannel channel(socketPath);
    AppDelegate delegate;
    QObject::connect(&channel, &InstanceChannel::showMainWindowRequested, &delegate,
                     &AppDelegate::showMainWindow);
    delegate.applicationDidFinishLaunching(arguments);
    const int status = QApplication::exec();
#ifdef TAVREL_POLKIT_AGENT
    // Our own dialog can no longer be answered: pkexec hears it was cancelled.
    ownAgent.cancelAll();
#endif
    // A root operation still running (a quit while the administrator was asked) ends first, so
    // that no half-done change is left without its answer.
    RootActivity::instance().waitUntilIdle();
    return status;
}
