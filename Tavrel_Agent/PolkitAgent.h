#pragma once

#include "core/Privileged.h"

#include <QDBusMessage>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class AuthenticationDialog;

// A polkit subject or identity on the bus: its kind ("unix-process", "unix-user") and details.
struct PolkitKindAndDetails final {
    QString kind;
    QVariantMap details;
};
Q_DECLARE_METATYPE(PolkitKindAndDetails)
using PolkitIdentities = QList<PolkitKindAndDetails>;
using PolkitDetails = QMap<QString, QString>;

// The app's own polkit authentication agent (org.freedesktop.PolicyKit1.AuthenticationAgent on the
// system bus), registered for this process only and only while the runner lends it: other
// programs' requests never reach it, and where the session has an agent of its own that one asks.
// The password goes from our dialog to polkit's setuid helper, polkit-agent-helper-1, which checks
// it and tells polkit the answer; nothing else sees it.
class PolkitAgent final : public QObject, public OwnAuthenticationAgent {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PolicyKit1.AuthenticationAgent")
public:
    explicit PolkitAgent(QString helperProgram = installedHelper(), QObject* parent = nullptr);
    ~PolkitAgent() override;

    void acquire(std::function<void(const Outcome&)> done) override;
    void release() override;

    // One request as polkit makes it: done gets whether the administrator was authenticated
    // (false: cancelled, here or by polkit).
    struct Request final {
        QString message;
        QString cookie;
        QStringList users; // the user names polkit would accept
        int selected = 0;  // the one offered first
    };
    void authenticate(const Request& request, std::function<void(bool authenticated)> done);
    // Ends every open request as cancelled (quitting: pkexec must not wait for an answer).
    void cancelAll();

    // polkit's own helper, where the system keeps it; empty when it has none.
    static QString installedHelper();
    // The users among polkit's identities, this process's own first choice, and the index to offer.
    static Request requestFor(const QString& message, const QString& cookie,
                              const PolkitIdentities& identities, uint ownUid);

public Q_SLOTS:
    // The interface polkit calls; nobody else may. The types are spelled out: the bus looks them
    // up by name, and an alias would not be found.
    void BeginAuthentication(const QString& actionId, const QString& message, const QString& iconName,
                             const QMap<QString, QString>& details, const QString& cookie,
                             const QList<PolkitKindAndDetails>& identities, const QDBusMessage& call);
    void CancelAuthentication(const QString& cookie, const QDBusMessage& call);

private:
    class Conversation;
    void cancel(const QString& cookie);
    bool asking() const;

    QString helper;
    bool exported = false;
    bool registered = false;
    QString authority; // the unique bus name that answered our registration
    QList<QPointer<Conversation>> conversations;
};
