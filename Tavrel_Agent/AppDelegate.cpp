#include "Tavrel_Agent/AppDelegate.h"

#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/StatusBarController.h"
#include "core/Version.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QLockFile>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

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
    // per-user or shared temporary directory, used only if nobody else made it first.
    const QString fallback =
        QDir(QDir::tempPath()).filePath(QStringLiteral("tavrel-agent-") + QString::number(::getuid()));
    ::mkdir(QFile::encodeName(fallback).constData(), 0700);
    if (isPrivateDirectory(fallback))
        return QDir(fallback).filePath(fileName);
    return {};
}

AppDelegate::AppDelegate() = default;

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching(const QStringList& arguments) {
    // The menu reaches back through a guarded pointer, so it never calls into a deleted delegate.
    statusBarController_ = std::make_unique<StatusBarController>([delegate = QPointer<AppDelegate>(this)] {
        if (delegate)
            delegate->showMainWindow();
    });
    if (!hasTrayOption(arguments))
        showMainWindow();
    else if (!QSystemTrayIcon::isSystemTrayAvailable())
        waitForSystemTray();
}

void AppDelegate::waitForSystemTray() {
    trayWaitTimer_ = new QTimer(this);
    trayWaitTimer_->setInterval(trayWaitIntervalMs);
    connect(trayWaitTimer_, &QTimer::timeout, this, [this] {
        trayWaitedMs_ += trayWaitIntervalMs;
        const bool trayArrived = QSystemTrayIcon::isSystemTrayAvailable();
        if (!trayArrived && trayWaitedMs_ < trayWaitLimitMs)
            return;
        trayWaitTimer_->deleteLater();
        trayWaitTimer_ = nullptr;
        // Still no tray: without the window the app would be running but unreachable.
        if (!trayArrived)
            showMainWindow();
    });
    trayWaitTimer_->start();
}

void AppDelegate::showMainWindow() {
    if (!mainWindowController_) {
        mainWindowController_ = std::make_unique<MainWindowController>();
        mainWindowController_->installEventFilter(this);
    }
    QWidget* window = mainWindowController_.get();
    if (window->isMinimized())
        window->showNormal();
    else
        window->show();
    window->raise();
    window->activateWindow();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    // Closing the window only hides it, and the status icon brings it back. With no tray to
    // bring it back from, a hidden app could never be reached again (a new start just leaves
    // because this one holds the lock), so closing the window then ends the app.
    if (event->type() == QEvent::Close && watched == mainWindowController_.get() &&
        !QSystemTrayIcon::isSystemTrayAvailable())
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                  Qt::QueuedConnection);
    return QObject::eventFilter(watched, event);
}

int runTavrelApp(int argc, char* argv[], AgentEnvironment environment, const QString& instanceKey) {
    // Read before QApplication takes out its own options: every argument counts, argv[0] too.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    AgentEnvironment::install(std::move(environment));

    // One instance per user, decided before any window or tray icon exists.
    std::unique_ptr<QLockFile> instanceLock;
    if (const QString lockPath = instanceLockPath(instanceKey); !lockPath.isEmpty()) {
        instanceLock = std::make_unique<QLockFile>(lockPath);
        // A live holder keeps its lock however long it runs; a dead one's lock is taken over.
        instanceLock->setStaleLockTime(0);
        if (!instanceLock->tryLock(0) && instanceLock->error() == QLockFile::LockFailedError)
            return 0;
        // Any other failure (no room, no permission) must not keep the app from starting.
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tavrel Agent"));
    QApplication::setApplicationVersion(appVersion());
    QGuiApplication::setDesktopFileName(QStringLiteral("tavrel-agent"));
    // The installed icon, else the logo the windows already carry.
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("tavrel-agent"), QIcon(QStringLiteral(":/logo-letters.png"))));

    AppDelegate delegate;
    delegate.applicationDidFinishLaunching(arguments);
    return QApplication::exec();
}
