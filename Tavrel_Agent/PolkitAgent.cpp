#include "Tavrel_Agent/PolkitAgent.h"

#include "Tavrel_Agent/AuthenticationDialog.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QTimer>

#include <pwd.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

QDBusArgument& operator<<(QDBusArgument& argument, const PolkitKindAndDetails& value) {
    argument.beginStructure();
    argument << value.kind << value.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PolkitKindAndDetails& value) {
    argument.beginStructure();
    argument >> value.kind >> value.details;
    argument.endStructure();
    return argument;
}

namespace {

const QString authorityService = QStringLiteral("org.freedesktop.PolicyKit1");
const QString authorityPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString authorityInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");
const QString agentPath = QStringLiteral("/com/tavrel/agent/AuthenticationAgent");
const QString cancelledError = QStringLiteral("org.freedesktop.PolicyKit1.Error.Cancelled");
const QString failedError = QStringLiteral("org.freedesktop.PolicyKit1.Error.Failed");

// This process as polkit knows it: pid, start time (clock ticks after boot, field 22 of
// /proc/self/stat, after the command name in parentheses) and uid.
PolkitKindAndDetails ownProcess() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    quint64 startTime = 0;
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        startTime = fields.value(19).toULongLong();
    }
    return {QStringLiteral("unix-process"),
            {{QStringLiteral("pid"), QVariant::fromValue(quint32(::getpid()))},
             {QStringLiteral("start-time"), QVariant::fromValue(startTime)},
             {QStringLiteral("uid"), QVariant::fromValue(qint32(::getuid()))}}};
}

QDBusMessage authorityCall(const QString& method) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(authorityService, authorityPath, authorityInterface, method);
    call << QVariant::fromValue(ownProcess());
    return call;
}

void wipe(QByteArray& bytes) {
    if (!bytes.isEmpty())
        ::explicit_bzero(bytes.data(), size_t(bytes.size()));
    bytes.clear();
}

} // namespace

// One request: the dialog, and for each Authenticate one run of polkit's helper. Its standard input
// is one end of a socket pair of ours, so that the cookie and the password never sit in a buffer we
// cannot wipe, and a helper that is gone cannot take the app down with SIGPIPE.
class PolkitAgent::Conversation final : public QObject {
public:
    Conversation(const QString& helperProgram, const Request& polkitRequest, std::function<void(bool)> answer,
                 QObject* agent)
        : QObject(agent)
        , helper(helperProgram)
        , request(polkitRequest)
        , done(std::move(answer)) {
        QWidget* window = QApplication::activeWindow();
        dialog = new AuthenticationDialog(request.message, request.users, request.selected, window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &AuthenticationDialog::authenticateRequested, this, &Conversation::check);
        connect(dialog, &QDialog::rejected, this, [this] { end(false); });
        dialog->present();
    }

    ~Conversation() override {
        stopHelper();
        if (dialog) {
            dialog->disconnect(this);
            dialog->close();
        }
    }

    const QString& cookie() const { return request.cookie; }
    bool isOpen() const { return !ended; }
    void end(bool authenticated) {
        if (ended)
            return;
        ended = true;
        stopHelper();
        if (dialog) {
            dialog->disconnect(this);
            if (authenticated)
                dialog->accept();
            else
                dialog->close();
        }
        done(authenticated);
        deleteLater();
    }

private:
    void check() {
        if (ended || process)
            return;
        password = dialog->takePassword();
        const QString user = request.users.value(dialog->identity());
        int pair[2];
        if (user.isEmpty() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            wipe(password);
            dialog->showRetry();
            return;
        }
        dialog->setChecking(true);
        input = pair[0];
        const int childEnd = pair[1];
        process = new QProcess(this);
        process->setProgram(helper);
        process->setArguments({user});
        process->setStandardInputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        process->setChildProcessModifier([childEnd] { ::dup2(childEnd, STDIN_FILENO); });
        connect(process, &QProcess::readyReadStandardOutput, this, &Conversation::read);
        // Its verdict counts once it has ended: it tells polkit itself before it says SUCCESS.
        connect(process, &QProcess::finished, this, [this](int status, QProcess::ExitStatus how) {
            read();
            checked(verdict && how == QProcess::NormalExit && status == 0);
        });
        connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                checked(false);
        });
        verdict = false;
        process->start();
        ::close(childEnd);
        // The helper reads the cookie first, then answers PAM's prompts.
        QByteArray cookieLine = request.cookie.toUtf8() + '\n';
        send(cookieLine);
    }

    void send(QByteArray& line) {
        if (input >= 0)
            (void)::send(input, line.constData(), size_t(line.size()), MSG_NOSIGNAL);
        wipe(line);
    }

    void read() {
        while (process && process->canReadLine()) {
            const QByteArray line = process->readLine().trimmed();
            if (line.startsWith("PAM_PROMPT_ECHO")) {
                // The password answers the first prompt; one we have nothing for ends the check.
                if (password.isNull()) {
                    closeInput();
                    continue;
                }
                QByteArray answer = password + '\n';
                wipe(password);
                password = QByteArray();
                send(answer);
            } else if (line == "SUCCESS" || line == "FAILURE") {
                verdict = line == "SUCCESS";
                closeInput();
            } else if (line.startsWith("PAM_ERROR_MSG") || line.startsWith("PAM_TEXT_INFO")) {
                std::fprintf(stderr, "[authentication] %s\n", line.constData());
            }
        }
    }

    void checked(bool authenticated) {
        if (!process)
            return;
        stopHelper();
        if (authenticated)
            end(true);
        else if (!ended)
            dialog->showRetry();
    }

    void closeInput() {
        if (input >= 0)
            ::close(input);
        input = -1;
    }

    void stopHelper() {
        wipe(password);
        closeInput();
        if (process) {
            process->disconnect(this);
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(1000);
            }
            process->deleteLater();
            process = nullptr;
        }
    }

    QString helper;
    Request request;
    std::function<void(bool)> done;
    QPointer<AuthenticationDialog> dialog;
    QProcess* process = nullptr;
    int input = -1;
    QByteArray password;
    bool verdict = false;
    bool ended = false;
};

