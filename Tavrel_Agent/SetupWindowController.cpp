#include "Tavrel_Agent/SetupWindowController.h"

#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/ScreenFit.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "core/Logger.h"
#include "core/Privileged.h"
#include "core/SystemInfo.h"

#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {
constexpr int windowWidth = 460;
constexpr int registrationHeight = 498;
constexpr int settingsHeight = 460;
constexpr int registerCloseDelayMs = 1200;
constexpr int unregisterCloseDelayMs = 1500;
constexpr int reauthCloseDelayMs = 1000;

QString toggleTitle(bool expanded) {
    return expanded ? QStringLiteral("Re-authenticate \u25B2") : QStringLiteral("Re-authenticate \u25BC");
}

// What a screen reader says for the toggle: its title without the arrow, and what it does now.
QString toggleAccessibleName(bool expanded) {
    return expanded ? QStringLiteral("Re-authenticate (hide fields)")
                    : QStringLiteral("Re-authenticate (show fields)");
}

} // namespace

SetupWindowController::SetupWindowController(QWidget* parent)
    : QDialog(parent) {
    isRegistered = AgentConfig::load().isRegistered();
    setObjectName(QStringLiteral("setupSheet"));
    setWindowTitle(isRegistered ? QStringLiteral("Tavrel Agent \u2014 Settings")
                                : QStringLiteral("Tavrel Agent \u2014 Setup"));
#ifdef Q_OS_MACOS
    setWindowFlag(Qt::Sheet);
#endif
    setFixedSize(windowWidth, isRegistered ? settingsHeight : registrationHeight);
    connect(this, &QDialog::finished, this, [this] {
        ended = true;
        calls.reset();
    });
    buildUI();
    for (QPushButton* button : {btnRegister, btnSave, btnUnregister, btnReauth})
        setActionEnabled(button, button != nullptr && button->isEnabled());
    connect(&RootActivity::instance(), &RootActivity::runningChanged, this, [this] {
        for (auto it = wantedEnabled.cbegin(); it != wantedEnabled.cend(); ++it)
            setActionEnabled(it.key(), it.value());
    });
    // Taller than a small screen with the re-authentication box open: it then fits and scrolls.
    screenFit = new ScreenFit(this, size());
}

