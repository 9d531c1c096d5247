// The texture plugin as Qt applications meet it: QImageReader with the plugin loaded from the
// build tree. The PVR corpora (QZI_PVR_DIR, QZI_PVR_MODERN_DIR) and the texture corpus of
// every container (QZI_TEXTURES_DIR, its manifest) against their references, within the
// tolerances of the library's own conformance tables; textures built here for what the corpora
// do not pin down (refusals, limits, colour spaces, mip levels, cube faces). Built once per Qt
// version from this one source.
#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
#include <cstdlib>

#include "pvr_writer.h"

using pvrtest::Bytes;

namespace {

// Version 3 header fields by word: colour space 4, height 6, width 7, mip levels 11.
Bytes texture(uint64_t format, uint32_t w, uint32_t h, const Bytes& data, uint32_t colour_space = 0,
              uint32_t levels = 1) {
  return pvrtest::words({0x03525650, 0, static_cast<uint32_t>(format), static_cast<uint32_t>(format >> 32),
                         colour_space, 0, h, w, 1, 1, 1, levels, 0},
                        data);
}

QByteArray bytes(const Bytes& b) { return QByteArray(reinterpret_cast<const char*>(b.data()), int(b.size())); }

const uint64_t kRgba8 = pvrtest::channels("rgba", 8, 8, 8, 8);
const uint64_t kBc1 = 7;
const uint64_t kPvrtc2 = 4;  // PVRTC-II 2bpp, which the library refuses

// Every library refusal the plugin logs: its text, then its result code.
const QRegularExpression kReason(QStringLiteral("^texture: .+ \\(1[0-9][0-9]\\)$"));

// A reader on its own copy of the bytes, with a format named or not.
struct Reader {
  QBuffer buffer;
  QImageReader reader;
  Reader(const QByteArray& data, const QByteArray& format) {
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    reader.setDevice(&buffer);
    reader.setFormat(format);
  }
};

// The first texel (as x, y) of `image` that differs from the reference by more than
// `tolerance` in a channel, or an empty string.
QString difference(const QImage& image, const QString& refPath, int tolerance) {
  QImage ref(refPath);
  if (ref.isNull()) return QStringLiteral("no reference ") + refPath;
  ref = ref.convertToFormat(QImage::Format_RGBA8888);
  if (image.format() != QImage::Format_RGBA8888) return QStringLiteral("not RGBA8888");
  if (image.size() != ref.size()) return QStringLiteral("size differs from the reference");
  for (int y = 0; y < ref.height(); ++y) {
    const uchar* a = image.constScanLine(y);
    const uchar* b = ref.constScanLine(y);
    for (int k = 0; k < ref.width() * 4; ++k) {
      const int d = std::abs(int(a[k]) - int(b[k]));
      if (d > tolerance) return QStringLiteral("difference %1 above %2 at %3,%4").arg(d).arg(tolerance).arg(k / 4).arg(y);
    }
  }
  return QString();
}

// Tab-separated rows of a table, notes (#) and empty lines left out.
QList<QStringList> rows(const QString& path) {
  QList<QStringList> out;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return out;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n'));
    if (!line.isEmpty() && !line.startsWith(QLatin1Char('#'))) out << line.split(QLatin1Char('\t'));
  }
  return out;
}

}  // namespace

class TstQzimgReader : public QObject {
  Q_OBJECT

 private:
  QList<QPair<QString, int>> tolerances_;  // path prefix in a corpus, largest difference

