// qzidecode: decodes BMP/DIB files and PVR textures through the public decoder API and writes
// 8-bit RGBA PNGs. Every positional argument is an input, and no input is ever written over:
// outputs are checked before anything is decoded, and each PNG is written row by row from the
// delivered bitmaps into a temporary file beside its destination, renamed when complete.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "float_writer.h"
#include "png_writer.h"
#include "progress_line.h"
#include "qzi_memview.h"
#include "qzimgdecoder.h"
#include "qzirgba.h"

namespace {

// Statuses of the tool's own; every other non-zero status is a library result code.
const int kExitWrite = 1;  // an output file or folder cannot be written
const int kExitUsage = 2;  // bad command line, or an output refused before decoding

struct Param {
  unsigned int id;
  long a;
  long b;
};

struct Options {
  std::string output;   // -o; "-" is standard output
  std::string out_dir;  // -d
  bool force = false;
  bool info = false;
  bool json = false;
  bool progress = false;
  bool skip_ext = false;
  bool exr_half = false;
  long max_pixels = 0;
  int png_level = qzi_png::kDefaultLevel;
  std::vector<Param> texture;  // parameters 4 to 9, set before initialisation
  std::vector<int> filter;
  std::vector<Param> params;
  std::vector<std::string> inputs;
};

void print_help() {
  std::printf(
      "Usage: qzidecode [OPTIONS] INPUT...\n"
      "Decodes BMP/DIB files and GPU textures (PVR, DDS, KTX, KTX2, .astc, PKM) with libqzimgdecoder\n"
      "%s and writes them as PNG.\n"
      "Every positional argument is an input; '-' reads standard input (detection by content).\n"
      "No input is ever written over.\n"
      "\n"
      "Output: 8-bit RGBA PNG, rows top-down; alpha 255 where the picture has no alpha plane.\n"
      "  -o, --output FILE    write the PNG to FILE (one input only); '-' writes it to standard output\n"
      "  -d, --out-dir DIR    write each input NAME.EXT as DIR/NAME.png; DIR and its parents are created\n"
      "  -f, --force          replace output files that exist\n"
      "      --png-level N    compression, %d to %d (default %d): %d to %d for speed (rows unfiltered, zlib and\n"
      "                       libdeflate at that level on two threads), %d to %d for smaller files (every\n"
      "                       row's best filter; 6 as earlier versions wrote, 9 smallest and slowest)\n"
      "  Without -o or -d nothing is written: the inputs are decoded as a check, and a line says so.\n"
      "  Refused before anything is decoded: an output that is one of the inputs (same file, however\n"
      "  spelt), an output name not ending in .png, .pfm or .exr, two inputs giving the same output\n"
      "  name, and an existing output without -f. A file goes to a temporary file beside its\n"
      "  destination and is renamed when complete, so a failure never leaves a partial file.\n"
      "  Float pictures: an output name ending in .pfm writes a portable float map (red, green, blue\n"
      "  as 32-bit floats; no alpha), one ending in .exr an OpenEXR file (red, green, blue, alpha;\n"
      "  %s). Samples are linear: 8-bit ones widened (x / 255), HDR ones unclamped.\n"
      "      --exr-half       write .exr channels as 16-bit half floats instead of 32-bit floats\n"
      "\n"
      "Information:\n"
      "      --info           print a line per input: format, size, texture counts (levels, faces,\n"
      "                       layers, depth), then the stored form: bits per pixel (a block's bits\n"
      "                       over its texels for compressed textures: ETC1 4, ASTC 12x12 0.89),\n"
      "                       palette, alpha (whether the format stores it; BMP: whether the\n"
      "                       picture has it), premultiplied, colour space (sRGB, linear or\n"
      "                       unstated where the file does not say). Decoded 8-bit RGBA is the same\n"
      "                       for every input whatever these say.\n"
      "      --json           the same facts as one JSON object per line (implies --info); bytes of\n"
      "                       a file name that are not UTF-8 appear as U+FFFD\n"
      "      --progress       draw a progress bar naming the file, when standard error is a terminal;\n"
      "                       the line fits the terminal's width (a long name loses its middle)\n"
      "\n"
      "Decoding:\n"
      "      --max-pixels N   refuse pictures of more than N pixels (width x height; 0: no limit),\n"
      "                       before any pixel memory is taken; status 101\n"
      "      --skip-ext       detect the format by content only, not by the name's extension\n"
      "      --filter ID,...  probe only these formats when detecting by content (%d BMP, %d PVR,\n"
      "                       110 DDS, 111 KTX, 112 KTX2, 113 ASTC, 114 PKM; other ids are refused)\n"
      "Textures (every texture format; by default the top level of the first face, layer, slice):\n"
      "      --level N        decode mip level N (0 the largest)\n"
      "      --face N         decode cube face N (0..5: +X, -X, +Y, -Y, +Z, -Z)\n"
      "      --layer N        decode array layer N (PVR: surface)\n"
      "      --slice N        decode depth slice N of a volume texture\n"
      "      --tone-map       HDR and float formats: map x to x e / (1 + x e) before the 8 bits,\n"
      "                       instead of clamping to 0..1\n"
      "      --exposure E     the tone map's e (default 1), from 0.001 to 1000\n"
      "      --param ID=A[,B] set decoder parameter ID to A (and B); may be repeated:\n"
      "                       %d  BMP: non-zero delivers the alpha plane without testing it\n"
      "                       %d  BMP: alpha from the palette's fourth byte: 0 never, 1 always,\n"
      "                            2 when not all 0 (default)\n"
      "                       %d  BMP: alpha of 16- and 32-bit pixels: 0 never, 1 always,\n"
      "                            2 when not all 0 (default)\n"
      "                       %d  PVR: 0 or 1, stored and reserved (no effect yet)\n"
      "                       Ids 1 to 9 are set by --filter, --skip-ext, --max-pixels and the\n"
      "                       texture options.\n"
      "\n"
      "  -h, --help           show this help and exit\n"
      "  -V, --version        show the library's version and exit\n"
      "\n"
      "Exit status:\n"
      "  0    every input was decoded (and written)\n"
      "  %d    an output file or folder, or standard output, could not be written\n"
      "  %d    bad command line, or an output refused before decoding\n"
      "  otherwise the library's result code of the first input that failed:\n",
      qziGetVersion(), qzi_png::kMinLevel, qzi_png::kMaxLevel, qzi_png::kDefaultLevel, qzi_png::kMinLevel,
      qzi_png::kLastFastLevel, qzi_png::kLastFastLevel + 1, qzi_png::kMaxLevel,
      qzi_float::exr_available() ? "available in this build" : "not in this build: it needs libopenexr-dev",
      QZIDEC_FORMAT_BMP, QZIDEC_FORMAT_PVR, BMP_PARAM_KEEP_ALPHA, BMP_PARAM_PALETTE_ALPHA,
      BMP_PARAM_PIXEL_ALPHA, PVR_PARAM_OPTION, kExitWrite, kExitUsage);
#define QZI_HELP_CODE(name, value, text) \
  if (value != 0) std::printf("  %-3d  %s\n", value, qziResultText(value));
  QZIERR_LIST(QZI_HELP_CODE)
#undef QZI_HELP_CODE
}

int usage_error(const char* fmt, const char* what) {
  std::fprintf(stderr, "qzidecode: ");
  std::fprintf(stderr, fmt, what);
  std::fprintf(stderr, "\nTry 'qzidecode --help' for more information.\n");
  return kExitUsage;
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

// The format ids --filter takes, with their names for the message that lists them.
const struct {
  int id;
  const char* name;
} kFormats[] = {{QZIDEC_FORMAT_BMP, "BMP"},   {QZIDEC_FORMAT_PVR, "PVR"},   {QZIDEC_FORMAT_DDS, "DDS"},
                {QZIDEC_FORMAT_KTX, "KTX"},   {QZIDEC_FORMAT_KTX2, "KTX2"}, {QZIDEC_FORMAT_ASTC, "ASTC"},
                {QZIDEC_FORMAT_PKM, "PKM"}};

bool known_format(int id) {
  for (const auto& f : kFormats)
    if (f.id == id) return true;
  return false;
}

std::string format_list() {
  std::string s;
  for (const auto& f : kFormats) s += (s.empty() ? "" : ", ") + std::to_string(f.id) + " " + f.name;
  return s;
}

bool parse_filter(const std::string& s, std::vector<int>* out) {
  size_t start = 0;
  for (;;) {
    const size_t comma = s.find(',', start);
    long v = 0;
    if (!parse_long(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start), &v) ||
        v != static_cast<int>(v))
      return false;
    out->push_back(static_cast<int>(v));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
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

std::string dir_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// DIR/NAME.png for the input NAME.EXT.
std::string png_name_in(const std::string& dir, const std::string& input) {
  const size_t slash = input.find_last_of('/');
  std::string base = input.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot != 0) base.erase(dot);
  return dir + (dir.back() == '/' ? "" : "/") + base + ".png";
}

enum class OutputKind { kNone, kPng, kPfm, kExr };

// The output name's extension when it is one of ours (any case), else "".
std::string output_ext(const std::string& name) {
  if (name.size() < 4) return "";
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".png" || ext == ".pfm" || ext == ".exr" ? ext : "";
}

// Whether the name's last part is the extension alone (".png", "out/.PNG"): no file name.
bool only_extension(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  return !output_ext(name).empty() && name.size() - (slash == std::string::npos ? 0 : slash + 1) == 4;
}

// What an output name asks for, by its extension (any case).
OutputKind output_kind(const std::string& name) {
  if (only_extension(name)) return OutputKind::kNone;
  const std::string ext = output_ext(name);
  return ext == ".png" ? OutputKind::kPng : ext == ".pfm" ? OutputKind::kPfm : ext == ".exr" ? OutputKind::kExr
                                                                                            : OutputKind::kNone;
}

// mkdir -p; false with errno set when a part cannot be made.
bool make_dirs(const std::string& dir) {
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at != dir.size() && dir[at] != '/') continue;
    const std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

// Bytes of the UTF-8 sequence at s[i] when it is well-formed (overlong forms, surrogates and
// values above U+10FFFF are not); otherwise 0, with *bad the bytes of its longest start that
// could still have been one (at least 1), which become one U+FFFD as Unicode recommends.
size_t utf8_length(const std::string& s, size_t i, size_t* bad) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  unsigned lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  *bad = 1;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  for (size_t k = 1; k < n; ++k) {
    const unsigned d = i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
    if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) return 0;
    *bad = k + 1;
  }
  return n;
}

