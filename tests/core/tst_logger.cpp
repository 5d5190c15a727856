// The agent's activity log: reading the end, following it by offset, and appending one exact line
// through the privileged runner whatever the message holds.
#include "CoreTestSupport.h"
#include "core/Logger.h"
#include "support/TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

using namespace CoreTest;

Q_DECLARE_METATYPE(PrivilegeMethod)

namespace {

QStringList naiveLines(const QByteArray& bytes, qsizetype count) {
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.mid(qMax<qsizetype>(0, lines.size() - count));
}

QStringList numbered(int from, int to) {
    QStringList lines;
    for (int i = from; i <= to; ++i)
        lines << QStringLiteral("line %1").arg(i);
    return lines;
}

// Lines of random length and content (multi-byte characters, blank lines, an occasional very long
// line), so that block and character boundaries fall everywhere.
QByteArray randomLog(quint32 seed, qsizetype approximateSize) {
    QRandomGenerator random(seed);
    const QList<QByteArray> pieces{
        "a", "Z", " ", "\t", "\r", "\xc3\xa9", "\xe6\x9d\xb1", "\xf0\x9f\x98\x80", "[INFO]"};
    QByteArray log;
    while (log.size() < approximateSize) {
        const int length = random.bounded(20) == 0 ? random.bounded(200000) : random.bounded(200);
        for (int i = 0; i < length; ++i)
            log += pieces.at(random.bounded(int(pieces.size())));
        log += random.bounded(10) == 0 ? "\n\n\n" : "\n";
    }
    if (random.bounded(2))
        log += "no final line feed";
    return log;
}

} // namespace

class TestLogger final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void formatLine_data();
    void formatLine();
    void appendCommandQuotesBothWords();
    void appendHostileCorpus_data();
    void appendHostileCorpus();
    void appendFailures();
    void lastLines_data();
    void lastLines();
    void lastLinesEqualsNaiveSplit();
    void tailSequence();
    void tailUnreadableFile();
};

void TestLogger::formatLine_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("line");
    QTest::newRow("plain") << "Registered"
                           << "[2025-03-07T14:05:09Z] [INFO] Registered";
    QTest::newRow("line breaks become spaces") << "a\r\nb\nc\rd"
                                               << "[2025-03-07T14:05:09Z] [INFO] a  b c d";
    QTest::newRow("empty message") << ""
                                   << "[2025-03-07T14:05:09Z] [INFO] ";
}

void TestLogger::formatLine() {
    QFETCH(QString, message);
    QFETCH(QString, line);
    const QDateTime when(QDate(2025, 3, 7), QTime(14, 5, 9, 987), Qt::UTC);
    QCOMPARE(Logger::formatLine(when, QStringLiteral("INFO"), message), line);
}

void TestLogger::appendCommandQuotesBothWords() {
    QCOMPARE(Logger::appendCommand(QStringLiteral("it's"), QStringLiteral("/var/x y/activity.log")),
             QStringLiteral("printf '%s\\n' 'it'\\''s' >> '/var/x y/activity.log'"));
}

void TestLogger::appendHostileCorpus_data() {
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("message");
    for (const PrivilegeMethod method : {PrivilegeMethod::Direct, PrivilegeMethod::AppleScript}) {
        for (const auto& [name, text] : hostileTexts())
            QTest::addRow("%s: %s", qPrintable(methodName(method)), qPrintable(name)) << method << text;
        QTest::addRow("%s: CR and LF", qPrintable(methodName(method)))
            << method << "one\r\ntwo\nthree\rfour\n";
        QTest::addRow("%s: substitution behind a line break", qPrintable(methodName(method)))
            << method << "x\n$(touch CANARY)\n`touch CANARY`";
    }
}

