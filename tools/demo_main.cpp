// tavrel-agent-demo DIR [--tray]: the companion on a sandboxed agent installation under DIR, so
// that every feature can be tried without a real agent, service manager or server.
#include "Tavrel_Agent/AppDelegate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc < 2 || !QFileInfo(QString::fromLocal8Bit(argv[1])).isDir()) {
        std::fprintf(stderr, "usage: tavrel-agent-demo DIR [--tray]\n"
                             "DIR is a sandbox laid out by scripts/demo.\n");
        return 2;
    }
    const QString root = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    // The app sees its own arguments without the sandbox folder.
    std::vector<char*> arguments{argv[0]};
    for (int i = 2; i < argc; ++i)
        arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    int count = int(arguments.size()) - 1;
    // One instance per sandbox, apart from an installed tavrel-agent.
    const QByteArray rootHash = QCryptographicHash::hash(root.toUtf8(), QCryptographicHash::Sha256).toHex();
    const QString instanceKey =
        QStringLiteral("com.tavrel.agentui.demo-") + QString::fromLatin1(rootHash.left(12));
    return runTavrelApp(count, arguments.data(),
                        AgentEnvironment::sandbox(root, QStringLiteral(TAVREL_HELPER)), instanceKey);
}
