// The image handler of the texture plugin: one device, read whole on first need, decoded by
// libqzimgdecoder into Format_RGBA8888. Built unchanged against Qt 5 and Qt 6.
#ifndef QZIMGHANDLER_H
#define QZIMGHANDLER_H

#include <QByteArray>
#include <QImageIOHandler>
#include <QSize>
#include <QString>

#include "qzimgdecoder.h"

namespace qzimg_qt {

// A byte string that recognises a container's header at a fixed offset.
struct Probe {
  int offset;
  const char* bytes;
  int size;
};

// One row of formats.tsv.
struct TextureFormat {
  const char* key;   // the Qt format name and file extension
  const char* mime;  // its MIME type
  int id;            // the library's format id
  Probe probes[4];   // any one recognises the header; unused entries have no bytes
};

// The formats this plugin offers, and how many.
extern const TextureFormat kFormats[];
extern const int kFormatCount;

// The entry whose key is `format`, or null.
const TextureFormat* formatByKey(const QByteArray& format);
// The entry whose probe recognises `head` (the first bytes of an input), or null.
const TextureFormat* formatByContent(const QByteArray& head);
// How many leading bytes formatByContent needs at most.
int probeLength();

class Handler : public QImageIOHandler {
 public:
  Handler();
  ~Handler() override;
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  bool canRead() const override;
  bool read(QImage* image) override;
  QVariant option(ImageOption option) const override;
  void setOption(ImageOption option, const QVariant& value) override;
  bool supportsOption(ImageOption option) const override;
  int imageCount() const override;
  bool jumpToImage(int imageNumber) override;
  bool jumpToNextImage() override;
  int currentImageNumber() const override;

  // Whether the device's first bytes belong to one of the formats, without consuming them.
  static bool canRead(QIODevice* device);

  // A read-only stream over the collected bytes, for the library.
  struct Stream {
    const char* data;
    unsigned size;
    unsigned pos;
  };

  // The largest input read (256 MiB); larger ones are refused before they are read.
  static constexpr qint64 kMaxInput = qint64{256} << 20;

 private:
  // Reads the input once and initialises the library on the first image; false (the reason
  // logged) when the input is refused. Header facts only: no pixel memory is taken.
  bool open() const;
  // Initialises the library on image `index` (see imageCount); the library's result code.
  int initialise(int index) const;
  bool fail(const QString& reason) const;

  mutable enum { Unread, Ready, Failed } state_ = Unread;
  mutable QByteArray data_;
  mutable Stream stream_ = {nullptr, 0, 0};
  mutable QZIDECODER decoder_ = nullptr;
  mutable QSize size_;
  mutable QString description_;
  mutable const TextureFormat* format_ = nullptr;
  // The file's mip levels, cube faces and array layers; its images are every level of every
  // face of every layer, the top levels first: index = (level * layers + layer) * faces + face.
  mutable int levels_ = 1, faces_ = 1, layers_ = 1;
  QSize scaled_;
  int current_ = 0;
};

}  // namespace qzimg_qt

#endif  // QZIMGHANDLER_H
