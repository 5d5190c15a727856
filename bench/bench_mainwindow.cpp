// Main-thread time of one log-pane tick that finds 10,000 new lines in the activity log (read,
// filter, append, trim to 300 lines, scroll, repaint), and the pane's line count afterwards.
//
//   build/default/bench/tavrel-bench-mainwindow [rounds]
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include "Tavrel_Agent/MainWindowController.h"
#include "core/AgentEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
constexpr int newLines = 10000;

// About 110 bytes a line, one in ten a debug line, as an agent writes them.
QByteArray batch(int round) {
    QByteArray bytes;
    for (int i = 0; i < newLines; ++i) {
        const bool debug = i % 10 == 0;
        bytes += "[2026-12-06T09:00:01Z] [" + QByteArray(debug ? "DEBUG" : "INFO") + "] round " +
                 QByteArray::number(round) + " line " + QByteArray::number(i) +
                 ": heartbeat sent, 3 checks queued, next poll in 60 s\n";
    }
    return bytes;
}
} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 20;

    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("var/tavrel/agentservice"));
    AgentEnvironment::install(AgentEnvironment::sandbox(root.path()));
    QFile log(AgentEnvironment::current().logPath);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return 1;
    log.write(batch(-1).left(8000));
    log.flush();

    MainWindowController window;
    window.findChild<QTimer*>(QStringLiteral("refreshTimer"))->stop();
    auto* pane = window.findChild<QPlainTextEdit*>(QStringLiteral("logView"));
    window.show();
    QCoreApplication::processEvents();

    std::vector<double> millis;
    for (int round = 0; round < rounds; ++round) {
        log.write(batch(round));
        log.flush();
        QElapsedTimer timer;
        timer.start();
        QMetaObject::invokeMethod(&window, "tailLogFile");
        QCoreApplication::processEvents(); // the queued append
        pane->viewport()->repaint();
        millis.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(millis.begin(), millis.end());
    std::printf("log tick with %d new lines, %d rounds: median %.2f ms, max %.2f ms (target < 100 ms)\n",
                newLines, rounds, millis[millis.size() / 2], millis.back());
    std::printf("pane lines afterwards: %d (limit 300)\n", pane->document()->blockCount());
    return 0;
}