  void corpusRows(const char* variable) {
    const QString dir = qEnvironmentVariable(variable);
    if (dir.isEmpty()) return;
    QStringList files;
    QDirIterator it(dir, {QStringLiteral("*.pvr")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) files << it.next();
    std::sort(files.begin(), files.end());
    for (const QString& file : files) {
      const QString name = QDir(dir).relativeFilePath(file);
      int tolerance = 0;
      for (const auto& row : tolerances_) {
        if (name.startsWith(row.first)) tolerance = row.second;
      }
      QTest::newRow(qPrintable(QStringLiteral("%1/%2").arg(QLatin1String(variable), name))) << file << tolerance;
    }
  }

 private slots:
  void initTestCase() {
    QCoreApplication::addLibraryPath(QStringLiteral(QZI_QT_PLUGIN_PATH));
    QVERIFY(QImageReader::supportedImageFormats().contains("pvr"));
    QVERIFY(QImageReader::supportedMimeTypes().contains("image/x-pvr"));
    for (const QStringList& row : rows(QStringLiteral(QZI_PVR_CONFORMANCE_TSV))) {
      QCOMPARE(row.size(), 2);
      tolerances_ << qMakePair(row[0], row[1].toInt());
    }
    QVERIFY(!tolerances_.isEmpty());
  }

  // Each file as a viewer opens it (by name): with a reference it decodes to the reference, the
  // size known before the decode; without one it is refused with a reason and no picture.
  void corpus_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("tolerance");
    corpusRows("QZI_PVR_DIR");
    corpusRows("QZI_PVR_MODERN_DIR");
    if (qEnvironmentVariableIsEmpty("QZI_PVR_DIR") && qEnvironmentVariableIsEmpty("QZI_PVR_MODERN_DIR"))
      QTest::newRow("no corpus") << QString() << 0;
  }
  void corpus() {
    QFETCH(QString, file);
    QFETCH(int, tolerance);
    if (file.isEmpty()) QSKIP("QZI_PVR_DIR and QZI_PVR_MODERN_DIR are not set");
    const QString refPath = file.left(file.size() - 4) + QStringLiteral(".ref.png");
    QImageReader reader(file);
    if (!QFile::exists(refPath)) {  // PVRTC-II, half-float: refused
      QTest::ignoreMessage(QtWarningMsg, kReason);
      QImage image;
      QVERIFY(!reader.read(&image));
      QVERIFY(image.isNull());
      QVERIFY(!reader.errorString().isEmpty());
      return;
    }
    QCOMPARE(reader.format(), QByteArray("pvr"));
    QCOMPARE(reader.size(), QImage(refPath).size());
    QCOMPARE(reader.imageFormat(), QImage::Format_RGBA8888);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    const QString diff = difference(image, refPath, tolerance);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
  }