void SetupWindowController::buildUI() {
    const QString title =
        isRegistered ? QStringLiteral("Tavrel Agent Settings") : QStringLiteral("Register with Tavrel");
    addHeader(this, QRect(0, 0, windowWidth, 52), QRect(8, 8, 36, 36), title, QRect(52, 18, 390, 20),
              Style::smallSystemFontSize);
    addAccentStripe(this, QRect(0, 52, windowWidth, 2));
    auto* heading = addBoldLabel(this,
                                 isRegistered ? QStringLiteral("Tavrel Agent Settings")
                                              : QStringLiteral("Register this computer with Tavrel"),
                                 QRect(20, 74, 420, 20));
    heading->setObjectName(QStringLiteral("heading"));

    const int y = isRegistered ? buildSettingsSection(20, 106) : buildSetupSection(20, 106);

    lblStatus = new AccessibleLabel(QString(), this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setStatusLine(QStringLiteral("Status"));
    lblStatus->setFont(Style::systemFont());
    lblStatus->setWordWrap(true);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Three whole lines: the longest messages take them all. Close stays 6 below.
    lblStatus->setText(QStringLiteral("X\nX\nX"));
    const int statusHeight = std::max(44, lblStatus->heightForWidth(420));
    lblStatus->clear();
    lblStatus->setGeometry(20, y, 420, statusHeight);

    btnClose = addButton(this, "btnClose", QStringLiteral("Close"), QRect(20, y + statusHeight + 6, 80, 28));
    connect(btnClose, &QPushButton::clicked, this, &SetupWindowController::closeSheet);
}

QLineEdit* SetupWindowController::addRow(const QString& label, const QString& objectName, int left, int y,
                                         bool secret) {
    ElidedLabel* rowLabel = addBoldLabel(this, label, QRect(left, y, 126, 22));
    rowLabel->setObjectName(objectName + QStringLiteral("Label"));
    auto* field = new QLineEdit(this);
    field->setObjectName(objectName);
    field->setGeometry(left + 130, y, 290, 22);
    nameByRow(rowLabel, field);
    if (secret)
        field->setEchoMode(QLineEdit::Password);
    return field;
}

int SetupWindowController::buildSetupSection(int left, int y) {
    const AgentConfig config = AgentConfig::load();

    txtApiUrl = addRow(QStringLiteral("API URL:"), QStringLiteral("txtApiUrl"), left, y);
    txtApiUrl->setText(config.apiBaseUrl);
    y += 30;
    txtUsername = addRow(QStringLiteral("Username:"), QStringLiteral("txtUsername"), left, y);
    y += 30;
    txtPassword = addRow(QStringLiteral("Password:"), QStringLiteral("txtPassword"), left, y, true);
    y += 30;
    // "Unassigned" is what an empty field is stored as, so it shows as empty here.
    txtClientName = addRow(QStringLiteral("Client Name:"), QStringLiteral("txtClientName"), left, y);
    txtClientName->setText(config.clientName == QLatin1String(unassignedClientName) ? QString()
                                                                                    : config.clientName);
    y += 30;
    txtLocationName = addRow(QStringLiteral("Location Name:"), QStringLiteral("txtLocationName"), left, y);
    txtLocationName->setText(config.locationName);
    y += 30;
    ElidedLabel* computerLabel = addBoldLabel(this, QStringLiteral("Computer:"), QRect(left, y, 126, 22));
    computerLabel->setObjectName(QStringLiteral("lblComputerLabel"));
    auto* computer =
        addLabel(this, SystemInfo::computerName(), QRect(left + 130, y, 290, 22), Style::systemFont());
    computer->setObjectName(QStringLiteral("lblComputer"));
    nameByRow(computerLabel, computer);
    Style::setTextColor(computer, Style::secondaryTextColor(computer));
    y += 30;

    btnRegister = addButton(this, "btnRegister", QStringLiteral("Register"), QRect(left, y, 100, 28));
    btnRegister->setDefault(true); // Return in any field registers
    txtUsername->setFocus();       // the URL comes filled in; the user name is the first thing to type
    connect(btnRegister, &QPushButton::clicked, this, &SetupWindowController::onRegister);
    return y + 40;
}

int SetupWindowController::buildSettingsSection(int left, int y) {
    const AgentConfig config = AgentConfig::load();

    ElidedLabel* computerIDLabel =
        addBoldLabel(this, QStringLiteral("Computer ID:"), QRect(left, y, 126, 22));
    computerIDLabel->setObjectName(QStringLiteral("lblComputerIDLabel"));
    auto* computerID = addLabel(this, config.computerID, QRect(left + 130, y, 290, 22),
                                Style::monospaceFont(Style::smallSystemFontSize));
    computerID->setObjectName(QStringLiteral("lblComputerID"));
    nameByRow(computerIDLabel, computerID);
    Style::setTextColor(computerID, Style::secondaryTextColor(computerID));
    y += 30;
    txtClientName = addRow(QStringLiteral("Client Name:"), QStringLiteral("txtClientName"), left, y);
    txtClientName->setText(config.clientName);
    y += 30;
    txtLocationName = addRow(QStringLiteral("Location Name:"), QStringLiteral("txtLocationName"), left, y);
    txtLocationName->setText(config.locationName);
    y += 30;
    txtApiUrl = addRow(QStringLiteral("API URL:"), QStringLiteral("txtApiUrl"), left, y);
    txtApiUrl->setText(config.apiBaseUrl);
    y += 30;

    btnSave = addButton(this, "btnSave", QStringLiteral("Save Settings"), QRect(left, y, 138, 28));
    connect(btnSave, &QPushButton::clicked, this, &SetupWindowController::onSave);
    btnUnregister =
        addButton(this, "btnUnregister", QStringLiteral("Unregister"), QRect(left + 141, y, 138, 28),
                  QStringLiteral("Removes this computer from Tavrel, after asking."));
    Style::setTextColor(btnUnregister, Style::errorColor());
    connect(btnUnregister, &QPushButton::clicked, this, &SetupWindowController::onUnregister);
    btnReauthToggle = addButton(this, "btnReauthToggle", toggleTitle(false), QRect(left + 282, y, 138, 28),
                                QStringLiteral("Shows or hides the fields that obtain a fresh token."));
    btnReauthToggle->setAccessibleName(toggleAccessibleName(false));
    Style::setTextColor(btnReauthToggle, Style::blueColor());
    connect(btnReauthToggle, &QPushButton::clicked, this, &SetupWindowController::toggleReauth);
    y += 40;

    reauthBox =
        addBox(this, "reauthBox", QRect(left, y, 420, reauthBoxH), QStringLiteral("Re-authentication"));
    reauthBox->hide();

    auto* explanation = new QLabel(QStringLiteral("Enter your Tavrel credentials to obtain a fresh token.\n"
                                                  "No agent data will be removed."),
                                   reauthBox);
    explanation->setObjectName(QStringLiteral("reauthExplanation"));
    explanation->setTextFormat(Qt::PlainText);
    explanation->setFont(Style::systemFont());
    explanation->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    explanation->setGeometry(8, 10, 402, 32);
    Style::setTextColor(explanation, Style::secondaryTextColor(explanation));

    ElidedLabel* userLabel = addBoldLabel(reauthBox, QStringLiteral("Username:"), QRect(8, 52, 100, 22));
    userLabel->setObjectName(QStringLiteral("txtReauthUserLabel"));
    txtReauthUser = new QLineEdit(reauthBox);
    txtReauthUser->setObjectName(QStringLiteral("txtReauthUser"));
    txtReauthUser->setGeometry(116, 50, 294, 24);
    nameByRow(userLabel, txtReauthUser);
    ElidedLabel* passwordLabel = addBoldLabel(reauthBox, QStringLiteral("Password:"), QRect(8, 86, 100, 22));
    passwordLabel->setObjectName(QStringLiteral("txtReauthPassLabel"));
    txtReauthPass = new QLineEdit(reauthBox);
    txtReauthPass->setObjectName(QStringLiteral("txtReauthPass"));
    txtReauthPass->setEchoMode(QLineEdit::Password);
    txtReauthPass->setGeometry(116, 84, 294, 24);
    nameByRow(passwordLabel, txtReauthPass);
    btnReauth =
        addButton(reauthBox, "btnReauth", QStringLiteral("Re-authenticate"), QRect(260, 120, 150, 28));
    connect(btnReauth, &QPushButton::clicked, this, &SetupWindowController::onReauth);
    // Return in the box's fields re-authenticates (a disabled button ignores the click).
    connect(txtReauthUser, &QLineEdit::returnPressed, btnReauth, &QPushButton::click);
    connect(txtReauthPass, &QLineEdit::returnPressed, btnReauth, &QPushButton::click);

    // While the box is closed, the status line and Close sit where it would be, so that both stay
    // inside the window; opening the box moves them below it.
    return y;
}

void SetupWindowController::toggleReauth() {
    if (!reauthBox)
        return;
    reauthExpanded = !reauthExpanded;
    reauthBox->setVisible(reauthExpanded);
    btnReauthToggle->setText(toggleTitle(reauthExpanded));
    btnReauthToggle->setAccessibleName(toggleAccessibleName(reauthExpanded));
    const int shift = reauthExpanded ? reauthGrowth : -reauthGrowth;
    lblStatus->move(lblStatus->x(), lblStatus->y() + shift);
    btnClose->move(btnClose->x(), btnClose->y() + shift);
    // A top-level window keeps its top-left corner when resized: it grows and shrinks at the bottom.
    screenFit->setContentSize(screenFit->contentSize() + QSize(0, shift));
    if (reauthExpanded)
        txtReauthUser->setFocus();
}

void SetupWindowController::closeSheet() {
    if (ended || !mayDiscardRegistration())
        return;
    ended = true;
    done(QDialog::Rejected);
}

bool SetupWindowController::mayDiscardRegistration() {
    if (!unstoredRegistration)
        return true;
    // Quit while closing the sheet asks (or the other way round): the open question answers both.
    if (askingToDiscard)
        return false;
    QMessageBox box(this);
    box.setObjectName(QStringLiteral("discardAlert"));
    box.setWindowTitle(windowTitle());
    box.setIcon(QMessageBox::Warning);
    box.setText(QStringLiteral(
        "This computer is registered with the server, but the registration is not stored here. Discard it?"));
    QPushButton* discard = box.addButton(QStringLiteral("Discard"), QMessageBox::DestructiveRole);
    discard->setObjectName(QStringLiteral("btnDiscard"));
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    askingToDiscard = true;
    const bool discarded = Dialogs::run(box) == discard;
    askingToDiscard = false;
    if (discarded)
        unstoredRegistration.reset();
    return discarded;
}

void SetupWindowController::reject() {
    closeSheet();
}

void SetupWindowController::showStatus(const QString& text, const QColor& color) {
    lblStatus->setText(text);
    Style::setTextColor(lblStatus, color);
}

void SetupWindowController::showFailure(const QString& before, const QString& reason, const QString& after,
                                        const QColor& color) {
    showStatus(Dialogs::fitReason(before, reason, after,
                                  Dialogs::fitsInto(lblStatus->font(), lblStatus->contentsRect().size())),
               color);
}

void SetupWindowController::waitForAdministrator() {
    showStatus(QStringLiteral("Waiting for the administrator\u2026"), Style::secondaryTextColor(lblStatus));
}

void SetupWindowController::setActionEnabled(QPushButton* button, bool enabled) {
    if (button == nullptr)
        return;
    wantedEnabled[button] = enabled;
    // One root operation at a time: every button that would start one waits for it.
    button->setEnabled(enabled && !RootActivity::instance().running());
}

void SetupWindowController::deliver(const QPointer<SetupWindowController>& sheet,
                                    std::function<void(SetupWindowController&)> work) {
    // The application object lives on the main thread for the whole run; the sheet may not.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [sheet, work = std::move(work)] {
            if (sheet && !sheet->ended)
                work(*sheet);
        },
        Qt::QueuedConnection);
}