// The log gains exactly "[now] [INFO] message" and a line feed, and nothing in the message runs.
void TestLogger::appendHostileCorpus() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, message);
    TestSandbox sandbox;
    if (method != PrivilegeMethod::Direct) {
        const QString program = installStandIn(sandbox.root(), methodName(method));
        sandbox.changeEnvironment([&](AgentEnvironment& e) { usePrivilegeBackend(e, method, program); });
    }
    const QString canary = sandbox.path(QStringLiteral("canary"));
    message = withCanary(message, canary);
    sandbox.writeLog("existing line\n");

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    QVERIFY(Logger::append(message, QStringLiteral("INFO")));
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);

    const QByteArray log = sandbox.logBytes();
    QVERIFY2(log.startsWith("existing line\n") && log.endsWith('\n') && log.count('\n') == 2,
             log.constData());
    const QString line = QString::fromUtf8(log.mid(14).chopped(1));
    const QRegularExpressionMatch stamp =
        QRegularExpression(QStringLiteral("^\\[(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ)\\] "))
            .match(line);
    QVERIFY2(stamp.hasMatch(), qPrintable(line));
    const QDateTime when = QDateTime::fromString(stamp.captured(1), Qt::ISODate);
    QVERIFY(when >= before && when <= after);
    QString expected = message;
    expected.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QCOMPARE(line.mid(stamp.capturedLength()), QStringLiteral("[INFO] ") + expected);
    QVERIFY(!QFile::exists(canary));
}

void TestLogger::appendFailures() {
    TestSandbox sandbox;
    QVERIFY(Logger::append(QStringLiteral("first"), QStringLiteral("WARN"))); // creates the log
    QVERIFY(sandbox.logBytes().endsWith("] [WARN] first\n"));

    QVERIFY(QDir(sandbox.path(QStringLiteral("var/tavrel/agentservice"))).removeRecursively());
    StderrCapture stderrCapture;
    QVERIFY(!Logger::append(QStringLiteral("lost"), QStringLiteral("INFO")));
    QCOMPARE(stderrCapture.text().count("[runPrivileged] osascript error: "), 1);

    sandbox.recordPrivilegedCommands(false);
    QVERIFY(!Logger::append(QStringLiteral("refused"), QStringLiteral("INFO")));
    QCOMPARE(sandbox.privilegedCommands().size(), 1);
}

void TestLogger::lastLines_data() {
    QTest::addColumn<QByteArray>("log"); // "<missing>": no file
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("lines");

    QByteArray hundred;
    for (const QString& line : numbered(1, 100))
        hundred += line.toUtf8() + '\n';
    QTest::newRow("missing file") << QByteArray("<missing>") << 80 << QStringList();
    QTest::newRow("empty file") << QByteArray() << 80 << QStringList();
    QTest::newRow("100 lines, last 80") << hundred << 80 << numbered(21, 100);
    QTest::newRow("count 0") << hundred << 0 << QStringList();
    QTest::newRow("fewer lines than asked") << QByteArray("a\nb\n") << 80 << QStringList{"a", "b"};
    QTest::newRow("blank lines dropped") << QByteArray("\n\na\n\n\nb\n\n") << 80 << QStringList{"a", "b"};
    QTest::newRow("trailing line feeds, count 1") << QByteArray("a\nb\n\n\n") << 1 << QStringList{"b"};
    QTest::newRow("only line feeds") << QByteArray("\n\n\n") << 80 << QStringList();
    QTest::newRow("no final line feed") << QByteArray("a\nb") << 1 << QStringList{"b"};
    QTest::newRow("CR kept") << QByteArray("a\r\nb\r\n") << 80 << QStringList{"a\r", "b\r"};
    QTest::newRow("CR alone does not split") << QByteArray("a\rb\n") << 80 << QStringList{"a\rb"};
    QTest::newRow("blank line kept") << QByteArray("a\n   \nb\n") << 80 << QStringList{"a", "   ", "b"};
    QTest::newRow("non-ASCII") << QByteArray("Z\xc3\xbcrich\n\xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x98\x80\n")
                               << 2
                               << QStringList{QStringLiteral("Zürich"), QStringLiteral("東京 \U0001F600")};
    QTest::newRow("invalid UTF-8 among the lines") << QByteArray("ok\nbad\xff\nok\n") << 2 << QStringList();
    QTest::newRow("truncated character among the lines")
        << QByteArray("ok\nbad\xe6\x9d\n") << 1 << QStringList();
    // Only the lines returned are decoded: bad bytes further up do not blank the pane.
    QTest::newRow("invalid UTF-8 above the lines")
        << QByteArray("bad\xff\nok1\n\nok2\n") << 2 << QStringList{"ok1", "ok2"};
    QTest::newRow("few long lines") << QByteArray(QByteArray(3 << 20, 'x') + "\n" + QByteArray(3 << 20, 'y') +
                                                  "\n")
                                    << 1 << QStringList{QString(3 << 20, QLatin1Char('y'))};
}

