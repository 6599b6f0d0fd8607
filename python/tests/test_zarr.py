"""The zarr view of a slide: metadata, every chunk, reads through zarr itself,
keys outside the grid, refused writes, pickling and concurrent reads."""

import json
import math
import pickle
import random
import threading

import dask.array as da
import numpy as np
import pytest
import zarr

import pyradec
import pyradec.zarr
from pyradec.zarr import PyraStore

from dask_support import drop_tiles, make_slide, tissue_picture, whole_layer_rgb

# name -> (picture size, pyra make options, absent tiles {level: [(col, row)]})
SLIDES = {
    # Margins on both edges, colour correction, absent tiles inside and at the edge.
    "jpeg": ((1000, 700), ["--tile", "256", "--colour", "scanner"], {0: [(1, 1), (3, 2)], 1: [(1, 0)]}),
    # HEVC tiles of 128 with wide bottom margin.
    "hevc": ((600, 520), ["--tile", "128", "--hevc"], {0: [(2, 2)]}),
    # Layer sizes that do not halve evenly: downsamples that are not powers of two.
    "odd": ((777, 333), ["--tile", "64", "--quality", "90"], {}),
}


@pytest.fixture(scope="module", params=sorted(SLIDES))
def slide_case(request, tmp_path_factory):
    name = request.param
    (width, height), options, absent = SLIDES[name]
    folder = tmp_path_factory.mktemp("zarr-" + name)
    path = make_slide(str(folder), name + ".pyra", tissue_picture(width, height, seed=len(name)), *options)
    for level, tiles in absent.items():
        drop_tiles(path, level, tiles)
    return name, path, absent


def level0_location(slide, level, x, y):
    """A level-0 corner whose floor(corner / downsample) is (x, y) on `level`."""
    ds = slide.level_downsamples[level]
    out = []
    for v in (x, y):
        v0 = math.ceil(v * ds)
        while math.floor(v0 / ds) > v:
            v0 -= 1
        while math.floor(v0 / ds) < v:
            v0 += 1
        out.append(v0)
    return tuple(out)


def test_metadata(slide_case):
    _, path, _ = slide_case
    slide = pyradec.PyraSlide(path)
    store = PyraStore(path)
    assert json.loads(store[".zgroup"]) == {"zarr_format": 2}
    attrs = json.loads(store[".zattrs"])
    (ms,) = attrs["multiscales"]
    assert ms["version"] == "0.1"
    assert [d["path"] for d in ms["datasets"]] == [str(n) for n in range(slide.level_count)]
    assert [d["downsample"] for d in ms["datasets"]] == pytest.approx(list(slide.level_downsamples))
    assert attrs["properties"] == dict(slide.properties)

    group = zarr.open_group(store, mode="r")
    assert sorted(group.array_keys(), key=int) == [str(n) for n in range(slide.level_count)]
    assert group.attrs["multiscales"] == attrs["multiscales"]
    for n, (w, h) in enumerate(slide.level_dimensions):
        meta = json.loads(store["%d/.zarray" % n])
        tw = int(slide.properties["pyradec.level[%d].tile-width" % n])
        th = int(slide.properties["pyradec.level[%d].tile-height" % n])
        assert (meta["dtype"], meta["compressor"], meta["fill_value"], meta["zarr_format"]) == ("|u1", None, 255, 2)
        array = group[str(n)]
        assert array.shape == (h, w, 3)
        assert array.chunks == (th, tw, 3)
        assert array.dtype == np.uint8
        assert array.nchunks == math.ceil(h / th) * math.ceil(w / tw)
    assert len(store) == len(list(store)) == 2 + slide.level_count + sum(
        group[k].nchunks for k in group.array_keys())


def test_every_chunk_equals_read_region(slide_case):
    _, path, absent = slide_case
    slide = pyradec.PyraSlide(path)
    store = PyraStore(path)
    for level, (w, h) in enumerate(slide.level_dimensions):
        th, tw = json.loads(store["%d/.zarray" % level])["chunks"][:2]
        for row in range(math.ceil(h / th)):
            for col in range(math.ceil(w / tw)):
                key = "%d/%d.%d.0" % (level, row, col)
                assert key in store
                chunk = np.frombuffer(store[key], np.uint8).reshape(th, tw, 3)
                expected = slide.read_region(level0_location(slide, level, col * tw, row * th), level, (tw, th),
                                             as_array=True)
                np.testing.assert_array_equal(chunk, expected, err_msg=key)
                # Past the content the chunk is padded white, as zarr expects full edge chunks.
                assert (chunk[h - row * th:] == 255).all() and (chunk[:, w - col * tw:] == 255).all()
                if (col, row) in absent.get(level, []):
                    assert (chunk == 255).all(), key
                else:
                    assert (chunk != 255).any(), key  # real content, so the test sees pixels


