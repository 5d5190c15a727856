// Speed and memory of the core library's hot paths: one status refresh (on Linux the process
// search reads /proc), lastLines(80) on a 1 GiB log, tail over just under 1 MiB of new lines. Run by
// hand, from the source folder:
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=RelWithDebInfo
//   cmake --build build/bench --target tavrel-bench-core
//   build/bench/bench/tavrel-bench-core
//   build/bench/bench/tavrel-bench-core --benchmark_filter=tail
// The lastLines benchmark writes a 1 GiB log under $TMPDIR (or /tmp) and removes it at the end.
#include "core/AgentConfig.h"
#include "core/Logger.h"
#include "core/ServiceControl.h"
#include "support/TestSandbox.h"

#include "Measure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A log of realistic agent lines, about `size` bytes, made of one block written over and over.
QByteArray realisticLines(qsizetype size, int firstNumber = 0) {
    static const char* const levels[] = {"INFO", "DEBUG", "INFO", "WARN", "INFO", "ERROR"};
    QByteArray block;
    block.reserve(size + 256);
    for (int i = firstNumber; block.size() < size; ++i) {
        block += "[2025-03-07T14:" + QByteArray::number(10 + i % 50) + ':' + QByteArray::number(10 + i % 49) +
                 "Z] [" + levels[i % 6] +
                 "] Heartbeat sent to https://api.tavrel.com/api/v1/agentservice cpu=" +
                 QByteArray::number(i % 97) + "% mem=" + QByteArray::number(i % 89) +
                 "% seq=" + QByteArray::number(i) + (i % 7 ? "" : " note=Zürich – 東京") + '\n';
    }
    return block;
}

// Created on first use, removed when main ends.
std::unique_ptr<QTemporaryFile> bigLog;

QString gigabyteLog() {
    std::unique_ptr<QTemporaryFile>& file = bigLog;
    if (!file) {
        file =
            std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/tavrel-bench-XXXXXX.log"));
        if (!file->open())
            qFatal("cannot create the 1 GiB log in %s", qPrintable(QDir::tempPath()));
        const QByteArray block = realisticLines(4 << 20);
        const qint64 target = qint64(1) << 30;
        while (file->size() < target)
            file->write(block);
        file->write("[2025-03-07T14:05:09Z] [INFO] the last line\n");
        file->flush();
    }
    return file->fileName();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void statusRefresh(benchmark::State& state) {
    TestSandbox sandbox;
    sandbox.setServiceDefinition(true);
    sandbox.writeConfig(AgentConfig::defaults());
    if (state.range(0) && !sandbox.startAgentProcess())
        state.SkipWithError("cannot start the stand-in agent");
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(getAgentServiceStatus());
        benchmark::DoNotOptimize(AgentConfig::load());
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        samples.push_back(took.count() * 1e3);
    }
    state.counters["median_ms"] = median(samples);
    // The search reads every process's command line: its cost grows with their number.
    state.counters["processes"] =
        double(QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs).size());
    state.SetLabel(state.range(0) ? "agent running" : "agent stopped");
}
BENCHMARK(statusRefresh)->Arg(0)->Arg(1)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

void lastLines80OnGigabyteLog(benchmark::State& state) {
    const QString path = gigabyteLog();
    const bool peakResets = Measure::resetPeakRss();
    qint64 peakExtraKiB = 0;
    std::vector<double> samples;
    for (auto _ : state) {
        Measure::resetPeakRss();
        const qint64 before = Measure::statusKiB("VmRSS:");
        const auto start = Clock::now();
        const QStringList lines = Logger::lastLines(path, 80);
        const std::chrono::duration<double> took = Clock::now() - start;
        peakExtraKiB = std::max(peakExtraKiB, Measure::statusKiB("VmHWM:") - before);
        state.SetIterationTime(took.count());
        samples.push_back(took.count() * 1e3);
        if (lines.size() != 80 ||
            lines.last() != QLatin1String("[2025-03-07T14:05:09Z] [INFO] the last line"))
            state.SkipWithError("wrong lines");
    }
    state.counters["median_ms"] = median(samples);
    state.counters["peak_extra_MiB"] = peakResets ? double(peakExtraKiB) / 1024 : -1;
    state.counters["file_GiB"] = double(QFileInfo(path).size()) / (1 << 30);
}
BENCHMARK(lastLines80OnGigabyteLog)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

// As much as one call reads: just under the read limit of new lines.
void tailOverNewLines(benchmark::State& state) {
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/tavrel-bench-XXXXXX.log"));
    if (!file.open())
        qFatal("cannot create a log");
    file.write(realisticLines(1 << 20));
    const quint64 offset = quint64(file.size());
    const QByteArray fresh = realisticLines(qsizetype(Logger::readLimit) - 200, 1000000);
    file.write(fresh);
    file.flush();
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        const LogChunk chunk = Logger::tail(file.fileName(), offset);
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        samples.push_back(took.count() * 1e3);
        if (chunk.lines.size() != fresh.count('\n') || chunk.skippedBytes != 0)
            state.SkipWithError("wrong line count");
    }
    state.counters["median_ms"] = median(samples);
    state.counters["new_MiB"] = double(fresh.size()) / (1 << 20);
    state.counters["new_lines"] = double(fresh.count('\n'));
}
BENCHMARK(tailOverNewLines)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // QProcess wants one
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bigLog.reset(); // removes the 1 GiB file
    return 0;
}
