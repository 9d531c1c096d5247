// qzidecode: decodes image files through the public decoder API and writes 8-bit RGBA PNGs.
//
//   qzidecode [--info] [--progress] [--skip-ext] [--filter ID[,ID...]] [--param ID=A[,B]]...
//             INPUT [OUTPUT.png]
//   qzidecode [options] --out-dir DIR INPUT...
//
// The exit status is the decoder's result code of the first input that failed, 0 when all
// succeeded, 2 for a usage error, 1 when a PNG cannot be written.
#include <png.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qzi_rgba.h"
#include "qzimgdecoder.h"

namespace {

struct Param {
  unsigned int id;
  long a;
  long b;
};

struct Options {
  bool info = false;
  bool progress = false;
  bool skip_ext = false;
  std::vector<int> filter;
  std::vector<Param> params;
  std::string out_dir;
  std::vector<std::string> inputs;
};

const char* meaning(int code) {
  switch (code) {
    case QZIERR_SUCCESS: return "success";
    case QZIERR_ABORTED: return "stopped by the progress callback";
    case QZIERR_FILE_OPEN: return "cannot open the file";
    case QZIERR_NO_MEMORY: return "out of memory";
    case QZIERR_UNSUPPORTED: return "unsupported format or invalid data";
    case QZIERR_CANNOT: return "cannot position or decode the input";
    case QZIERR_IMAGE_SIZE: return "image width or height out of range";
    case QZIERR_READ: return "cannot read the input, or it ends too early";
    case QZIERR_INVALID_ARG: return "invalid argument";
    case QZIERR_UNKNOWN_PARAM: return "unsupported parameter";
    case QZIERR_NOT_INITIALIZED: return "decoder not initialised";
    default: return "unknown error";
  }
}

void usage() {
  std::fprintf(stderr,
               "usage: qzidecode [--info] [--progress] [--skip-ext] [--filter ID[,ID...]] [--param ID=A[,B]]...\n"
               "                 INPUT [OUTPUT.png]\n"
               "       qzidecode [options] --out-dir DIR INPUT...\n");
}

bool parse_long(const std::string& s, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

bool parse_filter(const std::string& s, std::vector<int>* out) {
  size_t start = 0;
  while (start <= s.size()) {
    const size_t comma = s.find(',', start);
    const std::string item = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    long v = 0;
    if (!parse_long(item, &v)) return false;
    out->push_back(static_cast<int>(v));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

bool parse_param(const std::string& s, Param* out) {
  const size_t eq = s.find('=');
  if (eq == std::string::npos) return false;
  long id = 0, a = 0, b = 0;
  if (!parse_long(s.substr(0, eq), &id) || id < 0) return false;
  const std::string rest = s.substr(eq + 1);
  const size_t comma = rest.find(',');
  if (!parse_long(rest.substr(0, comma), &a)) return false;
  if (comma != std::string::npos && !parse_long(rest.substr(comma + 1), &b)) return false;
  *out = Param{static_cast<unsigned int>(id), a, b};
  return true;
}

// Draws a bar of 40 cells on standard error.
bool progress_bar(long /*user*/, unsigned int percent) {
  const unsigned int cells = percent * 40 / 100;
  std::fprintf(stderr, "\r[");
  for (unsigned int i = 0; i < 40; ++i) std::fputc(i < cells ? '#' : ' ', stderr);
  std::fprintf(stderr, "] %3u%%", percent);
  std::fflush(stderr);
  return true;
}

int on_layer(QZIDEC_LAYERINFO* info, int /*index*/) {
  auto* img = reinterpret_cast<qzi_rgba::Image*>(static_cast<uintptr_t>(info->layer_user));
  if (img->width == 0) qzi_rgba::from_layer(info, img);  // keep the first layer only
  return 0;
}

bool write_png(const std::string& path, const qzi_rgba::Image& img) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < img.height; ++y)
    png_write_row(png, const_cast<png_bytep>(&img.rgba[static_cast<size_t>(y) * img.width * 4]));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

std::string png_name_in(const std::string& dir, const std::string& input) {
  std::string base = input.substr(input.find_last_of('/') == std::string::npos ? 0 : input.find_last_of('/') + 1);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot != 0) base.erase(dot);
  return dir + "/" + base + ".png";
}

// Decodes one input; returns the decoder's result code, or 1 when the PNG cannot be written.
int decode_one(const Options& opt, const std::string& input, const std::string& output) {
  QZIDECODER dec = qziCreateDecoder();
  if (!dec) return QZIERR_NO_MEMORY;
  qzi_rgba::Image img;
  int rc = QZIERR_SUCCESS;
  if (opt.skip_ext) rc = qziSetDecoderParam(dec, QZIDEC_PARAM_SKIP_EXT, 1, 0);
  if (rc == 0 && !opt.filter.empty())
    rc = qziSetDecoderParam(dec, QZIDEC_PARAM_FORMAT_FILTER, reinterpret_cast<long>(opt.filter.data()),
                            static_cast<long>(opt.filter.size()));
  for (const Param& p : opt.params) {
    if (rc != 0) break;
    if (p.id == QZIDEC_PARAM_FORMAT_FILTER || p.id == QZIDEC_PARAM_SKIP_EXT) rc = qziSetDecoderParam(dec, p.id, p.a, p.b);
  }
  if (rc == 0) rc = qziDecoderInitializeFromFile(dec, input.c_str());
  for (const Param& p : opt.params) {
    if (rc != 0) break;
    if (p.id != QZIDEC_PARAM_FORMAT_FILTER && p.id != QZIDEC_PARAM_SKIP_EXT) rc = qziSetDecoderParam(dec, p.id, p.a, p.b);
  }
  if (rc == 0 && opt.info) {
    unsigned int v[8] = {0};
    for (int item = 1; item <= 7 && rc == 0; ++item) rc = qziDecoderGetDocInfo(dec, item, &v[item]);
    if (rc == 0) {
      if (opt.inputs.size() > 1) std::printf("%s: ", input.c_str());
      std::printf("format=%u width=%u height=%u bpp=%u anime_mode=%u anime_loop=%u\n", v[1], v[2], v[3], v[4], v[6],
                  v[7]);
    }
  }
  if (rc == 0 && (!output.empty() || !opt.info)) {
    qziSetDecoderLayerCallback(dec, on_layer, &img);
    if (opt.progress) qziSetDecoderProgressCallback(dec, progress_bar, 0);
    rc = qziDecoderExecute(dec);
    if (opt.progress) std::fputc('\n', stderr);
  }
  qziCloseDecoder(dec);
  if (rc != 0) {
    std::fprintf(stderr, "qzidecode: %s: %s (%d)\n", input.c_str(), meaning(rc), rc);
    return rc;
  }
  if (!output.empty()) {
    if (img.width == 0) {
      std::fprintf(stderr, "qzidecode: %s: no picture delivered\n", input.c_str());
      return 1;
    }
    if (!write_png(output, img)) {
      std::fprintf(stderr, "qzidecode: %s: cannot write %s\n", input.c_str(), output.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--info") {
      opt.info = true;
    } else if (arg == "--progress") {
      opt.progress = true;
    } else if (arg == "--skip-ext") {
      opt.skip_ext = true;
    } else if (arg == "--filter") {
      if (!value(&v) || !parse_filter(v, &opt.filter)) return usage(), 2;
    } else if (arg == "--param") {
      Param p{};
      if (!value(&v) || !parse_param(v, &p)) return usage(), 2;
      opt.params.push_back(p);
    } else if (arg == "--out-dir") {
      if (!value(&opt.out_dir)) return usage(), 2;
    } else if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      usage();
      return 2;
    } else {
      opt.inputs.push_back(arg);
    }
  }
  if (opt.inputs.empty()) return usage(), 2;
  if (opt.out_dir.empty()) {
    if (opt.inputs.size() > 2) return usage(), 2;
    if (opt.inputs.size() == 2) {
      output = opt.inputs[1];
      opt.inputs.pop_back();
    }
    return decode_one(opt, opt.inputs[0], output);
  }
  mkdir(opt.out_dir.c_str(), 0777);  // an existing folder is fine
  int status = 0;
  for (const std::string& input : opt.inputs) {
    const int rc = decode_one(opt, input, png_name_in(opt.out_dir, input));
    if (status == 0) status = rc;
  }
  return status;
}
