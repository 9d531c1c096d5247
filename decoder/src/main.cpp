// Exported functions of the decoder: handle lifecycle, format detection, parameters,
// callbacks and execution. Every exported body runs through guarded(), so no exception
// reaches a C caller.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "format/texture.h"
#include "internal.h"

using namespace qzimgdecoder;

// The formats in the order content probing tries them.
const QZIDEC_FORMAT qzidec_format_table[] = {
    {QZIDEC_FORMAT_BMP, "bmp\0dib\0rle\0qbm\0", qzimgdecoder_bmp::qzi_decode_bmp, qzimgdecoder_bmp::qzidec_setparam_bmp},
    {QZIDEC_FORMAT_PVR, "pvr\0", qzimgdecoder_pvr::qzi_decode_pvr, qzimgdecoder_pvr::qzidec_setparam_pvr},
    {QZIDEC_FORMAT_DDS, "dds\0", qzimgdecoder_dds::qzi_decode_dds, qzimgdecoder_texture::qzidec_setparam_texture},
    {QZIDEC_FORMAT_KTX, "ktx\0", qzimgdecoder_ktx::qzi_decode_ktx, qzimgdecoder_texture::qzidec_setparam_texture},
    {QZIDEC_FORMAT_KTX2, "ktx2\0", qzimgdecoder_ktx2::qzi_decode_ktx2, qzimgdecoder_texture::qzidec_setparam_texture},
    {QZIDEC_FORMAT_ASTC, "astc\0", qzimgdecoder_astc::qzi_decode_astc, qzimgdecoder_texture::qzidec_setparam_texture},
    {QZIDEC_FORMAT_PKM, "pkm\0", qzimgdecoder_pkm::qzi_decode_pkm, qzimgdecoder_texture::qzidec_setparam_texture},
    {0, nullptr, nullptr, nullptr},  // end marker
};

