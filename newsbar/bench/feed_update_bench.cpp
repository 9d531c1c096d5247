// What one feed update with N new items costs the main thread, and what it writes:
//   BM_update/N          the program's way: the list installed, the items not yet notified
//                        picked as the application controller does, all of them marked
//                        notified in one batch, the unread count taken;
//   BM_updatePerItem/N   the same with one setInformationNotified (and so one save) per item,
//                        as before the batch existed: the cost it replaced.
// Time is the wall time of one update (the manager and its store prepared outside it: 10 items
// already read and notified, so it is not a first run). Counters per update: writes of the
// store and bytes written, through a settings format that writes "key=value" lines as the INI
// format does.
//
//   cmake --build build --target feed_update_bench && build/newsbar/bench/feed_update_bench
// (the per-item case with 1,000 items takes tens of seconds: --benchmark_filter=BM_update/ skips it)
#include "feed/informationmanager.h"

#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

namespace {

qint64 writes = 0;
qint64 bytesWritten = 0;

bool readNothing(QIODevice&, QSettings::SettingsMap&) { return true; }
bool writeCounted(QIODevice& device, const QSettings::SettingsMap& map)
{
    ++writes;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        bytesWritten += device.write(it.key().toUtf8() + '=' + it.value().toString().toUtf8() + '\n');
    return true;
}

QByteArray feed(int first, int count)
{
    QByteArray xml = "<rss version=\"2.0\"><channel>";
    for (int n = first + count - 1; n >= first; --n)
        xml += "<item><title>Item " + QByteArray::number(n) + "</title><category>news</category>"
               "<pubDate>Sun, 01 Mar 2026 09:00:00 +0900</pubDate><link>https://www.example.com/news/"
             + QByteArray::number(n) + "</link></item>";
    return xml + "</channel></rss>";
}

void update(benchmark::State& state, bool perItem)
{
    static const QSettings::Format format = QSettings::registerFormat("bench", readNothing, writeCounted);
    const int count = static_cast<int>(state.range(0));
    const auto known = std::make_shared<const QList<Information>>(Information::informationsWithData(feed(0, 10)));
    const auto fresh = std::make_shared<const QList<Information>>(
        Information::informationsWithData(feed(10, count) + QByteArray()));
    QList<Information> combined = *fresh;
    combined += *known;
    const auto next = std::make_shared<const QList<Information>>(combined);

    qint64 totalWrites = 0, totalBytes = 0;
    for (auto _ : state) {
        QTemporaryDir directory;
        QSettings settings(directory.filePath("preferences.bench"), format);
        InformationManager manager(std::nullopt, &settings, nullptr);
        manager.setInformations(known);  // first run: seeded
        writes = bytesWritten = 0;

        QElapsedTimer timer;
        timer.start();
        manager.setInformations(next);
        QList<Information> toNotify;
        for (auto it = next->crbegin(); it != next->crend(); ++it) {
            if (!manager.isInformationNotified(*it))
                toNotify.append(*it);
        }
        if (perItem) {
            for (const Information& information : toNotify)
                manager.setInformationNotified(information);
        } else {
            manager.setInformationsNotified(toNotify);
        }
        benchmark::DoNotOptimize(manager.numberOfUnreadItems());
        state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
        totalWrites += writes;
        totalBytes += bytesWritten;
    }
    state.counters["writes"] = benchmark::Counter(double(totalWrites), benchmark::Counter::kAvgIterations);
    state.counters["bytes_written"] = benchmark::Counter(double(totalBytes), benchmark::Counter::kAvgIterations);
}

void BM_update(benchmark::State& state) { update(state, false); }
void BM_updatePerItem(benchmark::State& state) { update(state, true); }

} // namespace

BENCHMARK(BM_update)->Arg(10)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_updatePerItem)->Arg(10)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
