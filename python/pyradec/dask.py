"""Slides as lazy Dask arrays, and one call that runs a function over every
tile of many slides on whatever Dask scheduler is active (a
``dask.distributed`` cluster when a ``Client`` exists).

Nothing here holds an open file across processes: every piece of work carries
the slide's path and opens it (once per process) where it runs.

Example::

    import pyradec.dask
    layer = pyradec.dask.read_level("scan.pyra", 2)   # dask.array (h, w, 3) uint8
    print(layer.mean().compute())
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from typing import Any, Callable, Iterable, Optional, Union

import dask
import dask.array as da
import numpy as np

__all__ = ["read_level", "map_tiles", "open_slide_cached", "tile_grid", "uncached"]

# About 4096 pixels a side: a task decodes up to some 250 tiles of 256 pixels,
# so the scheduler's cost per task (a millisecond or two) stays small beside it.
DEFAULT_CHUNK_PIXELS = 4096

# Slides this process has open, least recently used first. Bounded, so that a
# worker going through a whole archive does not keep every slide open; a slide
# dropped here stays open for as long as a read still holds it.
_SLIDES_KEPT = 64
_slides = OrderedDict()
_slides_lock = threading.Lock()


def _fspath(slide):
    if isinstance(slide, (str, bytes, os.PathLike)):
        return os.path.abspath(os.fsdecode(os.fspath(slide)))
    return os.path.abspath(os.fsdecode(os.fspath(slide.filename)))


_uncached = None


def uncached():
    """A tile cache of capacity 0. Chunks and tiles here are read once each, in
    whole tiles, so decoded tiles are not worth keeping: the slides this module
    and the zarr store open read past the process's shared cache."""
    global _uncached
    if _uncached is None:
        from pyradec import PyraCache
        _uncached = PyraCache(0)
    return _uncached


def open_slide_cached(path):
    """The process's shared PyraSlide for `path`, opened on first use and
    opened again when the file has changed since."""
    from pyradec import PyraSlide  # late, so that the package may import this module
    path = os.path.abspath(path)
    st = os.stat(path)
    stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
    with _slides_lock:
        entry = _slides.get(path)
        if entry is not None and entry[0] == stamp:
            _slides.move_to_end(path)
            return entry[1]
    slide = PyraSlide(path)
    slide.set_cache(uncached())
    with _slides_lock:
        entry = _slides.get(path)
        if entry is not None and entry[0] == stamp:
            return entry[1]
        _slides[path] = (stamp, slide)
        _slides.move_to_end(path)
        while len(_slides) > _SLIDES_KEPT:
            _slides.popitem(last=False)
    return slide


def _level_geometry(slide, level):
    if not 0 <= level < slide.level_count:
        raise ValueError("level %d is outside the slide's %d levels" % (level, slide.level_count))
    width, height = slide.level_dimensions[level]
    props = slide.properties
    tw = int(props["pyradec.level[%d].tile-width" % level])
    th = int(props["pyradec.level[%d].tile-height" % level])
    return int(width), int(height), tw, th


class _LevelArray:
    """Array-like view of one layer for ``da.from_array``: slicing reads the
    rectangle with one native region read. Pickles as (path, level)."""

    def __init__(self, path, level, shape, stamp):
        self.path, self.level, self.shape, self.stamp = path, level, shape, stamp
        self.dtype = np.dtype(np.uint8)
        self.ndim = 3

    def __getstate__(self):
        return (self.path, self.level, self.shape, self.stamp)

    def __setstate__(self, state):
        self.__init__(*state)

    def __dask_tokenize__(self):
        return ("pyradec-level", self.path, self.level, self.shape, self.stamp)

    def __getitem__(self, index):
        ys, xs, cs = (index + (slice(None),) * 3)[:3]
        y0, y1, _ = ys.indices(self.shape[0])
        x0, x1, _ = xs.indices(self.shape[1])
        h, w = max(0, y1 - y0), max(0, x1 - x0)
        if h == 0 or w == 0:
            return np.empty((h, w, 3), np.uint8)[..., cs]
        pixels = open_slide_cached(self.path).read_level_region(self.level, (x0, y0), (w, h))
        return pixels if cs == slice(None) else pixels[..., cs]


