"""Deep Zoom tiles of a slide, with the members and meanings of openslide-python's
``openslide.deepzoom.DeepZoomGenerator``.

The tile arithmetic and the tile pixels (read, composite on white, Lanczos
resize) are the internal C++ layer's, the same code the ``pyra serve`` tile
server runs, so both serve identical tiles.
"""

from __future__ import annotations

import operator
from typing import Tuple

from PIL import Image

from . import PyraSlide, _pyradec

__all__ = ["DeepZoomGenerator"]


class DeepZoomGenerator:
    """Generates Deep Zoom tiles and metadata for a PyraSlide.

    Deep Zoom level 0 is 1 x 1 pixel; each level doubles up to the slide's full
    size (the last level). Tiles are ``tile_size`` pixels plus ``overlap``
    pixels on every side that has a neighbour. ``limit_bounds`` is accepted
    for compatibility: a Pyra slide's bounds are its whole content.
    """

    BOUNDS_OFFSET_PROPS = (_pyradec.PROPERTY_NAME_BOUNDS_X, _pyradec.PROPERTY_NAME_BOUNDS_Y)
    BOUNDS_SIZE_PROPS = (_pyradec.PROPERTY_NAME_BOUNDS_WIDTH, _pyradec.PROPERTY_NAME_BOUNDS_HEIGHT)

    def __init__(self, osr: PyraSlide, tile_size: int = 254, overlap: int = 1, limit_bounds: bool = False):
        if not isinstance(osr, PyraSlide):
            raise TypeError(f"DeepZoomGenerator needs a PyraSlide, got {type(osr).__name__}")
        self._osr = osr
        self._tile_size, self._overlap = operator.index(tile_size), operator.index(overlap)
        self._limit_bounds = bool(limit_bounds)
        self._dz = _pyradec.DeepZoom(osr._native, self._tile_size, self._overlap, self._limit_bounds)
        self._level_tiles = tuple(self._dz.level_tiles)
        self._level_dimensions = tuple(self._dz.level_dimensions)

    def __repr__(self):
        return (f"{type(self).__name__}({self._osr!r}, tile_size={self._tile_size}, "
                f"overlap={self._overlap}, limit_bounds={self._limit_bounds})")

    @property
    def level_count(self) -> int:
        """The number of Deep Zoom levels."""
        return self._dz.level_count

    @property
    def level_tiles(self) -> Tuple[Tuple[int, int], ...]:
        """(columns, rows) of tiles in each Deep Zoom level."""
        return self._level_tiles

    @property
    def level_dimensions(self) -> Tuple[Tuple[int, int], ...]:
        """(width, height) in pixels of each Deep Zoom level."""
        return self._level_dimensions

    @property
    def tile_count(self) -> int:
        """The number of tiles over all levels."""
        return self._dz.tile_count

    def get_dzi(self, format: str) -> str:
        """The Deep Zoom descriptor (XML) with tiles in ``format`` ("jpeg" or "png")."""
        return self._dz.dzi(format)

    def get_tile(self, level: int, address: Tuple[int, int]) -> Image.Image:
        """The tile at ``address`` (col, row) of a Deep Zoom level as an RGB PIL image."""
        col, row = self._address(address)
        return Image.fromarray(self._dz.tile(operator.index(level), col, row), "RGB")

    def get_tile_coordinates(
        self, level: int, address: Tuple[int, int]
    ) -> Tuple[Tuple[int, int], int, Tuple[int, int]]:
        """The read_region arguments of a tile: ((x, y) at level 0, slide level, (width, height))."""
        col, row = self._address(address)
        return self._dz.tile_coordinates(operator.index(level), col, row)

    def get_tile_dimensions(self, level: int, address: Tuple[int, int]) -> Tuple[int, int]:
        """(width, height) of a tile, overlaps included."""
        col, row = self._address(address)
        return self._dz.tile_dimensions(operator.index(level), col, row)

    @staticmethod
    def _address(address):
        try:
            col, row = address
        except (TypeError, ValueError):
            raise ValueError(f"address must be (col, row), got {address!r}") from None
        return operator.index(col), operator.index(row)