void TestLogger::lastLines() {
    QFETCH(QByteArray, log);
    QFETCH(int, count);
    QFETCH(QStringList, lines);
    TestSandbox sandbox;
    if (log != "<missing>")
        sandbox.writeLog(log);
    QCOMPARE(Logger::lastLines(count), lines);
    QCOMPARE(Logger::lastLines(sandbox.environment().logPath, count), lines);
}

void TestLogger::lastLinesEqualsNaiveSplit() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("activity.log"));
    for (quint32 seed = 1; seed <= 6; ++seed) {
        const QByteArray log = randomLog(seed, seed % 2 ? 300000 : 2000000);
        writeFile(path, log);
        for (const qsizetype count : {1, 2, 7, 79, 80, 81, 500, 100000})
            QVERIFY2(Logger::lastLines(path, count) == naiveLines(log, count),
                     qPrintable(QStringLiteral("seed %1, count %2").arg(seed).arg(count)));
    }
}

// One step: what happens to the file, then what tail(offset) returns and the next offset.
void TestLogger::tailSequence() {
    enum Change { Remove, Append, Replace };
    struct Step {
        const char* what;
        Change change;
        QByteArray bytes;
        QStringList lines;
        quint64 offset;
    };
    const Step steps[] = {
        {"missing file", Remove, {}, {}, 0},
        {"file appears", Replace, "a\nb\n", {"a", "b"}, 4},
        {"nothing new", Append, {}, {}, 4},
        {"growth with a blank line", Append, "c\n\n", {"c"}, 7},
        {"partial last line", Append, "par", {"par"}, 10},
        {"its rest comes as a line of its own", Append, "tial\nnext\n", {"tial", "next"}, 20},
        {"invalid UTF-8 chunk", Append, "bad\xff\xfe\nalso lost\n", {}, 36},
        {"skipped for good", Append, "ok\n", {"ok"}, 39},
        {"rotation to a shorter file", Replace, "x\ny\n", {"x", "y"}, 4},
        {"rotation to an empty file", Replace, {}, {}, 0},
        {"growth after rotation", Append, "\xc3\xa9t\xc3\xa9\n", {QStringLiteral("été")}, 6},
        {"a character cut in two waits", Append, "half \xc3", {"half "}, 11},
        {"and comes whole", Append, "\xa9!\n", {QStringLiteral("é!")}, 15},
        {"removed: offset kept", Remove, {}, {}, 15},
        {"back, shorter than the offset", Replace, "z\n", {"z"}, 2},
    };
    TestSandbox sandbox;
    quint64 offset = 0;
    for (const Step& step : steps) {
        if (step.change == Remove)
            QFile::remove(sandbox.environment().logPath);
        else if (step.change == Replace)
            sandbox.writeLog(step.bytes);
        else
            sandbox.appendLog(step.bytes);
        const LogChunk chunk = Logger::tail(offset);
        QVERIFY2(chunk.lines == step.lines, step.what);
        QVERIFY2(chunk.newOffset == step.offset, step.what);
        offset = chunk.newOffset;
    }
    const QByteArray big = randomLog(7, 500000);
    sandbox.appendLog(big);
    const LogChunk chunk = Logger::tail(sandbox.environment().logPath, offset);
    QCOMPARE(chunk.lines, naiveLines(big, big.size()));
    QCOMPARE(chunk.newOffset, quint64(2 + big.size()));
}

void TestLogger::tailUnreadableFile() {
    TestSandbox sandbox;
    sandbox.writeLog("secret\n");
    QFile::setPermissions(sandbox.environment().logPath, QFileDevice::WriteOwner);
    if (QFile(sandbox.environment().logPath).open(QIODevice::ReadOnly))
        QSKIP("running with rights that read any file");
    QCOMPARE(Logger::tail(3).lines, QStringList());
    QCOMPARE(Logger::tail(3).newOffset, quint64(3));
    QCOMPARE(Logger::lastLines(80), QStringList());
}

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
