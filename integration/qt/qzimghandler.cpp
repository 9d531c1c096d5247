// The texture handler. The library decodes from a whole input, so the device is read once,
// up to kMaxInput bytes, and the bytes serve the header questions (size, format) and every
// decode. Pixels go straight from the library's bitmaps into the QImage's rows; a picture is
// handed to Qt only when the library delivered all of it.
#include "qzimghandler.h"

#include <QColorSpace>
#include <QImage>
#include <QImageReader>
#include <QIODevice>
#include <QLoggingCategory>
#include <QVariant>
#include <QtGlobal>

#include <cstring>

Q_LOGGING_CATEGORY(lcQzimg, "qzimg.imageformats", QtWarningMsg)

namespace qzimg_qt {

// Generated from formats.tsv.
const TextureFormat kFormats[] = {
#include "qzimg_formats.inc"
};
const int kFormatCount = sizeof kFormats / sizeof kFormats[0];

namespace {

// The format ids for the library's filter, so that it never takes an input as BMP (Qt reads
// those itself) or as anything else this plugin does not claim.
struct IdList {
  int ids[sizeof kFormats / sizeof kFormats[0]];
  IdList() {
    for (int k = 0; k < kFormatCount; ++k) ids[k] = kFormats[k].id;
  }
};
const IdList kIds;

bool streamRead(void* s, void* buffer, unsigned int size, unsigned int* count) {
    Handler::Stream* m = static_cast<Handler::Stream*>(s);
  const unsigned n = qMin(size, m->size - m->pos);
  if (n) std::memcpy(buffer, m->data + m->pos, n);
  m->pos += n;
  *count = n;
  return true;
}
bool streamSetpos(void* s, unsigned int position) {
  Handler::Stream* m = static_cast<Handler::Stream*>(s);
  if (position > m->size) return false;
  m->pos = position;
  return true;
}

// The largest picture decoded: Qt's allocation limit (megabytes of a 4-byte-per-pixel image);
// under Qt 5, which has none, Qt 6's default and its variable QT_IMAGEIO_MAXALLOC. 0 leaves
// only the library's own side limits.
long maxPixels() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  const qint64 megabytes = QImageReader::allocationLimit();
#else
  bool set = false;
  const int variable = qEnvironmentVariableIntValue("QT_IMAGEIO_MAXALLOC", &set);
  const qint64 megabytes = set ? variable : 256;
#endif
  return megabytes > 0 ? static_cast<long>(megabytes * 1024 * 1024 / 4) : 0;
}

// Where the layer callback writes: the picture's rows, top first.
struct Target {
  uchar* bits;
  qsizetype stride;
  int width;
  int height;
  int result = QZIERR_SUCCESS;
  bool delivered = false;
};

const uint8_t* dibBits(const BITMAPINFO* bi) {
  return reinterpret_cast<const uint8_t*>(bi) + bi->bmiHeader.biSize + size_t{bi->bmiHeader.biClrUsed} * 4;
}
size_t dibStride(const BITMAPINFO* bi) {
  return (size_t{static_cast<uint32_t>(bi->bmiHeader.biWidth)} * bi->bmiHeader.biBitCount + 31) / 32 * 4;
}
const RGBQUAD* dibTable(const BITMAPINFO* bi) {
  return reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(bi) + bi->bmiHeader.biSize);
}

// Alpha bytes through the alpha bitmap's table; `lut` is 255 everywhere without one.
void alphaTable(const BITMAPINFO* bia, uint8_t lut[256]) {
  std::memset(lut, 0, 256);
  if (!bia) {
    std::memset(lut, 255, 256);
    return;
  }
  const RGBQUAD* table = dibTable(bia);
  const uint32_t n = qMin<uint32_t>(bia->bmiHeader.biClrUsed, 256);
  for (uint32_t i = 0; i < n; ++i) lut[i] = table[i].rgbRed;
}