def _even_tiles(size, tile):
    """Tiles per chunk along one axis: at most about DEFAULT_CHUNK_PIXELS, and
    spread evenly over the layer so that the last chunk is not a sliver (a
    cluster's workers then finish together)."""
    most = max(1, round(DEFAULT_CHUNK_PIXELS / tile))
    tiles = -(-size // tile)
    pieces = -(-tiles // most)
    return -(-tiles // pieces)


def _default_chunks(width, height, tile_width, tile_height):
    return (_even_tiles(height, tile_height) * tile_height, _even_tiles(width, tile_width) * tile_width, 3)


def read_level(path: Union[str, os.PathLike], level: int, chunks: Any = None) -> da.Array:
    """Layer `level` of the slide at `path` (or of an open PyraSlide) as a lazy
    ``dask.array`` of shape (height, width, 3), dtype uint8, RGB as the library
    decodes it.

    chunks: None (default) for blocks of whole tiles of at most about 4096
    pixels a side (16 x 16 tiles of 256), evened out over the layer so that no
    chunk is a thin edge strip, each read by one native region read; ``"tile"`` for chunk = tile, the zarr
    store's chunking; or an explicit (height, width[, 3]) or any chunk
    specification ``dask.array`` accepts, honoured as given.
    """
    path = _fspath(path)
    slide = open_slide_cached(path)
    width, height, tw, th = _level_geometry(slide, level)
    if chunks is None:
        chunks = _default_chunks(width, height, tw, th)
    elif isinstance(chunks, str):
        if chunks != "tile":
            raise ValueError("chunks must be None, 'tile' or a chunk shape, not %r" % chunks)
        chunks = (th, tw, 3)
    elif isinstance(chunks, (tuple, list)) and len(chunks) == 2:
        chunks = (chunks[0], chunks[1], 3)
    st = os.stat(path)
    array = _LevelArray(path, level, (height, width, 3), (st.st_mtime_ns, st.st_size))
    name = "pyradec-level-" + dask.base.tokenize(array, chunks)
    return da.from_array(array, chunks=chunks, name=name, asarray=False, fancy=False, lock=False,
                         meta=np.empty((0, 0, 0), np.uint8))


def tile_grid(path: Union[str, os.PathLike], level: int = 0) -> tuple:
    """(columns, rows, tile_width, tile_height, width, height) of the layer's
    tiles over its content."""
    slide = open_slide_cached(_fspath(path))
    width, height, tw, th = _level_geometry(slide, level)
    return -(-width // tw), -(-height // th), tw, th, width, height


def _tiles_task(path, level, tiles, func, tile_width, tile_height, width, height):
    slide = open_slide_cached(path)
    records = []
    for col, row in tiles:
        x, y = col * tile_width, row * tile_height
        w, h = min(tile_width, width - x), min(tile_height, height - y)
        pixels = slide.read_level_region(level, (x, y), (w, h))
        result = func(pixels)
        if result is None:
            continue
        record = {"path": path, "level": level, "col": col, "row": row, "x": x, "y": y,
                  "width": w, "height": h}
        if isinstance(result, dict):
            record.update(result)
        else:
            record["value"] = result
        records.append(record)
    return records


def _select(selection, columns, rows):
    """(col, row) pairs of a selection: None for every tile, a boolean mask of
    shape (rows, columns), or an iterable of (col, row)."""
    if selection is None:
        return [(c, r) for r in range(rows) for c in range(columns)]
    if isinstance(selection, np.ndarray) and selection.dtype == bool:
        if selection.shape != (rows, columns):
            raise ValueError("tile mask of shape %s, expected (%d, %d)" % (selection.shape, rows, columns))
        return [(int(c), int(r)) for r, c in zip(*np.nonzero(selection))]
    pairs = sorted({(int(c), int(r)) for c, r in selection}, key=lambda p: (p[1], p[0]))
    for c, r in pairs:
        if not (0 <= c < columns and 0 <= r < rows):
            raise ValueError("tile (%d, %d) is outside the %d x %d grid" % (c, r, columns, rows))
    return pairs


def map_tiles(
    paths: Iterable[Union[str, os.PathLike]], func: Callable, level: int = 0, *, tiles: Optional[Any] = None,
    block: int = 16, as_frame: bool = True, compute: bool = True,
):
    """Applies ``func(pixels)`` to every tile of every slide and gathers a table.

    paths: slide paths (or open PyraSlides). func: called with each tile's
    pixels, an RGB uint8 array (h, w, 3) clipped to the layer's content; it
    returns a dict (its items become columns), any other value (column
    ``value``), or None to leave the tile out. It must be picklable (a module
    level function) to run on a cluster's workers.
    tiles: which tiles: None for every tile of every slide, or a dict path ->
    boolean mask (rows, columns) or iterable of (col, row); slides the dict
    leaves out contribute no tiles.
    block: tiles are handed out in square blocks of block x block tiles, one
    Dask task each, so that scheduling stays cheap beside decoding.

    Runs on the active Dask scheduler (a distributed Client if one exists).
    Returns a pandas DataFrame (``as_frame=False``: a list of dicts) with
    columns path, level, col, row, x, y, width, height and func's results,
    rows ordered by slide as given, then row, then column. With
    ``compute=False`` returns the list of ``dask.delayed`` tasks instead.
    """
    if block < 1:
        raise ValueError("block must be at least 1")
    resolved = [_fspath(p) for p in paths]
    selections = {}
    if tiles is not None:
        selections = {_fspath(k): v for k, v in tiles.items()}
    tasks = []
    for path in resolved:
        columns, rows, tw, th, width, height = tile_grid(path, level)
        chosen = _select(selections.get(path), columns, rows) if (tiles is None or path in selections) else []
        groups = {}
        for col, row in chosen:
            groups.setdefault((row // block, col // block), []).append((col, row))
        for key in sorted(groups):
            token = dask.base.tokenize(path, os.stat(path).st_mtime_ns, level, groups[key], func)
            tasks.append(dask.delayed(_tiles_task, pure=True)(
                path, level, groups[key], func, tw, th, width, height,
                dask_key_name="map_tiles_block-" + token))
    if not compute:
        return tasks
    results = dask.compute(*tasks) if tasks else ()
    order = {p: i for i, p in enumerate(resolved)}
    records = [r for part in results for r in part]
    records.sort(key=lambda r: (order[r["path"]], r["row"], r["col"]))
    if not as_frame:
        return records
    import pandas as pd
    return pd.DataFrame.from_records(records)