// A JSON string of `s`. File names are bytes, and JSON text is Unicode: bytes that are not
// well-formed UTF-8 become U+FFFD (written "\ufffd"), so that every line parses.
std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t bad = 1;
    const size_t n = utf8_length(s, i, &bad);
    if (n == 0) {
      out += "\\ufffd";
      i += bad;
      continue;
    }
    const char* named = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\b' ? "\\b" : c == '\f' ? "\\f"
                        : c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
    if (named) {
      out += named;
    } else if (n == 3 && s.compare(i, 3, "\xEF\xBF\xBD") == 0) {
      out += "\\ufffd";  // always escaped, the mark of a replaced byte or not, so that it shows
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  return out + "\"";
}

// Standard output after a write: false, with a message the first time, when it failed (a full
// disk, a closed pipe). Checked at each flush and at the close.
bool g_stdout_failed = false;
bool stdout_written(bool closing) {
  errno = 0;
  bool ok = std::fflush(stdout) == 0 && !std::ferror(stdout);
  int err = errno;
  if (closing && std::fclose(stdout) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok && !g_stdout_failed) {
    std::fprintf(stderr, "qzidecode: cannot write standard output: %s\n", std::strerror(err ? err : EIO));
  }
  g_stdout_failed |= !ok;
  return ok;
}