// Converts the first picture into the target; any other delivery stops the decode.
int onLayer(QZIDEC_LAYERINFO* info, int /*index*/) {
  Target* t = reinterpret_cast<Target*>(static_cast<uintptr_t>(info->layer_user));
  if (t->delivered) return 1;
  const BITMAPINFO* bi = info->bi;
  const BITMAPINFO* bia = info->bia;
  const BITMAPINFOHEADER& hd = bi->bmiHeader;
  const int w = hd.biWidth, h = hd.biHeight;
  const bool layoutKnown = w == t->width && h == t->height && (hd.biBitCount == 8 || hd.biBitCount == 24) &&
                           (!bia || (bia->bmiHeader.biBitCount == 8 && bia->bmiHeader.biWidth == w &&
                                     bia->bmiHeader.biHeight == h));
  if (!layoutKnown) {
    t->result = QZIERR_UNSUPPORTED;
    return 1;
  }
  uint8_t alpha[256];
  alphaTable(bia, alpha);
  static const uint8_t kOpaque[1] = {0};
  const RGBQUAD* table = dibTable(bi);
  const uint32_t entries = hd.biClrUsed;
  const size_t stride = dibStride(bi);
  const size_t astride = bia ? dibStride(bia) : 0;
  for (int y = 0; y < h; ++y) {
    // Delivered rows are bottom-up.
    const uint8_t* row = dibBits(bi) + static_cast<size_t>(h - 1 - y) * stride;
    const uint8_t* arow = bia ? dibBits(bia) + static_cast<size_t>(h - 1 - y) * astride : kOpaque;
    const size_t astep = bia ? 1 : 0;
    uchar* out = t->bits + y * t->stride;
    if (hd.biBitCount == 24) {
      for (int x = 0; x < w; ++x, out += 4, row += 3, arow += astep) {
        out[0] = row[2];
        out[1] = row[1];
        out[2] = row[0];
        out[3] = alpha[*arow];
      }
    } else {
      for (int x = 0; x < w; ++x, out += 4, arow += astep) {
        const RGBQUAD c = row[x] < entries ? table[row[x]] : RGBQUAD{0, 0, 0, 0};
        out[0] = c.rgbRed;
        out[1] = c.rgbGreen;
        out[2] = c.rgbBlue;
        out[3] = alpha[*arow];
      }
    }
  }
  t->delivered = true;
  return 0;
}

}  // namespace

const TextureFormat* formatByKey(const QByteArray& format) {
  for (const TextureFormat& f : kFormats) {
    if (format == f.key) return &f;
  }
  return nullptr;
}

const TextureFormat* formatByContent(const QByteArray& head) {
  for (const TextureFormat& f : kFormats) {
    for (const Probe& p : f.probes) {
      if (p.bytes && head.size() >= p.offset + p.size && std::memcmp(head.constData() + p.offset, p.bytes, p.size) == 0)
        return &f;
    }
  }
  return nullptr;
}

int probeLength() {
  int n = 0;
  for (const TextureFormat& f : kFormats) {
    for (const Probe& p : f.probes) n = qMax(n, p.offset + p.size);
  }
  return n;
}

Handler::Handler() = default;

Handler::~Handler() { qziCloseDecoder(decoder_); }

bool Handler::canRead(QIODevice* device) {
  return device && formatByContent(device->peek(probeLength())) != nullptr;
}

bool Handler::canRead() const {
  if (state_ == Ready) return true;
  if (state_ == Failed) return false;
  const TextureFormat* f = formatByContent(device() ? device()->peek(probeLength()) : QByteArray());
  if (f) {
    const_cast<Handler*>(this)->setFormat(f->key);
    return true;
  }
  // Chosen by name (legacy headers carry no tag to probe): the library's header check decides.
  return formatByKey(format()) && open();
}

bool Handler::fail(const QString& reason) const {
  state_ = Failed;
  qCWarning(lcQzimg, "%s", qPrintable(reason));
  return false;
}

