// The live activity log pane: the first fill, following the file on each tick (growth, rotation,
// a log that appears late), the debug filter, the 300-line limit and scrolling to the end.
#include "Tavrel_Agent/MainWindowController.h"
#include "support/TestSandbox.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
QByteArray logLine(int number, const char* level = "INFO") {
    return "[2026-12-06T09:" + QByteArray::number(10 + number / 60) + ":" +
           QByteArray::number(10 + number % 50) + "Z] [" + level + "] heartbeat " +
           QByteArray::number(number) + "\n";
}

QByteArray logLines(int first, int last) {
    QByteArray bytes;
    for (int number = first; number <= last; ++number)
        bytes += logLine(number);
    return bytes;
}

QString shown(int number, const char* level = "INFO") {
    return QString::fromLatin1(logLine(number, level).chopped(1));
}
} // namespace

class TestLogPane final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void firstFill_data();
    void firstFill();
    void followsTheFile();
    void rotation_data();
    void rotation();
    void keepsTheNewest300();
    void logAppearsLater();

private:
    // A window whose pane moves only when the test says so.
    void openWindow();
    void tick();
    QStringList pane() const;

    std::unique_ptr<TestSandbox> sandbox;
    std::unique_ptr<MainWindowController> window;
    QPlainTextEdit* logView = nullptr;
};

void TestLogPane::init() {
    sandbox = std::make_unique<TestSandbox>();
}

void TestLogPane::cleanup() {
    window.reset();
    sandbox.reset();
}

void TestLogPane::openWindow() {
    window = std::make_unique<MainWindowController>();
    window->findChild<QTimer*>(QStringLiteral("refreshTimer"))->stop();
    logView = window->findChild<QPlainTextEdit*>(QStringLiteral("logView"));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void TestLogPane::tick() {
    QVERIFY(QMetaObject::invokeMethod(window.get(), "tailLogFile"));
    QCoreApplication::processEvents();
}

QStringList TestLogPane::pane() const {
    const QString text = logView->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

void TestLogPane::firstFill_data() {
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QStringList>("expected");

    // Lines 21 to 100 are the last 80; ten of them carry the debug tag.
    QByteArray tenDebug;
    QStringList seventy;
    for (int number = 1; number <= 100; ++number) {
        const bool debug = number > 20 && number % 8 == 0;
        tenDebug += logLine(number, debug ? "DEBUG" : "INFO");
        if (number > 20 && !debug)
            seventy.append(shown(number));
    }
    QTest::newRow("ten debug lines among the last 80") << tenDebug << seventy;
    QTest::newRow("only the upper-case tag is dropped")
        << logLine(1, "debug") + logLine(2, "Debug") + logLine(3, "DEBUG") + "\n\n" + logLine(4, "INFO")
        << QStringList{shown(1, "debug"), shown(2, "Debug"), shown(4)};
    QTest::newRow("no log") << QByteArray() << QStringList();
}

void TestLogPane::firstFill() {
    QFETCH(QByteArray, log);
    if (!log.isEmpty())
        sandbox->writeLog(log);
    openWindow();
    QTEST(pane(), "expected");
}

void TestLogPane::followsTheFile() {
    sandbox->writeLog(logLines(1, 3));
    openWindow();
    tick();
    QCOMPARE(pane().size(), 3);

    // New lines in file order; debug and blank lines dropped; a line written in two pieces
    // between ticks shows as two lines.
    sandbox->appendLog(logLine(4) + logLine(5, "DEBUG") + "\n" + logLine(6) + "[2026-12-06T09:30:00Z] [WA");
    tick();
    sandbox->appendLog("RN] disk almost full\n");
    tick();
    QCOMPARE(pane().mid(3), (QStringList{shown(4), shown(6), QStringLiteral("[2026-12-06T09:30:00Z] [WA"),
                                         QStringLiteral("RN] disk almost full")}));
}

void TestLogPane::rotation_data() {
    QTest::addColumn<QByteArray>("rotated");
    QTest::newRow("to a shorter file") << logLines(500, 502);
    QTest::newRow("to an empty file") << QByteArray();
}

void TestLogPane::rotation() {
    QFETCH(QByteArray, rotated);
    sandbox->writeLog(logLines(1, 20));
    openWindow();
    tick();
    const QStringList before = pane();
    QCOMPARE(before.size(), 20);

    sandbox->writeLog(rotated);
    tick();
    QStringList expected = before;
    for (const QByteArray& line : rotated.split('\n'))
        if (!line.isEmpty())
            expected.append(QString::fromLatin1(line));
    QCOMPARE(pane(), expected);

    // The pane is never cleared; what comes next follows.
    sandbox->appendLog(logLine(600));
    tick();
    QCOMPARE(pane(), expected << shown(600));
}

void TestLogPane::keepsTheNewest300() {
    sandbox->writeLog(logLines(1, 50));
    openWindow();
    tick();
    QCOMPARE(pane().size(), 50);

    for (int round = 0; round < 2; ++round) {
        // The user scrolled up to read: new lines bring the pane back to the end.
        logView->verticalScrollBar()->setValue(0);
        const int first = 1000 + round * 1000;
        sandbox->appendLog(logLines(first, first + 349));
        tick();
        const QStringList lines = pane();
        QVERIFY2(lines.size() >= 299 && lines.size() <= 300, qPrintable(QString::number(lines.size())));
        QCOMPARE(lines.last(), shown(first + 349));
        QCOMPARE(lines.first(), shown(first + 350 - lines.size()));
        QVERIFY(logView->verticalScrollBar()->maximum() > 0);
        QCOMPARE(logView->verticalScrollBar()->value(), logView->verticalScrollBar()->maximum());
    }
}

void TestLogPane::logAppearsLater() {
    openWindow();
    tick();
    QVERIFY(pane().isEmpty());

    // Once the log exists, the next tick shows all of it, subject to the limit.
    sandbox->writeLog(logLines(1, 320));
    tick();
    const QStringList lines = pane();
    QCOMPARE(lines.size(), 300);
    QCOMPARE(lines.first(), shown(21));
    QCOMPARE(lines.last(), shown(320));
}

QTEST_MAIN(TestLogPane)
#include "tst_logpane.moc"