// ---- Temporary output files, removed on failure and on a fatal signal ----

char g_temp_path[4096];  // the temporary file being written, or empty

extern "C" void remove_temp_and_die(int sig) {
  if (g_temp_path[0]) unlink(g_temp_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

void forget_temp(bool remove) {
  if (remove && g_temp_path[0]) unlink(g_temp_path);
  g_temp_path[0] = '\0';
}

// Opens a new file beside `dest`, readable as a file created in the ordinary way would be.
FILE* open_temp_beside(const std::string& dest) {
  std::string pattern = dir_of(dest) + "/.qzidecode-XXXXXX";
  if (pattern.size() >= sizeof g_temp_path) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  const int fd = mkstemp(path.data());
  if (fd < 0) return nullptr;
  std::memcpy(g_temp_path, path.data(), path.size());
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    close(fd);
    forget_temp(true);
  }
  return f;
}

// ---- Decoding one input ----

struct Facts {
  unsigned int format = 0, width = 0, height = 0;
  unsigned int levels = 1, faces = 1, layers = 1, depth = 1, hdr = 0;
  // The stored form (items 8 to 11): bits per pixel in hundredths, alpha, colour space,
  // premultiplied. Read after the decode, which settles BMP's alpha.
  unsigned int source_bits = 0, alpha = 0, color_space = QZIDEC_COLOR_UNSTATED, premultiplied = 0;
  std::string description;
  bool palette = false;
  int frames = 0;
};

// What the layer callback works with: the PNG goes out row by row while the bitmaps exist.
struct Sink {
  Facts* facts = nullptr;
  FILE* out = nullptr;  // null when nothing is written
  bool written = false;
  int write_errno = 0;  // set when the PNG could not be written
  int png_level = qzi_png::kDefaultLevel;
};

void rgba_row(const void* layer, int y, uint8_t* rgba) {
  const QZIDEC_LAYERINFO* info = static_cast<const QZIDEC_LAYERINFO*>(layer);
  qzimg::rgba::row(info->bi, info->bia, y, rgba);
}

// Writes the picture; false with write_errno set on failure.
bool write_png(Sink* sink, const QZIDEC_LAYERINFO* info) {
  const int w = info->bi->bmiHeader.biWidth, h = info->bi->bmiHeader.biHeight;
  const int err = qzi_png::write_rgba(sink->out, w, h, sink->png_level, rgba_row, info);
  if (err || std::fflush(sink->out) != 0 || std::ferror(sink->out)) {
    sink->write_errno = err ? err : errno ? errno : EIO;
    return false;
  }
  return true;
}

int on_layer(QZIDEC_LAYERINFO* info, int /*index*/) {
  Sink* sink = reinterpret_cast<Sink*>(static_cast<uintptr_t>(info->layer_user));
  if (sink->facts->frames++ != 0) return 0;  // the first picture is the one written
  sink->facts->palette = info->bi && info->bi->bmiHeader.biBitCount == 8;
  if (!sink->out) return 0;
  if (!qzimg::rgba::layout_known(info->bi, info->bia)) {
    sink->write_errno = EINVAL;
    return 1;
  }
  errno = 0;
  sink->written = write_png(sink, info);
  return sink->written ? 0 : 1;
}

const char* g_progress_name = "";
unsigned int g_progress_shown = ~0u;  // the percentage on screen; redrawn only when it changes

// The terminal's width is asked at each redraw: a window resized during a long decode is followed.
bool progress_bar(long /*user*/, unsigned int percent) {
  if (percent == g_progress_shown) return true;
  g_progress_shown = percent;
  // "\r" then clearing to the end of the line: a narrower window must not keep an older, longer line.
  std::fprintf(stderr, "\r%s\033[K", qzi_progress::line(g_progress_name, percent, qzi_progress::terminal_columns(STDERR_FILENO)).c_str());
  std::fflush(stderr);
  return true;
}

// Why initialisation on a file failed, in words: what the file is where that says it better
// than the code, and the system's reason where it cannot be opened.
std::string file_failure_text(const std::string& input, int rc) {
  const std::string text = qziResultText(rc);
  struct stat st;
  if (stat(input.c_str(), &st) != 0) return text + ": " + std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (S_ISREG(st.st_mode) && st.st_size == 0) return "empty file";
  if (rc == QZIERR_FILE_OPEN) {
    FILE* f = std::fopen(input.c_str(), "rb");
    if (!f) return text + ": " + std::strerror(errno);
    std::fclose(f);
  }
  return text;
}

// Returns false when the JSON line could not be written.
bool report_failure(const Options& opt, const std::string& input, int rc, const std::string& text) {
  std::fprintf(stderr, "qzidecode: %s: %s (%d)\n", input.c_str(), text.c_str(), rc);
  if (!opt.json) return true;
  std::printf("{\"file\":%s,\"result\":%d,\"error\":%s,\"reason\":%s}\n", json_string(input).c_str(), rc,
              json_string(qziResultText(rc)).c_str(), json_string(text).c_str());
  return stdout_written(false);
}

const char* format_name(unsigned int id) {
  switch (id) {
    case QZIDEC_FORMAT_BMP: return "BMP";
    case QZIDEC_FORMAT_PVR: return "PVR";
    case QZIDEC_FORMAT_DDS: return "DDS";
    case QZIDEC_FORMAT_KTX: return "KTX";
    case QZIDEC_FORMAT_KTX2: return "KTX2";
    case QZIDEC_FORMAT_ASTC: return "ASTC";
    case QZIDEC_FORMAT_PKM: return "PKM";
    default: return "unknown";
  }
}

// Textures: ", 11 levels", and faces, layers and depth where there are more than one.
std::string counts(const Facts& f) {
  if (f.format == QZIDEC_FORMAT_BMP) return "";
  auto part = [](unsigned int n, const char* one, const char* many) {
    return ", " + std::to_string(n) + " " + (n == 1 ? one : many);
  };
  std::string s = part(f.levels, "level", "levels");
  if (f.faces > 1) s += part(f.faces, "face", "faces");
  if (f.layers > 1) s += part(f.layers, "layer", "layers");
  if (f.depth > 1) s += part(f.depth, "slice", "slices");
  if (f.hdr) s += ", HDR";
  return s;
}

// Hundredths as a decimal without trailing zeros: 400 "4", 356 "3.56", 640 "6.4", 89 "0.89".
std::string hundredths(unsigned int v) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%02u", v / 100, v % 100);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

const char* color_space_name(unsigned int c) {
  return c == QZIDEC_COLOR_SRGB ? "sRGB" : c == QZIDEC_COLOR_LINEAR ? "linear" : "unstated";
}

// Returns false when the line could not be written.
bool print_facts(const Options& opt, const std::string& input, const Facts& f) {
  const char* name = format_name(f.format);
  const std::string bits = hundredths(f.source_bits);
  if (opt.json) {
    std::printf(
        "{\"file\":%s,\"result\":0,\"format\":\"%s\",\"format_id\":%u,\"description\":%s,\"width\":%u,\"height\":%u,"
        "\"bits_per_pixel\":%s,\"palette\":%s,\"alpha\":%s,\"color_space\":\"%s\",\"premultiplied\":%s,\"frames\":%d,"
        "\"levels\":%u,\"faces\":%u,\"layers\":%u,\"depth\":%u,\"hdr\":%s}\n",
        json_string(input).c_str(), name, f.format, json_string(f.description).c_str(), f.width, f.height, bits.c_str(),
        f.palette ? "true" : "false", f.alpha ? "true" : "false", color_space_name(f.color_space),
        f.premultiplied ? "true" : "false", f.frames, f.levels, f.faces, f.layers, f.depth, f.hdr ? "true" : "false");
  } else {
    // A variant name of several words ("PVR v3 ASTC 6x6 sRGB") reads better set off by a comma.
    const char* gap = f.description == name ? " " : ", ";
    const std::string colour = f.color_space == QZIDEC_COLOR_UNSTATED ? "colour space unstated" : color_space_name(f.color_space);
    std::printf("%s: %s%s%ux%u%s, %s bits per pixel%s, %s%s, %s", input.c_str(), f.description.c_str(), gap, f.width,
                f.height, counts(f).c_str(), bits.c_str(), f.palette ? ", palette" : "", f.alpha ? "alpha" : "no alpha",
                f.premultiplied ? " (premultiplied)" : "", colour.c_str());
    if (f.frames != 1) std::printf(", %d frames", f.frames);
    std::printf("\n");
  }
  return stdout_written(false);
}

// Sets the frame's parameters, initialises `dec` on the file or on the bytes of standard input
// (`mem`, when `from_stdin`) and sets the module's parameters; stops at the first failure and
// returns its code. *initialised tells whether initialisation itself succeeded.
int initialise(QZIDECODER dec, const Options& opt, const std::string& input, bool from_stdin, qzi_mem::Stream* mem,
               const char* mem_name, bool* initialised) {
  *initialised = false;
  int rc = QZIERR_SUCCESS;
  if (opt.skip_ext) rc = qziSetDecoderParam(dec, QZIDEC_PARAM_SKIP_EXT, 1, 0);
  if (rc == 0 && !opt.filter.empty())
    rc = qziSetDecoderParam(dec, QZIDEC_PARAM_FORMAT_FILTER, reinterpret_cast<long>(opt.filter.data()),
                            static_cast<long>(opt.filter.size()));
  if (rc == 0 && opt.max_pixels) rc = qziSetDecoderParam(dec, QZIDEC_PARAM_MAX_PIXELS, opt.max_pixels, 0);
  for (const Param& p : opt.texture)
    if (rc == 0) rc = qziSetDecoderParam(dec, p.id, p.a, p.b);
  if (rc == 0) {
    if (from_stdin) {
      // Bytes read ahead: standard input, which has no name, so detection goes by content, or a
      // named pipe, whose name still counts.
      rc = mem->size > 0x7fffffffu ? QZIERR_CANNOT
           : mem->size == 0        ? QZIERR_INVALID_ARG
                                   : qzi_mem::initialize(dec, mem, mem_name);
    } else {
      rc = qziDecoderInitializeFromFile(dec, input.c_str());
    }
    *initialised = rc == 0;
  }
  for (const Param& p : opt.params)
    if (rc == 0) rc = qziSetDecoderParam(dec, p.id, p.a, p.b);
  return rc;
}

// What initialisation found; the palette and alpha facts come with the delivered layer.
void read_facts(QZIDECODER dec, Facts* facts) {
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_FORMAT, &facts->format);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_WIDTH, &facts->width);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_HEIGHT, &facts->height);
  facts->description = qziDecoderGetFormatDescription(dec);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_LEVELS, &facts->levels);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_FACES, &facts->faces);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_LAYERS, &facts->layers);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_DEPTH, &facts->depth);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_HDR, &facts->hdr);
}

