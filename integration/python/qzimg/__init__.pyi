from typing import Optional

import numpy

from ._qzimg import (CannotOpenError as CannotOpenError, DecodeError as DecodeError, DType, Error as Error,
                     SizeError as SizeError, Source, Texture as Texture, TooLargeError as TooLargeError,
                     TruncatedError as TruncatedError, UnsupportedError as UnsupportedError, open as open)

__version__: str

def decode(source: Source, *, level: int = 0, face: int = 0, layer: int = 0, slice: int = 0,
           dtype: DType = "uint8", max_pixels: Optional[int] = None) -> numpy.ndarray: ...
