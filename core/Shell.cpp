#include "core/Shell.h"

#include "core/AgentEnvironment.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringDecoder>

QProcessEnvironment environmentWithPathPrefix(const QStringList& prefix) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!prefix.isEmpty()) {
        const QString path = env.value(QStringLiteral("PATH"));
        env.insert(QStringLiteral("PATH"),
                   prefix.join(QLatin1Char(':')) + (path.isEmpty() ? QString() : QLatin1Char(':') + path));
    }
    return env;
}

namespace {

QString decodeUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

} // namespace

ShellResult runShell(const QString& commandLine) {
    const AgentEnvironment& env = AgentEnvironment::current();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessEnvironment(environmentWithPathPrefix(env.pathPrefix));
    process.start(env.shellProgram, {QStringLiteral("-c"), commandLine});
    if (!process.waitForStarted(-1))
        return {};
    process.waitForFinished(-1);
    return {process.exitCode(), decodeUtf8(process.readAll())};
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
