// The setup sheet as built: both forms' frames, sizes and first contents, the re-authentication
// box, the ways of closing it, and the text normalisations its flows share.
#include "Tavrel_Agent/SetupForm.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "support/TestSandbox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(AgentConfig)

using namespace Qt::StringLiterals;

namespace {
AgentConfig registered(const QString& clientName = u"Acme"_s) {
    return {u"C-42"_s, u"tok"_s, {}, clientName, u"Berlin"_s, u"https://rmm.example/api"_s, {}};
}

template <typename T = QWidget> T* child(const QWidget& parent, const QString& name) {
    auto* widget = parent.findChild<T*>(name);
    if (!widget)
        qFatal("no widget named %s", qPrintable(name));
    return widget;
}
} // namespace

class TestSetupSheet final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void normalise_data();
    void normalise();
    void frames_data();
    void frames();
    void reauthBoxResizesWindow();
    void initialContents_data();
    void initialContents();
    void closing();
};

void TestSetupSheet::normalise_data() {
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("trimmed");
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<QString>("apiUrl");

    // clang-format off
    QTest::newRow("spaces, tabs, Unicode space separators")
        << u" \t\u00A0\u2003a  b\u3000\u202F"_s << "a  b" << "a  b" << "a  b";
    QTest::newRow("line breaks are not blanks") << "\nAcme\r\n" << "\nAcme\r\n" << "\nAcme\r\n" << "\nAcme\r\n";
    QTest::newRow("empty") << "" << "" << "Unassigned" << "";
    QTest::newRow("only blanks") << u" \t\u00A0"_s << "" << "Unassigned" << "";
    QTest::newRow("URL: blanks, then slashes") << " //https://h.example/api// " << "//https://h.example/api//"
                                               << "//https://h.example/api//" << "https://h.example/api";
    QTest::newRow("URL of only slashes") << " /// " << "///" << "///" << "";
    // clang-format on
}

void TestSetupSheet::normalise() {
    QFETCH(QString, raw);
    QFETCH(QString, trimmed);
    QFETCH(QString, clientName);
    QFETCH(QString, apiUrl);
    QCOMPARE(SetupForm::trimWhitespace(raw), trimmed);
    QCOMPARE(SetupForm::normaliseClientName(raw), clientName);
    QCOMPARE(SetupForm::normaliseApiUrl(raw), apiUrl);
}

void TestSetupSheet::frames_data() {
    QTest::addColumn<bool>("settingsForm");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("frame");
    const auto row = [](bool settingsForm, const char* name, QRect frame) {
        QTest::addRow("%s %s", settingsForm ? "settings" : "setup", name)
            << settingsForm << QString::fromLatin1(name) << frame;
    };
    for (const bool settingsForm : {false, true}) {
        row(settingsForm, "header", {0, 0, 460, 52});
        row(settingsForm, "accentStripe", {0, 52, 460, 2});
        row(settingsForm, "heading", {20, 74, 420, 20});
    }
    row(false, "txtApiUrl", {150, 106, 290, 22});
    row(false, "txtUsername", {150, 136, 290, 22});
    row(false, "txtPassword", {150, 166, 290, 22});
    row(false, "txtClientName", {150, 196, 290, 22});
    row(false, "txtLocationName", {150, 226, 290, 22});
    row(false, "lblComputer", {150, 256, 290, 22});
    row(false, "btnRegister", {20, 286, 100, 28});
    row(true, "lblComputerID", {150, 106, 290, 22});
    row(true, "txtClientName", {150, 136, 290, 22});
    row(true, "txtLocationName", {150, 166, 290, 22});
    row(true, "txtApiUrl", {150, 196, 290, 22});
    row(true, "btnSave", {20, 226, 138, 28});
    row(true, "btnUnregister", {161, 226, 138, 28});
    row(true, "btnReauthToggle", {302, 226, 138, 28});
    row(true, "reauthBox", {20, 266, 420, 156});
    row(true, "txtReauthUser", {116, 50, 294, 24});
    row(true, "txtReauthPass", {116, 84, 294, 24});
    row(true, "btnReauth", {260, 120, 150, 28});
    // Where the closed box would be, so that both stay inside the 460-pixel window.
}

void TestSetupSheet::frames() {
    QFETCH(bool, settingsForm);
    QFETCH(QString, name);
    QFETCH(QRect, frame);
    TestSandbox sandbox;
    sandbox.writeConfig(settingsForm ? registered() : AgentConfig::defaults());
    SetupWindowController sheet;
    QCOMPARE(sheet.isRegisteredForm(), settingsForm);
    QCOMPARE(child(sheet, name)->geometry(), frame);
}