PolkitAgent::PolkitAgent(QString helperProgram, QObject* parent)
    : QObject(parent)
    , helper(std::move(helperProgram)) {
    qDBusRegisterMetaType<PolkitKindAndDetails>();
    qDBusRegisterMetaType<PolkitIdentities>();
    qDBusRegisterMetaType<PolkitDetails>();
}

PolkitAgent::~PolkitAgent() {
    cancelAll();
}

QString PolkitAgent::installedHelper() {
    // Debian and Ubuntu; Fedora, Arch and openSUSE.
    for (const char* path :
         {"/usr/lib/polkit-1/polkit-agent-helper-1", "/usr/libexec/polkit-agent-helper-1"}) {
        if (QFileInfo(QString::fromLatin1(path)).isExecutable())
            return QString::fromLatin1(path);
    }
    return {};
}

void PolkitAgent::acquire(std::function<void(const Outcome&)> done) {
    const auto answer = [this, done](const Outcome& outcome) {
        QTimer::singleShot(0, this, [done, outcome] { done(outcome); });
    };
    QDBusConnection bus = QDBusConnection::systemBus();
    if (helper.isEmpty())
        return answer(Outcome::failure(QStringLiteral("polkit-agent-helper-1 is not installed")));
    if (!bus.isConnected())
        return answer(Outcome::failure(QStringLiteral("no system bus: ") + bus.lastError().message()));
    if (!exported && !(exported = bus.registerObject(agentPath, this, QDBusConnection::ExportAllSlots)))
        return answer(Outcome::failure(QStringLiteral("the agent cannot be offered on the system bus")));
    QDBusMessage call = authorityCall(QStringLiteral("RegisterAuthenticationAgent"));
    const QString locale = QLocale::system().name() + QStringLiteral(".UTF-8");
    call << locale << agentPath;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, done] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        if (reply.type() != QDBusMessage::ReplyMessage) {
            done(Outcome::failure(reply.errorMessage()));
            return;
        }
        registered = true;
        authority = reply.service();
        done(Outcome::success());
    });
}

void PolkitAgent::release() {
    if (!registered)
        return;
    registered = false;
    QDBusMessage call = authorityCall(QStringLiteral("UnregisterAuthenticationAgent"));
    call << agentPath;
    QDBusConnection::systemBus().call(call, QDBus::NoBlock);
}

PolkitAgent::Request PolkitAgent::requestFor(const QString& message, const QString& cookie,
                                             const PolkitIdentities& identities, uint ownUid) {
    Request request{message, cookie, {}, 0};
    for (const PolkitKindAndDetails& identity : identities) {
        if (identity.kind != QLatin1String("unix-user"))
            continue;
        const uint uid = identity.details.value(QStringLiteral("uid")).toUInt();
        const passwd* entry = ::getpwuid(uid);
        if (entry == nullptr)
            continue;
        if (uid == ownUid)
            request.selected = int(request.users.size());
        request.users << QString::fromLocal8Bit(entry->pw_name);
    }
    return request;
}

void PolkitAgent::authenticate(const Request& request, std::function<void(bool)> done) {
    conversations.removeIf([](const QPointer<Conversation>& c) { return c.isNull(); });
    conversations.append(new Conversation(helper, request, std::move(done), this));
}

bool PolkitAgent::asking() const {
    return std::any_of(conversations.begin(), conversations.end(),
                       [](const QPointer<Conversation>& c) { return c && c->isOpen(); });
}

void PolkitAgent::cancel(const QString& cookie) {
    for (const QPointer<Conversation>& conversation : std::as_const(conversations)) {
        if (conversation && conversation->cookie() == cookie)
            conversation->end(false);
    }
}

void PolkitAgent::cancelAll() {
    for (const QPointer<Conversation>& conversation : std::as_const(conversations)) {
        if (conversation)
            conversation->end(false);
    }
}

void PolkitAgent::BeginAuthentication(const QString& actionId, const QString& message,
                                      const QString& iconName, const QMap<QString, QString>& details,
                                      const QString& cookie, const QList<PolkitKindAndDetails>& identities,
                                      const QDBusMessage& call) {
    Q_UNUSED(actionId)
    Q_UNUSED(iconName)
    Q_UNUSED(details)
    QDBusConnection bus = QDBusConnection::systemBus();
    // Only polkit, and only while lent; then only one request at a time (ours are).
    const Request request = requestFor(message, cookie, identities, ::getuid());
    if (!registered || call.service() != authority || asking() || request.users.isEmpty()) {
        std::fprintf(stderr,
                     "[authentication] a request this agent cannot serve: from %s (polkit: %s), %d users\n",
                     call.service().toLocal8Bit().constData(), authority.toLocal8Bit().constData(),
                     int(request.users.size()));
        bus.send(call.createErrorReply(failedError, QStringLiteral("This agent cannot serve the request")));
        return;
    }
    call.setDelayedReply(true);
    authenticate(request, [call, bus](bool authenticated) mutable {
        bus.send(authenticated
                     ? call.createReply()
                     : call.createErrorReply(cancelledError, QStringLiteral("The request was cancelled")));
    });
}

void PolkitAgent::CancelAuthentication(const QString& cookie, const QDBusMessage& call) {
    if (call.service() == authority)
        cancel(cookie);
}
