"""Decoding of BMP/DIB files and GPU textures (PVR, ...) into NumPy arrays.

    >>> import qzimg
    >>> with qzimg.open("wall.pvr") as tex:
    ...     print(tex.format, tex.width, tex.height)
    ...     rgba = tex.decode()                    # (height, width, 4) uint8
    ...     linear = tex.decode(dtype="float32")   # the same, as floats (x / 255 for 8-bit)
    >>> rgba = qzimg.decode(open("wall.pvr", "rb"))

Failures raise qzimg.Error or one of its subclasses, with the library's result code
(``.code``) and reason (``.reason``). ``import qzimg.pillow`` lets Pillow open the textures.
"""
from ._qzimg import (
    CannotOpenError,
    DecodeError,
    Error,
    SizeError,
    Texture,
    TooLargeError,
    TruncatedError,
    UnsupportedError,
    library_version,
    open,
)

__all__ = [
    "CannotOpenError",
    "DecodeError",
    "Error",
    "SizeError",
    "Texture",
    "TooLargeError",
    "TruncatedError",
    "UnsupportedError",
    "decode",
    "open",
]

# The module is built with the library and versioned with it.
__version__ = library_version


def decode(source, *, level=0, face=0, layer=0, slice=0, dtype="uint8", max_pixels=None):
    """decode(source, *, level=0, face=0, layer=0, slice=0, dtype="uint8", max_pixels=None)

    Opens ``source`` (as :func:`open`), decodes one picture (as :meth:`Texture.decode`) and
    closes it again: the array of shape (height, width, 4)."""
    with open(source, max_pixels=max_pixels) as texture:
        return texture.decode(level=level, face=face, layer=layer, slice=slice, dtype=dtype)