void TestSetupSheet::reauthBoxResizesWindow() {
    TestSandbox sandbox;
    sandbox.writeConfig(registered());
    SetupWindowController sheet;
    sheet.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));
    auto* toggle = child<QPushButton>(sheet, u"btnReauthToggle"_s);
    const QPoint topLeft = sheet.pos();
    const QRect status = child(sheet, u"lblStatus"_s)->geometry(),
                close = child(sheet, u"btnClose"_s)->geometry();
    const auto expect = [&](bool open) {
        const int shift = open ? 162 : 0;
        QCOMPARE(sheet.size(), QSize(460, 460 + shift));
        QCOMPARE(sheet.minimumSize(), sheet.maximumSize());
        QCOMPARE(sheet.pos(), topLeft);
        QCOMPARE(child(sheet, u"reauthBox"_s)->isVisible(), open);
        QCOMPARE(toggle->text(), open ? u"Re-authenticate \u25B2"_s : u"Re-authenticate \u25BC"_s);
        QCOMPARE(child(sheet, u"lblStatus"_s)->geometry(), status.translated(0, shift));
        QCOMPARE(child(sheet, u"btnClose"_s)->geometry(), close.translated(0, shift));
    };
    expect(false);
    toggle->click();
    expect(true);
    toggle->click();
    expect(false);
}

void TestSetupSheet::initialContents_data() {
    QTest::addColumn<AgentConfig>("config");
    QTest::addColumn<QString>("clientField");

    const QString unassigned = u"Unassigned"_s;
    AgentConfig idWithoutToken = registered(unassigned);
    idWithoutToken.token.clear();
    AgentConfig named = idWithoutToken;
    named.clientName = u"Acme"_s;
    QTest::newRow("settings shows Unassigned") << registered(unassigned) << unassigned;
    QTest::newRow("ID without token: setup hides Unassigned") << idWithoutToken << "";
    QTest::newRow("setup keeps a real client name") << named << "Acme";
}

void TestSetupSheet::initialContents() {
    QFETCH(AgentConfig, config);
    QFETCH(QString, clientField);
    TestSandbox sandbox;
    sandbox.writeConfig(config);
    SetupWindowController sheet;
    const bool settings = config.isRegistered();

    QCOMPARE(sheet.windowTitle(),
             settings ? u"Tavrel Agent \u2014 Settings"_s : u"Tavrel Agent \u2014 Setup"_s);
    QCOMPARE(sheet.size(), QSize(460, settings ? 460 : 498));
    QCOMPARE(sheet.minimumSize(), sheet.maximumSize());
    QCOMPARE(child<QLineEdit>(sheet, u"txtClientName"_s)->text(), clientField);
    QCOMPARE(child<QLineEdit>(sheet, u"txtLocationName"_s)->text(), config.locationName);
    QCOMPARE(child<QLineEdit>(sheet, u"txtApiUrl"_s)->text(), config.apiBaseUrl);
    const QString secret = settings ? u"txtReauthPass"_s : u"txtPassword"_s;
    QCOMPARE(child<QLineEdit>(sheet, secret)->echoMode(), QLineEdit::Password);
    if (settings)
        QCOMPARE(child<QLabel>(sheet, u"lblComputerID"_s)->text(), config.computerID);
}

// The Close button, the window's close and Escape each end the sheet once, as rejected.
void TestSetupSheet::closing() {
    TestSandbox sandbox;
    QWidget parent;
    parent.show();
    for (int how = 0; how < 3; ++how) {
        const std::unique_ptr<SetupWindowController> sheet(new SetupWindowController(&parent));
        sheet->setWindowModality(Qt::WindowModal);
        QSignalSpy finished(sheet.get(), &QDialog::finished);
        sheet->open();
        QVERIFY(QTest::qWaitForWindowExposed(sheet.get()));
        if (how == 0)
            child<QPushButton>(*sheet, u"btnClose"_s)->click();
        else if (how == 1)
            QVERIFY(sheet->close());
        else
            QTest::keyClick(sheet.get(), Qt::Key_Escape);
        QVERIFY2(finished.count() == 1 && finished.at(0).at(0).toInt() == QDialog::Rejected,
                 qPrintable(QString::number(how)));
        QVERIFY(!sheet->isVisible());
        // A delayed close arriving after the sheet has ended must not end it a second time.
        sheet->closeSheet();
        QCOMPARE(finished.count(), 1);
    }
}

QTEST_MAIN(TestSetupSheet)
#include "tst_setupsheet.moc"
