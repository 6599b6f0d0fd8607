"""A slide as a read-only zarr (format 2) group, for ``dask.array.from_zarr``,
napari and every other reader of zarr.

The group holds one array per layer, keys ``"0"``, ``"1"``, ... (highest
resolution first): shape ``(height, width, 3)`` of the layer's content, dtype
``uint8``, chunk = tile ``(tileHeight, tileWidth, 3)``, no compressor, fill
value 255. Chunk ``"L/r.c.0"`` is tile (c, r) of layer L as the library decodes
it (colour-corrected, RGB); where the tile reaches past the content at the right
or bottom edge the chunk is padded with white to the full chunk size, as zarr
stores edge chunks. Absent tiles read white. The group's attributes carry a
``multiscales`` entry (version 0.1) and the slide's properties.

Example::

    import dask.array as da, pyradec
    group = pyradec.PyraSlide("scan.pyra").zarr_group()
    layer = da.from_zarr(group["1"])
"""

from __future__ import annotations

import json
import os
import re
import threading
from typing import Union
from concurrent.futures import ThreadPoolExecutor

import zarr
from zarr.storage import BaseStore

__all__ = ["PyraStore", "open_group", "zarr_group"]

_CHUNK_KEY = re.compile(r"^(0|[1-9][0-9]*)/(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.0$")


def _json(obj):
    return json.dumps(obj, indent=2, sort_keys=True).encode("ascii")


_pool = None
_pool_lock = threading.Lock()


def _thread_pool():
    """One pool for every store of the process: reads release the GIL, so a
    thread per core decodes chunks in parallel."""
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(max_workers=os.cpu_count() or 2, thread_name_prefix="pyradec-zarr")
        return _pool


def _open_slide(path):
    from pyradec import PyraSlide  # late, so that the package may import this module
    return PyraSlide(path)


