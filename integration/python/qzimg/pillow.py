"""Pillow plugin: ``import qzimg.pillow`` and ``PIL.Image.open`` reads textures.

Registers the containers the library reads and Pillow does not (PVR, KTX, KTX2, .astc, PKM;
each is identified by its magic, and a container the library does not know yet stays
unidentified). For DDS, Pillow's own plugin keeps every file it opens; ours is tried first but
steps aside for those, and serves only the files Pillow refuses (when the library reads them;
otherwise Pillow's refusal stands).

Every picture opens as RGBA, 8 bits (HDR textures through the library's clamp; the float
samples come from ``qzimg.decode(..., dtype="float32")``). Mipmap levels, cube faces and array
layers are frames (``n_frames``, ``seek``), level-major: frame
``(level * layers + layer) * faces + face``. ``im.info`` holds the facts: ``container``,
``description``, ``srgb``, ``hdr``, ``levels``, ``faces``, ``layers`` and the frame's
``level``, ``face`` and ``layer``. A file that ends too early raises OSError("image file is
truncated ...") on load, as Pillow's own plugins do.
"""
import struct

from PIL import DdsImagePlugin, Image, ImageFile

import qzimg

__all__ = ["TextureImageFile"]


class TextureImageFile(ImageFile.ImageFile):
    """A texture opened through qzimg; one class per container below."""

    format = "QZIMG"
    format_description = "texture"
    _close_exclusive_fp_after_loading = False

    def _open(self):
        data = self.fp.read()
        try:
            texture = qzimg.open(data)
        except qzimg.Error as e:
            raise SyntaxError(f"not a {self.format} file the library reads: {e.reason}") from e
        if texture.container != self.format:
            texture.close()
            raise SyntaxError(f"not a {self.format} file")
        self._texture = texture
        self._frames = [(level, face, layer) for level in range(texture.levels) for layer in range(texture.layers)
                        for face in range(texture.faces)]
        self.mode = "RGBA"
        self.info.update(container=texture.container, description=texture.format, srgb=texture.srgb,
                         hdr=texture.hdr, levels=texture.levels, faces=texture.faces, layers=texture.layers)
        self.__frame = -1
        self._loaded = None  # the frame self.im holds
        self.tile = []
        self._seek(0)

    @property
    def n_frames(self):
        return len(self._frames)

    @property
    def is_animated(self):
        return len(self._frames) > 1

    def seek(self, frame):
        if not self._seek_check(frame):
            return
        self._seek(frame)

    def _seek(self, frame):
        level, face, layer = self._frames[frame]
        self.__frame = frame
        self._size = (max(1, self._texture.width >> level), max(1, self._texture.height >> level))
        self.info.update(level=level, face=face, layer=layer)

    def tell(self):
        return self.__frame

    def _decode(self, frame):
        level, face, layer = self._frames[frame]
        try:
            return self._texture.decode(level=level, face=face, layer=layer)
        except qzimg.TruncatedError as e:
            raise OSError(f"image file is truncated ({e.reason})") from e
        except qzimg.Error as e:
            raise OSError(f"cannot decode {self.format} texture: {e.reason} ({e.code})") from e

    def load(self):
        if self.im is None or self._loaded != self.__frame:
            pixels = self._decode(self.__frame)
            height, width = pixels.shape[:2]
            self._size = (width, height)
            # The array's memory becomes the image's without a copy.
            self.im = Image.frombuffer("RGBA", (width, height), pixels, "raw", "RGBA", 0, 1).im
            self._loaded = self.__frame
            self.pyaccess = None
        return Image.Image.load(self)

    def verify(self):
        """Decodes every frame; raises OSError for the first that fails."""
        for frame in range(len(self._frames)):
            self._decode(frame)
        super().verify()

    def _close_texture(self):
        texture = getattr(self, "_texture", None)
        if texture is not None:
            texture.close()

    def close(self):
        self._close_texture()
        super().close()


def _prefix_is(magic):
    return lambda prefix: prefix[:len(magic)] == magic


def _accept_pvr(prefix):
    if prefix[:4] == b"PVR\x03":
        return True
    # Legacy headers start with their own size (44 or 52 bytes); the library checks the rest.
    return len(prefix) >= 4 and struct.unpack_from("<I", prefix)[0] in (44, 52)


class DdsFallbackImageFile(TextureImageFile):
    """DDS files that Pillow's own plugin refuses."""

    format = "DDS"

    def _open(self):
        start = self.fp.tell()
        try:
            DdsImagePlugin.DdsImageFile(self.fp)
        except Exception as e:  # Pillow's refusal: ours may read the file
            refusal = e
        else:
            raise SyntaxError("left to Pillow's DDS plugin")
        self.fp.seek(start)
        try:
            super()._open()
        except SyntaxError:
            raise refusal from None


_CONTAINERS = [
    # id, class format, accept, extensions, description
    ("PVR", "PVR", _accept_pvr, [".pvr"], "PowerVR texture"),
    ("KTX", "KTX", _prefix_is(b"\xabKTX 11\xbb\r\n\x1a\n"), [".ktx"], "KTX texture"),
    ("KTX2", "KTX2", _prefix_is(b"\xabKTX 20\xbb\r\n\x1a\n"), [".ktx2"], "KTX 2 texture"),
    ("ASTC", "ASTC", _prefix_is(b"\x13\xab\xa1\x5c"), [".astc"], "ASTC texture"),
    ("PKM", "PKM", _prefix_is(b"PKM "), [".pkm"], "ETC texture (PKM)"),
]

_DDS_ID = "QZIMG_DDS"


def _register():
    # Pillow's plugins first, so that ours can go before its DDS plugin in the search order.
    Image.init()
    for plugin_id, name, accept, extensions, description in _CONTAINERS:
        cls = type(f"{name}ImageFile", (TextureImageFile,), {"format": name, "format_description": description})
        Image.register_open(plugin_id, cls, accept)
        Image.register_extensions(plugin_id, extensions)
    Image.register_open(_DDS_ID, DdsFallbackImageFile, _prefix_is(b"DDS "))
    Image.ID.remove(_DDS_ID)
    Image.ID.insert(Image.ID.index("DDS") if "DDS" in Image.ID else 0, _DDS_ID)


_register()
