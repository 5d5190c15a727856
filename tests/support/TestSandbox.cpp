#include "support/TestSandbox.h"

QByteArray TestSandbox::readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestSandbox::writeFile(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | mode) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QStringList TestSandbox::snapshot(const QString& folder) {
    QStringList entries;
    QDirIterator found(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (found.hasNext()) {
        const QFileInfo entry(found.next());
        const QByteArray content = entry.isFile() && !entry.isSymLink() ? readFile(entry.filePath()) : "";
        entries << entry.filePath() + u' ' +
                       (entry.isSymLink() ? entry.symLinkTarget() : QString::fromUtf8(content));
    }
    entries.sort();
    return entries;
}

TestSandbox::TestSandbox() {
    for (const char* folder : {"var/tavrel/agentservice", "etc/systemd/system", "bin"})
        QDir(dir.path()).mkpath(QString::fromLatin1(folder));
    agentEnvironment = AgentEnvironment::sandbox(dir.path(), QStringLiteral(TAVREL_HELPER));
    AgentEnvironment::install(agentEnvironment);
}

TestSandbox::~TestSandbox() {
    stopAgentProcess();
    AgentEnvironment::install(AgentEnvironment::production());
}

void TestSandbox::setServiceDefinition(bool present) {
    const QString unit = agentEnvironment.serviceDefinitionPaths().value(0);
    if (present)
        writeFile(unit, "[Unit]\nDescription=Tavrel agent (sandbox)\n");
    else
        QFile::remove(unit);
}

bool TestSandbox::startAgentProcess() {
    if (agent)
        return true;
    const QString script = path(QStringLiteral("bin/tavrel_agent.py"));
    writeFile(script, "import time\nwhile True:\n    time.sleep(1)\n");
    agent = std::make_unique<QProcess>();
    // The system interpreter: a wrapper found on PATH first (pyenv) would exec several times
    // over, and the search could look in between.
    agent->start(QStringLiteral("/usr/bin/python3"), {script});
    if (!agent->waitForStarted(5000))
        return false;
    // Started means exec'd, but the kernel sets up the new command line a moment later: until then
    // /proc shows it empty, and a search would miss the agent.
    const QString cmdline = QStringLiteral("/proc/%1/cmdline").arg(agent->processId());
    for (QDeadlineTimer deadline(5000); !readFile(cmdline).contains(QFile::encodeName(script));
         QThread::msleep(1))
        if (deadline.hasExpired())
            return false;
    return true;
}

void TestSandbox::stopAgentProcess() {
    if (agent) {
        agent->kill();
        agent->waitForFinished(5000);
    }
    agent.reset();
}

void TestSandbox::recordPrivilegedCommands(bool result, const QString& reason) {
    recorded->clear();
    changeEnvironment([recorded = recorded, result, reason](AgentEnvironment& e) {
        e.privilegedOverride = [recorded, result, reason](const RootRequest& request) {
            recorded->append(request.arguments.join(QLatin1Char(' ')));
            return result ? Outcome::success() : Outcome::failure(reason);
        };
    });
}

void TestSandbox::changeEnvironment(const std::function<void(AgentEnvironment&)>& change) {
    change(agentEnvironment);
    AgentEnvironment::install(agentEnvironment);
}

void TestSandbox::useStandin(PrivilegeMethod method, const QByteArray& answer, bool held) {
    QDir::setCurrent(root());
    writeFile(QStringLiteral("answer"), answer);
    if (held && ::mkfifo("hold", 0600) != 0)
        qFatal("cannot make the FIFO hold");
    changeEnvironment([method](AgentEnvironment& e) {
        e.privilegeMethod = method;
        e.privilegeProgram = QStringLiteral(TAVREL_STANDINS_DIR) +
                             (method == PrivilegeMethod::AppleScript ? "/osascript" : "/pkexec");
    });
}

void TestSandbox::release() {
    writeFile(QStringLiteral("hold"), "go\n");
}

std::optional<QStringList> TestSandbox::appendedInfoLines(const QByteArray& before) const {
    const QByteArray log = logBytes();
    if (!log.startsWith(before))
        return std::nullopt;
    static const QRegularExpression stamp(
        QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\\] \\[INFO\\] "));
    QStringList messages;
    for (const QString& line : QString::fromUtf8(log.mid(before.size())).split(u'\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = stamp.match(line);
        if (!match.hasMatch())
            return std::nullopt;
        messages << line.mid(match.capturedLength());
    }
    return messages;
}
