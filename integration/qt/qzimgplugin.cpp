// The texture image plugin: Qt finds it in its imageformats folder and asks it about each
// input whose name or first bytes match one of the formats of formats.tsv.
#include <QImageIOPlugin>

#include "qzimghandler.h"

namespace qzimg_qt {

class Plugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QImageIOHandlerFactoryInterface" FILE "qzimg.json")

 public:
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override {
    // A format named by the caller is taken on trust, as Qt's own plugins do; read() decides.
    if (formatByKey(format)) return CanRead;
    if (!format.isEmpty() || !device || !device->isOpen()) return {};
    return device->isReadable() && Handler::canRead(device) ? CanRead : Capabilities();
  }

  QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override {
    auto* handler = new Handler;
    handler->setDevice(device);
    handler->setFormat(format);
    return handler;
  }
};

}  // namespace qzimg_qt

#include "qzimgplugin.moc"
