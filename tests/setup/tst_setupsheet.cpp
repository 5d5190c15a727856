// The Setup / Settings sheet driven through its widgets on a sandboxed agent installation, against a
// real HTTP server in this process: what the user sees, the stored configuration, the activity log
// and what the server received.
#include "Tavrel_Agent/AppDelegate.h"
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "api/ApiTransport.h"
#include "core/Privileged.h"
#include "support/StubServer.h"
#include "support/TestSandbox.h"

#include <QtWidgets>

using namespace Qt::StringLiterals;

namespace {
const QByteArray logBefore = "[2025-01-01T00:00:00Z] [INFO] earlier line\n";
const char* const registered200 = R"({"computerID":"C-1001","token":"T-abc","clientID":"CL-7"})";
const QString registering = u"Registering\u2026"_s;
const QString registered = u"Registration successful!"_s;

// What is typed and sent, how the server answers, and the status line at the end; then: "close" while
// waiting, "close on answer", and after a refused store "retry" or "discard"; refusal: the refused
// store's reason, if not "Not authorized" (shown is then the status line's end).
struct Registration {
    QString username = u"\u2003alice\t"_s, password = u"   "_s, url = u" URL/// "_s;
    QString client = {}, location = {}; // sent as "Unassigned" and empty
    StubServer::Answer answer = {.body = registered200};
    QString shown = registered, then = {}, refusal = {};
};
// A flow of the settings form and its outcome.
struct Settings {
    QString actions; // "reauth", with "save" or "unregister" while it waits; "refused": no admin rights
    QString shown;   // the status line at the end
    // The record stored, its fields joined by "|" (URL: the one stored before); empty: the file is kept.
    QString storedAs = {};
    int reauthStatus = 200; // of the server's answer; 0: nothing answers (no server, or nothing sent)
    bool does(const char16_t* action) const { return actions.contains(action); }
};
} // namespace

Q_DECLARE_METATYPE(Registration)
Q_DECLARE_METATYPE(Settings)

class TestSetupSheet final : public QObject {
    Q_OBJECT

    std::unique_ptr<TestSandbox> sandbox;
    std::unique_ptr<StubServer> server;
    std::unique_ptr<SetupWindowController> sheet;
    std::unique_ptr<QSignalSpy> finished;

    AgentConfig config(bool registered) const {
        return registered ? AgentConfig{u"C-42"_s,   u"tok"_s,      u"CL-old"_s, u"Acme"_s,
                                        u"Berlin"_s, server->url(), u"7.7"_s}
                          : AgentConfig{{}, {}, {}, u"Unassigned"_s, {}, server->url(), u"7.7"_s};
    }
    void openSheet(const AgentConfig& stored) {
        sandbox->writeConfig(stored);
        sheet = std::make_unique<SetupWindowController>();
        finished = std::make_unique<QSignalSpy>(sheet.get(), &QDialog::finished);
        sheet->show();
    }
    void fill(std::initializer_list<std::pair<const char*, QString>> fields, QWidget* in = nullptr) {
        for (const auto& [name, text] : fields)
            child<QLineEdit>(in ? *in : *sheet, name)->setText(text);
    }
    QString field(const char* name) const { return child<QLineEdit>(*sheet, name)->text(); }
    QPushButton* button(const char* name) const { return child<QPushButton>(*sheet, name); }
    QLabel* status() const { return child<QLabel>(*sheet, "lblStatus"); }
    bool statusIsError() const { return Style::textColor(status()).rgb() == qRgb(179, 26, 26); }
    AgentConfig stored() const { return AgentConfig::read().value_or(AgentConfig()); }
    // The lines logged after logBefore; "(rewritten)" when anything else changed.
    QStringList logged() const {
        return sandbox->appendedInfoLines(logBefore).value_or(QStringList{u"(rewritten)"_s});
    }
    // These members of the request to this path.
    QStringList sent(const QString& path,
                     const char* members = "username password clientName locationName computerID") const {
        QJsonObject body;
        for (const auto& request : server->requests())
            body = request.path == path ? QJsonDocument::fromJson(request.body).object() : body;
        QStringList values;
        for (const QString& member : QString::fromLatin1(members).split(u' '))
            values << body.value(member).toString();
        return values;
    }
    // The sheet stays open long enough to be read, then ends by itself.
    void closesAfter(int ms) { QVERIFY(!finished->wait(ms) && finished->wait(3000)); }

private Q_SLOTS:
    void init() {
        sandbox = std::make_unique<TestSandbox>();
        server = std::make_unique<StubServer>();
        sandbox->writeLog(logBefore);
        // Root operations go through the pkexec stand-in, which counts its runs, to the real helper.
        sandbox->useStandin(PrivilegeMethod::Pkexec);
    }
    void cleanup() {
        Dialogs::setHook({});
        sheet.reset();
        sandbox.reset(); // before the next one is installed
    }

