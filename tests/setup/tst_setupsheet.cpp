// The setup sheet as built: both forms' frames and contents, the re-authentication box, the ways
// of closing it, and the text normalisations its flows share.
#include "Tavrel_Agent/SetupForm.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "support/TestSandbox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(AgentConfig)

namespace {
AgentConfig registered() {
    AgentConfig config = AgentConfig::defaults();
    config.computerID = QStringLiteral("C-42");
    config.token = QStringLiteral("tok");
    config.clientName = QStringLiteral("Acme");
    config.locationName = QStringLiteral("Berlin");
    config.apiBaseUrl = QStringLiteral("https://rmm.example/api/v1/agentservice");
    return config;
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
    void reauthBoxOpensAndCloses();
    void initialContents_data();
    void initialContents();
    void styles();
    void closing_data();
    void closing();
};

void TestSetupSheet::normalise_data() {
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("trimmed");
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<QString>("apiUrl");

    // clang-format off
    QTest::newRow("plain") << "Acme" << "Acme" << "Acme" << "Acme";
    QTest::newRow("spaces and tabs") << " \tAcme\t " << "Acme" << "Acme" << "Acme";
    QTest::newRow("unicode space separators")
        << QStringLiteral("\u00A0\u2003Acme\u3000\u202F") << "Acme" << "Acme" << "Acme";
    QTest::newRow("inner blanks kept") << "  a  b " << "a  b" << "a  b" << "a  b";
    QTest::newRow("line breaks are not blanks") << "\nAcme\r\n" << "\nAcme\r\n" << "\nAcme\r\n" << "\nAcme\r\n";
    const QString zeroWidth = QStringLiteral("\u200BAcme");
    QTest::newRow("zero width space is not blank") << zeroWidth << zeroWidth << zeroWidth << zeroWidth;
    QTest::newRow("empty") << "" << "" << "Unassigned" << "";
    QTest::newRow("only blanks") << QStringLiteral(" \t\u00A0") << "" << "Unassigned" << "";
    QTest::newRow("url slashes after blanks") << " //https://h.example/api// " << "//https://h.example/api//"
                                              << "//https://h.example/api//" << "https://h.example/api";
    QTest::newRow("only slashes") << " /// " << "///" << "///" << "";
    QTest::newRow("blank between slashes") << "/ /" << "/ /" << "/ /" << " ";
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
    QTest::addColumn<bool>("isRegistered");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("frame");

    const auto both = [](const char* name, QRect frame) {
        QTest::addRow("setup %s", name) << false << QString::fromLatin1(name) << frame;
        QTest::addRow("settings %s", name) << true << QString::fromLatin1(name) << frame;
    };
    both("header", {0, 0, 460, 52});
    both("logo", {8, 8, 36, 36});
    both("title", {52, 18, 390, 20});
    both("accentStripe", {0, 52, 460, 2});
    both("heading", {20, 74, 420, 20});

    const auto setup = [](const char* name, QRect frame) {
        QTest::addRow("setup %s", name) << false << QString::fromLatin1(name) << frame;
    };
    setup("txtApiUrlLabel", {20, 106, 126, 22});
    setup("txtApiUrl", {150, 106, 290, 22});
    setup("txtUsernameLabel", {20, 136, 126, 22});
    setup("txtUsername", {150, 136, 290, 22});
    setup("txtPassword", {150, 166, 290, 22});
    setup("txtClientName", {150, 196, 290, 22});
    setup("txtLocationNameLabel", {20, 226, 126, 22});
    setup("txtLocationName", {150, 226, 290, 22});
    setup("lblComputer", {150, 256, 290, 22});
    setup("btnRegister", {20, 286, 100, 28});
    setup("lblStatus", {20, 326, 420, 44});
    setup("btnClose", {20, 376, 80, 28});

    const auto settings = [](const char* name, QRect frame) {
        QTest::addRow("settings %s", name) << true << QString::fromLatin1(name) << frame;
    };
    settings("lblComputerIDLabel", {20, 106, 126, 22});
    settings("lblComputerID", {150, 106, 290, 22});
    settings("txtClientName", {150, 136, 290, 22});
    settings("txtLocationName", {150, 166, 290, 22});
    settings("txtApiUrlLabel", {20, 196, 126, 22});
    settings("txtApiUrl", {150, 196, 290, 22});
    settings("btnSave", {20, 226, 138, 28});
    settings("btnUnregister", {161, 226, 138, 28});
    settings("btnReauthToggle", {302, 226, 138, 28});
    settings("reauthBox", {20, 266, 420, 156});
    settings("reauthExplanation", {8, 10, 402, 32});
    settings("txtReauthUserLabel", {8, 52, 100, 22});
    settings("txtReauthUser", {116, 50, 294, 24});
    settings("txtReauthPassLabel", {8, 86, 100, 22});
    settings("txtReauthPass", {116, 84, 294, 24});
    settings("btnReauth", {260, 120, 150, 28});
    // Placed where the closed box would be, so both stay inside the 460-pixel window.
    settings("lblStatus", {20, 266, 420, 44});
    settings("btnClose", {20, 316, 80, 28});
}

void TestSetupSheet::frames() {
    QFETCH(bool, isRegistered);
    QFETCH(QString, name);
    QFETCH(QRect, frame);
    TestSandbox sandbox;
    sandbox.writeConfig(isRegistered ? registered() : AgentConfig::defaults());
    SetupWindowController sheet;
    QCOMPARE(sheet.isRegisteredForm(), isRegistered);
    QCOMPARE(child(sheet, name)->geometry(), frame);
}

void TestSetupSheet::reauthBoxOpensAndCloses() {
    TestSandbox sandbox;
    sandbox.writeConfig(registered());
    SetupWindowController sheet;
    sheet.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));
    auto* toggle = child<QPushButton>(sheet, QStringLiteral("btnReauthToggle"));
    auto* box = child(sheet, QStringLiteral("reauthBox"));
    auto* status = child(sheet, QStringLiteral("lblStatus"));
    auto* close = child(sheet, QStringLiteral("btnClose"));
    const QPoint topLeft = sheet.pos();

    const auto expectClosed = [&] {
        QCOMPARE(sheet.size(), QSize(460, 460));
        QVERIFY(box->isHidden());
        QCOMPARE(toggle->text(), QStringLiteral("Re-authenticate \u25BC"));
        QCOMPARE(status->geometry(), QRect(20, 266, 420, 44));
        QCOMPARE(close->geometry(), QRect(20, 316, 80, 28));
        QVERIFY(!sheet.isReauthExpanded());
    };
    expectClosed();

    toggle->click();
    QCOMPARE(sheet.size(), QSize(460, 622));
    QCOMPARE(sheet.minimumSize(), sheet.maximumSize()); // still not resizable
    QVERIFY(box->isVisible());
    QCOMPARE(toggle->text(), QStringLiteral("Re-authenticate \u25B2"));
    QCOMPARE(status->geometry(), QRect(20, 428, 420, 44));
    QCOMPARE(close->geometry(), QRect(20, 478, 80, 28));
    QCOMPARE(box->geometry(), QRect(20, 266, 420, 156));
    QVERIFY(sheet.isReauthExpanded());
    QCOMPARE(sheet.pos(), topLeft);

    toggle->click();
    expectClosed();
    QCOMPARE(sheet.pos(), topLeft);
}

