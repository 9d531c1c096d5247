// Float pictures into files; see float_writer.h.
#include "float_writer.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#ifdef QZI_WITH_OPENEXR
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#include <half.h>

#include <exception>
#include <stdexcept>
#endif

namespace qzi_float {

bool write_pfm(FILE* out, const float* rgba, int width, int height) {
  if (std::fprintf(out, "PF\n%d %d\n-1.0\n", width, height) < 0) return false;
  std::vector<uint8_t> row(static_cast<size_t>(width) * 12);
  for (int y = height - 1; y >= 0; --y) {
    const float* src = rgba + static_cast<size_t>(y) * static_cast<size_t>(width) * 4;
    uint8_t* dst = row.data();
    for (int x = 0; x < width; ++x, src += 4) {
      for (int c = 0; c < 3; ++c, dst += 4) {
        uint32_t bits;
        std::memcpy(&bits, src + c, 4);
        // Little-endian whatever the machine.
        dst[0] = static_cast<uint8_t>(bits);
        dst[1] = static_cast<uint8_t>(bits >> 8);
        dst[2] = static_cast<uint8_t>(bits >> 16);
        dst[3] = static_cast<uint8_t>(bits >> 24);
      }
    }
    if (std::fwrite(row.data(), 1, row.size(), out) != row.size()) return false;
  }
  return true;
}

#ifdef QZI_WITH_OPENEXR

namespace {

// OpenEXR's output over the tool's open file (a temporary one renamed when complete).
class FileStream : public Imf::OStream {
 public:
  explicit FileStream(FILE* f) : Imf::OStream("output"), f_(f) {}
  void write(const char c[], int n) override {
    if (std::fwrite(c, 1, static_cast<size_t>(n), f_) != static_cast<size_t>(n))
      throw std::runtime_error(std::strerror(errno));
  }
  uint64_t tellp() override { return static_cast<uint64_t>(std::ftell(f_)); }
  void seekp(uint64_t pos) override {
    if (std::fseek(f_, static_cast<long>(pos), SEEK_SET) != 0) throw std::runtime_error(std::strerror(errno));
  }

 private:
  FILE* f_;
};

}  // namespace

bool exr_available() { return true; }

std::string write_exr(FILE* out, const float* rgba, int width, int height, bool half) {
  try {
    Imf::Header header(width, height);
    header.compression() = Imf::ZIP_COMPRESSION;
    const Imf::PixelType type = half ? Imf::HALF : Imf::FLOAT;
    static const char* const kNames[4] = {"R", "G", "B", "A"};
    for (const char* name : kNames) header.channels().insert(name, Imf::Channel(type));
    // Halves are converted once; floats are written from the caller's pixels.
    std::vector<::half> halves;
    Imf::FrameBuffer frame;
    const size_t px = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (half) {
      halves.resize(px * 4);
      for (size_t i = 0; i < px * 4; ++i) halves[i] = ::half(rgba[i]);
    }
    for (int c = 0; c < 4; ++c) {
      char* base = half ? reinterpret_cast<char*>(halves.data() + c)
                        : reinterpret_cast<char*>(const_cast<float*>(rgba) + c);
      const size_t item = half ? sizeof(::half) : sizeof(float);
      frame.insert(kNames[c], Imf::Slice(type, base, item * 4, item * 4 * static_cast<size_t>(width)));
    }
    FileStream stream(out);
    Imf::OutputFile file(stream, header);
    file.setFrameBuffer(frame);
    file.writePixels(height);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

#else

bool exr_available() { return false; }

std::string write_exr(FILE*, const float*, int, int, bool) { return "built without OpenEXR (libopenexr-dev)"; }

#endif

}  // namespace qzi_float
