/*
 * qzimg._qzimg: the Python face of libqzimgdecoder, over its C API.
 *
 * A Texture holds one initialised handle on a file, or on the bytes of a bytes-like object
 * (held through the buffer protocol, so they can neither move nor change while the handle
 * reads them) or of a binary file (read whole first). Decoding runs with the interpreter lock
 * released; a per-object lock keeps one thread at a time on a handle, so separate objects
 * decode in parallel and one object shared between threads decodes in turn.
 *
 * The library's pixel buffer becomes a Pixels object exporting it through the buffer
 * protocol with its shape; NumPy wraps it without a copy and frees it through this object.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <limits.h>
#include <pythread.h>
#include <stdint.h>
#include <string.h>

#include "qzimgdecoder.h"

/* ---- Errors ---------------------------------------------------------------------------- */

static PyObject* Error;
static PyObject* CannotOpenError;
static PyObject* TooLargeError;
static PyObject* UnsupportedError;
static PyObject* DecodeError;
static PyObject* SizeError;
static PyObject* TruncatedError;

static PyObject* error_class(int code) {
  switch (code) {
    case QZIERR_FILE_OPEN: return CannotOpenError;
    case QZIERR_NO_MEMORY: return TooLargeError;
    case QZIERR_UNSUPPORTED: return UnsupportedError;
    case QZIERR_CANNOT: return DecodeError;
    case QZIERR_IMAGE_SIZE: return SizeError;
    case QZIERR_READ: return TruncatedError;
    default: return Error;
  }
}

/* Raises the class of `code` with "NAME: REASON (CODE)", and the code, the reason and the
   code's own words (`text`) as attributes. The reason is the library's for `dec` where it gave
   one, else the code's words. Returns null for the caller to pass on. */
static PyObject* raise_code(int code, PyObject* name, QZIDECODER dec) {
  const char* text = qziResultText(code);
  const char* reason = dec ? qziDecoderGetReason(dec) : NULL;
  if (!reason || !reason[0]) reason = text;
  PyObject* exc = name && name != Py_None ? PyUnicode_FromFormat("%S: %s (%d)", name, reason, code)
                                          : PyUnicode_FromFormat("%s (%d)", reason, code);
  PyObject* obj = exc ? PyObject_CallOneArg(error_class(code), exc) : NULL;
  Py_XDECREF(exc);
  if (!obj) return NULL;
  PyObject* pycode = PyLong_FromLong(code);
  PyObject* pyreason = PyUnicode_FromString(reason);
  PyObject* pytext = PyUnicode_FromString(text);
  if (pycode && pyreason && pytext && PyObject_SetAttrString(obj, "code", pycode) == 0 &&
      PyObject_SetAttrString(obj, "reason", pyreason) == 0 && PyObject_SetAttrString(obj, "text", pytext) == 0) {
    PyErr_SetObject((PyObject*)Py_TYPE(obj), obj);
  }
  Py_XDECREF(pycode);
  Py_XDECREF(pyreason);
  Py_XDECREF(pytext);
  Py_DECREF(obj);
  return NULL;
}

/* ---- Pixels: the library's buffer, exported with its shape ----------------------------- */

typedef struct {
  PyObject_HEAD
  void* data;       /* from qziDecoderExecuteRGBA, freed with the sample type's function */
  int sample;       /* QZIDEC_SAMPLE_* */
  Py_ssize_t shape[3];
  Py_ssize_t strides[3];
} PixelsObject;

static void pixels_dealloc(PixelsObject* self) {
  if (self->sample == QZIDEC_SAMPLE_FLOAT32) {
    qziFreeRGBAF((float*)self->data);
  } else {
    qziFreeRGBA((unsigned char*)self->data);
  }
  Py_TYPE(self)->tp_free((PyObject*)self);
}

