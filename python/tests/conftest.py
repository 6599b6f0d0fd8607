"""Slides for the package's tests, written once per session by the project's
writer (`pyra make`, and pyradec_py_fixture for absent tiles and damage), and
the library's flat interface through ctypes as an independent oracle."""

import ctypes
import os
import shutil
import subprocess

import numpy as np
import pytest
from PIL import Image

PYRA = os.environ.get("PYRADEC_PYRA", "pyra")
FIXTURE = os.environ.get("PYRADEC_FIXTURE", "pyradec_py_fixture")
LIBRARY = os.environ.get("PYRADEC_LIBRARY", "libpyradec.so")


def pattern(width, height, seed=0):
    """Image-like RGB content: gradients, hard edges, texture and colour patches."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    r = 128 + 100 * np.sin(x / 23.0 + seed) * np.cos(y / 31.0)
    g = 255 * (x + y) / max(1, width + height)
    b = np.where(((x // 40) + (y // 40)) % 2 == 0, 60.0, 200.0)
    img = np.stack([r, g, b], axis=-1) + rng.normal(0, 12, (height, width, 3))
    for _ in range(12):
        cx, cy, rad = rng.integers(0, width), rng.integers(0, height), rng.integers(8, 60)
        mask = (x - cx) ** 2 + (y - cy) ** 2 < rad * rad
        img[mask] = rng.integers(0, 256, 3)
    return np.clip(img, 0, 255).astype(np.uint8)


def make_slide(directory, name, width, height, *options, seed=0):
    """A slide made by `pyra make` from a pattern picture of width x height."""
    source = os.path.join(directory, f"{name}.png")
    Image.fromarray(pattern(width, height, seed)).save(source)
    out = os.path.join(directory, f"{name}.pyra")
    subprocess.run([PYRA, "make", source, out, *options], check=True, capture_output=True)
    return out


# name: (width, height, pyra make options). Sizes that are not multiples of the
# tile size leave margins in every level.
SLIDE_KINDS = {
    "jpeg": (700, 600, ["--tile", "128"]),
    "jpeg-colour": (1000, 900, ["--tile", "256", "--colour", "scanner"]),
    "hevc": (600, 500, ["--tile", "128", "--hevc"]),
    "hevc-colour": (520, 400, ["--tile", "128", "--hevc", "--colour",
                               "gamma=2.2,gains=1.1:0.9:1.0,hsv=1:1.2:0.95"]),
}
FIXTURE_KINDS = ["absent-jpeg", "absent-hevc"]
ALL_KINDS = list(SLIDE_KINDS) + FIXTURE_KINDS


@pytest.fixture(scope="session")
def slide_dir(tmp_path_factory):
    directory = str(tmp_path_factory.mktemp("slides"))
    for seed, (name, (w, h, options)) in enumerate(SLIDE_KINDS.items()):
        make_slide(directory, name, w, h, *options, seed=seed)
    subprocess.run([FIXTURE, directory], check=True)
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(scope="session")
def slide_paths(slide_dir):
    return {kind: os.path.join(slide_dir, f"{kind}.pyra") for kind in ALL_KINDS}


@pytest.fixture(params=ALL_KINDS)
def slide_path(request, slide_paths):
    return slide_paths[request.param]


@pytest.fixture(scope="session")
def jpeg_path(slide_paths):
    return slide_paths["jpeg"]


class FlatLibrary:
    """The library's flat interface (GetRoiSliceBgr) through ctypes."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        lib.VtOpenPyra.restype = ctypes.c_void_p
        lib.VtOpenPyra.argtypes = [ctypes.c_char_p]
        lib.VtClosePyra.argtypes = [ctypes.c_void_p]
        lib.GetRoiSliceBgr.restype = ctypes.POINTER(ctypes.c_ubyte)
        lib.GetRoiSliceBgr.argtypes = [ctypes.c_void_p] + [ctypes.c_int] * 5
        lib.Dispose.argtypes = [ctypes.c_void_p]
        self.lib = lib

    def roi_rgb(self, path, level, x, y, w, h):
        """The rectangle as GetRoiSliceBgr gives it, turned to RGB."""
        handle = self.lib.VtOpenPyra(path.encode())
        assert handle, path
        try:
            block = self.lib.GetRoiSliceBgr(handle, level, x, y, w, h)
            assert block, (path, level, x, y, w, h)
            try:
                bgr = np.ctypeslib.as_array(block, shape=(h, w, 3)).copy()
            finally:
                self.lib.Dispose(block)
        finally:
            self.lib.VtClosePyra(handle)
        return bgr[..., ::-1]


@pytest.fixture(scope="session")
def flat():
    return FlatLibrary(LIBRARY)