namespace {

// Turns whatever a body raises into its result code.
template <typename F>
int guarded(F body) {
  try {
    return body();
  } catch (qzimg::QZIERR code) {
    return code;
  } catch (const std::bad_alloc&) {
    return QZIERR_NO_MEMORY;
  } catch (...) {
    return QZIERR_UNSUPPORTED;
  }
}

// Creation and reset construct the record in place; nothing in it allocates until used.
// Default-initialisation, not value-initialisation: the members' initialisers set every field
// but the inline areas and the palette, which are not cleared.
static_assert(std::is_nothrow_default_constructible<QZIDECODER_IMPL>::value, "a handle is built without allocating");
void construct(QZIDECODER_IMPL* h) { new (h) QZIDECODER_IMPL; }

// Releases what the handle owns and closes the caller's stream.
void destroy(QZIDECODER_IMPL* h) {
  if (h->cleanup_func) h->cleanup_func(h->stream);
  free_format_state(h);
  h->~QZIDECODER_IMPL();
}

// Runs one probe of `f`; true when the format accepts the input.
bool probe(QZIDECODER_IMPL* h, const QZIDEC_FORMAT& f) {
  try {
    rdpos_set(h, 0);
    f.decode(h, 0);
    f.decode(h, -1);
    return true;
  } catch (qzimg::QZIERR code) {
    if (code == QZIERR_SUCCESS) return true;
  } catch (...) {
    // Anything else a module lets out (no memory, say) rejects it like a raised code.
  }
  // A rejecting module may leave buffers behind; the release call never raises.
  f.decode(h, -1);
  // The next candidate starts from a fresh state record and fresh raster values.
  free_format_state(h);
  raster_init(h);
  h->format_description[0] = '\0';
  return false;
}

// Lower-cased text after the last '.', or empty without one.
std::string extension_of(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return std::string();
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool lists_extension(const QZIDEC_FORMAT& f, const std::string& ext) {
  for (const char* e = f.exts; *e; e += std::strlen(e) + 1) {
    if (ext == e) return true;
  }
  return false;
}

// Raster set-up, the module's decode and release calls, and the raster's release: the
// result of the pass. The bitmaps the layer callback saw are freed on the way out. The
// module's raised code is caught here rather than by guarded(), so that the caller can still
// send the final progress report.
int execute_pass(QZIDECODER_IMPL* h) {
  DIB_OWNER bi_owner, bia_owner;
  auto release = make_scope_guard([h] {
    rd_close(h);
    raster_release(h);
  });
  const QZIERR setup = raster_setup(h, &bi_owner, &bia_owner);
  if (setup != QZIERR_SUCCESS) return static_cast<int>(setup);
  // The module's release call follows its pass however the pass ends, as after a probe.
  auto release_module = make_scope_guard([h] { h->format.decode(h, -1); });
  try {
    h->format.decode(h, 1);
  } catch (qzimg::QZIERR code) {
    return static_cast<int>(code);
  }
  return static_cast<int>(QZIERR_SUCCESS);
}

// Tries the format named by the extension, then every format by content. A probe states a
// reason only once it recognised its format, so the reason kept on a refusal is the one of the
// format the extension named, else of the first format that recognised the content.
const QZIDEC_FORMAT* detect(QZIDECODER_IMPL* h) {
  char kept[sizeof h->reason] = {};
  auto keep = [&] {
    if (!kept[0] && h->reason[0]) std::memcpy(kept, h->reason, sizeof kept);
    h->reason[0] = '\0';
  };
  if (!h->file_name.empty() && !h->skip_ext) {
    const std::string ext = extension_of(h->file_name);
    if (!ext.empty()) {
      for (const QZIDEC_FORMAT* f = qzidec_format_table; f->decode; ++f) {
        if (lists_extension(*f, ext)) {
          if (probe(h, *f)) return f;
          keep();
          break;
        }
      }
    }
  }
  for (const QZIDEC_FORMAT* f = qzidec_format_table; f->decode; ++f) {
    if (!h->format_filter.empty()) {
      bool wanted = false;
      for (int id : h->format_filter) wanted = wanted || static_cast<uint32_t>(id) == f->id;
      if (!wanted) continue;
    }
    if (probe(h, *f)) {
      h->reason[0] = '\0';
      return f;
    }
    keep();
  }
  std::memcpy(h->reason, kept, sizeof kept);
  if (!h->reason[0]) set_reason(h, "not a file of any supported format");
  return nullptr;
}

const char* format_name(uint32_t id) {
  switch (id) {
    case QZIDEC_FORMAT_BMP: return "BMP";
    case QZIDEC_FORMAT_PVR: return "PVR";
    case QZIDEC_FORMAT_DDS: return "DDS";
    case QZIDEC_FORMAT_KTX: return "KTX";
    case QZIDEC_FORMAT_KTX2: return "KTX2";
    case QZIDEC_FORMAT_ASTC: return "ASTC";
    case QZIDEC_FORMAT_PKM: return "PKM";
    default: return "";
  }
}

int execute(QZIDECODER_IMPL* h);

}  // namespace

#define QZI_STRINGIFY_(x) #x
#define QZI_STRINGIFY(x) QZI_STRINGIFY_(x)

extern "C" {

const char* qziGetVersion(void) {
  return QZI_STRINGIFY(QZIMGDECODER_VERSION_MAJOR) "." QZI_STRINGIFY(QZIMGDECODER_VERSION_MINOR) "." QZI_STRINGIFY(
      QZIMGDECODER_VERSION_PATCH);
}

const char* qziResultText(int code) {
  switch (code) {
#define QZIERR_TEXT_CASE(name, value, text) \
  case value: return text;
    QZIERR_LIST(QZIERR_TEXT_CASE)
#undef QZIERR_TEXT_CASE
    default: return "unknown result code";
  }
}

QZIDECODER qziCreateDecoder(void) {
  void* block = nullptr;
  if (!qziMemAllocRaw(&block, sizeof(QZIDECODER_IMPL))) return nullptr;
  QZIDECODER_IMPL* h = static_cast<QZIDECODER_IMPL*>(block);
  construct(h);
  return h;
}

int qziDecoderInitialize(QZIDECODER h, void* stream, int size, QZIDEC_READ_FUNC read, QZIDEC_SETPOS_FUNC setpos,
                         QZIDEC_CLEANUP_FUNC cleanup, const char* name) {
  if (h) h->reason[0] = '\0';
  if (!h || size == 0 || h->initialized || !read || !setpos) {
    if (h) set_reason(h, h->initialized ? "the handle is already initialised" : size == 0 ? "the input is empty" : "a required argument is missing");
    return QZIERR_INVALID_ARG;
  }
  const int r = guarded([&] {
    if (name && *name) h->file_name = name;
    h->stream = stream;
    h->read_func = read;
    h->setpos_func = setpos;
    h->cleanup_func = cleanup;
    h->file_size = static_cast<uint32_t>(size);
    raster_init(h);
    h->rd_remain = h->rd_index = h->rd_base = h->rd_pos = 0;
    h->rd_eof = h->eof_mode = h->byte_order = false;
    h->format_description[0] = '\0';
    h->over_max_pixels = false;
    // One image unless a texture module says otherwise.
    for (int k = 0; k < 4; ++k) h->texture_counts[k] = 1;
    h->texture_counts[4] = 0;
    for (uint32_t& fact : h->source_facts) fact = 0;

    const QZIDEC_FORMAT* f = detect(h);
    if (!f) {
      free_format_state(h);
      // A picture refused for its size is not "unsupported": say why it was refused.
      return static_cast<int>(h->over_max_pixels ? QZIERR_NO_MEMORY : QZIERR_UNSUPPORTED);
    }
    h->format = *f;
    if (!h->format_description[0]) set_format_description(h, format_name(f->id));
    if (!h->source_facts[0]) h->source_facts[0] = static_cast<uint32_t>(h->bpp) * 100;
    h->initialized = true;
    return static_cast<int>(QZIERR_SUCCESS);
  });
  if (r == QZIERR_NO_MEMORY && !h->reason[0]) set_reason(h, "out of memory");
  return r;
}

int qziDecoderInitializeFromFile(QZIDECODER h, const char* path) {
  if (!h) return QZIERR_INVALID_ARG;
  h->reason[0] = '\0';
  if (!path || !*path) {
    set_reason(h, "no file name");
    return QZIERR_INVALID_ARG;
  }
  if (h->initialized) {
    set_reason(h, "the handle is already initialised");
    return QZIERR_INVALID_ARG;
  }
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    set_reason(h, "cannot open the file: %s", std::strerror(errno));
    return QZIERR_FILE_OPEN;
  }
  // A directory opens for reading here, but holds no bytes to decode.
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
    std::fclose(f);
    set_reason(h, "cannot open the file: it is a directory");
    return QZIERR_FILE_OPEN;
  }
  long length = -1;
  if (std::fseek(f, 0, SEEK_END) != 0 || (length = std::ftell(f)) == -1 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    set_reason(h, "cannot measure the file (not a regular file?)");
    return QZIERR_FILE_OPEN;
  }
  // A device (/dev/zero, a terminal) seeks to an end of 0 whatever it holds: it is not empty,
  // it has no size to decode by.
  if (!S_ISREG(st.st_mode) && length == 0) {
    std::fclose(f);
    set_reason(h, "not a regular file: a device has no size to read by");
    return QZIERR_INVALID_ARG;
  }
  // The stream's positions are 32-bit; a longer file cannot be addressed.
  if (length > 0x7fffffffL) {
    std::fclose(f);
    set_reason(h, "the file is 2 GiB or larger");
    return QZIERR_CANNOT;
  }
  const int r = qziDecoderInitialize(h, f, static_cast<int>(length), qzisrm_read, qzisrm_setpos, qzisrm_cleanup, path);
  // A handle that took the stream closes it at reset or close, whatever initialisation
  // answered; one that refused the call outright never saw it.
  if (h->stream != f) std::fclose(f);
  return r;
}