static int pixels_getbuffer(PixelsObject* self, Py_buffer* view, int flags) {
  const Py_ssize_t item = self->sample == QZIDEC_SAMPLE_FLOAT32 ? (Py_ssize_t)sizeof(float) : 1;
  view->obj = (PyObject*)self;
  Py_INCREF(self);
  view->buf = self->data;
  view->len = self->shape[0] * self->shape[1] * self->shape[2] * item;
  view->readonly = 0;
  view->itemsize = item;
  view->format = (flags & PyBUF_FORMAT) ? (self->sample == QZIDEC_SAMPLE_FLOAT32 ? "f" : "B") : NULL;
  view->ndim = 3;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? self->shape : NULL;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? self->strides : NULL;
  view->suboffsets = NULL;
  view->internal = NULL;
  return 0;
}

static PyBufferProcs pixels_as_buffer = {(getbufferproc)pixels_getbuffer, NULL};

static PyTypeObject PixelsType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "qzimg._qzimg.Pixels",
    .tp_basicsize = sizeof(PixelsObject),
    .tp_dealloc = (destructor)pixels_dealloc,
    .tp_as_buffer = &pixels_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("Decoded RGBA samples of one picture, exported through the buffer protocol as "
                        "(height, width, 4)."),
};

/* ---- Texture --------------------------------------------------------------------------- */

/* The bytes of a memory source, which the handle reads in place. */
typedef struct {
  const unsigned char* data;
  size_t size;
} MemStream;

typedef struct {
  PyObject_HEAD
  QZIDECODER dec;        /* null once closed */
  PyThread_type_lock lock; /* held by the thread using dec */
  Py_buffer view;        /* the bytes of a memory source; view.obj null for a file */
  MemStream mem;
  PyObject* name;        /* str: the path, the file's name, or None for bytes */
  PyObject* path;        /* bytes: the path of a file source, else null */
  PyObject* hint;        /* bytes: the file name of a file object's bytes, else null */
  long max_pixels;       /* 0: no limit */
  int chosen[4];         /* level, face, layer, slice the handle is initialised on; -1: none */
  unsigned int format_id, width, height;
  unsigned int counts[4]; /* levels, faces, layers, slices in the file */
  int hdr;
  /* The stored form (items 8 to 11): bits per pixel in hundredths, alpha (a BMP's settled by the
     decode of texture_facts), colour space (QZIDEC_COLOR_*), premultiplied. */
  unsigned int source_bits, source_alpha, color_space, premultiplied;
  PyObject* description; /* str */
  int facts_known;       /* palette, frames and a BMP's source_alpha come from a decode */
  int palette, frames;
} TextureObject;

static PyTypeObject TextureType;

/* Takes the object's lock, letting other threads run while it waits. */
static void texture_lock(TextureObject* self) {
  if (!PyThread_acquire_lock(self->lock, NOWAIT_LOCK)) {
    Py_BEGIN_ALLOW_THREADS
    PyThread_acquire_lock(self->lock, WAIT_LOCK);
    Py_END_ALLOW_THREADS
  }
}

static int texture_check_open(TextureObject* self) {
  if (self->dec) return 0;
  PyErr_SetString(PyExc_ValueError, "the texture is closed");
  return -1;
}

static void texture_release(TextureObject* self) {
  if (self->dec) {
    qziCloseDecoder(self->dec);
    self->dec = NULL;
  }
  if (self->view.obj) PyBuffer_Release(&self->view);
}

static void texture_dealloc(TextureObject* self) {
  texture_release(self);
  if (self->lock) PyThread_free_lock(self->lock);
  Py_XDECREF(self->name);
  Py_XDECREF(self->path);
  Py_XDECREF(self->hint);
  Py_XDECREF(self->description);
  Py_TYPE(self)->tp_free((PyObject*)self);
}

/* Takes the whole content of a binary file object as bytes. */
static PyObject* read_file_object(PyObject* file) {
  PyObject* data = PyObject_CallMethod(file, "read", NULL);
  if (!data) return NULL;
  if (!PyObject_CheckBuffer(data)) {
    PyErr_Format(PyExc_TypeError, "read() gave %.100s, not bytes: open the file in binary mode",
                 Py_TYPE(data)->tp_name);
    Py_DECREF(data);
    return NULL;
  }
  return data;
}

