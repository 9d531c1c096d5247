// What the Qt image plugin adds to the library's one-call decode, on a 2048 x 2048 BC1 texture
// held in memory (built once per Qt version, as qt5_bench and qt6_bench):
//   BM_library   qziLoadRGBAFromMemory: 8-bit RGBA, top row first;
//   BM_plugin    QImageReader over a QBuffer of the same bytes, the plugin from the build tree:
//                a Format_RGBA8888 QImage;
//   BM_pair      the two alternately: x_library is the plugin's time over the library's (median
//                of the pairs, steady under load from other processes).
// The heap recycles freed blocks (no mapping per picture), as in a viewer. The texture is
// random BC1 blocks, or the PVR file named by QZI_BENCH_TEXTURE.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "qzimgdecoder.h"

namespace {

QByteArray makeTexture() {
  const QByteArray path = qgetenv("QZI_BENCH_TEXTURE");
  if (!path.isEmpty()) {
    QFile f(QString::fromLocal8Bit(path));
    if (f.open(QIODevice::ReadOnly)) return f.readAll();
    return QByteArray();
  }
  const uint32_t side = 2048;
  // Version 3 header: BC1 (id 7), one surface, face and level, no metadata.
  const uint32_t header[13] = {0x03525650, 0, 7, 0, 0, 0, side, side, 1, 1, 1, 1, 0};
  QByteArray file(reinterpret_cast<const char*>(header), sizeof header);
  std::mt19937 random(7);
  QByteArray blocks(int(side * side / 2), Qt::Uninitialized);
  for (char& c : blocks) c = static_cast<char>(random());
  return file + blocks;
}

const QByteArray& texture() {
  static const QByteArray bytes = makeTexture();
  return bytes;
}

bool libraryOnce(const QByteArray& file) {
  unsigned char* pixels = nullptr;
  int w = 0, h = 0;
  const int rc = qziLoadRGBAFromMemory(file.constData(), size_t(file.size()), "t.pvr", &pixels, &w, &h);
  benchmark::DoNotOptimize(pixels);
  qziFreeRGBA(pixels);
  return rc == 0;
}

bool pluginOnce(const QByteArray& file) {
  QBuffer buffer;
  buffer.setData(file);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, "pvr");
  const QImage image = reader.read();
  benchmark::DoNotOptimize(image.constBits());
  return !image.isNull() && image.format() == QImage::Format_RGBA8888;
}

void recycleHeap() {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
}

void BM_library(benchmark::State& state) {
  recycleHeap();
  for (auto _ : state) {
    if (!libraryOnce(texture())) {
      state.SkipWithError("decode failed");
      break;
    }
  }
}

void BM_plugin(benchmark::State& state) {
  recycleHeap();
  for (auto _ : state) {
    if (!pluginOnce(texture())) {
      state.SkipWithError("plugin read failed");
      break;
    }
  }
}

void BM_pair(benchmark::State& state) {
  recycleHeap();
  using Clock = std::chrono::steady_clock;
  std::vector<double> ratios;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const bool plugin = pluginOnce(texture());
    const auto t1 = Clock::now();
    const bool library = libraryOnce(texture());
    const auto t2 = Clock::now();
    if (!plugin || !library) {
      state.SkipWithError("decode failed");
      break;
    }
    const double p = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(p);
    ratios.push_back(p / std::chrono::duration<double>(t2 - t1).count());
  }
  if (ratios.empty()) return;
  std::sort(ratios.begin(), ratios.end());
  state.counters["x_library"] = ratios[ratios.size() / 2];
}

BENCHMARK(BM_library)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_plugin)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pair)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::addLibraryPath(QStringLiteral(QZI_QT_PLUGIN_PATH));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
