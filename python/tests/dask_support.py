"""Slides for the zarr and Dask tests: tissue-like pictures made with numpy,
turned into slides by `pyra make`, an absent-tile editor, and the library's own
whole-layer decode through ctypes as the independent oracle."""

import ctypes
import os
import shutil
import struct
import subprocess

import numpy as np
from PIL import Image

import pyradec


def find_pyra():
    """The `pyra` tool: $PYRADEC_PYRA, the build tree the package came from, or PATH."""
    if os.environ.get("PYRADEC_PYRA"):
        return os.environ["PYRADEC_PYRA"]
    # build/python/pyradec/__init__.py -> build/pyra
    here = os.path.dirname(os.path.abspath(pyradec.__file__))
    candidate = os.path.join(os.path.dirname(os.path.dirname(here)), "pyra")
    if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
        return candidate
    found = shutil.which("pyra")
    if not found:
        raise RuntimeError("the pyra tool was not found; set PYRADEC_PYRA")
    return found


def tissue_picture(width, height, seed, islands=4):
    """White glass with a few textured pink and purple islands (RGB uint8)."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    picture = np.full((height, width, 3), 244, np.float32)
    picture += rng.normal(0, 1.5, picture.shape)
    stains = np.array([[205, 120, 175], [130, 80, 160], [225, 150, 190]], np.float32)
    for i in range(islands):
        cx, cy = rng.uniform(0.15, 0.85) * width, rng.uniform(0.15, 0.85) * height
        rx, ry = rng.uniform(0.06, 0.18) * width, rng.uniform(0.06, 0.18) * height
        angle = np.arctan2(yy - cy, xx - cx)
        # Ragged outline: the radius wobbles with the angle.
        wobble = 1 + 0.25 * np.sin(3 * angle + i) + 0.1 * np.sin(7 * angle + 2 * i)
        inside = ((xx - cx) / rx) ** 2 + ((yy - cy) / ry) ** 2 < wobble ** 2
        colour = stains[i % len(stains)]
        texture = rng.normal(0, 18, (height, width, 1)) + 20 * np.sin(xx / 9 + i)[..., None]
        picture[inside] = (colour + texture[inside]).astype(np.float32)
    return np.clip(picture, 0, 255).astype(np.uint8)


def make_slide(folder, name, picture, *options):
    """Writes `picture` as a PNG and makes `folder/name` from it with `pyra make`."""
    os.makedirs(folder, exist_ok=True)
    png = os.path.join(folder, name + ".png")
    Image.fromarray(picture).save(png)
    out = os.path.join(folder, name)
    subprocess.run([find_pyra(), "make", png, out, *options], check=True, stdout=subprocess.DEVNULL)
    os.remove(png)
    return out


def _layer_positions(data):
    """File offsets of every layer record, following the record chain."""
    macro_count, has_person, layer_count = struct.unpack_from("<III", data, 30)
    pos = 156
    if macro_count and has_person:
        pos = 7732
        for _ in range(macro_count):
            pos = struct.unpack_from("<Q", data, pos + 43)[0]
    positions = []
    for _ in range(layer_count):
        pos = struct.unpack_from("<Q", data, pos + 30)[0]  # thumbnail, then each layer, point onward
        positions.append(pos)
    return positions


def drop_tiles(path, level, tiles):
    """Rewrites the slide at `path` with tiles (col, row) of `level` stored as
    absent (size 0, no bytes), keeping every other tile where the index finds it."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    positions = _layer_positions(data)
    pos = positions[level]
    count, columns = struct.unpack_from("<Ii", data, pos + 10)
    sizes = list(struct.unpack_from("<%di" % count, data, pos + 122))
    start = pos + 122 + 4 * count
    offsets = np.concatenate([[0], np.cumsum(sizes)]) + start
    end = int(offsets[-1])
    drop = {row * columns + col for col, row in tiles}
    kept = b"".join(bytes(data[offsets[j]:offsets[j + 1]]) for j in range(count) if j not in drop)
    removed = (end - start) - len(kept)
    for j in drop:
        sizes[j] = 0
    struct.pack_into("<%di" % count, data, pos + 122, *sizes)
    data[start:end] = kept
    # Every later record moved back by the bytes removed.
    for later in positions[level:]:
        at = later if later == pos else later - removed
        nxt = struct.unpack_from("<Q", data, at + 30)[0]
        if nxt > pos:
            struct.pack_into("<Q", data, at + 30, nxt - removed)
    with open(path, "wb") as f:
        f.write(data)


def _library():
    """libpyradec: $PYRADEC_LIBRARY, else the one the compiled module loaded
    (dlopen finds a loaded library by its soname)."""
    import pyradec._pyradec  # noqa: F401  loads the library first
    lib = ctypes.CDLL(os.environ.get("PYRADEC_LIBRARY") or "libpyradec.so.1")
    lib.VtOpenPyra.restype = ctypes.c_void_p
    lib.VtOpenPyra.argtypes = [ctypes.c_char_p]
    lib.VtClosePyra.argtypes = [ctypes.c_void_p]
    lib.Dispose.argtypes = [ctypes.c_void_p]
    lib.VtSpecifyLayerJpeg2Rgb.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte)),
                                           ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int), ctypes.c_int]
    return lib


def whole_layer_rgb(path, level, content=None):
    """The library's whole-layer decode as RGB (h, w, 3), cropped to `content`
    (width, height) when given, else the whole tile grid."""
    lib = _library()
    handle = lib.VtOpenPyra(os.fsencode(path))
    assert handle, path
    try:
        pixels = ctypes.POINTER(ctypes.c_ubyte)()
        w, h = ctypes.c_int(), ctypes.c_int()
        status = lib.VtSpecifyLayerJpeg2Rgb(handle, ctypes.byref(pixels), ctypes.byref(w), ctypes.byref(h), level)
        assert status == 0, status
        try:
            bgr = np.ctypeslib.as_array(pixels, shape=(h.value, w.value, 3)).copy()
        finally:
            lib.Dispose(pixels)
    finally:
        lib.VtClosePyra(handle)
    rgb = bgr[..., ::-1]
    if content is not None:
        rgb = rgb[:content[1], :content[0]]
    return np.ascontiguousarray(rgb)