int qziDecoderInitializeFromMemory(QZIDECODER h, const void* data, size_t size, const char* name) {
  if (!h) return QZIERR_INVALID_ARG;
  if (!data || size == 0 || h->initialized) {
    set_reason(h, h->initialized ? "the handle is already initialised" : !data ? "a required argument is missing" : "the input is empty");
    return QZIERR_INVALID_ARG;
  }
  // Stream positions and sizes are 32-bit signed, as for files.
  if (size > 0x7fffffffu) {
    set_reason(h, "the input is 2 GiB or larger");
    return QZIERR_CANNOT;
  }
  h->memory.data = static_cast<const uint8_t*>(data);
  h->memory.size = static_cast<uint32_t>(size);
  h->memory.pos = 0;
  return qziDecoderInitialize(h, &h->memory, static_cast<int>(size), memory_read, memory_setpos, nullptr, name);
}

int qziDecoderGetDocInfo(QZIDECODER h, int item, unsigned int* value) {
  if (!h || !h->initialized) return QZIERR_NOT_INITIALIZED;
  const bool known = item >= QZIDEC_INFO_FORMAT && item <= QZIDEC_INFO_HDR;
  if (!known || !value) return QZIERR_INVALID_ARG;
  switch (item) {
    case QZIDEC_INFO_FORMAT: *value = h->format.id; break;
    case QZIDEC_INFO_WIDTH: *value = static_cast<unsigned int>(h->width); break;
    case QZIDEC_INFO_HEIGHT: *value = static_cast<unsigned int>(h->height); break;
    case QZIDEC_INFO_BPP: *value = static_cast<unsigned int>(h->bpp); break;
    case QZIDEC_INFO_ANIME_MODE: *value = static_cast<unsigned int>(h->anime_mode); break;
    case QZIDEC_INFO_ANIME_LOOP: *value = static_cast<unsigned int>(h->anime_loop); break;
    case QZIDEC_INFO_SOURCE_BITS:
    case QZIDEC_INFO_SOURCE_ALPHA:
    case QZIDEC_INFO_COLOR_SPACE:
    case QZIDEC_INFO_PREMULTIPLIED: *value = h->source_facts[item - QZIDEC_INFO_SOURCE_BITS]; break;
    case QZIDEC_INFO_LEVELS:
    case QZIDEC_INFO_FACES:
    case QZIDEC_INFO_LAYERS:
    case QZIDEC_INFO_DEPTH:
    case QZIDEC_INFO_HDR: *value = h->texture_counts[item - QZIDEC_INFO_LEVELS]; break;
    default: *value = 0; break;
  }
  return QZIERR_SUCCESS;
}

