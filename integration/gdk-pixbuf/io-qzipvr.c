/*
 * gdk-pixbuf loader for PVR textures, built on libqzimgdecoder.
 *
 * Viewers and thumbnailers on GNOME/Xfce desktops read images through gdk-pixbuf; this module
 * gives them PVR textures (version 3 files, and legacy version 2 files recognised by their
 * "PVR!" tag). The library decodes from memory only once it has the whole file, so the
 * incremental interface collects the bytes and decodes when the caller stops feeding.
 *
 * Only the PVR format is offered to the library: BMP files stay with gdk-pixbuf's own loader,
 * even if one arrives here under a wrong name.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>

#include "qzimgdecoder.h"

/* The library's own bound on a PVR input; larger inputs are refused while they arrive. */
#define PVR_MAX_INPUT 104857600u
/* Refused at initialisation, before the library takes any pixel memory. */
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

static void set_error(GError** error, int code, const char* stage) {
  GdkPixbufError kind = GDK_PIXBUF_ERROR_FAILED;
  if (code == 101) kind = GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY;
  else if (code == 102 || code == 104 || code == 105) kind = GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
  else if (code == 103) kind = GDK_PIXBUF_ERROR_UNKNOWN_TYPE;
  g_set_error(error, GDK_PIXBUF_ERROR, kind, "PVR texture: %s failed with result code %d", stage, code);
}

/* Copies the delivered picture into the pixbuf: 24-bit rows bottom-up, alpha beside them. */
static int on_layer(QZIDEC_LAYERINFO* info, int index) {
  GdkPixbuf* pixbuf = (GdkPixbuf*)(uintptr_t)info->layer_user;
  const BITMAPINFO* bi = info->bi;
  const BITMAPINFO* bia = info->bia;
  const int w = gdk_pixbuf_get_width(pixbuf), h = gdk_pixbuf_get_height(pixbuf);
  (void)index;
  if (!bi || bi->bmiHeader.biBitCount != 24 || bi->bmiHeader.biWidth != w || bi->bmiHeader.biHeight != h) return 1;
  if (bia && (bia->bmiHeader.biBitCount != 8 || bia->bmiHeader.biWidth != w || bia->bmiHeader.biHeight != h)) return 1;

  const guint8* bits = (const guint8*)bi + bi->bmiHeader.biSize + bi->bmiHeader.biClrUsed * 4u;
  const gsize stride = ((gsize)w * 3 + 3) & ~(gsize)3;
  const guint8* abits = NULL;
  const RGBQUAD* apal = NULL;
  uint32_t acount = 0;
  gsize astride = 0;
  if (bia) {
    acount = bia->bmiHeader.biClrUsed;
    apal = acount ? (const RGBQUAD*)((const guint8*)bia + bia->bmiHeader.biSize) : NULL;
    abits = (const guint8*)bia + bia->bmiHeader.biSize + acount * 4u;
    astride = ((gsize)w + 3) & ~(gsize)3;
  }
  guint8* out = gdk_pixbuf_get_pixels(pixbuf);
  const gsize ostride = (gsize)gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < h; ++y) {
    const guint8* row = bits + (gsize)(h - 1 - y) * stride;
    const guint8* arow = abits ? abits + (gsize)(h - 1 - y) * astride : NULL;
    guint8* o = out + (gsize)y * ostride;
    for (int x = 0; x < w; ++x, o += 4) {
      o[0] = row[3 * x + 2];
      o[1] = row[3 * x + 1];
      o[2] = row[3 * x];
      if (!arow) o[3] = 255;
      else if (apal) o[3] = arow[x] < acount ? apal[arow[x]].rgbRed : 0;
      else o[3] = arow[x];
    }
  }
  return 0;
}

/*
 * Decodes the collected bytes. Returns a new pixbuf; NULL with *error set on failure, and
 * NULL without an error when the size callback asked for no pixels (a size query).
 */
static GdkPixbuf* decode(const guint8* data, gsize size, const PvrContext* ctx, GError** error) {
  static const int pvr_only[] = {QZIDEC_FORMAT_PVR};
  if (size == 0 || size > PVR_MAX_INPUT) {
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                size ? "PVR texture: file larger than 100 MiB" : "PVR texture: empty file");
    return NULL;
  }
  QZIDECODER dec = qziCreateDecoder();
  if (!dec) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "PVR texture: out of memory");
    return NULL;
  }
  MemStream stream = {data, size, 0};
  GdkPixbuf* pixbuf = NULL;
  unsigned int width = 0, height = 0;
  int rc = qziSetDecoderParam(dec, QZIDEC_PARAM_FORMAT_FILTER, (long)(intptr_t)pvr_only, 1);
  if (rc == 0) rc = qziDecoderInitialize(dec, &stream, (int)size, mem_read, mem_setpos, NULL, NULL);
  if (rc == 0) rc = qziDecoderGetDocInfo(dec, QZIDEC_INFO_WIDTH, &width);
  if (rc == 0) rc = qziDecoderGetDocInfo(dec, QZIDEC_INFO_HEIGHT, &height);
  if (rc != 0) {
    set_error(error, rc, "reading the header");
    goto done;
  }
  if ((long)width * (long)height > PVR_MAX_PIXELS) {
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                "PVR texture: %ux%u pixels is more than this loader accepts", width, height);
    goto done;
  }
  if (ctx && ctx->size_func) {
    int w = (int)width, h = (int)height;
    ctx->size_func(&w, &h, ctx->user_data);
    if (w == 0 || h == 0) goto done; /* the caller wanted only the size */
  }
  pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, (int)width, (int)height);
  if (!pixbuf) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                        "PVR texture: not enough memory for the picture");
    goto done;
  }
  if (ctx && ctx->prepared_func) ctx->prepared_func(pixbuf, NULL, ctx->user_data);
  qziSetDecoderLayerCallback(dec, on_layer, pixbuf);
  rc = qziDecoderExecute(dec);
  if (rc != 0) {
    set_error(error, rc, "decoding");
    g_clear_object(&pixbuf);
    goto done;
  }
  if (ctx && ctx->updated_func) ctx->updated_func(pixbuf, 0, 0, (int)width, (int)height, ctx->user_data);
done:
  qziCloseDecoder(dec);
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
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "PVR texture: the file cannot be read");
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
                        "PVR texture: file larger than 100 MiB");
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
  /* Version 3 starts with the little-endian word 0x03525650; version 2 carries "PVR!" at 44. */
  static GdkPixbufModulePattern signature[] = {
      {"PVR\x03", "    ", 100},
      {"                                            PVR!", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx    ", 100},
      {NULL, NULL, 0}};
  static gchar* mime_types[] = {"image/x-pvr", NULL};
  static gchar* extensions[] = {"pvr", NULL};

  info->name = "pvr";
  info->signature = signature;
  info->description = "PVR texture";
  info->mime_types = mime_types;
  info->extensions = extensions;
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = "MIT";
}
