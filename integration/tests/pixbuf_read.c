/*
 * Reads images through gdk-pixbuf as an application would, with whatever loaders
 * GDK_PIXBUF_MODULE_FILE lists.
 *   pixbuf_read same FILE REF    FILE read whole and fed in pieces to the pvr loader equals
 *                                REF (8-bit RGBA; 255 where REF has no alpha). The loaders
 *                                file of the tests lists no other loader for textures.
 *   pixbuf_read fails FILE       reading FILE ends in a GError, both ways
 *   pixbuf_read size FILE        prints "FORMAT WIDTH HEIGHT"
 * Exit status 0 when the check holds.
 */
#include <stdio.h>
#include <string.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

static GdkPixbuf* read_whole(const char* path, GError** error) { return gdk_pixbuf_new_from_file(path, error); }

/* The incremental road that viewers and the thumbnailer take, in small uneven pieces. */
static GdkPixbuf* read_in_pieces(const char* path, GError** error) {
  gchar* data = NULL;
  gsize size = 0;
  if (!g_file_get_contents(path, &data, &size, error)) return NULL;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("pvr", error);
  GdkPixbuf* pixbuf = NULL;
  if (loader) {
    gboolean ok = TRUE;
    for (gsize at = 0, piece = 1; ok && at < size; at += piece, piece = piece * 3 + 1) {
      if (piece > size - at) piece = size - at;
      ok = gdk_pixbuf_loader_write(loader, (const guchar*)data + at, piece, error);
    }
    /* Closing is required even after a failed write; its error matters only when writing went well. */
    ok = gdk_pixbuf_loader_close(loader, ok ? error : NULL) && ok;
    if (ok && gdk_pixbuf_loader_get_pixbuf(loader)) pixbuf = g_object_ref(gdk_pixbuf_loader_get_pixbuf(loader));
    g_object_unref(loader);
  }
  g_free(data);
  return pixbuf;
}

static int rgba_at(const GdkPixbuf* p, int x, int y, int c) {
  const guint8* px = gdk_pixbuf_read_pixels(p) + (gsize)y * gdk_pixbuf_get_rowstride(p) +
                     (gsize)x * gdk_pixbuf_get_n_channels(p);
  if (c == 3 && !gdk_pixbuf_get_has_alpha(p)) return 255;
  return px[c];
}

/* Reads path both ways: each must equal the reference or, without one, end in a GError. */
static int check(const char* path, const char* ref_path) {
  GError* error = NULL;
  GdkPixbuf* ref = ref_path ? gdk_pixbuf_new_from_file(ref_path, &error) : NULL;
  if (ref_path && !ref) {
    fprintf(stderr, "%s: %s\n", ref_path, error->message);
    g_error_free(error);
    return 1;
  }
  int status = 0;
  GdkPixbuf* (*const readers[])(const char*, GError**) = {read_whole, read_in_pieces};
  const char* const names[] = {"whole", "in pieces"};
  for (int r = 0; r < 2; ++r) {
    GdkPixbuf* got = readers[r](path, &error);
    if (!ref) {
      if (got || !error) fprintf(stderr, "%s (%s): read without an error\n", path, names[r]), status = 1;
      else printf("%s (%s): %s\n", path, names[r], error->message);
    } else if (!got) {
      fprintf(stderr, "%s (%s): %s\n", path, names[r], error ? error->message : "no picture");
      status = 1;
    } else {
      const int w = gdk_pixbuf_get_width(got), h = gdk_pixbuf_get_height(got);
      if (w != gdk_pixbuf_get_width(ref) || h != gdk_pixbuf_get_height(ref)) {
        fprintf(stderr, "%s (%s): %dx%d, reference %dx%d\n", path, names[r], w, h, gdk_pixbuf_get_width(ref),
                gdk_pixbuf_get_height(ref));
        status = 1;
      } else {
        long differ = 0;
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c)
              if (rgba_at(got, x, y, c) != rgba_at(ref, x, y, c) && differ++ == 0)
                fprintf(stderr, "%s (%s): first difference at %d,%d channel %d: %d, reference %d\n", path, names[r],
                        x, y, c, rgba_at(got, x, y, c), rgba_at(ref, x, y, c));
        if (differ) status = 1;
        else printf("%s (%s): %dx%d equals the reference\n", path, names[r], w, h);
      }
    }
    if (got) g_object_unref(got);
    g_clear_error(&error);
  }
  if (ref) g_object_unref(ref);
  return status;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "same") == 0) return check(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "fails") == 0) return check(argv[2], NULL);
  if (argc == 3 && strcmp(argv[1], "size") == 0) {
    int w = 0, h = 0;
    GdkPixbufFormat* format = gdk_pixbuf_get_file_info(argv[2], &w, &h);
    if (!format) return 1;
    gchar* name = gdk_pixbuf_format_get_name(format);
    printf("%s %d %d\n", name, w, h);
    g_free(name);
    return 0;
  }
  fprintf(stderr, "usage: pixbuf_read same FILE REF | fails FILE | size FILE\n");
  return 2;
}