const char* qziDecoderGetFormatDescription(QZIDECODER h) {
  if (!h || !h->initialized) return nullptr;
  return h->format_description;
}

int qziResetDecoder(QZIDECODER h) {
  if (!h) return QZIERR_INVALID_ARG;
  const QZIDEC_LAYER_CALLBACK layer_callback = h->layer_callback;
  const uint64_t layer_user = h->layer_user;
  const QZIDEC_PALETTE_CALLBACK palette_callback = h->palette_callback;
  void* const palette_user = h->palette_user;
  const qzimg::PROGRESS_FUNC progress_callback = h->progress.callback;
  const long progress_user = h->progress.user;
  // The work and read buffers survive, so a handle that decodes many pictures keeps them.
  boost::scoped_array<uint8_t> work_buf;
  work_buf.swap(h->work_buf);
  const uint32_t work_size = h->work_size;
  std::unique_ptr<uint8_t[]> rd_buf = std::move(h->rd_buf);

  destroy(h);
  construct(h);

  h->work_buf.swap(work_buf);
  h->work_size = work_size;
  h->rd_buf = std::move(rd_buf);
  h->layer_callback = layer_callback;
  h->layer_user = layer_user;
  h->palette_callback = palette_callback;
  h->palette_user = palette_user;
  qzimg::set_progress(h, progress_callback, progress_user);
  return QZIERR_SUCCESS;
}

int qziCloseDecoder(QZIDECODER h) {
  if (!h) return QZIERR_INVALID_ARG;
  destroy(h);
  qzifree(h);
  return QZIERR_SUCCESS;
}