void TestSetupSheet::initialContents_data() {
    QTest::addColumn<AgentConfig>("config");
    QTest::addColumn<bool>("writeFile");
    QTest::addColumn<QString>("windowTitle");
    QTest::addColumn<QString>("headerTitle");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QString>("clientField");

    const QString setupTitle = QStringLiteral("Tavrel Agent \u2014 Setup");
    const QString settingsTitle = QStringLiteral("Tavrel Agent \u2014 Settings");
    const QString setupHeading = QStringLiteral("Register this computer with Tavrel");

    QTest::newRow("no file") << AgentConfig::defaults() << false << setupTitle << "Register with Tavrel"
                             << setupHeading << "";
    AgentConfig unassigned = registered();
    unassigned.clientName = QStringLiteral("Unassigned");
    // clang-format off
    QTest::newRow("registered, Unassigned shown as stored")
        << unassigned << true << settingsTitle << "Tavrel Agent Settings" << "Tavrel Agent Settings" << "Unassigned";
    // clang-format on
    unassigned.token.clear();
    QTest::newRow("ID without token: registration, Unassigned shown empty")
        << unassigned << true << setupTitle << "Register with Tavrel" << setupHeading << "";
    AgentConfig named = unassigned;
    named.clientName = QStringLiteral("Acme");
    QTest::newRow("registration keeps a real client name")
        << named << true << setupTitle << "Register with Tavrel" << setupHeading << "Acme";
}

