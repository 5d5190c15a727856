#pragma once

#include "Tavrel_Agent/SetupForm.h"

#include <QDialog>
#include <QHash>
#include <QPointer>

#include <functional>
#include <memory>

class AccessibleLabel;
class QFrame;
class QLineEdit;
class QPushButton;
class ScreenFit;

// The Setup / Settings sheet. Shown window-modal over the main window; finished() ends it.
// The form is chosen once, from the stored configuration: registration for an unregistered
// computer, settings for a registered one.
class SetupWindowController final : public QDialog {
    Q_OBJECT
public:
    explicit SetupWindowController(QWidget* parent = nullptr);

    // The server registered this computer, but the registration is not stored here yet.
    bool holdsUnstoredRegistration() const { return unstoredRegistration.has_value(); }
    // Asks before a registration that is not stored here is thrown away, as closing the sheet
    // or ending the app would. True when nothing is lost or the user chose Discard (the sheet
    // then no longer holds it); false on Cancel, and while the question is already open.
    bool mayDiscardRegistration();

public Q_SLOTS:
    // Ends the sheet; every way of closing the window goes through here.
    void closeSheet();
    void toggleReauth();
    void onRegister();
    void onSave();
    void onUnregister();
    void onReauth();

    // Escape and the window's close both end up here.
    void reject() override;

private:
    void buildUI();
    int buildSetupSection(int left, int y);
    int buildSettingsSection(int left, int y);
    QLineEdit* addRow(const QString& label, const QString& objectName, int left, int y, bool secret = false);
    void showStatus(const QString& text, const QColor& color);
    // A root operation's failure: its reason cut to what fits the status line, so that the words
    // around it (what to do next) stay in view.
    void showFailure(const QString& before, const QString& reason, const QString& after, const QColor& color);
    // "Waiting for the administrator…" until the root operation has ended.
    void waitForAdministrator();
    // Enables a button that starts a root operation, once no root operation is running.
    void setActionEnabled(QPushButton* button, bool enabled);
    // Server answers arrive on any thread: this runs work on the main thread, and only while the
    // sheet still exists and has not ended.
    static void deliver(const QPointer<SetupWindowController>& sheet,
                        std::function<void(SetupWindowController&)> work);

    void registrationAnswered(const SetupForm::RegistrationInput& sent,
                              const ApiClient::RegisterOutcome& outcome);
    // Stores the registration the server made; on failure it stays here for the next Register.
    void storeRegistration();
    void deregistrationAnswered(const AgentConfig& sent, const std::optional<ApiError>& error);
    void reauthAnswered(const QString& sentComputerID, const ApiClient::RegisterOutcome& outcome);

    static constexpr int reauthBoxH = 156;
    static constexpr int reauthGrowth = 162; // the box and the gap below it

    struct Registration final {
        ApiClient::RegisterResult result;
        SetupForm::RegistrationInput sent;
    };

    bool isRegistered = false;
    bool ended = false; // the sheet has finished; late answers are dropped
    // Made by the server but not stored here yet: a second request would make a second computer.
    std::optional<Registration> unstoredRegistration;
    bool askingToDiscard = false; // the question is open, in its own event loop
    // The context of every server call; the sheet's end destroys it, which cancels the calls
    // still out, so that no exchange with the server outlives the sheet.
    std::unique_ptr<QObject> calls = std::make_unique<QObject>();

    QLineEdit* txtApiUrl = nullptr;
    QLineEdit* txtClientName = nullptr;
    QLineEdit* txtLocationName = nullptr;
    AccessibleLabel* lblStatus = nullptr;
    QLineEdit* txtUsername = nullptr;
    QLineEdit* txtPassword = nullptr;
    QPushButton* btnRegister = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnUnregister = nullptr;
    QFrame* reauthBox = nullptr;
    QLineEdit* txtReauthUser = nullptr;
    QLineEdit* txtReauthPass = nullptr;
    QPushButton* btnReauth = nullptr;
    QPushButton* btnReauthToggle = nullptr;
    bool reauthExpanded = false;
    QHash<QPushButton*, bool> wantedEnabled;
    QPushButton* btnClose = nullptr;
    ScreenFit* screenFit = nullptr;
};