def test_zarr_reads_equal_the_whole_layer_decode(slide_case):
    _, path, _ = slide_case
    slide = pyradec.PyraSlide(path)
    group = pyradec.zarr.open_group(path)
    for level, size in enumerate(slide.level_dimensions):
        expected = whole_layer_rgb(path, level, size)
        np.testing.assert_array_equal(group[str(level)][:], expected)
    # A selection across chunk borders, and the same through dask.
    layer = group["0"]
    expected = whole_layer_rgb(path, 0, slide.dimensions)[37:301, 63:555, 1:]
    np.testing.assert_array_equal(layer[37:301, 63:555, 1:], expected)
    np.testing.assert_array_equal(da.from_zarr(layer)[37:301, 63:555, 1:].compute(), expected)


@pytest.mark.parametrize("key", [
    "0/99.0.0",     # row past the grid
    "0/0.99.0",     # column past the grid
    "0/0.0.1",      # a channel chunk that does not exist
    "9/0.0.0",      # no such level
    "0/0.0",        # two-dimensional key
    "0/-1.0.0",
    "0/00.0.0",     # not the canonical spelling
    "0/0/0/0",
    "0/.zattrs",
    "9/.zarray",
    "nothing",
])
def test_keys_outside_the_grid_are_key_errors(slide_case, key):
    store = PyraStore(slide_case[1])
    assert key not in store
    with pytest.raises(KeyError):
        store[key]
    assert store.getitems([key, ".zgroup"]).keys() == {".zgroup"}


def test_last_chunk_is_inside_and_one_past_is_not(slide_case):
    _, path, _ = slide_case
    store = PyraStore(path)
    meta = json.loads(store["0/.zarray"])
    rows, cols = (math.ceil(s / c) for s, c in zip(meta["shape"][:2], meta["chunks"][:2]))
    assert "0/%d.%d.0" % (rows - 1, cols - 1) in store
    assert "0/%d.%d.0" % (rows, cols - 1) not in store
    assert "0/%d.%d.0" % (rows - 1, cols) not in store


def test_writes_are_refused(slide_case):
    store = PyraStore(slide_case[1])
    for write in (lambda: store.__setitem__("0/0.0.0", b"x"), lambda: store.__delitem__(".zgroup"),
                  lambda: store.__setitem__("new", b"x"), store.clear, store.rmdir):
        with pytest.raises(PermissionError):
            write()
    group = zarr.open_group(store, mode="r")
    with pytest.raises(zarr.errors.ReadOnlyError):
        group["0"][0, 0, 0] = 1
    with pytest.raises(PermissionError):
        zarr.open_group(store, mode="w")
    assert store[".zgroup"] == b'{\n  "zarr_format": 2\n}'


def test_store_group_and_slide_pickle_by_path(slide_case):
    _, path, _ = slide_case
    store = PyraStore(path)
    first = store["0/0.0.0"]
    clone = pickle.loads(pickle.dumps(store))
    assert clone == store and clone.path == store.path
    assert clone["0/0.0.0"] == first
    # The pickle holds the path, not pixels or a handle.
    assert len(pickle.dumps(store)) < 1000
    group = pickle.loads(pickle.dumps(zarr.open_group(store, mode="r")))
    assert group["0"][:16, :16].tobytes() == np.frombuffer(first, np.uint8).reshape(
        group["0"].chunks)[:16, :16].tobytes()
    slide = pickle.loads(pickle.dumps(pyradec.PyraSlide(path)))
    np.testing.assert_array_equal(slide.zarr_group()["0"][:40, :40], group["0"][:40, :40])


def test_zarr_group_of_an_open_slide(slide_case):
    _, path, _ = slide_case
    slide = pyradec.PyraSlide(path)
    group = slide.zarr_group()
    assert isinstance(group, zarr.hierarchy.Group) and group.read_only
    assert group.store.slide is slide
    np.testing.assert_array_equal(group["1"][:], whole_layer_rgb(path, 1, slide.level_dimensions[1]))


def test_many_threads_read_chunks_at_once(slide_case):
    _, path, _ = slide_case
    store = PyraStore(path)
    keys = [k for k in store if not k.rsplit("/", 1)[-1].startswith(".")]
    serial = {k: store[k] for k in keys}
    errors, seen = [], {}

    def reader(seed):
        order = keys[:]
        random.Random(seed).shuffle(order)
        try:
            for k in order:
                if store[k] != serial[k]:
                    errors.append(k)
            seen[seed] = True
        except Exception as e:  # pragma: no cover - reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=reader, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(seen) == 8
    # zarr's batched path (getitems, on the store's own threads) gives the same.
    assert store.getitems(keys) == serial


def test_closing_the_store_closes_only_its_own_slide(slide_case):
    _, path, _ = slide_case
    slide = pyradec.PyraSlide(path)
    PyraStore(slide).close()
    assert slide.read_level_region(0, (0, 0), (4, 4)).shape == (4, 4, 3)
    own = PyraStore(path)
    own.close()
    with pytest.raises(pyradec.PyraError):
        own["0/0.0.0"]