static const unsigned int kChoiceParams[4] = {QZIDEC_PARAM_LEVEL, QZIDEC_PARAM_FACE, QZIDEC_PARAM_LAYER,
                                              QZIDEC_PARAM_SLICE};

/* (Re)initialises the handle on the source for one image of the file: the choice acts at
   initialisation, so another choice means a reset and a new initialisation. Runs without
   the interpreter lock, with the object's lock held. */
static int texture_attach(TextureObject* self, const int choice[4]) {
  if (memcmp(self->chosen, choice, sizeof self->chosen) == 0) return QZIERR_SUCCESS;
  self->chosen[0] = -1;
  int rc = qziResetDecoder(self->dec);
  if (rc == QZIERR_SUCCESS && self->max_pixels)
    rc = qziSetDecoderParam(self->dec, QZIDEC_PARAM_MAX_PIXELS, self->max_pixels, 0);
  for (int i = 0; i < 4 && rc == QZIERR_SUCCESS; ++i) {
    if (choice[i] != 0) rc = qziSetDecoderParam(self->dec, kChoiceParams[i], choice[i], 0);
  }
  if (rc != QZIERR_SUCCESS) return rc;
  if (self->path) {
    rc = qziDecoderInitializeFromFile(self->dec, PyBytes_AS_STRING(self->path));
  } else if (self->mem.size == 0) {
    rc = QZIERR_READ;
  } else if (self->mem.size > INT_MAX) {
    rc = QZIERR_CANNOT;
  } else {
    rc = qziDecoderInitializeFromMemory(self->dec, self->mem.data, self->mem.size,
                                        self->hint ? PyBytes_AS_STRING(self->hint) : NULL);
  }
  if (rc == QZIERR_SUCCESS) memcpy(self->chosen, choice, sizeof self->chosen);
  return rc;
}

/* An information item, or `fallback` where the format has no such item. */
static unsigned int doc_info(QZIDECODER dec, int item, unsigned int fallback) {
  unsigned int value = 0;
  return qziDecoderGetDocInfo(dec, item, &value) == QZIERR_SUCCESS ? value : fallback;
}

