// The one include of format modules (and of main.cpp): the handle record and every service the
// frame offers them, each in its own header: reader.h (buffered input), raster.h (bitmaps,
// palette, line output, remapping), layers.h (layer list and deliveries), stream.h (the
// FILE-backed stream), scope_guard.h. The module contract itself is formats.h. The services'
// functions are exported under their names (QZIDEC_MODULE_API).
#ifndef QZIMGDECODER_INTERNAL_H
#define QZIMGDECODER_INTERNAL_H

#include "formats.h"
#include "handle.h"
#include "layers.h"
#include "raster.h"
#include "reader.h"
#include "scope_guard.h"
#include "stream.h"

#endif  // QZIMGDECODER_INTERNAL_H
