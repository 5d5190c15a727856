#include "core/SystemInfo.h"

#include <QDateTime>
#include <QFile>
#include <QOperatingSystemVersion>
#include <QSysInfo>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef Q_OS_MACOS
#include <SystemConfiguration/SystemConfiguration.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>

QString SystemInfo::ipAddress() {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0)
        return {};
    // Connecting a datagram socket sends nothing: it only makes the system pick the route
    // and bind the local address of the outgoing interface.
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(80);
    inet_pton(AF_INET, "1.1.1.1", &target.sin_addr);
    QString address;
    if (::connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            char text[16] = {};
            if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof text))
                address = QString::fromLatin1(text);
        }
    }
    close(sock);
    return address;
}

QString SystemInfo::formatMacOSVersion(int major, int minor, int patch) {
    return QStringLiteral("macOS %1.%2.%3").arg(major).arg(minor).arg(patch);
}

QString SystemInfo::osVersion() {
#ifdef Q_OS_MACOS
    const auto version = QOperatingSystemVersion::current();
    return formatMacOSVersion(version.majorVersion(), std::max(0, version.minorVersion()),
                              std::max(0, version.microVersion()));
#else
    return QSysInfo::prettyProductName();
#endif
}

QString SystemInfo::formatUtcOffset(int secondsFromUtc) {
    const QChar sign = secondsFromUtc < 0 ? QLatin1Char('-') : QLatin1Char('+');
    const int magnitude = std::abs(secondsFromUtc);
    return sign + QStringLiteral("%1:%2")
                      .arg(magnitude / 3600, 2, 10, QLatin1Char('0'))
                      .arg((magnitude % 3600) / 60, 2, 10, QLatin1Char('0'));
}

QString SystemInfo::utcOffset() {
    return formatUtcOffset(QDateTime::currentDateTime().offsetFromUtc());
}

QString SystemInfo::computerName() {
#ifdef Q_OS_MACOS
    if (CFStringRef name = SCDynamicStoreCopyComputerName(nullptr, nullptr)) {
        const QString result = QString::fromCFString(name);
        CFRelease(name);
        if (!result.isEmpty())
            return result;
    }
#else
    // The "pretty" name users give their computer, where the system keeps one.
    QFile machineInfo(QStringLiteral("/etc/machine-info"));
    if (machineInfo.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = machineInfo.readAll().split('\n');
        for (const QByteArray& line : lines) {
            if (!line.startsWith("PRETTY_HOSTNAME="))
                continue;
            QByteArray value = line.mid(int(std::strlen("PRETTY_HOSTNAME="))).trimmed();
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front())
                value = value.mid(1, value.size() - 2);
            if (!value.isEmpty())
                return QString::fromUtf8(value);
        }
    }
#endif
    return QSysInfo::machineHostName();
}

QString SystemInfo::userName() {
    if (const passwd* entry = getpwuid(getuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return {};
}