// The stored form; after a decode, which settles whether a BMP has alpha.
void read_source_facts(QZIDECODER dec, Facts* facts) {
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_SOURCE_BITS, &facts->source_bits);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_SOURCE_ALPHA, &facts->alpha);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_COLOR_SPACE, &facts->color_space);
  qziDecoderGetDocInfo(dec, QZIDEC_INFO_PREMULTIPLIED, &facts->premultiplied);
}

// Decodes into the sink, with a progress bar when asked for and standard error is a terminal.
int execute(QZIDECODER dec, const Options& opt, const std::string& input, Sink* sink) {
  const bool progress = opt.progress && isatty(STDERR_FILENO);
  qziSetDecoderLayerCallback(dec, on_layer, sink);
  if (progress) {
    g_progress_name = input.c_str();
    g_progress_shown = ~0u;
    qziSetDecoderProgressCallback(dec, progress_bar, 0);
  }
  const int rc = qziDecoderExecute(dec);
  if (progress) std::fputc('\n', stderr);
  return rc;
}

// Decodes the picture again as floats and writes it as a PFM or OpenEXR file.
int write_float(QZIDECODER dec, OutputKind kind, bool half, Sink* sink) {
  void* pixels = nullptr;
  int w = 0, h = 0;
  const int rc = qziDecoderExecuteRGBA(dec, QZIDEC_SAMPLE_FLOAT32, &pixels, &w, &h, nullptr);
  if (rc != 0) return rc;
  const float* rgba = static_cast<const float*>(pixels);
  errno = 0;
  if (kind == OutputKind::kPfm) {
    sink->written = qzi_float::write_pfm(sink->out, rgba, w, h) && std::fflush(sink->out) == 0;
  } else {
    const std::string why = qzi_float::write_exr(sink->out, rgba, w, h, half);
    sink->written = why.empty() && std::fflush(sink->out) == 0;
  }
  if (!sink->written) sink->write_errno = errno ? errno : EIO;
  sink->facts->frames = sink->facts->frames ? sink->facts->frames : 1;
  qziFreeRGBAF(static_cast<float*>(pixels));
  return 0;
}