    // Line breaks are not blanks; a URL loses its blanks, then its slashes.
    void normalise() {
        QCOMPARE(SetupForm::trimWhitespace(u"\u3000\t\nAcme\r\n\u202F"_s), u"\nAcme\r\n"_s);
        QCOMPARE(SetupForm::normaliseApiUrl(u" //h/api// "_s), u"h/api"_s);
    }

    // At the session's end a registration the sheet could not store is asked about only where the
    // session manager allows interaction: Cancel keeps the session, Discard or no interaction ends it.
    // (No session manager runs under Xvfb: this is the handler that the commit-data request calls.)
    void sessionEnd() {
        server->answer({.body = registered200});
        sandbox->writeConfig(config(false));
        sandbox->recordPrivilegedCommands(false);
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching({u"tavrel-agent"_s});
        child<QPushButton>(*delegate.mainWindow(), "btnSettings")->click();
        auto* open = delegate.mainWindow()->findChild<SetupWindowController*>();
        fill({{"txtUsername", u"alice"_s}, {"txtPassword", u"pw"_s}, {"txtApiUrl", server->url()}}, open);
        child<QPushButton>(*open, "btnRegister")->click();
        QTRY_VERIFY(open->holdsUnstoredRegistration());
        char answer = 0;
        int asked = 0, interactions = 0;
        Dialogs::setHook([&](QMessageBox& box) {
            ++asked;
            (answer == 'd' ? child<QPushButton>(box, "btnDiscard") : box.escapeButton())->click();
        });
        // Interaction allowed, the answer (Cancel, Discard), whether the session may end, questions.
        const std::tuple<bool, char, bool, int> rows[] = {
            {false, 0, true, 0}, {true, 'c', false, 1}, {true, 'd', true, 1}, {true, 0, true, 0}};
        for (const auto& [interaction, given, mayEnd, questions] : rows) {
            answer = given;
            asked = interactions = 0;
            QCOMPARE(delegate.sessionMayEnd(
                         [&, interaction = interaction] { return ++interactions, interaction; }),
                     mayEnd);
            QCOMPARE(std::pair(asked, interactions), std::pair(questions, questions || !interaction ? 1 : 0));
        }
        QVERIFY(open->isVisible()); // the session's end does not close it
    }