static PyObject* texture_open(PyObject* module, PyObject* args, PyObject* kwargs) {
  (void)module;
  static char* keywords[] = {"source", "max_pixels", NULL};
  PyObject* source;
  PyObject* max_pixels = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:open", keywords, &source, &max_pixels)) return NULL;
  long limit = 0;
  if (max_pixels != Py_None) {
    limit = PyLong_AsLong(max_pixels);
    if (limit == -1 && PyErr_Occurred()) return NULL;
    if (limit < 0) {
      PyErr_SetString(PyExc_ValueError, "max_pixels must be at least 0 (0: no limit)");
      return NULL;
    }
  }

  TextureObject* self = PyObject_New(TextureObject, &TextureType);
  if (!self) return NULL;
  self->dec = NULL;
  self->lock = NULL;
  memset(&self->view, 0, sizeof self->view);
  self->name = NULL;
  self->path = NULL;
  self->hint = NULL;
  self->max_pixels = limit;
  for (int i = 0; i < 4; ++i) self->chosen[i] = i == 0 ? -1 : 0;
  self->description = NULL;
  self->facts_known = 0;
  self->palette = 0;
  self->frames = 0;
  self->lock = PyThread_allocate_lock();
  self->dec = self->lock ? qziCreateDecoder() : NULL;
  if (!self->dec) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }

  if (PyUnicode_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
    if (!PyUnicode_FSConverter(source, &self->path)) {
      Py_DECREF(self);
      return NULL;
    }
    self->name = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(self->path), PyBytes_GET_SIZE(self->path));
    if (!self->name) {
      Py_DECREF(self);
      return NULL;
    }
  } else {
    PyObject* holder = NULL; /* the bytes of a file object */
    PyObject* hint = NULL;   /* the file name for detection by extension */
    if (!PyObject_CheckBuffer(source) && PyObject_HasAttrString(source, "read")) {
      holder = read_file_object(source);
      if (!holder) {
        Py_DECREF(self);
        return NULL;
      }
      PyObject* fname = PyObject_GetAttrString(source, "name");
      if (fname && PyUnicode_Check(fname)) {
        hint = PyUnicode_EncodeFSDefault(fname);
        self->name = fname;
      } else {
        Py_XDECREF(fname);
      }
      if (!hint) PyErr_Clear();
    }
    if (PyObject_GetBuffer(holder ? holder : source, &self->view, PyBUF_SIMPLE) != 0) {
      Py_XDECREF(holder);
      Py_XDECREF(hint);
      Py_DECREF(self);
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Format(PyExc_TypeError, "open() takes a path, a bytes-like object or a binary file, not %.100s",
                     Py_TYPE(source)->tp_name);
      }
      return NULL;
    }
    Py_XDECREF(holder); /* the view keeps the bytes alive */
    self->mem.data = (const unsigned char*)self->view.buf;
    self->mem.size = (size_t)self->view.len;
    self->hint = hint;
  }
  if (!self->name) {
    self->name = Py_None;
    Py_INCREF(Py_None);
  }
  static const int kFirst[4] = {0, 0, 0, 0};
  int rc;
  Py_BEGIN_ALLOW_THREADS
  rc = texture_attach(self, kFirst);
  Py_END_ALLOW_THREADS
  if (rc != QZIERR_SUCCESS) {
    raise_code(rc, self->name, self->dec);
    Py_DECREF(self);
    return NULL;
  }
  qziDecoderGetDocInfo(self->dec, QZIDEC_INFO_FORMAT, &self->format_id);
  qziDecoderGetDocInfo(self->dec, QZIDEC_INFO_WIDTH, &self->width);
  qziDecoderGetDocInfo(self->dec, QZIDEC_INFO_HEIGHT, &self->height);
  static const int kCountItems[4] = {QZIDEC_INFO_LEVELS, QZIDEC_INFO_FACES, QZIDEC_INFO_LAYERS, QZIDEC_INFO_DEPTH};
  for (int i = 0; i < 4; ++i) self->counts[i] = doc_info(self->dec, kCountItems[i], 1);
  self->hdr = doc_info(self->dec, QZIDEC_INFO_HDR, 0) != 0;
  self->source_bits = doc_info(self->dec, QZIDEC_INFO_SOURCE_BITS, 0);
  self->source_alpha = doc_info(self->dec, QZIDEC_INFO_SOURCE_ALPHA, 0);
  self->color_space = doc_info(self->dec, QZIDEC_INFO_COLOR_SPACE, QZIDEC_COLOR_UNSTATED);
  self->premultiplied = doc_info(self->dec, QZIDEC_INFO_PREMULTIPLIED, 0);
  const char* desc = qziDecoderGetFormatDescription(self->dec);
  self->description = PyUnicode_DecodeUTF8(desc ? desc : "", desc ? (Py_ssize_t)strlen(desc) : 0, "replace");
  if (!self->description) {
    Py_DECREF(self);
    return NULL;
  }
  return (PyObject*)self;
}

/* Turns a dtype argument ("uint8", "float32", numpy.float32, a numpy.dtype) into a sample type. */
static int sample_type(PyObject* dtype) {
  PyObject* name = NULL;
  if (PyUnicode_Check(dtype)) {
    name = dtype;
    Py_INCREF(name);
  } else {
    PyObject* np = PyImport_ImportModule("numpy");
    PyObject* d = np ? PyObject_CallMethod(np, "dtype", "O", dtype) : NULL;
    name = d ? PyObject_GetAttrString(d, "name") : NULL;
    Py_XDECREF(d);
    Py_XDECREF(np);
    if (!name) return -1;
  }
  int sample = -1;
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "uint8") == 0) sample = QZIDEC_SAMPLE_UINT8;
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "float32") == 0) sample = QZIDEC_SAMPLE_FLOAT32;
  if (sample < 0) PyErr_Format(PyExc_ValueError, "dtype must be \"uint8\" or \"float32\", not %R", name);
  Py_DECREF(name);
  return sample;
}