// Why an input failed, in words: the library's reason for the handle, else the option or the
// input that explains the code where one does.
std::string failure_text(const Options& opt, const std::string& input, int rc, bool initialised, bool from_stdin,
                         size_t stdin_size, const std::string& reason) {
  if (from_stdin && stdin_size == 0) return "empty input";
  if (from_stdin && stdin_size > 0x7fffffffu) return "the input is 2 GiB or larger";
  if (!reason.empty()) return reason;
  if (rc == QZIERR_NO_MEMORY && !initialised && opt.max_pixels)
    return "more pixels than --max-pixels " + std::to_string(opt.max_pixels) + " allows";
  if (!initialised && !from_stdin) return file_failure_text(input, rc);
  return qziResultText(rc);
}

void report_write_failure(const std::string& input, const std::string& output, const char* why) {
  std::fprintf(stderr, "qzidecode: %s: cannot write %s: %s\n", input.c_str(), output.c_str(), why);
}

// Closes the temporary file of a written output and, when everything went well, renames it to
// `output`; otherwise removes it. Returns the input's status after that.
int finish_output(const std::string& input, const std::string& output, FILE* out, int status) {
  const bool closed = std::fclose(out) == 0;
  if (status == 0 && !closed) {
    report_write_failure(input, output, std::strerror(errno));
    status = kExitWrite;
  }
  if (status == 0 && std::rename(g_temp_path, output.c_str()) != 0) {
    report_write_failure(input, output, std::strerror(errno));
    status = kExitWrite;
  }
  forget_temp(status != 0);
  return status;
}

