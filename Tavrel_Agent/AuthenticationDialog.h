#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>

class AccessibleLabel;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The administrator's password, asked for by the app's own polkit agent where the session has no
// agent of its own. Window-modal over the app's window; Return authenticates, Escape cancels.
class AuthenticationDialog final : public QDialog {
    Q_OBJECT
public:
    // message: the polkit action's; identities: the users polkit accepts, as shown; selected: the
    // one offered first.
    AuthenticationDialog(const QString& message, const QStringList& identities, int selected,
                         QWidget* parent = nullptr);

    // Shows the dialog without waiting, or hands it to the test hook.
    void present();
    using Hook = std::function<void(AuthenticationDialog&)>;
    static void setHook(Hook hook);

    int identity() const;
    // The typed password as UTF-8, taken out of the field, which is left empty. The caller clears
    // the bytes once they are sent.
    QByteArray takePassword();
    // While polkit's helper checks the password, nothing can be changed or pressed but Cancel.
    void setChecking(bool checking);
    // A wrong password: the dialog stays for another try.
    void showRetry();

    static QString retryText();

    QComboBox* identityChoice() const { return cmbIdentity; }
    QLineEdit* passwordField() const { return txtPassword; }
    QPushButton* authenticateButton() const { return btnAuthenticate; }
    QPushButton* cancelButton() const { return btnCancel; }
    QString feedback() const;

Q_SIGNALS:
    // Authenticate pressed, the password typed.
    void authenticateRequested();

private:
    QComboBox* cmbIdentity = nullptr; // several identities
    QLabel* lblIdentity = nullptr;    // just one
    QLineEdit* txtPassword = nullptr;
    AccessibleLabel* lblFeedback = nullptr;
    QPushButton* btnAuthenticate = nullptr;
    QPushButton* btnCancel = nullptr;
};
