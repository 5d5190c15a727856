#include "core/Shell.h"

#include "core/AgentEnvironment.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringDecoder>

#include <cstdio>

namespace {

QProcessEnvironment withPathPrefix(const QStringList& prefix) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!prefix.isEmpty()) {
        const QString path = env.value(QStringLiteral("PATH"));
        env.insert(QStringLiteral("PATH"),
                   prefix.join(QLatin1Char(':')) + (path.isEmpty() ? QString() : QLatin1Char(':') + path));
    }
    return env;
}

// The administrator shell must not inherit anything that changes what it runs (BASH_ENV, PATH…).
QProcessEnvironment minimalEnvironment() {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin:/usr/sbin:/sbin"));
    return env;
}

QString decodeUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

void reportPrivilegedFailure(const QString& message) {
    QString line = message.trimmed();
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray text = QByteArrayLiteral("[runPrivileged] osascript error: ") + line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

} // namespace

ShellResult runShell(const QString& commandLine) {
    const AgentEnvironment& env = AgentEnvironment::current();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessEnvironment(withPathPrefix(env.pathPrefix));
    process.start(env.shellProgram, {QStringLiteral("-c"), commandLine});
    if (!process.waitForStarted(-1))
        return {};
    process.waitForFinished(-1);
    return {process.exitCode(), decodeUtf8(process.readAll())};
}

bool runPrivileged(const QString& commandLine) {
    const AgentEnvironment& env = AgentEnvironment::current();
    if (env.privilegedOverride)
        return env.privilegedOverride(commandLine);

    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    switch (env.privilegeMethod) {
    case PrivilegeMethod::AppleScript:
        process.setProcessEnvironment(minimalEnvironment());
        process.start(env.privilegeProgram, {QStringLiteral("-e"), appleScriptSource(commandLine)});
        break;
    case PrivilegeMethod::Pkexec:
        process.start(env.privilegeProgram, {QStringLiteral("/bin/sh"), QStringLiteral("-c"), commandLine});
        break;
    case PrivilegeMethod::Direct:
        process.setProcessEnvironment(withPathPrefix(env.pathPrefix));
        process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commandLine});
        break;
    }
    if (!process.waitForStarted(-1)) {
        reportPrivilegedFailure(process.errorString());
        return false;
    }
    process.waitForFinished(-1);
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    QString message = QString::fromUtf8(process.readAllStandardError()).trimmed();
    if (message.isEmpty())
        message = process.exitStatus() == QProcess::NormalExit
                      ? QStringLiteral("exit status %1").arg(process.exitCode())
                      : process.errorString();
    reportPrivilegedFailure(message);
    return false;
}

QString appleScriptSource(const QString& commandLine) {
    QString escaped = commandLine;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QStringLiteral("do shell script \"") + escaped +
           QStringLiteral("\" with administrator privileges");
}

QString shellQuote(const QString& text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}
