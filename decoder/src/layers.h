// The layer list of the handle and the deliveries to the caller's layer callback. Format
// modules add and describe layers and deliver through it; main.cpp clears the list at reset.
#ifndef QZIMGDECODER_LAYERS_H
#define QZIMGDECODER_LAYERS_H

#include <cstdint>

#include "handle.h"

namespace qzimgdecoder {

// Layer list.
QZIDEC_MODULE_API uint64_t ilGetSize(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void ilLayerAdd(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void ilLayerClear(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API QZIDEC_LAYER* ilGetLayer(QZIDECODER_IMPL* h, uint32_t index);
QZIDEC_MODULE_API BITMAPINFO* ilGetBI(QZIDECODER_IMPL* h, uint32_t index);
QZIDEC_MODULE_API BITMAPINFO* ilGetBIA(QZIDECODER_IMPL* h, uint32_t index);
QZIDEC_MODULE_API void ilSetBI(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* bi);
QZIDEC_MODULE_API void ilSetBIA(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* bia);
QZIDEC_MODULE_API void ilSetName(QZIDECODER_IMPL* h, uint32_t index, const char* name);
QZIDEC_MODULE_API void ilSetInvisible(QZIDECODER_IMPL* h, uint32_t index, bool invisible);
QZIDEC_MODULE_API void ilSetAnimeFrame(QZIDECODER_IMPL* h, uint32_t index, uint32_t value);
QZIDEC_MODULE_API void ilSetAnimationMode(QZIDECODER_IMPL* h, int mode);
QZIDEC_MODULE_API void ilSetAnimeLoop(QZIDECODER_IMPL* h, int loop);

// Deliveries. Both return 107 when no layer callback is set.
QZIDEC_MODULE_API int call_layercallback(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API int call_singleimage_layercallback(QZIDECODER_IMPL* h, int index);

}  // namespace qzimgdecoder

#endif  // QZIMGDECODER_LAYERS_H