    void registration_data() {
        QTest::addColumn<Registration>("c");
        const QString refused =
            u"Registered with the server, but this computer's settings could not be stored: "
            u"Not authorized. Press Register to store them again."_s;
        // clang-format off
        QTest::newRow("blanks trimmed, blank client filed as Unassigned") << Registration{.client = u" \t\u00A0"_s, .location = u"  "_s};
        // Bad input is refused before anything is sent, the first failing check winning.
        QTest::newRow("blank username first") << Registration{.username = u" \t "_s, .password = {}, .url = {}, .shown = u"Username is required."_s};
        QTest::newRow("no password") << Registration{.password = {}, .shown = u"Password is required."_s};
        QTest::newRow("URL of slashes and blanks") << Registration{.url = u" /// \u00A0"_s, .shown = u"API URL is required."_s};
        QTest::newRow("refused by the server") << Registration{.answer = {.status = 401, .body = R"({"message":"Bad password."})"}, .shown = u"Bad password."_s};
        // Closing the sheet cancels the call: a late success stores nothing, and an endless answer stops.
        QTest::newRow("closed before a late answer") << Registration{.answer = {.body = registered200, .delayMs = 700}, .shown = registering, .then = u"close"_s};
        // Ended while its answer waits to be handled: that answer is not acted on either.
        QTest::newRow("closed as the answer arrives") << Registration{.shown = registering, .then = u"close on answer"_s};
        QTest::newRow("closed while an endless answer streams") << Registration{.answer = {.endlessFastBytes = ApiTransport::maxResponseBytes / 2}, .shown = registering, .then = u"close"_s};
        // With the administrator prompt refused, what the server made stays until it is stored or
        // discarded: closing asks first (Escape too), and the next press stores it without a second
        // request, which would make a second computer.
        QTest::newRow("store refused, then retried") << Registration{.shown = refused, .then = u"retry"_s};
        QTest::newRow("store refused, then discarded") << Registration{.shown = refused, .then = u"discard"_s};
        // A reason too long for the status line is cut, so that what to do next stays in view.
        QTest::newRow("store refused for a long reason, then retried") << Registration{.shown = u"\u2026. Press Register to store them again."_s, .then = u"retry"_s,
                            .refusal = u"Error creating textual authentication agent: Error opening current controlling "
                                       "terminal for the process (`/dev/tty'): No such device or address"_s.repeated(3)};
        // clang-format on
    }
    void registration() {
        QFETCH(Registration, c);
        server->answer(c.answer);
        openSheet(config(false));
        QCOMPARE(field("txtClientName"), QString()); // "Unassigned" is what an empty field means
        const bool storeRefused = c.then == u"retry" || c.then == u"discard";
        if (storeRefused)
            sandbox->recordPrivilegedCommands(false, c.refusal.isEmpty() ? u"Not authorized"_s : c.refusal);
        int asked = 0;
        Dialogs::setHook([&](QMessageBox& box) {
            ++asked;
            (c.then == u"discard" ? child<QPushButton>(box, "btnDiscard") : box.escapeButton())->click();
        });
        // The first call queued on the application once the server has the request is the answer
        // handed to the sheet; the sheet ends just before it is handled.
        struct CloseFirst final : QObject {
            TestSetupSheet* test = nullptr;
            bool eventFilter(QObject* to, QEvent* event) override {
                if (to == qApp && event->type() == QEvent::MetaCall && !test->server->requests().empty())
                    test->sheet->reject();
                return false;
            }
        } closeFirst;
        closeFirst.test = this;
        if (c.then == u"close on answer")
            qApp->installEventFilter(&closeFirst);
        fill({{"txtUsername", c.username},
              {"txtPassword", c.password},
              {"txtClientName", c.client},
              {"txtLocationName", c.location},
              {"txtApiUrl", c.url.replace(u"URL"_s, server->url())}});
        button("btnRegister")->click();
        QCOMPARE(button("btnRegister")->isEnabled(), c.shown.endsWith(u"required."_s));
        // What is stored keeps the file's agent version at the time of the answer.
        AgentConfig changed = config(false);
        changed.agentVersion = u"8.0-meanwhile"_s;
        sandbox->writeConfig(changed);
        if (c.then == u"close") {
            QTRY_VERIFY(!server->requests().empty() && (c.answer.delayMs || server->endlessWritten));
            button("btnClose")->click();
            QTRY_VERIFY(c.answer.delayMs || server->endlessClosed);
        }
        if (c.then.startsWith(u"close")) {
            QTRY_COMPARE(finished->count(), 1);
            QTest::qWait(c.answer.delayMs + 300); // a late answer would have been handled by now
        }
        if (c.refusal.isEmpty())
            QTRY_COMPARE(status()->text(), c.shown);
        else
            QTRY_VERIFY2(status()->text().endsWith(c.shown), qPrintable(status()->text()));
        // Even the longest message fits in full.
        QVERIFY(status()->heightForWidth(status()->width()) <= status()->height());
        if (c.shown != registered) {
            QCOMPARE(stored(), changed);
            QCOMPARE(logged(), QStringList());
            QCOMPARE(field("txtPassword"), c.password); // the user may correct the fields and try again
            if (c.then.startsWith(u"close"))
                return;
            QVERIFY(statusIsError() && button("btnRegister")->isEnabled() && !finished->wait(1300));
            if (!storeRefused)
                return;
            QCOMPARE(sandbox->privilegedCommands(), QStringList{u"write-config with-log"_s});
            if (c.then == u"discard")
                QTest::keyClick(sheet.get(), Qt::Key_Escape);
            else
                button("btnClose")->click();
            QCOMPARE(asked, 1);
            QCOMPARE(finished->count(), c.then == u"discard" ? 1 : 0);
            if (c.then == u"discard")
                return;
            sandbox->changeEnvironment([](AgentEnvironment& e) { e.privilegedOverride = {}; });
            button("btnRegister")->click();
            QCOMPARE(status()->text(), u"Waiting for the administrator\u2026"_s);
            QTRY_COMPARE(status()->text(), registered);
            QCOMPARE(server->requests().size(), size_t(1));
        }
        QCOMPARE(sent(u"/api/register/"_s), QStringList({u"alice"_s, c.password, u"Unassigned"_s, {}, {}}));
        QCOMPARE(stored(), AgentConfig({u"C-1001"_s, u"T-abc"_s, u"CL-7"_s, u"Unassigned"_s, QString(),
                                        server->url(), changed.agentVersion}));
        QCOMPARE(logged(),
                 QStringList{u"Agent registered successfully. ComputerID: C-1001 Client: Unassigned "
                             u"Location: "_s});
        QCOMPARE(TestSandbox::pkexecRuns(), 1); // the record and its log line in one authorised run
        closesAfter(800);
        sheet->closeSheet(); // the delayed close of an ended sheet does not end it again
        QCOMPARE(finished->count(), 1);
    }

