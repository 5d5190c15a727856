// Host facts sent at registration.
#include "core/SystemInfo.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

class TestSystemInfo final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void formatUtcOffset_data();
    void formatUtcOffset();
    void utcOffsetFollowsTimeZone();
    void facts();
};

void TestSystemInfo::formatUtcOffset_data() {
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("UTC") << 0 << "+00:00";
    QTest::newRow("India") << 5 * 3600 + 30 * 60 << "+05:30";
    QTest::newRow("Newfoundland") << -(3 * 3600 + 30 * 60) << "-03:30";
    QTest::newRow("Nepal") << 5 * 3600 + 45 * 60 << "+05:45";
    QTest::newRow("Hawaii") << -10 * 3600 << "-10:00";
    QTest::newRow("Kiribati") << 14 * 3600 << "+14:00";
    QTest::newRow("leftover seconds dropped") << 5 * 3600 + 30 * 60 + 59 << "+05:30";
    QTest::newRow("negative leftover seconds dropped") << -(3600 + 59) << "-01:00";
}

void TestSystemInfo::formatUtcOffset() {
    QFETCH(int, seconds);
    QFETCH(QString, text);
    QCOMPARE(SystemInfo::formatUtcOffset(seconds), text);
}

void TestSystemInfo::utcOffsetFollowsTimeZone() {
    const QByteArray old = qgetenv("TZ");
    for (const auto& [zone, text] : {std::pair{"Asia/Kathmandu", "+05:45"}, std::pair{"UTC", "+00:00"},
                                     std::pair{"Pacific/Honolulu", "-10:00"}}) {
        qputenv("TZ", zone);
        ::tzset();
        QCOMPARE(SystemInfo::utcOffset(), QString::fromLatin1(text));
    }
    old.isNull() ? qunsetenv("TZ") : qputenv("TZ", old);
    ::tzset();
}

void TestSystemInfo::facts() {
    QCOMPARE(SystemInfo::formatMacOSVersion(14, 0, 0), QStringLiteral("macOS 14.0.0"));
    QCOMPARE(SystemInfo::formatMacOSVersion(14, 2, 1), QStringLiteral("macOS 14.2.1"));

    const QString ip = SystemInfo::ipAddress();
    if (!ip.isEmpty()) {
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$")).match(ip).hasMatch(),
                 qPrintable(ip));
        QVERIFY2(QHostAddress(ip).protocol() == QAbstractSocket::IPv4Protocol, qPrintable(ip));
    }
    QVERIFY(!SystemInfo::osVersion().isEmpty());
    QVERIFY(!SystemInfo::computerName().isEmpty());
    const passwd* user = ::getpwuid(::getuid());
    QVERIFY(user);
    QCOMPARE(SystemInfo::userName(), QString::fromLocal8Bit(user->pw_name));
}

QTEST_GUILESS_MAIN(TestSystemInfo)
#include "tst_systeminfo.moc"