void SetupWindowController::onRegister() {
    // The server has registered this computer already: only the store is tried again.
    if (unstoredRegistration) {
        setActionEnabled(btnRegister, false);
        storeRegistration();
        return;
    }
    const SetupForm::RegistrationInput input =
        SetupForm::readRegistration(txtUsername->text(), txtPassword->text(), txtClientName->text(),
                                    txtLocationName->text(), txtApiUrl->text());
    if (const QString problem = SetupForm::registrationProblem(input); !problem.isEmpty()) {
        showStatus(problem, Style::errorColor());
        return;
    }
    setActionEnabled(btnRegister, false);
    showStatus(QStringLiteral("Registering\u2026"), Style::successColor());

    const QPointer<SetupWindowController> self(this);
    ApiClient::registerAgent(input.apiBaseUrl, input.username, input.password, input.clientName,
                             input.locationName, std::nullopt, calls.get(),
                             [self, input](const ApiClient::RegisterOutcome& outcome) {
                                 deliver(self, [input, outcome](SetupWindowController& sheet) {
                                     sheet.registrationAnswered(input, outcome);
                                 });
                             });
}

void SetupWindowController::registrationAnswered(const SetupForm::RegistrationInput& sent,
                                                 const ApiClient::RegisterOutcome& outcome) {
    if (const auto* error = std::get_if<ApiError>(&outcome)) {
        showStatus(error->errorDescription(), Style::errorColor());
        setActionEnabled(btnRegister, true);
        return;
    }
    unstoredRegistration = Registration{std::get<ApiClient::RegisterResult>(outcome), sent};
    // What is stored is what was sent, whatever the fields say from now on.
    for (QLineEdit* field : {txtApiUrl, txtUsername, txtPassword, txtClientName, txtLocationName})
        field->setReadOnly(true);
    storeRegistration();
}