class _LevelGeometry:
    __slots__ = ("width", "height", "tile_width", "tile_height", "columns", "rows")

    def __init__(self, width, height, tile_width, tile_height):
        self.width, self.height = int(width), int(height)
        self.tile_width, self.tile_height = int(tile_width), int(tile_height)
        # The chunk grid covers the content, not the file's tile grid with its margins.
        self.columns = -(-self.width // self.tile_width)
        self.rows = -(-self.height // self.tile_height)


class PyraStore(BaseStore):
    """Read-only zarr v2 store over one slide (a path, or an open PyraSlide).

    Thread-safe: chunks may be read from many threads at once, and each read
    releases the GIL while native code decodes. Pickles by path and opens the
    slide again on the other side, so it travels to Dask workers. Any write or
    delete raises ``PermissionError``.
    """

    _readable = True
    _writeable = False
    _erasable = False
    _listable = True

    def __init__(self, slide):
        if isinstance(slide, (str, bytes, os.PathLike)):
            self._path = os.path.abspath(os.fsdecode(os.fspath(slide)))
            self._slide = _open_slide(self._path)
            # zarr reads each chunk (a tile) once; zarr.LRUStoreCache keeps them if wanted.
            from pyradec.dask import uncached
            self._slide.set_cache(uncached())
            self._owns_slide = True
        else:
            # Absolute, so that the pickle opens the same file from another directory.
            self._path = os.path.abspath(os.fsdecode(os.fspath(slide.filename)))
            self._slide = slide
            self._owns_slide = False
        self._build_metadata()

    def _build_metadata(self):
        slide = self._slide
        props = dict(slide.properties)
        self._levels = []
        for n, (width, height) in enumerate(slide.level_dimensions):
            tw = int(props["pyradec.level[%d].tile-width" % n])
            th = int(props["pyradec.level[%d].tile-height" % n])
            self._levels.append(_LevelGeometry(width, height, tw, th))
        datasets = [{"path": str(n), "downsample": float(d)} for n, d in enumerate(slide.level_downsamples)]
        attrs = {
            "multiscales": [{
                "version": "0.1",
                "name": os.path.basename(self._path),
                "datasets": datasets,
                "metadata": {"channels": ["red", "green", "blue"], "fill": "white"},
            }],
            "properties": props,
        }
        meta = {".zgroup": _json({"zarr_format": 2}), ".zattrs": _json(attrs)}
        for n, g in enumerate(self._levels):
            meta["%d/.zarray" % n] = _json({
                "zarr_format": 2,
                "shape": [g.height, g.width, 3],
                "chunks": [g.tile_height, g.tile_width, 3],
                "dtype": "|u1",
                "compressor": None,
                "fill_value": 255,
                "filters": None,
                "order": "C",
                "dimension_separator": ".",
            })
        self._meta = meta

    # -- identity and pickling -------------------------------------------------

    @property
    def path(self):
        """The slide file's path."""
        return self._path

    @property
    def slide(self):
        """The PyraSlide the store reads from."""
        return self._slide

    def __getstate__(self):
        return {"path": self._path}

    def __setstate__(self, state):
        self.__init__(state["path"])

    def __repr__(self):
        return "PyraStore(%r)" % self._path

    def __eq__(self, other):
        return isinstance(other, PyraStore) and other._path == self._path

    def __hash__(self):
        return hash(("PyraStore", self._path))

    def close(self) -> None:
        """Closes the slide when the store opened it itself."""
        if self._owns_slide:
            self._slide.close()

    # -- reads -----------------------------------------------------------------

    def _chunk_address(self, key):
        """(level, col, row) of a chunk key, or None when the key names no chunk."""
        m = _CHUNK_KEY.match(key)
        if not m:
            return None
        level, row, col = (int(g) for g in m.groups())
        if level >= len(self._levels):
            return None
        g = self._levels[level]
        if row >= g.rows or col >= g.columns:
            return None
        return level, col, row

    def _read_chunk(self, level, col, row):
        g = self._levels[level]
        # The full chunk: pixels past the content come back white.
        pixels = self._slide.read_level_region(level, (col * g.tile_width, row * g.tile_height),
                                               (g.tile_width, g.tile_height))
        return pixels.tobytes()

    def __getitem__(self, key):
        meta = self._meta.get(key)
        if meta is not None:
            return meta
        address = self._chunk_address(key)
        if address is None:
            raise KeyError(key)
        return self._read_chunk(*address)

    def getitems(self, keys, on_error="omit"):
        """Many chunks at once, decoded on a few native threads; keys that name
        no chunk are left out (zarr then uses the fill value)."""
        found, chunks = {}, []
        for key in keys:
            if key in self._meta:
                found[key] = self._meta[key]
            else:
                address = self._chunk_address(key)
                if address is not None:
                    chunks.append((key, address))
        if len(chunks) == 1:
            key, address = chunks[0]
            found[key] = self._read_chunk(*address)
        elif chunks:
            for (key, _), data in zip(chunks, _thread_pool().map(lambda c: self._read_chunk(*c[1]), chunks)):
                found[key] = data
        return found

    def __contains__(self, key):
        return key in self._meta or self._chunk_address(key) is not None

    def _chunk_keys(self, level):
        g = self._levels[level]
        for row in range(g.rows):
            for col in range(g.columns):
                yield "%d/%d.%d.0" % (level, row, col)

    def __iter__(self):
        yield from self._meta
        for level in range(len(self._levels)):
            yield from self._chunk_keys(level)

    def __len__(self):
        return len(self._meta) + sum(g.rows * g.columns for g in self._levels)

    def keys(self):
        return iter(self)

    def listdir(self, path=""):
        """Names directly under `path`, as zarr lists groups and arrays."""
        path = path.strip("/")
        if path == "":
            return [".zattrs", ".zgroup"] + [str(n) for n in range(len(self._levels))]
        if re.fullmatch(r"0|[1-9][0-9]*", path) and int(path) < len(self._levels):
            level = int(path)
            return [".zarray"] + [k.split("/", 1)[1] for k in self._chunk_keys(level)]
        return []

    def getsize(self, path=""):
        """Bytes under `path` as the chunks lie decoded (nothing is compressed)."""
        path = path.strip("/")
        if path in self._meta:
            return len(self._meta[path])
        levels = range(len(self._levels)) if path == "" else (
            [int(path)] if re.fullmatch(r"0|[1-9][0-9]*", path) and int(path) < len(self._levels) else [])
        total = 0
        for level in levels:
            g = self._levels[level]
            total += g.rows * g.columns * g.tile_width * g.tile_height * 3
        return total

    # -- writes are refused ----------------------------------------------------

    def __setitem__(self, key, value):
        raise PermissionError("PyraStore is read-only: %r cannot be written" % key)

    def __delitem__(self, key):
        raise PermissionError("PyraStore is read-only: %r cannot be deleted" % key)

    def rmdir(self, path=""):
        raise PermissionError("PyraStore is read-only")

    def clear(self):
        raise PermissionError("PyraStore is read-only")


def open_group(slide: Union[str, os.PathLike, "PyraSlide"]) -> zarr.Group:
    """The slide (a path or an open PyraSlide) as an opened, read-only zarr group."""
    return zarr.open_group(PyraStore(slide), mode="r")


def zarr_group(self):
    """The slide as a read-only zarr group: one array per layer, chunk = tile
    (see :mod:`pyradec.zarr`)."""
    return open_group(self)