  // Every file of the texture corpus's manifest: by name and by content it is taken as its
  // container, and decodes to its reference within the tolerance the manifest (or the
  // library's table of wider ones) gives, or is refused with a reason.
  void textures_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("ref");
    QTest::addColumn<int>("tolerance");
    const QString dir = qEnvironmentVariable("QZI_TEXTURES_DIR");
    if (dir.isEmpty()) {
      QTest::newRow("no corpus") << QString() << QByteArray() << QSize() << QString() << 0;
      return;
    }
    QHash<QString, int> wider;
    for (const QStringList& row : rows(QStringLiteral(QZI_TEXTURE_CONFORMANCE_TSV))) wider[row[0]] = row.value(1).toInt();
    const QList<QStringList> manifest = rows(dir + QStringLiteral("/manifest.tsv"));
    QVERIFY(manifest.size() > 1);
    for (const QStringList& f : manifest.mid(1)) {  // after the column names
      QVERIFY(f.size() > 10);
      const QString folder = QFileInfo(f[0]).path();
      const bool decodes = f[8] == QLatin1String("decode");
      const int tolerance = wider.value(f[0], QString(f[10]).section(QLatin1Char(' '), 0, 0).toInt());
      QTest::newRow(qPrintable(f[0])) << dir + QLatin1Char('/') + f[0]
                                      << QFileInfo(f[0]).suffix().toLower().toLatin1()
                                      << (decodes ? QSize(f[4].toInt(), f[5].toInt()) : QSize())
                                      << (decodes ? dir + QLatin1Char('/') + folder + QLatin1Char('/') +
                                                        f[9].section(QLatin1Char(' '), 0, 0)
                                                  : QString())
                                      << tolerance;
    }
  }
  void textures() {
    QFETCH(QString, file);
    QFETCH(QByteArray, key);
    QFETCH(QSize, size);
    QFETCH(QString, ref);
    QFETCH(int, tolerance);
    if (file.isEmpty()) QSKIP("QZI_TEXTURES_DIR is not set");
    QImageReader reader(file);
    if (!size.isValid()) {
      QTest::ignoreMessage(QtWarningMsg, kReason);
      QImage image;
      QVERIFY(!reader.read(&image));
      QVERIFY(image.isNull());
      return;
    }
    QCOMPARE(reader.size(), size);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    const QString diff = difference(image, ref, tolerance);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QFile input(file);
    QVERIFY(input.open(QIODevice::ReadOnly));
    Reader byContent(input.readAll(), QByteArray());
    QCOMPARE(byContent.reader.format(), key);
  }

  // Inputs refused whole: a texture cut short (its size is still told from the header), a
  // codec the library refuses, bytes that are no texture, and a BMP named as a texture (the
  // plugin leaves BMP files to Qt).
  void refused_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QSize>("size");
    const Bytes bc1 = texture(kBc1, 64, 64, Bytes(64 * 64 / 2, 0x55));
    QTest::newRow("truncated") << bytes(bc1).left(int(bc1.size()) - 1) << QSize(64, 64);
    QTest::newRow("PVRTC-II") << bytes(texture(kPvrtc2, 16, 16, Bytes(64, 0))) << QSize();
    QTest::newRow("not a texture") << QByteArray(200, 'x') << QSize();
    QByteArray bmp("BM");
    bmp += QByteArray(200, '\0');
    QTest::newRow("BMP named pvr") << bmp << QSize();
  }
  void refused() {
    QFETCH(QByteArray, data);
    QFETCH(QSize, size);
    Reader r(data, "pvr");
    if (!size.isValid()) QTest::ignoreMessage(QtWarningMsg, kReason);
    QCOMPARE(r.reader.size(), size);
    if (size.isValid()) QTest::ignoreMessage(QtWarningMsg, kReason);
    QImage image;
    QVERIFY(!r.reader.read(&image));
    QVERIFY(image.isNull());
    QVERIFY(!r.reader.errorString().isEmpty());
  }

  // Found by content without a name, and only by content that is a texture's.
  void detection() {
    const QByteArray pvr = bytes(texture(kRgba8, 2, 1, {1, 2, 3, 4, 5, 6, 7, 8}));
    Reader named(pvr, QByteArray());
    QCOMPARE(named.reader.format(), QByteArray("pvr"));
    const QImage image = named.reader.read();
    QCOMPARE(image.size(), QSize(2, 1));
    QCOMPARE(image.pixel(1, 0), qRgba(5, 6, 7, 8));
  }

  // Pixel limits apply before anything is decoded: Qt's allocation limit (under Qt 5 its
  // variable), as the library's own pixel limit.
  void allocationLimit() {
    const QByteArray big = bytes(texture(kBc1, 1024, 1024, Bytes(1024 * 1024 / 2, 0)));
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const int saved = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(1);
#else
    qputenv("QT_IMAGEIO_MAXALLOC", "1");
#endif
    {
      Reader r(big, "pvr");
      QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^texture: .+ \\(101\\)$")));
      QVERIFY(r.reader.read().isNull());
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QImageReader::setAllocationLimit(saved);
#else
    qunsetenv("QT_IMAGEIO_MAXALLOC");
#endif
    Reader r(big, "pvr");
    QCOMPARE(r.reader.read().size(), QSize(1024, 1024));
  }

  // A thumbnail's size is honoured by the plugin itself.
  void scaledSize() {
    Bytes data;
    for (int k = 0; k < 8 * 4; ++k) data.insert(data.end(), {255, 0, 0, 255});
    Reader r(bytes(texture(kRgba8, 8, 4, data)), "pvr");
    QVERIFY(r.reader.supportsOption(QImageIOHandler::ScaledSize));
    r.reader.setScaledSize(QSize(4, 2));
    const QImage image = r.reader.read();
    QCOMPARE(image.size(), QSize(4, 2));
    QCOMPARE(image.pixel(3, 1), qRgba(255, 0, 0, 255));
  }

  // sRGB textures are tagged sRGB; linear and legacy ones (which state nothing) stay untagged,
  // so that viewers show their values as stored.
  void colourSpace() {
    const Bytes px = {1, 2, 3, 4};
    Reader srgb(bytes(texture(kRgba8, 1, 1, px, 1)), "pvr");
    QCOMPARE(srgb.reader.read().colorSpace(), QColorSpace(QColorSpace::SRgb));
    Reader linear(bytes(texture(kRgba8, 1, 1, px, 0)), "pvr");
    QImage image = linear.reader.read();
    QCOMPARE(image.pixel(0, 0), qRgba(1, 2, 3, 4));
    QVERIFY(!image.colorSpace().isValid());
    // Legacy version 2, RGBA 8888 (type 0x12).
    Reader legacy(bytes(pvrtest::legacy(0x12, 1, 1, px)), "pvr");
    image = legacy.reader.read();
    QCOMPARE(image.pixel(0, 0), qRgba(1, 2, 3, 4));
    QVERIFY(!image.colorSpace().isValid());
  }

  // A texture with three mip levels: one image each, the top level first, each with its own
  // size; nothing beyond the last.
  void mipLevels() {
    Bytes data;
    for (int k = 0; k < 16; ++k) data.insert(data.end(), {10, 20, 30, 255});
    for (int k = 0; k < 4; ++k) data.insert(data.end(), {40, 50, 60, 255});
    data.insert(data.end(), {70, 80, 90, 255});
    Reader r(bytes(texture(kRgba8, 4, 4, data, 0, 3)), "pvr");
    QCOMPARE(r.reader.imageCount(), 3);
    QCOMPARE(r.reader.currentImageNumber(), 0);
    const QRgb colours[] = {qRgb(10, 20, 30), qRgb(40, 50, 60), qRgb(70, 80, 90)};
    for (int level = 0; level < 3; ++level) {
      QVERIFY(r.reader.jumpToImage(level));
      QCOMPARE(r.reader.currentImageNumber(), level);
      QCOMPARE(r.reader.size(), QSize(4 >> level, 4 >> level));
      const QImage image = r.reader.read();
      QCOMPARE(image.size(), QSize(4 >> level, 4 >> level));
      QCOMPARE(image.pixel(image.width() - 1, image.height() - 1), colours[level]);
    }
    QVERIFY(!r.reader.jumpToImage(3));
    QVERIFY(r.reader.jumpToImage(0));
    QCOMPARE(r.reader.read().pixel(0, 0), colours[0]);
  }

  // A cube map: its six faces are six images, in the container's order, the top level of each
  // before any smaller level.
  void cubeFaces() {
    Bytes data;  // 2 x 2, two levels of six faces; texels (face, level, 0)
    for (uint8_t level = 0; level < 2; ++level) {
      for (uint8_t face = 0; face < 6; ++face) {
        for (int k = 0; k < (level ? 1 : 4); ++k) data.insert(data.end(), {face, level, 0, 255});
      }
    }
    Bytes file = texture(kRgba8, 2, 2, data, 0, 2);
    file[40] = 6;  // faces: word 10
    Reader r(bytes(file), "pvr");
    QCOMPARE(r.reader.imageCount(), 12);
    for (int k = 0; k < 12; ++k) {
      QVERIFY(r.reader.jumpToImage(k));
      const QImage image = r.reader.read();
      QCOMPARE(image.size(), k < 6 ? QSize(2, 2) : QSize(1, 1));
      QCOMPARE(image.pixel(0, 0), qRgb(k % 6, k / 6, 0));
    }
  }
};

QTEST_GUILESS_MAIN(TstQzimgReader)
#include "tst_qzimgreader.moc"
