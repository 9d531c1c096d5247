// The FILE-backed stream that qziDecoderInitializeFromFile hands to initialisation: read,
// position and cleanup callbacks over a FILE that the handle owns once initialisation has taken
// it. Called by the reader through the handle's callbacks and by main.cpp, never by modules.
#ifndef QZIMGDECODER_STREAM_H
#define QZIMGDECODER_STREAM_H

#include "handle.h"

namespace qzimgdecoder {

QZIDEC_MODULE_API bool qzisrm_read(void* stream, void* buffer, unsigned int size, unsigned int* count);
QZIDEC_MODULE_API bool qzisrm_setpos(void* stream, unsigned int position);
QZIDEC_MODULE_API void qzisrm_cleanup(void* stream);

// The memory input's callbacks over a QZIDEC_MEMORY_INPUT. The reader knows them by address and
// serves the bytes in place instead of copying them into its buffer.
QZIDEC_MODULE_API bool memory_read(void* stream, void* buffer, unsigned int size, unsigned int* count);
QZIDEC_MODULE_API bool memory_setpos(void* stream, unsigned int position);

}  // namespace qzimgdecoder

#endif  // QZIMGDECODER_STREAM_H