void SetupWindowController::storeRegistration() {
    const auto& [result, sent] = *unstoredRegistration;
    const QString message =
        SetupForm::registrationLogMessage(result.computerID, sent.clientName, sent.locationName);
    waitForAdministrator();
    // The agent version is the file's at this moment. One authorised run stores the record and
    // writes its log line.
    AgentConfig::save(
        SetupForm::registeredRecord(result, sent, AgentConfig::load()), message, this,
        [this](const StoreOutcome& outcome) {
            if (ended)
                return;
            if (!outcome.stored) {
                showFailure(QStringLiteral("Registered with the server, but this computer's "
                                           "settings could not be stored: "),
                            outcome.stored.message, QStringLiteral(". Press Register to store them again."),
                            Style::errorColor());
                setActionEnabled(btnRegister, true);
                return;
            }
            unstoredRegistration.reset();
            if (!outcome.logged) {
                showFailure(QStringLiteral("Registration successful, but the activity log could "
                                           "not be written: "),
                            outcome.logged.message, QStringLiteral("."), Style::warningColor());
                return;
            }
            showStatus(QStringLiteral("Registration successful!"), Style::successColor());
            QTimer::singleShot(registerCloseDelayMs, this, &SetupWindowController::closeSheet);
        });
}

void SetupWindowController::onSave() {
    // A record that cannot be read must not be replaced by defaults: that would wipe the identity.
    const std::optional<AgentConfig> current = AgentConfig::read();
    if (!current) {
        showStatus(QStringLiteral("The current settings could not be read; nothing was saved."),
                   Style::errorColor());
        return;
    }
    setActionEnabled(btnSave, false);
    waitForAdministrator();
    AgentConfig::save(
        SetupForm::savedRecord(*current, txtClientName->text(), txtLocationName->text(), txtApiUrl->text()),
        this, [this](const Outcome& saved) {
            if (ended)
                return;
            setActionEnabled(btnSave, true);
            if (saved)
                showStatus(QStringLiteral("Settings saved."), Style::successColor());
            else
                showFailure(QStringLiteral("The settings could not be saved: "), saved.message, {},
                            Style::errorColor());
        });
}