bool Handler::open() const {
  if (state_ != Unread) return state_ == Ready;
  QIODevice* dev = device();
  if (!dev || !dev->isReadable()) return fail(QStringLiteral("texture: no readable device"));
  if (!dev->isSequential() && dev->size() - dev->pos() > kMaxInput)
    return fail(QStringLiteral("texture: input larger than 256 MiB"));
  data_ = dev->read(kMaxInput + 1);
  if (data_.size() > kMaxInput) return fail(QStringLiteral("texture: input larger than 256 MiB"));
  if (data_.isEmpty()) return fail(QStringLiteral("texture: empty input"));
  decoder_ = qziCreateDecoder();
  if (!decoder_) return fail(QString::fromLatin1(qziResultText(QZIERR_NO_MEMORY)));

  const int rc = initialise(0);
  if (rc != 0) return fail(QStringLiteral("texture: %1 (%2)").arg(QString::fromLatin1(qziResultText(rc))).arg(rc));
  // Counts of 0 or beyond reason (over 2^20 images) are read as a single image.
  unsigned levels = 1, faces = 1, layers = 1;
  qziDecoderGetDocInfo(decoder_, QZIDEC_INFO_LEVELS, &levels);
  qziDecoderGetDocInfo(decoder_, QZIDEC_INFO_FACES, &faces);
  qziDecoderGetDocInfo(decoder_, QZIDEC_INFO_LAYERS, &layers);
  if (levels && faces && layers && quint64{levels} * faces * layers <= (1u << 20)) {
    levels_ = static_cast<int>(levels);
    faces_ = static_cast<int>(faces);
    layers_ = static_cast<int>(layers);
  }
  state_ = Ready;
  return true;
}

int Handler::initialise(int index) const {
  // Parameters act at the next initialisation and a reset drops them, so each image is a new
  // initialisation on the same bytes.
  int rc = qziResetDecoder(decoder_);
  stream_ = Stream{data_.constData(), static_cast<unsigned>(data_.size()), 0};
  if (rc == 0)
    rc = qziSetDecoderParam(decoder_, QZIDEC_PARAM_FORMAT_FILTER, reinterpret_cast<long>(kIds.ids), kFormatCount);
  if (rc == 0) rc = qziSetDecoderParam(decoder_, QZIDEC_PARAM_MAX_PIXELS, maxPixels(), 0);
  if (index > 0) {
    const int face = index % faces_, layer = index / faces_ % layers_, level = index / faces_ / layers_;
    if (rc == 0) rc = qziSetDecoderParam(decoder_, QZIDEC_PARAM_LEVEL, level, 0);
    if (rc == 0) rc = qziSetDecoderParam(decoder_, QZIDEC_PARAM_FACE, face, 0);
    if (rc == 0) rc = qziSetDecoderParam(decoder_, QZIDEC_PARAM_LAYER, layer, 0);
  }
  // The key of a format chosen by name is also its extension: the library tries it first.
  const TextureFormat* named = formatByKey(format());
  const QByteArray hint = named ? QByteArray("texture.") + named->key : QByteArray();
  if (rc == 0)
    rc = qziDecoderInitialize(decoder_, &stream_, static_cast<int>(data_.size()), streamRead, streamSetpos, nullptr,
                              hint.isEmpty() ? nullptr : hint.constData());
  unsigned width = 0, height = 0, id = 0;
  if (rc == 0) rc = qziDecoderGetDocInfo(decoder_, QZIDEC_INFO_WIDTH, &width);
  if (rc == 0) rc = qziDecoderGetDocInfo(decoder_, QZIDEC_INFO_HEIGHT, &height);
  if (rc == 0) rc = qziDecoderGetDocInfo(decoder_, QZIDEC_INFO_FORMAT, &id);
  if (rc != 0) return rc;
  format_ = nullptr;
  for (const TextureFormat& f : kFormats) {
    if (static_cast<unsigned>(f.id) == id) format_ = &f;
  }
  if (!format_ || width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu) return QZIERR_UNSUPPORTED;
  size_ = QSize(static_cast<int>(width), static_cast<int>(height));
  description_ = QString::fromUtf8(qziDecoderGetFormatDescription(decoder_));
  return 0;
}

