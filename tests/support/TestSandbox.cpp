#include "support/TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QTest>

TestSandbox::TestSandbox() {
    Q_ASSERT(dir_.isValid());
    for (const char* folder : {"var/tavrel/agentservice", "etc/systemd/system", "bin", "tmp"})
        QDir(dir_.path()).mkpath(QString::fromLatin1(folder));
    environment_ = AgentEnvironment::sandbox(dir_.path());
    reinstall();
}

TestSandbox::~TestSandbox() {
    stopAgentProcess();
    AgentEnvironment::install(AgentEnvironment::production());
}

QString TestSandbox::root() const {
    return dir_.path();
}

QString TestSandbox::path(const QString& relative) const {
    return dir_.filePath(relative);
}

static void writeFile(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode) {
    QFile file(path);
    if (!file.open(mode))
        qFatal("cannot write %s", qPrintable(path));
    file.write(bytes);
}

void TestSandbox::writeConfig(const AgentConfig& config) {
    writeConfigBytes(config.toJson());
}

void TestSandbox::writeConfigBytes(const QByteArray& bytes) {
    writeFile(environment_.configPath, bytes, QIODevice::WriteOnly | QIODevice::Truncate);
}

QByteArray TestSandbox::configBytes() const {
    QFile file(environment_.configPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestSandbox::writeLog(const QByteArray& bytes) {
    writeFile(environment_.logPath, bytes, QIODevice::WriteOnly | QIODevice::Truncate);
}

void TestSandbox::appendLog(const QByteArray& bytes) {
    writeFile(environment_.logPath, bytes, QIODevice::WriteOnly | QIODevice::Append);
}

QByteArray TestSandbox::logBytes() const {
    QFile file(environment_.logPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestSandbox::setServiceDefinition(bool present) {
    if (present)
        writeFile(environment_.serviceDefinitionPath, "[Unit]\nDescription=Tavrel agent (sandbox)\n",
                  QIODevice::WriteOnly | QIODevice::Truncate);
    else
        QFile::remove(environment_.serviceDefinitionPath);
}

bool TestSandbox::startAgentProcess() {
    if (agent_)
        return true;
    const QString script = path(QStringLiteral("bin/tavrel_agent.py"));
    writeFile(script, "import time\nwhile True:\n    time.sleep(1)\n",
              QIODevice::WriteOnly | QIODevice::Truncate);
    agent_ = std::make_unique<QProcess>();
    agent_->start(QStringLiteral("python3"), {script});
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
    auto recorded = recorded_;
    environment_.privilegedOverride = [recorded, result](const QString& command) {
        recorded->append(command);
        return result;
    };
    reinstall();
}

void TestSandbox::runPrivilegedCommands() {
    environment_.privilegedOverride = {};
    reinstall();
}

void TestSandbox::changeEnvironment(const std::function<void(AgentEnvironment&)>& change) {
    change(environment_);
    reinstall();
}

void TestSandbox::reinstall() {
    AgentEnvironment::install(environment_);
}
