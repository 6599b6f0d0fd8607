"""Whole-slide images in the Pyra format, with the slide API the field knows.

``PyraSlide`` has the members and meanings of openslide-python's ``OpenSlide``
(``import pyradec as openslide`` runs code written for it), numpy output
(``read_region(..., as_array=True)``, ``read_level_region``), batched reads on
native threads (``read_regions``) and a decoded-tile cache shared by every
slide of the process (``PyraCache``). Every call that decodes releases the GIL.

    import pyradec
    with pyradec.PyraSlide("scan.pyra") as slide:
        print(slide.level_dimensions)
        patch = slide.read_region((1000, 2000), 0, (512, 512), as_array=True)
"""

from __future__ import annotations

from collections.abc import Mapping
import operator
import os
from types import MappingProxyType
from typing import Optional, Sequence, Tuple, Union

import numpy as np
from PIL import Image

from . import _pyradec
from ._pyradec import (
    PROPERTY_NAME_BACKGROUND_COLOR,
    PROPERTY_NAME_BOUNDS_HEIGHT,
    PROPERTY_NAME_BOUNDS_WIDTH,
    PROPERTY_NAME_BOUNDS_X,
    PROPERTY_NAME_BOUNDS_Y,
    PROPERTY_NAME_MPP_X,
    PROPERTY_NAME_MPP_Y,
    PROPERTY_NAME_OBJECTIVE_POWER,
    PROPERTY_NAME_QUICKHASH1,
    PyraError,
    PyraUnsupportedFormatError,
)

__version__ = _pyradec.__version__
__library_version__ = _pyradec.__version__

__all__ = [
    "PyraSlide", "open_slide", "PyraCache", "PyraError", "PyraUnsupportedFormatError",
    "OpenSlide", "OpenSlideCache", "OpenSlideError", "OpenSlideUnsupportedFormatError",
    "PROPERTY_NAME_MPP_X", "PROPERTY_NAME_MPP_Y", "PROPERTY_NAME_OBJECTIVE_POWER",
    "PROPERTY_NAME_BACKGROUND_COLOR", "PROPERTY_NAME_QUICKHASH1", "PROPERTY_NAME_BOUNDS_X",
    "PROPERTY_NAME_BOUNDS_Y", "PROPERTY_NAME_BOUNDS_WIDTH", "PROPERTY_NAME_BOUNDS_HEIGHT",
]


def _pair(value, what):
    """Two Python ints from a pair of integers (numpy integers included)."""
    try:
        a, b = value
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be a pair of integers, got {value!r}") from None
    a, b = operator.index(a), operator.index(b)
    # Beyond int64 the native layer could not even receive the value.
    for v in (a, b):
        if not -(1 << 62) <= v <= (1 << 62):
            raise ValueError(f"{what} {value!r} is out of range")
    return a, b


def _level(level):
    level = operator.index(level)
    if not -(1 << 31) <= level < (1 << 31):
        raise ValueError(f"no level {level}")
    return level


class PyraCache:
    """A decoded-tile cache bounded in bytes, least recently used tiles out.

    Hand it to slides with ``slide.set_cache(cache)``; slides that share one
    share its capacity. Slides use the process-wide cache (64 MiB) until told
    otherwise; ``PyraCache.shared()`` returns it (its ``capacity`` may be set).
    """

    def __init__(self, capacity_bytes):
        self._native = _pyradec.Cache(operator.index(capacity_bytes))

    @classmethod
    def shared(cls) -> "PyraCache":
        """The process-wide cache every slide starts with."""
        cache = cls.__new__(cls)
        cache._native = _pyradec.Cache.shared()
        return cache

    @property
    def capacity(self) -> int:
        """The bound in bytes; settable."""
        return self._native.capacity

    @capacity.setter
    def capacity(self, capacity_bytes: int) -> None:
        self._native.capacity = operator.index(capacity_bytes)

    @property
    def size(self) -> int:
        """Bytes of decoded tiles held."""
        return self._native.size

    def clear(self) -> None:
        """Drops every tile."""
        self._native.clear()

    def __repr__(self):
        return f"PyraCache({self.capacity})"


