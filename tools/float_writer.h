// Float pictures into files for qzidecode: PFM (portable float map) always, OpenEXR when the
// tool was built with it. Both take RGBA floats, width * height * 4, rows top-down.
#ifndef QZI_TOOLS_FLOAT_WRITER_H
#define QZI_TOOLS_FLOAT_WRITER_H

#include <cstdio>
#include <string>

namespace qzi_float {

// "PF", colour: red, green and blue of each pixel as little-endian floats (a negative scale
// says so), rows bottom-up as the format stores them; alpha has no place in it.
bool write_pfm(FILE* out, const float* rgba, int width, int height);

// Whether write_exr can write (OpenEXR was found when the tool was configured).
bool exr_available();

// R, G, B and A channels, half or 32-bit float, zip-compressed scanlines. Returns an empty
// string, or what went wrong.
std::string write_exr(FILE* out, const float* rgba, int width, int height, bool half);

}  // namespace qzi_float

#endif  // QZI_TOOLS_FLOAT_WRITER_H