/* The counts a caller may choose from: levels, faces, layers, slices. */
static unsigned int texture_count(TextureObject* self, int which) { return self->counts[which]; }

static const char* const kIndexNames[4] = {"level", "face", "layer", "slice"};

static PyObject* texture_decode(TextureObject* self, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {"level", "face", "layer", "slice", "dtype", NULL};
  int index[4] = {0, 0, 0, 0};
  PyObject* dtype = NULL;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|iiiiO:decode", keywords, &index[0], &index[1], &index[2],
                                   &index[3], &dtype))
    return NULL;
  if (texture_check_open(self) < 0) return NULL;
  const int sample = dtype ? sample_type(dtype) : QZIDEC_SAMPLE_UINT8;
  if (sample < 0) return NULL;
  for (int i = 0; i < 4; ++i) {
    const unsigned int count = texture_count(self, i);
    if (index[i] < 0 || (unsigned int)index[i] >= count) {
      PyErr_Format(PyExc_IndexError, "%s %d out of range: the texture has %u", kIndexNames[i], index[i], count);
      return NULL;
    }
  }
  PyObject* np = PyImport_ImportModule("numpy");
  if (!np) return NULL;

  void* data = NULL;
  int width = 0, height = 0, rc;
  texture_lock(self);
  QZIDECODER dec = self->dec; /* null when another thread closed it meanwhile */
  rc = QZIERR_SUCCESS;
  if (dec) {
    Py_BEGIN_ALLOW_THREADS
    rc = texture_attach(self, index);
    if (rc == QZIERR_SUCCESS) rc = qziDecoderExecuteRGBA(dec, sample, &data, &width, &height, NULL);
    Py_END_ALLOW_THREADS
  }
  PyThread_release_lock(self->lock);
  if (!dec) {
    Py_DECREF(np);
    return texture_check_open(self), NULL;
  }
  if (rc != QZIERR_SUCCESS) {
    Py_DECREF(np);
    return raise_code(rc, self->name, dec);
  }

  PixelsObject* px = PyObject_New(PixelsObject, &PixelsType);
  if (!px) {
    if (sample == QZIDEC_SAMPLE_FLOAT32) {
      qziFreeRGBAF((float*)data);
    } else {
      qziFreeRGBA((unsigned char*)data);
    }
    Py_DECREF(np);
    return NULL;
  }
  const Py_ssize_t item = sample == QZIDEC_SAMPLE_FLOAT32 ? (Py_ssize_t)sizeof(float) : 1;
  px->data = data;
  px->sample = sample;
  px->shape[0] = height;
  px->shape[1] = width;
  px->shape[2] = 4;
  px->strides[2] = item;
  px->strides[1] = 4 * item;
  px->strides[0] = (Py_ssize_t)width * 4 * item;
  PyObject* array = PyObject_CallMethod(np, "asarray", "O", (PyObject*)px);
  Py_DECREF(px);
  Py_DECREF(np);
  return array;
}

/* Records what qzidecode --info reports of the delivered picture, without converting it. */
typedef struct {
  int palette, frames;
} Facts;

static int record_facts(QZIDEC_LAYERINFO* info, int index) {
  (void)index;
  Facts* f = (Facts*)(uintptr_t)info->layer_user;
  if (f->frames++ == 0) f->palette = info->bi && info->bi->bmiHeader.biBitCount == 8;
  return 0;
}

/* Decodes once, for the facts only a decode tells. Returns 0 or -1 with an exception set. */
static int texture_facts(TextureObject* self) {
  if (self->facts_known) return 0;
  if (texture_check_open(self) < 0) return -1;
  Facts f = {0, 0};
  unsigned int alpha = 0;
  int rc;
  texture_lock(self);
  QZIDECODER dec = self->dec;
  rc = QZIERR_SUCCESS;
  if (dec) {
    Py_BEGIN_ALLOW_THREADS
    static const int kFirst[4] = {0, 0, 0, 0};
    rc = texture_attach(self, kFirst);
    qziSetDecoderLayerCallback(dec, record_facts, &f);
    if (rc == QZIERR_SUCCESS) rc = qziDecoderExecute(dec);
    if (rc == QZIERR_SUCCESS) qziDecoderGetDocInfo(dec, QZIDEC_INFO_SOURCE_ALPHA, &alpha);
    qziSetDecoderLayerCallback(dec, NULL, NULL);
    Py_END_ALLOW_THREADS
  }
  PyThread_release_lock(self->lock);
  if (!dec) return texture_check_open(self);
  if (rc != QZIERR_SUCCESS) {
    raise_code(rc, self->name, dec);
    return -1;
  }
  self->palette = f.palette;
  self->source_alpha = alpha;
  self->frames = f.frames;
  self->facts_known = 1;
  return 0;
}