class _AssociatedImages(Mapping):
    """name -> RGBA PIL image, read when asked for."""

    def __init__(self, native):
        self._native = native
        self._names = tuple(native.associated_names())

    def __getitem__(self, name):
        if name not in self._names:
            raise KeyError(name)
        return Image.fromarray(self._native.associated(name), "RGB").convert("RGBA")

    def __iter__(self):
        return iter(self._names)

    def __len__(self):
        return len(self._names)

    def __repr__(self):
        return f"<associated images {list(self._names)}>"


class PyraSlide:
    """An open Pyra slide, with the members and meanings of openslide-python's OpenSlide.

    Coordinates: ``read_region`` takes the top-left corner in level-0 pixels and
    the size in pixels of the level read (the level coordinate is
    ``floor(location / level_downsample)``); ``read_level_region`` takes both in
    level pixels. Every call may run from many threads at once; ``close()``
    while another thread reads is safe, and every call after it raises
    ``PyraError``. A slide pickles by its path and opens again when unpickled.

    Raises ``PyraUnsupportedFormatError`` (saying why) when the file is not a
    usable slide.
    """

    def __init__(self, filename):
        self._filename = filename
        self._native = _pyradec.Slide(os.fspath(filename))
        self._levels = tuple(self._native.levels())
        self._properties = None

    @classmethod
    def detect_format(cls, filename: Union[str, os.PathLike]) -> Optional[str]:
        """"pyra" when the file opens as a slide, else None (as the reference's method)."""
        try:
            _pyradec.Slide(os.fspath(filename)).close()
        except PyraError:
            return None
        return "pyra"

    # ---- lifetime ----

    def close(self) -> None:
        """Closes the slide; reads in flight in other threads finish first."""
        self._native.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

    def __reduce__(self):
        return (type(self), (self._filename,))

    def __repr__(self):
        return f"{type(self).__name__}({self._filename!r})"

    def _live(self):
        if self._native.closed:
            raise PyraError(f"{self._native.path}: the slide is closed")

    # ---- geometry ----

    @property
    def filename(self) -> str:
        """The path the slide was opened with, as given."""
        return self._filename

    @property
    def level_count(self) -> int:
        """The number of levels."""
        self._live()
        return len(self._levels)

    @property
    def dimensions(self) -> Tuple[int, int]:
        """(width, height) of level 0."""
        return self.level_dimensions[0]

    @property
    def level_dimensions(self) -> Tuple[Tuple[int, int], ...]:
        """(width, height) of every level's content (the tile grid less its margins)."""
        self._live()
        return tuple((w, h) for w, h, _, _, _ in self._levels)

    @property
    def level_downsamples(self) -> Tuple[float, ...]:
        """Each level's downsample: the mean of the width and height ratios to level 0."""
        self._live()
        return tuple(d for _, _, d, _, _ in self._levels)

    @property
    def level_tile_sizes(self) -> Tuple[Tuple[int, int], ...]:
        """(tile width, tile height) of every level."""
        self._live()
        return tuple((tw, th) for _, _, _, tw, th in self._levels)

    def get_best_level_for_downsample(self, downsample: float) -> int:
        """The largest level whose downsample is at most ``downsample`` (0 below every one)."""
        return self._native.best_level_for_downsample(float(downsample))

    # ---- metadata ----

    @property
    def properties(self) -> Mapping[str, str]:
        """Read-only mapping of property names to strings (see the PROPERTY_NAME_* constants)."""
        self._live()
        if self._properties is None:
            self._properties = MappingProxyType(dict(self._native.properties()))
        return self._properties

    @property
    def associated_images(self) -> Mapping[str, Image.Image]:
        """Mapping of "thumbnail", "label", "macro" (those the slide holds) to RGBA PIL images."""
        self._live()
        return _AssociatedImages(self._native)

    # ---- pixels ----

    def read_region(
        self, location: Tuple[int, int], level: int, size: Tuple[int, int], *, as_array: bool = False
    ) -> Union[Image.Image, np.ndarray]:
        """Reads a rectangle of a level.

        ``location``: (x, y) top-left corner in level-0 pixels; ``size``:
        (width, height) in pixels of ``level``. Returns an RGBA PIL image,
        transparent black where the rectangle lies outside the level; with
        ``as_array=True`` an RGB ``uint8`` numpy array (height, width, 3),
        white outside. Raises ValueError for a size of 0 or less, a level
        outside the slide or a size too large to hold.
        """
        x, y = _pair(location, "location")
        w, h = _pair(size, "size")
        level = _level(level)
        if as_array:
            return self._native.read_region(x, y, level, w, h, False)
        rgba = self._native.read_region(x, y, level, w, h, True)
        return Image.frombuffer("RGBA", (w, h), rgba, "raw", "RGBA", 0, 1)

    def read_level_region(
        self, level: int, location: Tuple[int, int], size: Tuple[int, int], *, out: Optional[np.ndarray] = None
    ) -> np.ndarray:
        """Reads a rectangle in LEVEL pixel coordinates as RGB numpy pixels.

        ``location`` (x, y) and ``size`` (width, height) are both in pixels of
        ``level``; any rectangle is allowed, white outside the level. Returns a
        ``uint8`` array (height, width, 3). ``out``, when given, is filled and
        returned instead: a writable ``uint8`` array of that shape whose rows
        hold packed pixels (C-contiguous, or a row-strided view into a larger
        array). The GIL is released while decoding.
        """
        x, y = _pair(location, "location")
        w, h = _pair(size, "size")
        return self._native.read_level_region(_level(level), x, y, w, h, out)

    def read_regions(
        self, locations: Sequence[Tuple[int, int]], level: int, size: Tuple[int, int], *,
        workers: Optional[int] = None
    ) -> np.ndarray:
        """Reads many rectangles of one size at once on native threads.

        ``locations``: a sequence (or an (n, 2) integer array) of level-0 (x, y)
        corners, as ``read_region`` takes them; ``size`` in pixels of ``level``.
        Returns one ``uint8`` array (n, height, width, 3), RGB, white outside,
        in the order given. ``workers`` threads decode (default: the number of
        processors).
        """
        w, h = _pair(size, "size")
        level = _level(level)
        at = np.asarray(locations)
        if at.size == 0:
            at = np.empty((0, 2), dtype=np.int64)
        if at.ndim != 2 or at.shape[1] != 2:
            raise ValueError("locations must be a sequence of (x, y) pairs")
        if at.dtype.kind not in "iu":
            raise TypeError(f"locations must be integers, got {at.dtype}")
        if at.dtype.kind == "u" and at.size and at.max() > (1 << 62):
            raise ValueError("a location is out of range")
        if workers is None:
            workers = os.cpu_count() or 1
        workers = operator.index(workers)
        if workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers}")
        return self._native.read_regions(at.astype(np.int64, copy=False), level, w, h, min(workers, 1 << 16))

    def get_thumbnail(self, size: Tuple[int, int]) -> Image.Image:
        """An RGB PIL image no larger than ``size``: the best level for the
        downsample, on white, reduced with a Lanczos filter (aspect kept)."""
        self._live()
        tw, th = _pair(size, "size")
        if tw <= 0 or th <= 0:
            raise ValueError(f"thumbnail size must be positive, got {size!r}")
        downsample = max(dim / thumb for dim, thumb in zip(self.dimensions, (tw, th)))
        level = self.get_best_level_for_downsample(downsample)
        w, h = self.level_dimensions[level]
        thumb = Image.fromarray(self._native.read_level_region(level, 0, 0, w, h, None), "RGB")
        thumb.thumbnail((tw, th), Image.LANCZOS)
        return thumb

    def zarr_group(self) -> "zarr.Group":
        """The slide as a read-only zarr group: one array per level, chunk = tile."""
        from . import zarr as _zarr
        return _zarr.open_group(self)

    # ---- cache ----

    def set_cache(self, cache: PyraCache) -> None:
        """Reads of this slide go through ``cache`` (a PyraCache) from now on."""
        if not isinstance(cache, PyraCache):
            raise TypeError("Not a PyraCache object")
        self._native.set_cache(cache._native)


def open_slide(filename: Union[str, os.PathLike]) -> "PyraSlide":
    """Opens a slide (PyraSlide); PyraUnsupportedFormatError says why when it is not one."""
    return PyraSlide(filename)


# The reference's names, the same objects, so that `import pyradec as openslide` works.
OpenSlide = PyraSlide
OpenSlideCache = PyraCache
OpenSlideError = PyraError
OpenSlideUnsupportedFormatError = PyraUnsupportedFormatError


def __getattr__(name):
    """``pyradec.zarr``, ``pyradec.dask`` and ``pyradec.deepzoom`` import on first use,
    so that ``import pyradec`` stays light and needs neither zarr nor Dask."""
    if name in ("zarr", "dask", "deepzoom", "examples"):
        import importlib
        return importlib.import_module("." + name, __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
