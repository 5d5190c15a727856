#include "CoreTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

StderrCapture::StderrCapture() {
    if (!file_.open())
        qFatal("cannot create a file for standard error");
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(file_.handle(), 2);
}

StderrCapture::~StderrCapture() {
    stop();
}

void StderrCapture::stop() {
    if (saved_ < 0)
        return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
}

QByteArray StderrCapture::text() {
    stop();
    QFile reader(file_.fileName());
    return reader.open(QIODevice::ReadOnly) ? reader.readAll() : QByteArray();
}

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value)
    : name_(name)
    , had_(qEnvironmentVariableIsSet(name))
    , old_(qgetenv(name)) {
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        qputenv(name_, old_);
    else
        qunsetenv(name_);
}

namespace CoreTest {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

void writeExecutable(const QString& path, const QByteArray& script) {
    writeFile(path, script);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                    QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

QString installStandIn(const QString& root, const QString& name) {
    QDir(root).mkpath(QStringLiteral("standins"));
    const QString target = root + QStringLiteral("/standins/") + name;
    QFile::remove(target);
    writeExecutable(target, readFile(QStringLiteral(TAVREL_STANDINS_DIR "/") + name));
    return target;
}

void usePrivilegeBackend(AgentEnvironment& environment, PrivilegeMethod method, const QString& program) {
    environment.privilegedOverride = {};
    environment.privilegeMethod = method;
    environment.privilegeProgram = program;
}

QString methodName(PrivilegeMethod method) {
    switch (method) {
    case PrivilegeMethod::AppleScript:
        return QStringLiteral("osascript");
    case PrivilegeMethod::Pkexec:
        return QStringLiteral("pkexec");
    case PrivilegeMethod::Direct:
        break;
    }
    return QStringLiteral("direct");
}

QList<QPair<QString, QString>> hostileTexts() {
    return {
        {QStringLiteral("double quotes"), QStringLiteral("say \"hi\" \"")},
        {QStringLiteral("backslashes"), QStringLiteral("C:\\dir\\new\\t\\\\end\\")},
        {QStringLiteral("backslash before quote"), QStringLiteral("a\\\"b\\\\\"c")},
        {QStringLiteral("command substitution"), QStringLiteral("$(touch CANARY)")},
        {QStringLiteral("backquotes"), QStringLiteral("`touch CANARY`")},
        {QStringLiteral("single quotes"), QStringLiteral("it's 'quoted' ''")},
        {QStringLiteral("echo escape \\c"), QStringLiteral("cut\\chere")},
        {QStringLiteral("printf directives"), QStringLiteral("%s %d %n %% %b")},
        {QStringLiteral("-n"), QStringLiteral("-n")},
        {QStringLiteral("-e with escape"), QStringLiteral("-e \\x41\\0101")},
        {QStringLiteral("variables"), QStringLiteral("$HOME ${PATH} $0 $$ $1")},
        {QStringLiteral("operators and globs"), QStringLiteral("* ? [a] ; && || | > < & ! ~ # {a,b}")},
        {QStringLiteral("non-ASCII"), QStringLiteral("Zürich – 東京 ▼ \U0001F600")},
        {QStringLiteral("padding and tab"), QStringLiteral("  padded\tand tabbed  ")},
        {QStringLiteral("empty"), QString()},
    };
}

QString withCanary(QString text, const QString& canaryPath) {
    return text.replace(QStringLiteral("CANARY"), canaryPath);
}

QStringList entries(const QString& directory) {
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                     QDir::Name);
}

} // namespace CoreTest