static PyObject* texture_facts_method(TextureObject* self, PyObject* unused) {
  (void)unused;
  if (texture_facts(self) < 0) return NULL;
  return Py_BuildValue("{s:O,s:O,s:i}", "palette", self->palette ? Py_True : Py_False, "alpha",
                       self->source_alpha ? Py_True : Py_False, "frames", self->frames);
}

static PyObject* texture_close(TextureObject* self, PyObject* unused) {
  (void)unused;
  texture_lock(self);
  texture_release(self);
  PyThread_release_lock(self->lock);
  Py_RETURN_NONE;
}

static PyObject* texture_enter(TextureObject* self, PyObject* unused) {
  (void)unused;
  if (texture_check_open(self) < 0) return NULL;
  Py_INCREF(self);
  return (PyObject*)self;
}

static PyObject* texture_exit(TextureObject* self, PyObject* args) {
  (void)args;
  return texture_close(self, NULL);
}

static PyObject* texture_repr(TextureObject* self) {
  return PyUnicode_FromFormat("<qzimg.Texture %R %S %ux%u%s>", self->name, self->description, self->width,
                              self->height, self->dec ? "" : " closed");
}

/* The container's name: the first word of the description ("PVR v3 BC1" -> "PVR"). */
static PyObject* get_container(TextureObject* self, void* closure) {
  (void)closure;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(self->description);
  Py_ssize_t end = PyUnicode_FindChar(self->description, ' ', 0, n, 1);
  if (end == -2) return NULL;
  return PyUnicode_Substring(self->description, 0, end < 0 ? n : end);
}

static PyObject* get_format(TextureObject* self, void* closure) {
  (void)closure;
  Py_INCREF(self->description);
  return self->description;
}

static PyObject* get_uint(TextureObject* self, void* closure) {
  switch ((intptr_t)closure) {
    case 0: return PyLong_FromUnsignedLong(self->width);
    case 1: return PyLong_FromUnsignedLong(self->height);
    case 3: return PyLong_FromUnsignedLong(self->format_id);
    default: return PyLong_FromUnsignedLong(texture_count(self, (int)(intptr_t)closure - 4));
  }
}

static PyObject* get_bits_per_pixel(TextureObject* self, void* closure) {
  (void)closure;
  return PyFloat_FromDouble(self->source_bits / 100.0);
}

/* Textures know from their header; a BMP's alpha is settled by decoding it once. */
static PyObject* get_has_alpha(TextureObject* self, void* closure) {
  (void)closure;
  if (self->format_id == QZIDEC_FORMAT_BMP && texture_facts(self) < 0) return NULL;
  return PyBool_FromLong(self->source_alpha != 0);
}

static PyObject* get_srgb(TextureObject* self, void* closure) {
  (void)closure;
  return PyBool_FromLong(self->color_space == QZIDEC_COLOR_SRGB);
}

static PyObject* get_color_space(TextureObject* self, void* closure) {
  (void)closure;
  return PyUnicode_FromString(self->color_space == QZIDEC_COLOR_SRGB     ? "sRGB"
                              : self->color_space == QZIDEC_COLOR_LINEAR ? "linear"
                                                                         : "unstated");
}

static PyObject* get_premultiplied(TextureObject* self, void* closure) {
  (void)closure;
  return PyBool_FromLong(self->premultiplied != 0);
}

static PyObject* get_hdr(TextureObject* self, void* closure) {
  (void)closure;
  return PyBool_FromLong(self->hdr);
}