// The library addresses at most 2 GiB; an endless stream stops one byte past that, so that its
// size is refused rather than the memory running out.
constexpr size_t kMaxStreamBytes = 0x80000000u;

bool read_all(FILE* f, std::vector<uint8_t>* out) {
  uint8_t buf[65536];
  size_t n;
  while (out->size() <= kMaxStreamBytes - sizeof buf && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
    out->insert(out->end(), buf, buf + n);
  return !std::ferror(f);
}

// A named pipe or socket (`<(...)`, /dev/stdin on a pipe) has no size to seek by: it is read
// ahead like standard input. Returns false, with errno, when it could not be read.
bool read_pipe(const std::string& input, std::vector<uint8_t>* out, bool* is_pipe) {
  struct stat st;
  *is_pipe = stat(input.c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
  if (!*is_pipe) return true;
  FILE* f = std::fopen(input.c_str(), "rb");
  if (!f) return false;
  const bool ok = read_all(f, out);
  std::fclose(f);
  return ok;
}

// Decodes one input and, when `output` is not empty, writes it. Returns 0, a library result
// code, or kExitWrite.
int decode_one(const Options& opt, const std::string& input, const std::string& output,
               const std::vector<uint8_t>* stdin_bytes) {
  QZIDECODER dec = qziCreateDecoder();
  if (!dec) {
    return report_failure(opt, input, QZIERR_NO_MEMORY, qziResultText(QZIERR_NO_MEMORY)) ? QZIERR_NO_MEMORY : kExitWrite;
  }
  std::vector<uint8_t> pipe_bytes;
  bool is_pipe = false;
  if (!stdin_bytes && !read_pipe(input, &pipe_bytes, &is_pipe)) {
    const int code = errno == ENOENT || errno == EACCES ? QZIERR_FILE_OPEN : QZIERR_READ;
    const std::string text = std::string(qziResultText(code)) + ": " + std::strerror(errno);
    qziCloseDecoder(dec);
    return report_failure(opt, input, code, text) ? code : kExitWrite;
  }
  if (is_pipe) stdin_bytes = &pipe_bytes;
  const bool from_stdin = stdin_bytes != nullptr;
  qzi_mem::Stream mem{from_stdin ? stdin_bytes->data() : nullptr, from_stdin ? stdin_bytes->size() : 0, 0};
  bool initialised = false;
  int rc = initialise(dec, opt, input, from_stdin, &mem, is_pipe ? input.c_str() : "", &initialised);

  Facts facts;
  Sink sink;
  sink.facts = &facts;
  sink.png_level = opt.png_level;
  if (initialised) read_facts(dec, &facts);
  if (rc == 0 && !output.empty()) {
    sink.out = output == "-" ? stdout : open_temp_beside(output);
    if (!sink.out) {
      report_write_failure(input, output, std::strerror(errno));
      qziCloseDecoder(dec);
      return kExitWrite;
    }
  }
  // Decoding is the check of an input, and tells whether it has alpha: --info runs it too.
  const OutputKind kind = output.empty() || output == "-" ? OutputKind::kPng : output_kind(output);
  if (rc == 0 && (kind == OutputKind::kPng || opt.info)) {
    FILE* png_out = kind == OutputKind::kPng ? sink.out : nullptr;
    std::swap(sink.out, png_out);
    rc = execute(dec, opt, input, &sink);
    std::swap(sink.out, png_out);
  }
  if (rc == 0 && kind != OutputKind::kPng) rc = write_float(dec, kind, opt.exr_half, &sink);
  if (rc == 0) read_source_facts(dec, &facts);
  const std::string reason = qziDecoderGetReason(dec);
  qziCloseDecoder(dec);

  int status = rc;
  if (rc != 0) {
    if (!report_failure(opt, input, rc, failure_text(opt, input, rc, initialised, from_stdin, mem.size, reason)))
      status = kExitWrite;
  } else if (sink.out && !sink.written) {
    report_write_failure(input, output,
                         sink.write_errno == EINVAL && facts.frames ? "bitmap layout not understood"
                         : facts.frames                             ? std::strerror(sink.write_errno)
                                                                    : "no picture delivered");
    status = kExitWrite;
  }
  if (sink.out && sink.out != stdout) status = finish_output(input, output, sink.out, status);
  if (status == 0 && opt.info && !print_facts(opt, input, facts)) status = kExitWrite;
  return status;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Refuses outputs before anything is decoded; returns 0 or kExitUsage.
int check_outputs(const Options& opt, const std::vector<std::string>& outputs) {
  std::vector<struct stat> inputs;
  for (const std::string& in : opt.inputs) {
    struct stat st;
    if (in != "-" && stat(in.c_str(), &st) == 0) inputs.push_back(st);
  }
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::string& out = outputs[i];
    if (out.empty() || out == "-") continue;
    const OutputKind kind = output_kind(out);
    if (only_extension(out))
      return usage_error("%s", ("output name '" + out + "' has no file name before " + out.substr(out.size() - 4)).c_str());
    if (kind == OutputKind::kNone) return usage_error("output name '%s' does not end in .png, .pfm or .exr", out.c_str());
    if (kind == OutputKind::kExr && !qzi_float::exr_available())
      return usage_error("cannot write '%s': this qzidecode was built without OpenEXR (libopenexr-dev)", out.c_str());
    for (size_t j = 0; j < i; ++j) {
      if (outputs[j] == out) {
        std::fprintf(stderr, "qzidecode: %s and %s would both be written to %s; nothing written\n",
                     opt.inputs[j].c_str(), opt.inputs[i].c_str(), out.c_str());
        return kExitUsage;
      }
    }
    struct stat st;
    if (stat(out.c_str(), &st) != 0) continue;
    for (const struct stat& in : inputs) {
      if (same_file(in, st)) {
        std::fprintf(stderr, "qzidecode: %s is one of the inputs; refusing to write over it\n", out.c_str());
        return kExitUsage;
      }
    }
    if (S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "qzidecode: %s: is a directory\n", out.c_str());
      return kExitUsage;
    }
    if (!opt.force) {
      std::fprintf(stderr, "qzidecode: %s exists; use -f to replace it\n", out.c_str());
      return kExitUsage;
    }
  }
  return 0;
}

// Parses the command line into `opt`. Returns -1 to go on, or the status to end with: 0 after
// --help or --version, kExitUsage for a bad option or value.
int parse_options(int argc, char** argv, Options* opt) {
  enum {
    kOptInfo = 256, kOptJson, kOptProgress, kOptMaxPixels, kOptSkipExt, kOptFilter, kOptParam, kOptPngLevel,
    kOptLevel, kOptFace, kOptLayer, kOptSlice, kOptToneMap, kOptExposure, kOptExrHalf
  };
  static const struct option longopts[] = {
      {"output", required_argument, nullptr, 'o'},
      {"out-dir", required_argument, nullptr, 'd'},
      {"force", no_argument, nullptr, 'f'},
      {"png-level", required_argument, nullptr, kOptPngLevel},
      {"info", no_argument, nullptr, kOptInfo},
      {"json", no_argument, nullptr, kOptJson},
      {"progress", no_argument, nullptr, kOptProgress},
      {"max-pixels", required_argument, nullptr, kOptMaxPixels},
      {"skip-ext", no_argument, nullptr, kOptSkipExt},
      {"exr-half", no_argument, nullptr, kOptExrHalf},
      {"filter", required_argument, nullptr, kOptFilter},
      {"param", required_argument, nullptr, kOptParam},
      {"level", required_argument, nullptr, kOptLevel},
      {"face", required_argument, nullptr, kOptFace},
      {"layer", required_argument, nullptr, kOptLayer},
      {"slice", required_argument, nullptr, kOptSlice},
      {"tone-map", no_argument, nullptr, kOptToneMap},
      {"exposure", required_argument, nullptr, kOptExposure},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;  // messages of our own, naming the option
  int c;
  while ((c = getopt_long(argc, argv, ":o:d:fhV", longopts, nullptr)) != -1) {
    const std::string arg = optarg ? optarg : "";
    switch (c) {
      case 'o':
        if (arg.empty()) return usage_error("%s", "-o needs a file name");
        opt->output = arg;
        break;
      case 'd':
        if (arg.empty()) return usage_error("%s", "-d needs a folder name");
        opt->out_dir = arg;
        break;
      case 'f': opt->force = true; break;
      case kOptPngLevel: {
        long level = -1;
        if (!parse_long(arg, &level) || level < qzi_png::kMinLevel || level > qzi_png::kMaxLevel)
          return usage_error("%s", ("--png-level wants " + std::to_string(qzi_png::kMinLevel) + " to " +
                                    std::to_string(qzi_png::kMaxLevel) + ", not '" + arg + "'")
                                       .c_str());
        opt->png_level = static_cast<int>(level);
        break;
      }
      case kOptInfo: opt->info = true; break;
      case kOptJson: opt->info = opt->json = true; break;
      case kOptProgress: opt->progress = true; break;
      case kOptSkipExt: opt->skip_ext = true; break;
      case kOptExrHalf: opt->exr_half = true; break;
      case kOptMaxPixels:
        if (!parse_long(arg, &opt->max_pixels) || opt->max_pixels < 0)
          return usage_error("--max-pixels wants a number of pixels, not '%s'", arg.c_str());
        break;
      case kOptFilter: {
        std::vector<int> ids;
        if (!parse_filter(arg, &ids))
          return usage_error("%s", ("--filter wants format ids separated by commas (" + format_list() + "), not '" + arg + "'").c_str());
        for (int id : ids) {
          if (!known_format(id))
            return usage_error("%s", ("--filter: " + std::to_string(id) + " is not a format id; the ids are " + format_list()).c_str());
        }
        opt->filter.insert(opt->filter.end(), ids.begin(), ids.end());
        break;
      }
      case kOptParam: {
        Param p{};
        if (!parse_param(arg, &p)) return usage_error("--param wants ID=A[,B], not '%s'", arg.c_str());
        // Parameter 1 takes an address; the frame's parameters have options of their own.
        if (p.id >= QZIDEC_PARAM_FORMAT_FILTER && p.id <= QZIDEC_PARAM_EXPOSURE)
          return usage_error("--param %s: use --filter, --skip-ext, --max-pixels or the texture options", arg.c_str());
        opt->params.push_back(p);
        break;
      }
      case kOptLevel:
      case kOptFace:
      case kOptLayer:
      case kOptSlice: {
        long n = 0;
        if (!parse_long(arg, &n) || n < 0 || n > 0x7fffffffL)
        {
          static const char* const kNames[] = {"--level", "--face", "--layer", "--slice"};
          return usage_error("%s", (std::string(kNames[c - kOptLevel]) + " wants a number from 0, not '" + arg + "'").c_str());
        }
        opt->texture.push_back(Param{static_cast<unsigned int>(QZIDEC_PARAM_LEVEL + (c - kOptLevel)), n, 0});
        break;
      }
      case kOptToneMap: opt->texture.push_back(Param{QZIDEC_PARAM_TONE_MAP, 1, 0}); break;
      case kOptExposure: {
        char* end = nullptr;
        const double e = std::strtod(arg.c_str(), &end);
        if (arg.empty() || *end || !(e >= 0.001 && e <= 1000))
          return usage_error("--exposure wants a number from 0.001 to 1000, not '%s'", arg.c_str());
        opt->texture.push_back(Param{QZIDEC_PARAM_EXPOSURE, std::lround(e * 1000), 0});
        break;
      }
      case 'h': print_help(); return 0;
      case 'V': std::printf("qzidecode (libqzimgdecoder) %s\n", qziGetVersion()); return 0;
      case ':': return usage_error("option '%s' needs a value", argv[optind - 1]);
      default: {
        std::string bad = optopt ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1]);
        bad = bad.substr(0, bad.find('='));
        return usage_error("unknown option '%s'", bad.c_str());
      }
    }
  }
  for (int i = optind; i < argc; ++i) opt->inputs.push_back(argv[i]);
  return -1;
}

