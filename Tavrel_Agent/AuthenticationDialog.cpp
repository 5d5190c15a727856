#include "Tavrel_Agent/AuthenticationDialog.h"

#include "Tavrel_Agent/Accessibility.h"
#include "Tavrel_Agent/ViewHelpers.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {
AuthenticationDialog::Hook& hook() {
    static AuthenticationDialog::Hook installed;
    return installed;
}
} // namespace

AuthenticationDialog::AuthenticationDialog(const QString& message, const QStringList& identities,
                                           int selected, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("authenticationDialog"));
    setWindowTitle(QStringLiteral("Authentication Required"));
    setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    setAccessibleName(windowTitle());
    setAccessibleDescription(message);

    auto* lblMessage = new QLabel(message, this);
    lblMessage->setObjectName(QStringLiteral("lblAuthenticationMessage"));
    lblMessage->setWordWrap(true);
    lblMessage->setFont(Style::boldSystemFont());
    lblMessage->setMinimumWidth(360);

    auto* form = new QFormLayout;
    auto* identityRow = new QLabel(QStringLiteral("Authenticate as:"), this);
    QWidget* identityView = nullptr;
    if (identities.size() > 1) {
        cmbIdentity = new QComboBox(this);
        cmbIdentity->setObjectName(QStringLiteral("cmbIdentity"));
        cmbIdentity->addItems(identities);
        cmbIdentity->setCurrentIndex(std::clamp(selected, 0, int(identities.size()) - 1));
        identityView = cmbIdentity;
    } else {
        lblIdentity = new QLabel(identities.value(0), this);
        lblIdentity->setObjectName(QStringLiteral("lblIdentity"));
        identityView = lblIdentity;
    }
    nameByRow(identityRow, identityView);
    form->addRow(identityRow, identityView);

    auto* passwordRow = new QLabel(QStringLiteral("Password:"), this);
    txtPassword = new QLineEdit(this);
    txtPassword->setObjectName(QStringLiteral("txtAuthenticationPassword"));
    txtPassword->setEchoMode(QLineEdit::Password);
    nameByRow(passwordRow, txtPassword);
    form->addRow(passwordRow, txtPassword);

    lblFeedback = new AccessibleLabel(QString(), this);
    lblFeedback->setObjectName(QStringLiteral("lblAuthenticationFeedback"));
    lblFeedback->setStatusLine(QStringLiteral("Status"));
    lblFeedback->setWordWrap(true);
    Style::setTextColor(lblFeedback, Style::errorColor());

    auto* buttons = new QDialogButtonBox(this);
    btnCancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    btnCancel->setObjectName(QStringLiteral("btnAuthenticationCancel"));
    btnAuthenticate = buttons->addButton(QStringLiteral("Authenticate"), QDialogButtonBox::AcceptRole);
    btnAuthenticate->setObjectName(QStringLiteral("btnAuthenticate"));
    btnAuthenticate->setDefault(true);
    btnCancel->setAutoDefault(false);
    // Accepting is the helper's answer, not the button's.
    connect(buttons, &QDialogButtonBox::accepted, this, &AuthenticationDialog::authenticateRequested);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblMessage);
    layout->addLayout(form);
    layout->addWidget(lblFeedback);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Reading order: who, the password, then the buttons as they stand.
    setTabOrder(identityView, txtPassword);
    setTabOrder(txtPassword, buttons->buttons().constFirst());
    setTabOrder(buttons->buttons().constFirst(), buttons->buttons().constLast());
    txtPassword->setFocus();
}

void AuthenticationDialog::setHook(Hook newHook) {
    hook() = std::move(newHook);
}

void AuthenticationDialog::present() {
    if (hook())
        hook()(*this);
    else
        open();
}

int AuthenticationDialog::identity() const {
    return cmbIdentity != nullptr ? cmbIdentity->currentIndex() : 0;
}

QByteArray AuthenticationDialog::takePassword() {
    QString text = txtPassword->text();
    // Once the field lets go of its text, ours is the only copy left to wipe.
    txtPassword->clear();
    QByteArray bytes = text.toUtf8();
    std::fill(text.begin(), text.end(), QChar(0));
    return bytes;
}

void AuthenticationDialog::setChecking(bool checking) {
    txtPassword->setEnabled(!checking);
    btnAuthenticate->setEnabled(!checking);
    if (cmbIdentity != nullptr)
        cmbIdentity->setEnabled(!checking);
    if (checking)
        lblFeedback->setText(QString());
}

void AuthenticationDialog::showRetry() {
    setChecking(false);
    lblFeedback->setText(retryText());
    txtPassword->setFocus();
}

QString AuthenticationDialog::retryText() {
    return QStringLiteral("Sorry, that did not work. Please try again.");
}

QString AuthenticationDialog::feedback() const {
    return lblFeedback->text();
}
