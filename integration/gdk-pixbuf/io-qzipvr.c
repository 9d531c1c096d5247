/*
 * gdk-pixbuf loader for GPU textures, built on libqzimgdecoder.
 *
 * Viewers and thumbnailers on GNOME/Xfce desktops read images through gdk-pixbuf; this module
 * gives them PVR textures (version 3 files, and legacy version 2 files recognised by their
 * "PVR!" tag) and the other texture containers: DDS, KTX, KTX2, .astc and PKM. The library decodes from memory only once it has the whole file, so the
 * incremental interface collects the bytes and decodes when the caller stops feeding; the
 * pixels the library returns become the pixbuf's without a copy.
 *
 * Only the texture formats are offered to the library: BMP files stay with gdk-pixbuf's own
 * loader, even if one arrives here under a wrong name.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>

#include "qzimgdecoder.h"

/* The library's own bound on a PVR input; larger inputs are refused while they arrive. */
#define PVR_MAX_INPUT 104857600u
/* Larger declared pictures are refused at initialisation (100 megapixels). */
#define PVR_MAX_PIXELS 100000000L

typedef struct {
  GdkPixbufModuleSizeFunc size_func;
  GdkPixbufModulePreparedFunc prepared_func;
  GdkPixbufModuleUpdatedFunc updated_func;
  gpointer user_data;
  GByteArray* bytes; /* everything fed so far */
} PvrContext;

/* A read-only stream over the collected bytes. */
typedef struct {
  const guint8* data;
  gsize size;
  gsize pos;
} MemStream;

static bool mem_read(void* s, void* buffer, unsigned int size, unsigned int* count) {
  MemStream* m = s;
  gsize n = m->size - m->pos;
  if (n > size) n = size;
  if (n) memcpy(buffer, m->data + m->pos, n);
  m->pos += n;
  *count = (unsigned int)n;
  return true;
}

static bool mem_setpos(void* s, unsigned int position) {
  MemStream* m = s;
  if (position > m->size) return false;
  m->pos = position;
  return true;
}

/* `reason`: the library's words for the refusal ("PVR: PVRTC-II is not supported"), or empty. */
static void set_error(GError** error, int code, const char* reason) {
  GdkPixbufError kind = GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
  if (code == QZIERR_NO_MEMORY) kind = GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY;
  else if (code < QZIERR_UNSUPPORTED || code > QZIERR_READ) kind = GDK_PIXBUF_ERROR_FAILED;
  if (reason && *reason)
    g_set_error(error, GDK_PIXBUF_ERROR, kind, "Texture: %s (%s)", reason, qziResultText(code));
  else
    g_set_error(error, GDK_PIXBUF_ERROR, kind, "Texture: %s", qziResultText(code));
}

static void free_pixels(guchar* pixels, gpointer data) {
  (void)data;
  qziFreeRGBA(pixels);
}

/* The texture formats, and the name that leads the library to each. */
static const int texture_formats[] = {QZIDEC_FORMAT_PVR, QZIDEC_FORMAT_DDS,  QZIDEC_FORMAT_KTX,
                                      QZIDEC_FORMAT_KTX2, QZIDEC_FORMAT_ASTC, QZIDEC_FORMAT_PKM};
static const char* const texture_names[] = {"texture.pvr",  "texture.dds",  "texture.ktx",
                                            "texture.ktx2", "texture.astc", "texture.pkm"};

/*
 * Reads the header through a handle that accepts only the texture formats and refuses
 * pictures above the pixel limit before any pixel memory is taken. Returns the library's code
 * and the index of the format in texture_formats.
 */
static int read_size(const guint8* data, gsize size, unsigned int* width, unsigned int* height, int* which,
                     char* reason, size_t reason_size) {
  QZIDECODER dec = qziCreateDecoder();
  if (!dec) return QZIERR_NO_MEMORY;
  MemStream stream = {data, size, 0};
  int rc = qziSetDecoderParam(dec, QZIDEC_PARAM_FORMAT_FILTER, (long)(intptr_t)texture_formats,
                              (long)(sizeof texture_formats / sizeof texture_formats[0]));
  if (rc == 0) rc = qziSetDecoderParam(dec, QZIDEC_PARAM_MAX_PIXELS, PVR_MAX_PIXELS, 0);
  if (rc == 0) rc = qziDecoderInitialize(dec, &stream, (int)size, mem_read, mem_setpos, NULL, NULL);
  if (rc == 0) rc = qziDecoderGetDocInfo(dec, QZIDEC_INFO_WIDTH, width);
  if (rc == 0) rc = qziDecoderGetDocInfo(dec, QZIDEC_INFO_HEIGHT, height);
  unsigned int id = 0;
  if (rc == 0) rc = qziDecoderGetDocInfo(dec, QZIDEC_INFO_FORMAT, &id);
  *which = 0;
  for (int k = 0; k < (int)(sizeof texture_formats / sizeof texture_formats[0]); ++k) {
    if ((unsigned int)texture_formats[k] == id) *which = k;
  }
  g_strlcpy(reason, qziDecoderGetReason(dec), reason_size);
  qziCloseDecoder(dec);
  return rc;
}

/* Why the decode through the one-call loader failed: the same decode through a handle, which
   keeps the reason. Runs only after a failure. */
static void decode_reason(const guint8* data, gsize size, const char* name, char* reason, size_t reason_size) {
  reason[0] = '\0';
  QZIDECODER dec = qziCreateDecoder();
  if (!dec) return;
  MemStream stream = {data, size, 0};
  if (qziDecoderInitialize(dec, &stream, (int)size, mem_read, mem_setpos, NULL, name) != 0 || qziDecoderExecute(dec) != 0)
    g_strlcpy(reason, qziDecoderGetReason(dec), reason_size);
  qziCloseDecoder(dec);
}