int qziSetDecoderParam(QZIDECODER h, unsigned int id, long a, long b) {
  if (!h) return QZIERR_INVALID_ARG;
  return guarded([&] {
    if (id == QZIDEC_PARAM_SKIP_EXT) {
      h->skip_ext = a != 0;
      return static_cast<int>(QZIERR_SUCCESS);
    }
    if (id == QZIDEC_PARAM_FORMAT_FILTER) {
      const int* ids = reinterpret_cast<const int*>(a);
      const uint32_t count = static_cast<uint32_t>(b);
      if (ids && count != 0) {
        h->format_filter.assign(ids, ids + count);
      } else {
        h->format_filter.clear();
      }
      return static_cast<int>(QZIERR_SUCCESS);
    }
    if (id == QZIDEC_PARAM_MAX_PIXELS) {
      if (a < 0) return static_cast<int>(QZIERR_INVALID_ARG);
      h->max_pixels = static_cast<uint64_t>(a);
      return static_cast<int>(QZIERR_SUCCESS);
    }
    if (id >= QZIDEC_PARAM_LEVEL && id <= QZIDEC_PARAM_SLICE) {
      if (a < 0 || a > 0x7fffffffL) return static_cast<int>(QZIERR_INVALID_ARG);
      h->texture_choice[id - QZIDEC_PARAM_LEVEL] = a;
      return static_cast<int>(QZIERR_SUCCESS);
    }
    if (id == QZIDEC_PARAM_TONE_MAP) {
      if (a != 0 && a != 1) return static_cast<int>(QZIERR_INVALID_ARG);
      h->tone_map = a == 1;
      return static_cast<int>(QZIERR_SUCCESS);
    }
    if (id == QZIDEC_PARAM_EXPOSURE) {
      if (a < 0 || a > 1000000) return static_cast<int>(QZIERR_INVALID_ARG);
      h->exposure_milli = a;
      return static_cast<int>(QZIERR_SUCCESS);
    }
    if (!h->initialized) return static_cast<int>(QZIERR_UNKNOWN_PARAM);
    return h->format.setparam(h, id, a, b);
  });
}

int qziSetDecoderLayerCallback(QZIDECODER h, QZIDEC_LAYER_CALLBACK callback, void* user) {
  if (!h) return QZIERR_INVALID_ARG;
  h->layer_callback = callback;
  h->layer_user = reinterpret_cast<uintptr_t>(user);
  return QZIERR_SUCCESS;
}

int qziSetDecoderPaletteCallback(QZIDECODER h, QZIDEC_PALETTE_CALLBACK callback, void* user) {
  if (!h) return QZIERR_INVALID_ARG;
  h->palette_callback = callback;
  h->palette_user = user;
  return QZIERR_SUCCESS;
}

int qziSetDecoderProgressCallback(QZIDECODER h, QZIDEC_PROGRESS_CALLBACK callback, long user) {
  if (!h) return QZIERR_INVALID_ARG;
  qzimg::set_progress(h, callback, user);
  return QZIERR_SUCCESS;
}

const char* qziDecoderGetReason(QZIDECODER h) { return h ? h->reason : ""; }

int qziDecoderExecute(QZIDECODER h) {
  if (!h) return QZIERR_INVALID_ARG;
  h->reason[0] = '\0';
  if (!h->initialized) {
    set_reason(h, "the handle is not initialised");
    return QZIERR_NOT_INITIALIZED;
  }
  const int r = execute(h);
  if (r == QZIERR_SUCCESS) {
    h->reason[0] = '\0';
  } else if (!h->reason[0]) {
    // A raise site without its own words: the format and the code's text.
    set_reason(h, "%s: %s", format_name(h->format.id), qziResultText(r));
  }
  return r;
}

}  // extern "C"

namespace {

int execute(QZIDECODER_IMPL* h) {
  // guarded() turns anything that escapes into a code; the inner try blocks handle the
  // progress reports' own refusals, so that a stop at the first report skips the pass.
  return guarded([&] {
    try {
      qzimg::do_progress(h, 0, 1);
    } catch (qzimg::QZIERR) {
      set_reason(h, "stopped by the progress callback");
      return static_cast<int>(QZIERR_ABORTED);
    }
    rdpos_set(h, 0);
    int result = execute_pass(h);
    // The final report follows every pass, failed or not; a callback that stops here turns
    // the result into its code.
    try {
      qzimg::do_progress(h, 1, 1);
    } catch (qzimg::QZIERR code) {
      result = code;
      if (code == QZIERR_ABORTED) set_reason(h, "stopped by the progress callback");
    }
    return result;
  });
}

}  // namespace
