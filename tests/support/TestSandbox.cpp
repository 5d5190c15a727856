#include "support/TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QByteArray TestSandbox::readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestSandbox::writeFile(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | mode) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

TestSandbox::TestSandbox() {
    Q_ASSERT(dir_.isValid());
    for (const char* folder : {"var/tavrel/agentservice", "etc/systemd/system", "bin"})
        QDir(dir_.path()).mkpath(QString::fromLatin1(folder));
    environment_ = AgentEnvironment::sandbox(dir_.path(), QStringLiteral(TAVREL_HELPER));
    AgentEnvironment::install(environment_);
}

TestSandbox::~TestSandbox() {
    stopAgentProcess();
    AgentEnvironment::install(AgentEnvironment::production());
}

void TestSandbox::writeConfigBytes(const QByteArray& bytes) {
    writeFile(environment_.configPath, bytes);
}

QByteArray TestSandbox::configBytes() const {
    return readFile(environment_.configPath);
}

void TestSandbox::writeLog(const QByteArray& bytes) {
    writeFile(environment_.logPath, bytes);
}

void TestSandbox::appendLog(const QByteArray& bytes) {
    writeFile(environment_.logPath, bytes, QIODevice::Append);
}

QByteArray TestSandbox::logBytes() const {
    return readFile(environment_.logPath);
}

void TestSandbox::setServiceDefinition(bool present) {
    if (present)
        writeFile(environment_.serviceDefinitionPath, "[Unit]\nDescription=Tavrel agent (sandbox)\n");
    else
        QFile::remove(environment_.serviceDefinitionPath);
}

bool TestSandbox::startAgentProcess() {
    if (agent_)
        return true;
    const QString script = path(QStringLiteral("bin/tavrel_agent.py"));
    writeFile(script, "import time\nwhile True:\n    time.sleep(1)\n");
    agent_ = std::make_unique<QProcess>();
    // The system interpreter: a wrapper found on PATH first (pyenv) would exec several times
    // over, and the search could look in between.
    agent_->start(QFileInfo::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                        : QStringLiteral("python3"),
                  {script});
    return agent_->waitForStarted(5000);
}

void TestSandbox::stopAgentProcess() {
    if (!agent_)
        return;
    agent_->kill();
    agent_->waitForFinished(5000);
    agent_.reset();
}

void TestSandbox::recordPrivilegedCommands(bool result) {
    recorded_->clear();
    changeEnvironment([recorded = recorded_, result](AgentEnvironment& e) {
        e.privilegedOverride = [recorded, result](const RootRequest& request) {
            recorded->append(request.arguments.join(QLatin1Char(' ')));
            return result ? Outcome::success() : Outcome::failure(QStringLiteral("Not authorized"));
        };
    });
}

void TestSandbox::changeEnvironment(const std::function<void(AgentEnvironment&)>& change) {
    change(environment_);
    AgentEnvironment::install(environment_);
}
