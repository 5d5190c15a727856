#include "Tavrel_Agent/InstanceChannel.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr int startWaitMs = 3000; // for an instance that holds the lock but does not listen yet
constexpr int retryIntervalMs = 50;

// The folder already keeps others out; the peer's user is checked as well, so that a socket
// reached some other way still answers our own user only.
bool peerIsThisUser(qintptr descriptor) {
#ifdef SO_PEERCRED
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           credentials.uid == ::getuid();
#else
    uid_t uid = 0;
    gid_t gid = 0;
    return ::getpeereid(int(descriptor), &uid, &gid) == 0 && uid == ::getuid();
#endif
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}
} // namespace

InstanceChannel::InstanceChannel(const QString& socketPath, QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this)) {
    if (socketPath.isEmpty())
        return;
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketPath);
    if (server->listen(socketPath))
        connect(server, &QLocalServer::newConnection, this, &InstanceChannel::accept);
}

InstanceChannel::~InstanceChannel() = default;

bool InstanceChannel::isListening() const {
    return server->isListening();
}

QString InstanceChannel::socketPathFor(const QString& lockPath) {
    if (lockPath.isEmpty())
        return {};
    QString path = lockPath;
    if (path.endsWith(QLatin1String(".lock")))
        path.chop(5);
    return path + QStringLiteral(".socket");
}

void InstanceChannel::accept() {
    while (QLocalSocket* peer = server->nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        if (!peerIsThisUser(peer->socketDescriptor())) {
            peer->abort();
            peer->deleteLater();
            continue;
        }
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] { readRequest(peer); });
        // A peer that never finishes its request must not hold a connection open.
        QTimer::singleShot(requestTimeoutMs, peer, [peer] {
            peer->abort();
            peer->deleteLater();
        });
        readRequest(peer);
    }
}

void InstanceChannel::readRequest(QLocalSocket* peer) {
    const QByteArray expected(showRequest);
    const QByteArray received = peer->peek(expected.size() + 1);
    if (received.size() < expected.size() && expected.startsWith(received))
        return; // the rest is on its way
    const bool understood = received == expected;
    // One request per connection: answered or not, the peer is hung up on.
    peer->abort();
    peer->deleteLater();
    if (understood)
        Q_EMIT showMainWindowRequested();
}

bool InstanceChannel::askToShowMainWindow(const QString& socketPath) {
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    for (int waited = 0;; waited += retryIntervalMs) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            bool delivered = sendAll(fd, showRequest, sizeof showRequest - 1);
            // The instance hangs up once it has read the request.
            pollfd hangUp{fd, POLLIN, 0};
            delivered = delivered && ::poll(&hangUp, 1, requestTimeoutMs) == 1;
            ::close(fd);
            return delivered;
        }
        const int error = errno;
        ::close(fd);
        // Nobody listens yet: the instance holding the lock may still be starting.
        if ((error != ENOENT && error != ECONNREFUSED) || waited >= startWaitMs)
            return false;
        ::usleep(retryIntervalMs * 1000);
    }
}