    // A store that ends after the sheet has ended is not acted on: the closed sheet says nothing more.
    void storeAfterTheSheetEnded() {
        sandbox->useStandin(PrivilegeMethod::Pkexec, {}, true);
        openSheet(config(true));
        button("btnSave")->click();
        QCOMPARE(status()->text(), u"Waiting for the administrator\u2026"_s);
        button("btnClose")->click();
        QCOMPARE(finished->count(), 1);
        TestSandbox::release();
        QTRY_VERIFY(!RootActivity::instance().running());
        QCoreApplication::processEvents();
        QCOMPARE(status()->text(), u"Waiting for the administrator\u2026"_s);
        QCOMPARE(stored().locationName, u"Berlin"_s); // nothing typed, so the record is as it was
    }

    void settings_data() {
        QTest::addColumn<Settings>("c");
        const QString renewed = u"Re-authentication successful. Token updated."_s;
        // clang-format off
        QTest::newRow("re-authenticate; the server names another computer ID") << Settings{u"reauth"_s, renewed, u"C-42|T-new|CL-new|Acme|Berlin|URL|7.7"_s};
        QTest::newRow("re-authentication refused") << Settings{u"reauth"_s, u"Registration failed (HTTP 500)."_s, {}, 500};
        // The file changed under the open sheet: the check reads it afresh and sends nothing.
        QTest::newRow("re-authenticate unregistered") << Settings{u"reauth"_s, u"No Computer ID found \u2014 use Setup to register."_s, {}, 0};
        // The token goes into the record read when the answer arrives: a Save made meanwhile is kept,
        // and an identity unregistered meanwhile is not revived by the late token.
        QTest::newRow("save while re-authenticating") << Settings{u"reauth save"_s, renewed, u"C-42|T-new|CL-new|Unassigned|Paris|http://127.0.0.1:9/elsewhere|7.7"_s};
        QTest::newRow("unregister while re-authenticating") << Settings{u"reauth unregister"_s, u"The registration changed while re-authenticating; nothing was stored."_s, u"|||Unassigned||URL|7.7"_s};
        QTest::newRow("unregister cancelled") << Settings{u"unregister cancel"_s, {}};
        QTest::newRow("unregister, server unreachable") << Settings{u"unregister"_s, u"Deregistered locally. Server: The server refused the connection."_s, u"|||Unassigned||URL|7.7"_s, 0};
        // Half a record, as while something rewrites it: saving defaults would wipe the identity.
        QTest::newRow("save over an unreadable record") << Settings{u"save unreadable"_s, u"The current settings could not be read; nothing was saved."_s};
        QTest::newRow("unregister over an unreadable record") << Settings{u"unregister unreadable"_s, u"The current settings could not be read; nothing was changed."_s};
        // With the administrator prompt refused no flow says it succeeded.
        QTest::newRow("save refused") << Settings{u"save refused"_s, u"The settings could not be saved: Not authorized"_s};
        QTest::newRow("re-authentication's store refused") << Settings{u"reauth refused"_s, u"Re-authentication succeeded, but the new token could not be stored: Not authorized"_s};
        QTest::newRow("unregistration's store refused") << Settings{u"unregister refused"_s, u"Unregistered from the server, but this computer's identity could not be removed: Not authorized"_s};
        // clang-format on
    }
    void settings() {
        QFETCH(Settings, c);
        const char* const renewal = R"({"computerID":"C-OTHER","token":"T-new","clientID":"CL-new"})";
        server->answer({.status = c.reauthStatus, .body = renewal, .delayMs = 700}, "/api/register/");
        AgentConfig before = config(true);
        if (c.reauthStatus == 0)
            before.apiBaseUrl = u"http://127.0.0.1:9/api"_s; // nobody listens on the discard port
        openSheet(before);
        if (c.does(u"unreadable"))
            sandbox->writeConfigBytes(sandbox->configBytes().left(40));
        if (c.does(u"reauth") && !c.reauthStatus)
            sandbox->writeConfig(config(false));
        const QByteArray bytesBefore = sandbox->configBytes();
        if (c.does(u"refused"))
            sandbox->recordPrivilegedCommands(false);
        Dialogs::setHook([&](QMessageBox& box) {
            child<QPushButton>(box, c.does(u"cancel") ? "btnCancelUnregister" : "btnConfirmUnregister")
                ->click();
        });
        // Edits in the form reach no request: the stored record names this computer.
        const QString url = u" http://127.0.0.1:9/elsewhere// "_s;
        fill({{"txtClientName", u" \t"_s}, {"txtLocationName", u" Paris "_s}, {"txtApiUrl", url}});
        if (c.does(u"reauth")) {
            button("btnReauthToggle")->click();
            // The box moves the status line and Close down, in that order, and the sheet grows to hold them.
            QVERIFY(child<QWidget>(*sheet, "reauthBox")->geometry().bottom() < status()->y() &&
                    status()->geometry().bottom() < button("btnClose")->y() &&
                    button("btnClose")->geometry().bottom() < sheet->height());
            fill({{"txtReauthUser", u" bob "_s}, {"txtReauthPass", u" pw "_s}});
            button("btnReauth")->click();
            QCOMPARE(button("btnReauth")->isEnabled(), !c.reauthStatus);
        }
        if (c.does(u"save"))
            button("btnSave")->click();
        if (c.does(u"unregister"))
            button("btnUnregister")->click();
        QTRY_COMPARE(status()->text(), c.shown);
        QTRY_VERIFY(button("btnReauth")->isEnabled()); // the re-authentication's answer has been handled

        const QStringList f = QString(c.storedAs).replace(u"URL"_s, before.apiBaseUrl).split(u'|');
        if (c.storedAs.isEmpty())
            QCOMPARE(sandbox->configBytes(), bytesBefore);
        else
            QCOMPARE(stored(), AgentConfig({f[0], f[1], f[2], f[3], f[4], f[5], f[6]}));
        QCOMPARE(field("txtApiUrl"), url);
        QCOMPARE(statusIsError(), c.reauthStatus == 500 || c.does(u"refused") || c.does(u"unreadable") ||
                                      (c.does(u"reauth") && !c.reauthStatus));
        // Half done is a warning: the system orange.
        if (c.shown.startsWith(u"Deregistered locally"_s))
            QCOMPARE(Style::textColor(status()).rgb(), qRgb(255, 149, 0));
        if (c.does(u"reauth") && c.reauthStatus) {
            QCOMPARE(sent(u"/api/register/"_s),
                     QStringList({u"bob"_s, u" pw "_s, u"Acme"_s, u"Berlin"_s, u"C-42"_s}));
            QCOMPARE(field("txtReauthPass").isEmpty(), c.storedAs.contains(u"T-new"));
        }
        // Each action that stores asks once, a re-authentication's log line included.
        QCOMPARE(TestSandbox::pkexecRuns(), c.storedAs.isEmpty() ? 0 : c.does(u"reauth save") ? 2 : 1);
        if (c.does(u"unregister") && !c.does(u"cancel") && !c.does(u"unreadable") && c.reauthStatus)
            QCOMPARE(sent(u"/api/deregister/"_s, "token"), QStringList{before.token});
        const QStringList renewedLine{u"Re-authentication successful. Token updated for ComputerID: C-42"_s};
        QCOMPARE(logged(), c.storedAs.contains(u"T-new") ? renewedLine : QStringList());
        if (c.storedAs.isEmpty()) {
            QVERIFY(!finished->wait(1300) && button("btnUnregister")->isEnabled());
            // No request went out anywhere: no answer came to change the status line or the file.
            QCOMPARE(status()->text(), c.shown);
            QCOMPARE(sandbox->configBytes(), bytesBefore);
        } else
            closesAfter(c.does(u"unregister") ? 300 : 600);
    }
};

QTEST_MAIN(TestSetupSheet)
#include "tst_setupsheet.moc"