bool Handler::read(QImage* image) {
  if (!open()) return false;
  QImage picture;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  // Qt's allocation limit, with its own overflow checks.
  if (!QImageIOHandler::allocateImage(size_, QImage::Format_RGBA8888, &picture))
    return fail(QStringLiteral("texture: %1x%2 is above the image allocation limit").arg(size_.width()).arg(size_.height()));
#else
  picture = QImage(size_, QImage::Format_RGBA8888);
  if (picture.isNull()) return fail(QString::fromLatin1(qziResultText(QZIERR_NO_MEMORY)));
#endif
  Target target;
  target.bits = picture.bits();
  target.stride = picture.bytesPerLine();
  target.width = size_.width();
  target.height = size_.height();
  int rc = qziSetDecoderLayerCallback(decoder_, onLayer, &target);
  if (rc == 0) rc = qziDecoderExecute(decoder_);
  qziSetDecoderLayerCallback(decoder_, nullptr, nullptr);
  if (rc == 0) rc = target.result;
  if (rc == 0 && !target.delivered) rc = QZIERR_UNSUPPORTED;  // nothing came
  if (rc != 0) {
    // The handle stays usable, but this picture is not handed out.
    const QString reason = QStringLiteral("texture: %1 (%2)").arg(QString::fromLatin1(qziResultText(rc))).arg(rc);
    qCWarning(lcQzimg, "%s", qPrintable(reason));
    return false;
  }
  // sRGB textures say so. The others are left untagged rather than tagged linear: most files
  // that state "linear" hold ordinary sRGB pictures (the writers' default), and colour-managed
  // viewers would brighten them; untagged, their values are shown as stored, as texture tools
  // and the library's references show them.
  if (description_.contains(QLatin1String(" sRGB"))) picture.setColorSpace(QColorSpace(QColorSpace::SRgb));
  picture.setText(QStringLiteral("Texture"), description_);
  if (scaled_.isValid() && !scaled_.isEmpty() && scaled_ != size_)
    picture = picture.scaled(scaled_, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  *image = picture;
  return true;
}

QVariant Handler::option(ImageOption option) const {
  switch (option) {
    case Size:
      return open() ? QVariant(size_) : QVariant();
    case ScaledSize:
      return scaled_;
    case ImageFormat:
      return QImage::Format_RGBA8888;
    case Description:
      return open() ? QVariant(QStringLiteral("Texture: ") + description_) : QVariant();
    default:
      return QVariant();
  }
}

void Handler::setOption(ImageOption option, const QVariant& value) {
  if (option == ScaledSize) scaled_ = value.toSize();
}

bool Handler::supportsOption(ImageOption option) const {
  return option == Size || option == ScaledSize || option == ImageFormat || option == Description;
}

int Handler::imageCount() const { return open() ? levels_ * faces_ * layers_ : 0; }

bool Handler::jumpToImage(int imageNumber) {
  if (!open() || imageNumber < 0 || imageNumber >= imageCount()) return false;
  if (imageNumber == current_) return true;
  const int rc = initialise(imageNumber);
  if (rc == 0) {
    current_ = imageNumber;
    return true;
  }
  qCWarning(lcQzimg, "texture: image %d: %s (%d)", imageNumber, qziResultText(rc), rc);
  // Back to the image that was chosen; should that fail too, nothing more is read.
  if (initialise(current_) != 0) state_ = Failed;
  return false;
}

bool Handler::jumpToNextImage() { return jumpToImage(current_ + 1); }

int Handler::currentImageNumber() const { return current_; }

}  // namespace qzimg_qt