void TestSetupSheet::initialContents() {
    QFETCH(AgentConfig, config);
    QFETCH(bool, writeFile);
    QFETCH(QString, windowTitle);
    QFETCH(QString, headerTitle);
    QFETCH(QString, heading);
    QFETCH(QString, clientField);
    TestSandbox sandbox;
    if (writeFile)
        sandbox.writeConfig(config);
    SetupWindowController sheet;

    QCOMPARE(sheet.windowTitle(), windowTitle);
    QCOMPARE(sheet.size(), config.isRegistered() ? QSize(460, 460) : QSize(460, 498));
    QCOMPARE(sheet.minimumSize(), sheet.maximumSize());
    QCOMPARE(child<QLabel>(sheet, QStringLiteral("title"))->text(), headerTitle);
    QCOMPARE(child<QLabel>(sheet, QStringLiteral("heading"))->text(), heading);
    QCOMPARE(child<QLineEdit>(sheet, QStringLiteral("txtClientName"))->text(), clientField);
    QCOMPARE(child<QLineEdit>(sheet, QStringLiteral("txtLocationName"))->text(), config.locationName);
    QCOMPARE(child<QLineEdit>(sheet, QStringLiteral("txtApiUrl"))->text(), config.apiBaseUrl);
    QVERIFY(child<QLabel>(sheet, QStringLiteral("lblStatus"))->text().isEmpty());
    if (config.isRegistered()) {
        QCOMPARE(child<QLabel>(sheet, QStringLiteral("lblComputerID"))->text(), config.computerID);
        QVERIFY(!sheet.findChild<QWidget*>(QStringLiteral("txtUsername")));
    } else {
        QVERIFY(child<QLineEdit>(sheet, QStringLiteral("txtUsername"))->text().isEmpty());
        QVERIFY(child<QLineEdit>(sheet, QStringLiteral("txtPassword"))->text().isEmpty());
        QVERIFY(!child<QLabel>(sheet, QStringLiteral("lblComputer"))->text().isEmpty());
        QVERIFY(!sheet.findChild<QWidget*>(QStringLiteral("reauthBox")));
    }
}

void TestSetupSheet::styles() {
    TestSandbox sandbox;
    sandbox.writeConfig(registered());
    SetupWindowController sheet;
    auto* id = child<QLabel>(sheet, QStringLiteral("lblComputerID"));
    QCOMPARE(id->textInteractionFlags(), Qt::NoTextInteraction);
    QCOMPARE(id->font().pixelSize(), 11);
    QCOMPARE(id->font().family(), Style::monospaceFont(11).family());
    QCOMPARE(child<QLineEdit>(sheet, QStringLiteral("txtReauthPass"))->echoMode(), QLineEdit::Password);
    QCOMPARE(child<QLineEdit>(sheet, QStringLiteral("txtReauthUser"))->echoMode(), QLineEdit::Normal);
    QCOMPARE(child<QLabel>(sheet, QStringLiteral("title"))->font().pixelSize(), 11);
    QVERIFY(child<QLabel>(sheet, QStringLiteral("title"))->font().bold());
    QCOMPARE(child<QLabel>(sheet, QStringLiteral("reauthExplanation"))->text(),
             QStringLiteral(
                 "Enter your Tavrel credentials to obtain a fresh token.\nNo agent data will be removed."));
    QCOMPARE(child(sheet, QStringLiteral("btnUnregister"))->palette().color(QPalette::ButtonText),
             Style::errorColor());
    QCOMPARE(child(sheet, QStringLiteral("btnReauthToggle"))->palette().color(QPalette::ButtonText),
             Style::blueColor());
    auto* status = child<QLabel>(sheet, QStringLiteral("lblStatus"));
    QVERIFY(status->wordWrap());

    sandbox.writeConfig(AgentConfig::defaults());
    SetupWindowController setup;
    QCOMPARE(child<QLineEdit>(setup, QStringLiteral("txtPassword"))->echoMode(), QLineEdit::Password);
    // Return registers; no other button may be the one Return fires.
    const auto buttons = setup.findChildren<QPushButton*>();
    for (const QPushButton* button : buttons)
        QCOMPARE(button->isDefault() || button->autoDefault(),
                 button->objectName() == QLatin1String("btnRegister"));
}

void TestSetupSheet::closing_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Close button") << "button";
    QTest::newRow("window close") << "close";
    QTest::newRow("Escape") << "escape";
}

void TestSetupSheet::closing() {
    QFETCH(QString, how);
    TestSandbox sandbox;
    QWidget parent;
    parent.show();
    auto* sheet = new SetupWindowController(&parent);
    sheet->setWindowModality(Qt::WindowModal);
    QSignalSpy finished(sheet, &QDialog::finished);
    sheet->open();
    QVERIFY(QTest::qWaitForWindowExposed(sheet));

    if (how == QLatin1String("button"))
        child<QPushButton>(*sheet, QStringLiteral("btnClose"))->click();
    else if (how == QLatin1String("close"))
        QVERIFY(sheet->close());
    else
        QTest::keyClick(sheet, Qt::Key_Escape);

    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    QVERIFY(!sheet->isVisible());
    // A delayed close arriving after the sheet has ended must not end it a second time.
    sheet->closeSheet();
    QCOMPARE(finished.count(), 1);
}

QTEST_MAIN(TestSetupSheet)
#include "tst_setupsheet.moc"