void SetupWindowController::onUnregister() {
    QMessageBox box(this);
    box.setObjectName(QStringLiteral("unregisterAlert"));
    box.setWindowTitle(QStringLiteral("Tavrel Agent"));
    box.setIcon(QMessageBox::Warning);
    box.setText(QStringLiteral("Unregister this agent?"));
    box.setInformativeText(QStringLiteral(
        "This permanently removes this computer from Tavrel and deletes all collected tool data."));
    QPushButton* proceed = box.addButton(QStringLiteral("Unregister"), QMessageBox::AcceptRole);
    proceed->setObjectName(QStringLiteral("btnConfirmUnregister"));
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("btnCancelUnregister"));
    box.setDefaultButton(proceed);
    box.setEscapeButton(cancel);
    if (Dialogs::run(box) != proceed)
        return;

    // The stored URL and token identify this computer, not what the fields show now. Without
    // them the request would go out with an empty token, and the defaults be written back.
    const std::optional<AgentConfig> read = AgentConfig::read();
    if (!read) {
        showStatus(QStringLiteral("The current settings could not be read; nothing was changed."),
                   Style::errorColor());
        return;
    }
    const AgentConfig stored = *read;
    setActionEnabled(btnUnregister, false);
    showStatus(QStringLiteral("Contacting server\u2026"), Style::successColor());
    const QPointer<SetupWindowController> self(this);
    ApiClient::deregister(stored.apiBaseUrl, stored.token, calls.get(),
                          [self, stored](const std::optional<ApiError>& error) {
                              deliver(self, [stored, error](SetupWindowController& sheet) {
                                  sheet.deregistrationAnswered(stored, error);
                              });
                          });
}

