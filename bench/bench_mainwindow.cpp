// Main-thread cost of the log pane's tick (read, filter, append, trim to 300 lines, scroll,
// repaint):
//   - a tick that finds 10,000 new lines (about 1 MB) in the activity log, and the pane's line
//     count afterwards;
//   - a tick after 1 GiB was appended in one burst (an agent stuck in a logging loop), as wall
//     time, the main thread's CPU time (which other loads on the machine do not inflate) and the
//     peak resident memory above what the process held before the tick; with agent lines, with
//     lines longer than the pane shows, and with one line of 1 GiB.
//
//   build/default/bench/tavrel-bench-mainwindow [rounds] [burst rounds]
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise. The burst writes a 1 GiB
// activity log under $TMPDIR (or /tmp), removed at the end.
#include "Tavrel_Agent/AgentState.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "core/AgentEnvironment.h"

#include "Measure.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileSystemWatcher>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {
constexpr int newLines = 10000;
constexpr qint64 burstSize = qint64(1) << 30;

// About 100 bytes a line, one in ten a debug line, as an agent writes them.
QByteArray batch(int round, int count = newLines) {
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        const bool debug = i % 10 == 0;
        bytes += "[2026-12-06T09:00:01Z] [" + QByteArray(debug ? "DEBUG" : "INFO") + "] round " +
                 QByteArray::number(round) + " line " + QByteArray::number(i) +
                 ": heartbeat sent, 3 checks queued, next poll in 60 s\n";
    }
    return bytes;
}

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

struct Figures final {
    std::vector<double> wallMs;
    std::vector<double> cpuMs;
    qint64 peakExtraKiB = 0;

    static double median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }
    static double max(const std::vector<double>& values) {
        return *std::max_element(values.begin(), values.end());
    }
};

// A log tick as the app runs one when the file system tells of a write: the pace that a busy log
// sets is cut short, so that every tick reads.
void tick(MainWindowController& window) {
    window.findChild<QTimer*>(QStringLiteral("logPace"))->stop();
    if (!QMetaObject::invokeMethod(window.findChild<QFileSystemWatcher*>(QStringLiteral("logWatcher")),
                                   "fileChanged", Q_ARG(QString, AgentEnvironment::current().logPath)))
        qFatal("the log pane's watcher cannot be driven");
}

// One timed tick, with the queued append and a repaint.
void timedTick(MainWindowController& window, QPlainTextEdit* pane, Figures& figures) {
    Measure::resetPeakRss();
    const qint64 before = Measure::statusKiB("VmRSS:");
    const double cpuStart = threadCpuMs();
    QElapsedTimer timer;
    timer.start();
    tick(window);
    QCoreApplication::processEvents(); // the queued append
    pane->viewport()->repaint();
    figures.wallMs.push_back(double(timer.nsecsElapsed()) / 1e6);
    figures.cpuMs.push_back(threadCpuMs() - cpuStart);
    figures.peakExtraKiB = std::max(figures.peakExtraKiB, Measure::statusKiB("VmHWM:") - before);
}

// Rounds of: the log emptied (one untimed tick follows it to the start), 1 GiB appended, one
// timed tick.
Figures burstTicks(MainWindowController& window, QPlainTextEdit* pane, QFile& log, const QByteArray& block,
                   const QByteArray& ending, int rounds) {
    Figures figures;
    for (int round = 0; round < rounds; ++round) {
        log.resize(0);
        tick(window);
        QCoreApplication::processEvents();
        for (qint64 written = 0; written < burstSize; written += block.size())
            log.write(block);
        log.write(ending);
        log.flush();
        timedTick(window, pane, figures);
    }
    return figures;
}
} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 20;
    const int burstRounds = argc > 2 ? std::max(1, QString::fromLocal8Bit(argv[2]).toInt()) : 5;

    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("var/tavrel/agentservice"));
    AgentEnvironment::install(AgentEnvironment::sandbox(root.path()));
    QFile log(AgentEnvironment::current().logPath);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return 1;
    log.write(batch(-1).left(8000));
    log.flush();

    AgentState state;
    state.findChild<QTimer*>(QStringLiteral("refreshTimer"))->stop();
    MainWindowController window(state);
    auto* pane = window.findChild<QPlainTextEdit*>(QStringLiteral("logView"));
    window.show();
    QCoreApplication::processEvents();

    Figures lines;
    for (int round = 0; round < rounds; ++round) {
        log.write(batch(round));
        log.flush();
        timedTick(window, pane, lines);
    }
    std::printf("log tick with %d new lines, %d rounds: median %.2f ms, max %.2f ms (target < 100 ms)\n",
                newLines, rounds, Figures::median(lines.wallMs), Figures::max(lines.wallMs));
    std::printf("pane lines afterwards: %d (limit 300)\n", pane->document()->blockCount());

    const bool peakResets = Measure::resetPeakRss();
    const struct {
        const char* what;
        QByteArray block;
        QByteArray ending;
    } bursts[] = {
        {"agent lines", batch(0, 40000), "[2026-12-06T09:00:02Z] [INFO] the last line of the burst\n"},
        // The most lines of the most characters the pane shows that one read can bring without
        // replacing every line in the pane.
        {"lines of 3,500 bytes", QByteArray(QByteArray(3499, 'x') + '\n').repeated(1000), "the last line\n"},
        {"one line", QByteArray(4 << 20, 'x'), "the end of the line\n"},
    };
    for (const auto& burst : bursts) {
        const Figures figures = burstTicks(window, pane, log, burst.block, burst.ending, burstRounds);
        std::printf("log tick after a 1 GiB burst of %s, %d rounds: wall median %.2f ms, max %.2f ms; "
                    "main-thread CPU median %.2f ms, max %.2f ms (target < 20 ms); "
                    "peak extra memory %.2f MiB (target < 8 MiB)\n",
                    burst.what, burstRounds, Figures::median(figures.wallMs), Figures::max(figures.wallMs),
                    Figures::median(figures.cpuMs), Figures::max(figures.cpuMs),
                    peakResets ? double(figures.peakExtraKiB) / 1024 : -1.0);
    }
    std::printf("pane lines afterwards: %d, the first: %s\n", pane->document()->blockCount(),
                qPrintable(pane->document()->firstBlock().text().left(60)));
    std::printf("the last: %s\n", qPrintable(pane->document()->lastBlock().text().right(60)));
    log.resize(0);
    return 0;
}