// Refuses inputs and outputs that do not go together; returns 0 or kExitUsage.
int check_combination(const Options& opt) {
  if (opt.inputs.empty()) return usage_error("%s", "no input given");
  if (!opt.output.empty() && !opt.out_dir.empty()) return usage_error("%s", "-o and -d exclude each other");
  if (!opt.output.empty() && opt.inputs.size() > 1)
    return usage_error("-o names one output, but %s inputs were given; use -d DIR", std::to_string(opt.inputs.size()).c_str());
  int from_stdin = 0;
  for (const std::string& in : opt.inputs) from_stdin += in == "-";
  if (from_stdin > 1) return usage_error("%s", "standard input ('-') can be read only once");
  if (from_stdin && !opt.out_dir.empty()) return usage_error("%s", "standard input has no name to write DIR/NAME.png from; use -o");
  if (opt.output == "-") {
    if (opt.info) return usage_error("%s", "--info prints on standard output, where -o - writes the PNG");
    if (isatty(STDOUT_FILENO)) return usage_error("%s", "standard output is a terminal; not writing PNG data to it");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  const int parsed = parse_options(argc, argv, &opt);
  if (parsed >= 0) return parsed;
  if (const int refused = check_combination(opt)) return refused;
  bool from_stdin = false;
  for (const std::string& in : opt.inputs) from_stdin |= in == "-";

  std::vector<std::string> outputs(opt.inputs.size());
  for (size_t i = 0; i < opt.inputs.size(); ++i)
    outputs[i] = !opt.out_dir.empty() ? png_name_in(opt.out_dir, opt.inputs[i]) : opt.output;
  if (const int refused = check_outputs(opt, outputs)) return refused;
  if (!opt.out_dir.empty() && !make_dirs(opt.out_dir)) {
    std::fprintf(stderr, "qzidecode: cannot create %s: %s\n", opt.out_dir.c_str(), std::strerror(errno));
    return kExitWrite;
  }

  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) signal(sig, remove_temp_and_die);
  std::vector<uint8_t> stdin_bytes;
  if (from_stdin && !read_all(stdin, &stdin_bytes)) {
    std::fprintf(stderr, "qzidecode: -: %s: %s (%d)\n", qziResultText(QZIERR_READ), std::strerror(errno), QZIERR_READ);
    return QZIERR_READ;
  }
  int status = 0;
  for (size_t i = 0; i < opt.inputs.size(); ++i) {
    const int rc = decode_one(opt, opt.inputs[i], outputs[i], opt.inputs[i] == "-" ? &stdin_bytes : nullptr);
    if (status == 0) status = rc;
  }
  if (opt.output.empty() && opt.out_dir.empty() && !opt.info) {
    std::fprintf(stderr, "qzidecode: no -o FILE or -d DIR given: nothing written\n");
  }
  // What is still buffered goes out at the close, whose failure counts as well.
  if (!stdout_written(true) && status == 0) status = kExitWrite;
  return status;
}
