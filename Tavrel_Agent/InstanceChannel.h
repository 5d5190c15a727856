#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// How a second start reaches the running instance: a local socket beside the single-instance lock,
// in the same private folder. The running instance listens; the one request it understands is to
// show its main window. Anything else, or a peer running as another user, is hung up on.
class InstanceChannel final : public QObject {
    Q_OBJECT
public:
    // Listens at socketPath, replacing a socket a crashed instance left behind (the caller holds
    // the lock, so no live instance can own it). Without a usable path nobody can reach us, and the
    // app runs as before.
    explicit InstanceChannel(const QString& socketPath, QObject* parent = nullptr);
    ~InstanceChannel() override;

    bool isListening() const;

    // The socket beside lockPath.
    static QString socketPathFor(const QString& lockPath);
    // From a second start: asks the instance listening at socketPath to show its main window.
    // Waits briefly for an instance that holds the lock but is still starting. True when the
    // request was delivered.
    static bool askToShowMainWindow(const QString& socketPath);

    // The whole of the one request, line feed included.
    static constexpr char showRequest[] = "show-main-window\n";
    // A peer that has not sent it by then is hung up on.
    static constexpr int requestTimeoutMs = 2000;

Q_SIGNALS:
    void showMainWindowRequested();

private:
    void accept();
    void readRequest(QLocalSocket* peer);

    QLocalServer* server = nullptr;
};