static PyObject* get_closed(TextureObject* self, void* closure) {
  (void)closure;
  return PyBool_FromLong(self->dec == NULL);
}

static PyObject* get_name(TextureObject* self, void* closure) {
  (void)closure;
  Py_INCREF(self->name);
  return self->name;
}

static PyGetSetDef texture_getset[] = {
    {"container", (getter)get_container, NULL, PyDoc_STR("The container's name: \"BMP\", \"PVR\", ..."), NULL},
    {"format", (getter)get_format, NULL,
     PyDoc_STR("The variant the library accepted, starting with the container (\"PVR v3 ASTC 6x6 sRGB\")."), NULL},
    {"width", (getter)get_uint, NULL, PyDoc_STR("Pixels per row of the top level."), (void*)0},
    {"height", (getter)get_uint, NULL, PyDoc_STR("Rows of the top level."), (void*)1},
    {"bits_per_pixel", (getter)get_bits_per_pixel, NULL,
     PyDoc_STR("Bits per pixel of the stored format, a float: a block's bits over its texels for compressed\n"
               "textures (ETC1 4.0, ASTC 12x12 0.89, to two decimals), else the texel's or pixel's bits\n"
               "(RGB565 16.0; a 5-5-5 BMP 16.0). decode() gives 8-bit or float RGBA whatever it is."),
     NULL},
    {"format_id", (getter)get_uint, NULL, PyDoc_STR("The library's format id (104 BMP, 109 PVR, ...)."), (void*)3},
    {"levels", (getter)get_uint, NULL, PyDoc_STR("Mipmap levels that decode() can choose from."), (void*)4},
    {"faces", (getter)get_uint, NULL, PyDoc_STR("Cube faces that decode() can choose from."), (void*)5},
    {"layers", (getter)get_uint, NULL, PyDoc_STR("Array layers that decode() can choose from."), (void*)6},
    {"slices", (getter)get_uint, NULL, PyDoc_STR("Depth slices that decode() can choose from."), (void*)7},
    {"has_alpha", (getter)get_has_alpha, NULL,
     PyDoc_STR("Whether the stored format carries alpha (ETC1 and RGB565 do not, BC7 and ASTC do). For a BMP:\n"
               "whether the picture has an alpha plane, found by decoding once on first use. decode()\n"
               "always gives an alpha channel, 255 where the source has none."), NULL},
    {"srgb", (getter)get_srgb, NULL,
     PyDoc_STR("Whether the file says its colours are sRGB (color_space == \"sRGB\"; BMP always). Samples\n"
               "are passed as stored, never converted."), NULL},
    {"color_space", (getter)get_color_space, NULL,
     PyDoc_STR("\"sRGB\", \"linear\", or \"unstated\" where the file does not say (legacy DDS, PKM,\n"
               ".astc, PVR versions 1 and 2)."), NULL},
    {"premultiplied", (getter)get_premultiplied, NULL,
     PyDoc_STR("Whether the file says its colours are premultiplied by alpha (passed as stored)."), NULL},
    {"hdr", (getter)get_hdr, NULL, PyDoc_STR("Whether the samples reach beyond 0..1 (HDR or float textures)."), NULL},
    {"closed", (getter)get_closed, NULL, PyDoc_STR("Whether close() was called."), NULL},
    {"name", (getter)get_name, NULL, PyDoc_STR("The path or the file's name; None for bytes."), NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyMethodDef texture_methods[] = {
    {"decode", (PyCFunction)(void (*)(void))texture_decode, METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("decode(level=0, face=0, layer=0, slice=0, dtype=\"uint8\") -> numpy.ndarray\n\n"
               "Decodes one picture into a new array of shape (height, width, 4): red, green, blue, alpha,\n"
               "top row first, alpha opaque where the picture has none. dtype \"uint8\" gives 0..255;\n"
               "\"float32\" gives linear floats, 8-bit samples widened exactly (x / 255), HDR samples\n"
               "unclamped and signed ones in -1..1. The array owns the library's buffer (no copy). Raises qzimg.Error (a subclass\n"
               "for each kind of failure) and IndexError for a level, face, layer or slice out of range.")},
    {"_facts", (PyCFunction)texture_facts_method, METH_NOARGS,
     PyDoc_STR("_facts() -> dict: palette, alpha and frames of the decoded picture, as qzidecode --info.")},
    {"close", (PyCFunction)texture_close, METH_NOARGS,
     PyDoc_STR("close()\n\nReleases the handle and the source; later decode() calls raise ValueError.")},
    {"__enter__", (PyCFunction)texture_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)texture_exit, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject TextureType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "qzimg.Texture",
    .tp_basicsize = sizeof(TextureObject),
    .tp_dealloc = (destructor)texture_dealloc,
    .tp_repr = (reprfunc)texture_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("An opened picture: what its header says, and decode() for its pixels. Made by "
                        "qzimg.open(); a context manager that closes it."),
    .tp_methods = texture_methods,
    .tp_getset = texture_getset,
};

/* ---- Module ---------------------------------------------------------------------------- */

static PyMethodDef module_methods[] = {
    {"open", (PyCFunction)(void (*)(void))texture_open, METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("open(source, *, max_pixels=None) -> Texture\n\n"
               "Reads the header of a BMP/DIB file or a texture. source is a path (str or os.PathLike),\n"
               "a bytes-like object (held, not copied, while the Texture lives) or a binary file (read\n"
               "whole; its name helps detection). max_pixels refuses larger pictures before any pixel\n"
               "memory is taken (qzimg.TooLargeError); set it for input of unknown origin.")},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef qzimg_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "qzimg._qzimg",
    .m_doc = PyDoc_STR("The extension under qzimg: Texture, open() and the error classes."),
    .m_size = -1,
    .m_methods = module_methods,
};

/* Adds an error class named NAME (qzimg.NAME) with `bases`; steals nothing. */
static PyObject* add_error(PyObject* m, const char* name, PyObject* bases, const char* doc) {
  char full[64];
  snprintf(full, sizeof full, "qzimg.%s", name);
  PyObject* cls = PyErr_NewExceptionWithDoc(full, doc, bases, NULL);
  if (!cls) return NULL;
  if (PyModule_AddObjectRef(m, name, cls) < 0) {
    Py_DECREF(cls);
    return NULL;
  }
  return cls;
}

PyMODINIT_FUNC PyInit__qzimg(void) {
  if (PyType_Ready(&PixelsType) < 0 || PyType_Ready(&TextureType) < 0) return NULL;
  PyObject* m = PyModule_Create(&qzimg_module);
  if (!m) return NULL;
  Error = add_error(m, "Error", PyExc_Exception,
                    "A failure the library reports: .code is its result code, .reason its words.");
  if (!Error) goto fail;
  PyObject* open_bases = Py_BuildValue("(OO)", Error, PyExc_OSError);
  CannotOpenError = open_bases ? add_error(m, "CannotOpenError", open_bases, "The file cannot be opened (100).")
                               : NULL;
  Py_XDECREF(open_bases);
  TooLargeError = add_error(m, "TooLargeError", Error,
                            "More pixels than max_pixels allows, or not enough memory for them (101).");
  UnsupportedError = add_error(m, "UnsupportedError", Error, "An unsupported format or invalid data (102).");
  DecodeError = add_error(m, "DecodeError", Error, "The input cannot be positioned or decoded (103).");
  SizeError = add_error(m, "SizeError", Error, "A width or height of 0 or beyond the format's limit (104).");
  TruncatedError = add_error(m, "TruncatedError", Error, "The input cannot be read, or ends too early (105).");
  if (!CannotOpenError || !TooLargeError || !UnsupportedError || !DecodeError || !SizeError || !TruncatedError)
    goto fail;
  if (PyModule_AddObjectRef(m, "Texture", (PyObject*)&TextureType) < 0) goto fail;
  if (PyModule_AddStringConstant(m, "library_version", qziGetVersion()) < 0) goto fail;
  return m;
fail:
  Py_DECREF(m);
  return NULL;
}