/*
 * Decodes the collected bytes. Returns a new pixbuf; NULL with *error set on failure, and
 * NULL without an error when the size callback asked for no pixels (a size query).
 */
static GdkPixbuf* decode(const guint8* data, gsize size, const PvrContext* ctx, GError** error) {
  if (size == 0 || size > PVR_MAX_INPUT) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                        size ? "Texture: file larger than 100 MiB" : "Texture: empty file");
    return NULL;
  }
  unsigned int width = 0, height = 0;
  int which = 0;
  char reason[160];
  int rc = read_size(data, size, &width, &height, &which, reason, sizeof reason);
  if (rc != 0) {
    set_error(error, rc, reason);
    return NULL;
  }
  if (ctx && ctx->size_func) {
    int w = (int)width, h = (int)height;
    ctx->size_func(&w, &h, ctx->user_data);
    if (w == 0 || h == 0) return NULL;
  }
  /* The extension hint leads the library to the format the header was accepted as. */
  unsigned char* pixels = NULL;
  int w = 0, h = 0;
  rc = qziLoadRGBAFromMemory(data, size, texture_names[which], &pixels, &w, &h);
  if (rc != 0) {
    decode_reason(data, size, texture_names[which], reason, sizeof reason);
    set_error(error, rc, reason);
    return NULL;
  }
  if ((unsigned int)w != width || (unsigned int)h != height) {
    qziFreeRGBA(pixels);
    set_error(error, QZIERR_UNSUPPORTED, "");
    return NULL;
  }
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_data(pixels, GDK_COLORSPACE_RGB, TRUE, 8, w, h, w * 4, free_pixels, NULL);
  if (ctx && ctx->prepared_func) ctx->prepared_func(pixbuf, NULL, ctx->user_data);
  if (ctx && ctx->updated_func) ctx->updated_func(pixbuf, 0, 0, w, h, ctx->user_data);
  return pixbuf;
}

static GdkPixbuf* pvr_load(FILE* f, GError** error) {
  GByteArray* bytes = g_byte_array_new();
  guint8 chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0 && bytes->len <= PVR_MAX_INPUT)
    g_byte_array_append(bytes, chunk, (guint)n);
  GdkPixbuf* pixbuf = NULL;
  if (ferror(f))
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Texture: the file cannot be read");
  else
    pixbuf = decode(bytes->data, bytes->len, NULL, error);
  g_byte_array_unref(bytes);
  return pixbuf;
}

static gpointer pvr_begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                               GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError** error) {
  (void)error;
  PvrContext* ctx = g_new0(PvrContext, 1);
  ctx->size_func = size_func;
  ctx->prepared_func = prepared_func;
  ctx->updated_func = updated_func;
  ctx->user_data = user_data;
  ctx->bytes = g_byte_array_new();
  return ctx;
}

static gboolean pvr_load_increment(gpointer context, const guchar* buf, guint size, GError** error) {
  PvrContext* ctx = context;
  if (size > PVR_MAX_INPUT - ctx->bytes->len) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                        "Texture: file larger than 100 MiB");
    return FALSE;
  }
  g_byte_array_append(ctx->bytes, buf, size);
  return TRUE;
}

static gboolean pvr_stop_load(gpointer context, GError** error) {
  PvrContext* ctx = context;
  GError* local = NULL;
  GdkPixbuf* pixbuf = decode(ctx->bytes->data, ctx->bytes->len, ctx, &local);
  /* The loader holds its own reference from the prepared callback. */
  if (pixbuf) g_object_unref(pixbuf);
  g_byte_array_unref(ctx->bytes);
  g_free(ctx);
  if (local) {
    g_propagate_error(error, local);
    return FALSE;
  }
  return TRUE;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module);
G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info);

void fill_vtable(GdkPixbufModule* module) {
  module->load = pvr_load;
  module->begin_load = pvr_begin_load;
  module->load_increment = pvr_load_increment;
  module->stop_load = pvr_stop_load;
}

void fill_info(GdkPixbufFormat* info) {
  /* PVR version 3 starts with the little-endian word 0x03525650; version 2 carries "PVR!" at
     44. The others by their magic: "DDS " and the header size 124, the KTX identifiers, the
     .astc number 0x5CA1AB13, "PKM ". */
  static GdkPixbufModulePattern signature[] = {
      {"PVR\x03", "    ", 100},
      {"                                            PVR!", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx    ", 100},
      {"DDS |", "     ", 100},
      {"\xABKTX 11\xBB\r\n\x1A\n", "            ", 100},
      {"\xABKTX 20\xBB\r\n\x1A\n", "            ", 100},
      {"\x13\xAB\xA1\x5C", "    ", 100},
      {"PKM ", "    ", 80},
      {NULL, NULL, 0}};
  static gchar* mime_types[] = {"image/x-pvr", "image/x-dds", "image/ktx", "image/ktx2", "image/astc", "image/x-pkm", NULL};
  static gchar* extensions[] = {"pvr", "dds", "ktx", "ktx2", "astc", "pkm", NULL};

  info->name = "pvr";
  info->signature = signature;
  info->description = "GPU texture (PVR, DDS, KTX, KTX2, ASTC, PKM)";
  info->mime_types = mime_types;
  info->extensions = extensions;
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = "MIT";
}