void SetupWindowController::deregistrationAnswered(const AgentConfig& sent,
                                                   const std::optional<ApiError>& error) {
    // The local identity goes whatever the server said. The record read now keeps settings saved
    // while the request was out; one that cannot be read gives way to the record sent.
    waitForAdministrator();
    AgentConfig::save(
        SetupForm::deregisteredRecord(AgentConfig::read().value_or(sent)), this,
        [this, error](const Outcome& wiped) {
            if (ended)
                return;
            if (!wiped) {
                const QString removal = QStringLiteral("this computer's identity could not be removed: ");
                if (error)
                    showFailure(u'T' + removal.mid(1), wiped.message,
                                QStringLiteral(". Server: ") + error->errorDescription(),
                                Style::errorColor());
                else
                    showFailure(QStringLiteral("Unregistered from the server, but ") + removal, wiped.message,
                                {}, Style::errorColor());
                setActionEnabled(btnUnregister, true);
                return;
            }
            // Half done when the server's part failed: a warning, not a success.
            showStatus(error ? QStringLiteral("Deregistered locally. Server: ") + error->errorDescription()
                             : QStringLiteral("Agent unregistered."),
                       error ? Style::warningColor() : Style::successColor());
            QTimer::singleShot(unregisterCloseDelayMs, this, &SetupWindowController::closeSheet);
        });
}

void SetupWindowController::onReauth() {
    const QString username = SetupForm::trimWhitespace(txtReauthUser->text());
    const QString password = txtReauthPass->text();
    QString problem = SetupForm::credentialsProblem(username, password);
    // The configuration is read only once the typed fields have passed.
    AgentConfig stored;
    if (problem.isEmpty()) {
        stored = AgentConfig::load();
        if (stored.computerID.isEmpty())
            problem = SetupForm::missingComputerIDMessage();
    }
    if (!problem.isEmpty()) {
        showStatus(problem, Style::errorColor());
        return;
    }
    setActionEnabled(btnReauth, false);
    showStatus(QStringLiteral("Contacting server\u2026"), Style::successColor());

    // The stored names and computer ID, not the form's fields, identify this computer.
    const QPointer<SetupWindowController> self(this);
    const QString computerID = stored.computerID;
    ApiClient::registerAgent(stored.apiBaseUrl, username, password, stored.clientName, stored.locationName,
                             computerID, calls.get(),
                             [self, computerID](const ApiClient::RegisterOutcome& outcome) {
                                 deliver(self, [computerID, outcome](SetupWindowController& sheet) {
                                     sheet.reauthAnswered(computerID, outcome);
                                 });
                             });
}

void SetupWindowController::reauthAnswered(const QString& sentComputerID,
                                           const ApiClient::RegisterOutcome& outcome) {
    setActionEnabled(btnReauth, true);
    if (const auto* error = std::get_if<ApiError>(&outcome)) {
        showStatus(error->errorDescription(), Style::errorColor());
        return;
    }
    // Read now, so that settings saved meanwhile stay; an identity wiped or replaced meanwhile
    // (an unregistration that answered first) must not be revived with a fresh token.
    const std::optional<AgentConfig> current = AgentConfig::read();
    if (!current || current->computerID != sentComputerID) {
        showStatus(QStringLiteral("The registration changed while re-authenticating; nothing was stored."),
                   Style::secondaryTextColor(lblStatus));
        return;
    }
    const auto& result = std::get<ApiClient::RegisterResult>(outcome);
    setActionEnabled(btnReauth, false);
    waitForAdministrator();
    AgentConfig::save(
        SetupForm::reauthenticatedRecord(*current, result), SetupForm::reauthLogMessage(sentComputerID), this,
        [this](const StoreOutcome& stored) {
            if (ended)
                return;
            setActionEnabled(btnReauth, true);
            if (!stored.stored) {
                showFailure(
                    QStringLiteral("Re-authentication succeeded, but the new token could not be stored: "),
                    stored.stored.message, {}, Style::errorColor());
                return;
            }
            txtReauthUser->clear();
            txtReauthPass->clear();
            if (!stored.logged) {
                showFailure(QStringLiteral("Re-authentication successful, but the activity log could not be "
                                           "written: "),
                            stored.logged.message, QStringLiteral("."), Style::warningColor());
                return;
            }
            showStatus(QStringLiteral("Re-authentication successful. Token updated."), Style::successColor());
            QTimer::singleShot(reauthCloseDelayMs, this, &SetupWindowController::closeSheet);
        });
}
