"""Slides as Dask arrays, map_tiles, and the tissue example on a real local
cluster of worker processes (one of them killed in the middle of a job)."""

import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import pyradec
import pyradec.dask
import pyradec.zarr  # noqa: F401  gives PyraSlide its zarr_group()
from pyradec.dask import map_tiles, read_level
from pyradec.examples import tissue

from dask_support import drop_tiles, make_slide, tissue_picture, whole_layer_rgb

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def slides(tmp_path_factory):
    """Two tissue slides (JPEG with margins and absent tiles, HEVC) and a
    slide of bare glass in one folder, and a long slide whose layer 0 spans
    two default chunks."""
    folder = str(tmp_path_factory.mktemp("dask-slides"))
    jpeg = make_slide(folder, "a-jpeg.pyra", tissue_picture(1800, 1100, seed=7), "--tile", "256",
                      "--colour", "scanner")
    drop_tiles(jpeg, 0, [(3, 2), (6, 4)])
    hevc = make_slide(folder, "b-hevc.pyra", tissue_picture(1300, 900, seed=8), "--tile", "128", "--hevc")
    make_slide(folder, "c-glass.pyra", tissue_picture(500, 400, seed=10, islands=0), "--tile", "128")
    wide_folder = str(tmp_path_factory.mktemp("dask-wide"))
    wide = make_slide(wide_folder, "wide.pyra", tissue_picture(4500, 260, seed=9, islands=6), "--tile", "256")
    return {"folder": folder, "jpeg": jpeg, "hevc": hevc, "wide": wide}


@pytest.mark.parametrize("chunks", [None, "tile", (300, 500), (300, 500, 3)])
@pytest.mark.parametrize("kind", ["jpeg", "hevc", "wide"])
def test_whole_layers_equal_the_library_decode(slides, kind, chunks):
    path = slides[kind]
    slide = pyradec.PyraSlide(path)
    for level in range(slide.level_count):
        array = read_level(path, level, chunks=chunks)
        expected = whole_layer_rgb(path, level, slide.level_dimensions[level])
        assert array.shape == expected.shape and array.dtype == np.uint8
        np.testing.assert_array_equal(array.compute(scheduler="threads"), expected)


def test_chunking(slides):
    wide = read_level(slides["wide"], 0)
    # 18 tiles across: two chunks of 9 tiles (at most 16 of 256 pixels), the last clipped to the content.
    assert wide.chunks == ((260,), (2304, 2196), (3,))
    assert read_level(slides["wide"], 0, chunks="tile").chunks[:2] == ((256, 4), (256,) * 17 + (148,))
    assert read_level(slides["hevc"], 0, chunks=(300, 500)).chunks[:2] == ((300, 300, 300), (500, 500, 300))
    # Tiles of 128: 32 of them make a default chunk side.
    big = read_level(slides["hevc"], 0)
    assert big.chunksize == (900, 1300, 3)
    # Chunks given in full are honoured as given.
    explicit = ((700, 200), (128,) * 10 + (20,), (3,))
    array = read_level(slides["hevc"], 0, chunks=explicit)
    assert array.chunks == explicit
    np.testing.assert_array_equal(array.compute(), whole_layer_rgb(slides["hevc"], 0, (1300, 900)))
    # The same layer twice is the same graph; another layer or chunking is not.
    assert read_level(slides["jpeg"], 1).name == read_level(slides["jpeg"], 1).name
    assert read_level(pyradec.PyraSlide(slides["jpeg"]), 1).name == read_level(slides["jpeg"], 1).name
    assert read_level(slides["jpeg"], 1).name != read_level(slides["jpeg"], 0).name
    assert read_level(slides["jpeg"], 1).name != read_level(slides["jpeg"], 1, chunks="tile").name
    for bad in (-1, 99):
        with pytest.raises(ValueError):
            read_level(slides["jpeg"], bad)
    with pytest.raises(ValueError):
        read_level(slides["jpeg"], 0, chunks="tiles")


def test_each_chunk_is_one_native_read(slides, monkeypatch):
    calls = []
    real = pyradec.dask.open_slide_cached

    class Counting:
        def __init__(self, slide):
            self.slide = slide

        def __getattr__(self, name):
            return getattr(self.slide, name)

        def read_level_region(self, level, location, size, **kw):
            calls.append((level, location, size))
            return self.slide.read_level_region(level, location, size, **kw)

    monkeypatch.setattr(pyradec.dask, "open_slide_cached", lambda p: Counting(real(p)))
    array = read_level(slides["wide"], 0)
    array.sum().compute(scheduler="synchronous")
    assert sorted(calls) == [(0, (0, 0), (2304, 260)), (0, (2304, 0), (2196, 260))]
    calls.clear()
    # A slice reads the chunks it touches, one read each, and no others.
    array[10:20, 2200:2400].compute(scheduler="synchronous")
    assert sorted(calls) == [(0, (0, 0), (2304, 260)), (0, (2304, 0), (2196, 260))]
    calls.clear()
    array[10:20, 3000:3100].compute(scheduler="synchronous")
    assert calls == [(0, (2304, 0), (2196, 260))]


@pytest.mark.parametrize("width, tile, expected", [
    (20000, 256, 4096),   # 79 tiles: 16 a chunk at most
    (10000, 256, 3584),   # 40 tiles: 3 chunks of 14, not 16 + 16 + 8
    (4097, 256, 2304),    # 17 tiles: 9 + 8, not 16 + 1
    (4096, 256, 4096),
    (1000, 256, 1024),    # one chunk, clipped to the layer by Dask
    (20000, 512, 4096),
    (20000, 100, 4000),
])
def test_default_chunks_are_whole_tiles_of_about_4096_pixels(width, tile, expected):
    assert pyradec.dask._default_chunks(width, width, tile, tile) == (expected, expected, 3)


def test_a_changed_file_is_opened_again(tmp_path):
    path = make_slide(str(tmp_path), "c.pyra", tissue_picture(300, 200, seed=1), "--tile", "128")
    before = read_level(path, 0).compute()
    make_slide(str(tmp_path), "c.pyra", tissue_picture(300, 200, seed=2), "--tile", "128")
    after = read_level(path, 0).compute()
    np.testing.assert_array_equal(after, whole_layer_rgb(path, 0, (300, 200)))
    assert (before != after).any()


def tile_mean(pixels):
    return {"mean": float(pixels.mean()), "pixels": int(pixels.shape[0] * pixels.shape[1])}


def skip_white(pixels):
    return None if (pixels == 255).all() else float(pixels.mean())


def test_map_tiles(slides):
    paths = [slides["hevc"], slides["jpeg"]]
    table = map_tiles(paths, tile_mean, level=0, block=3)
    expected = []
    for path in paths:
        width, height = pyradec.PyraSlide(path).dimensions
        layer = whole_layer_rgb(path, 0, (width, height))
        tw = int(pyradec.PyraSlide(path).properties["pyradec.level[0].tile-width"])
        for row in range(-(-height // tw)):
            for col in range(-(-width // tw)):
                tile = layer[row * tw:(row + 1) * tw, col * tw:(col + 1) * tw]
                expected.append((path, col, row, col * tw, row * tw, tile.shape[1], tile.shape[0],
                                 float(tile.mean()), tile.shape[0] * tile.shape[1]))
    got = list(table[["path", "col", "row", "x", "y", "width", "height", "mean", "pixels"]].itertuples(
        index=False, name=None))
    assert got == expected

    # A selection by mask or by list, and tiles the function leaves out.
    mask = np.zeros((5, 8), bool)
    mask[2, 3] = mask[0, 0] = mask[4, 7] = True
    records = map_tiles([slides["jpeg"]], skip_white, tiles={slides["jpeg"]: mask}, as_frame=False)
    assert [(r["col"], r["row"]) for r in records] == [(0, 0), (7, 4)]  # (3, 2) is an absent tile
    assert isinstance(records[0]["value"], float)
    records = map_tiles([slides["jpeg"], slides["hevc"]], tile_mean, level=1,
                        tiles={slides["hevc"]: [(1, 1), (0, 0)]}, as_frame=False)
    assert [(os.path.basename(r["path"]), r["col"], r["row"]) for r in records] == [
        ("b-hevc.pyra", 0, 0), ("b-hevc.pyra", 1, 1)]
    with pytest.raises(ValueError):
        map_tiles([slides["jpeg"]], tile_mean, tiles={slides["jpeg"]: [(8, 0)]})
    with pytest.raises(ValueError):
        map_tiles([slides["jpeg"]], tile_mean, tiles={slides["jpeg"]: np.ones((2, 2), bool)})
    assert map_tiles([], tile_mean).empty


# ---- on a real cluster of local worker processes ----

def package_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(pyradec.__file__)))


def this_folder():
    return os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes, one thread each; they import pyradec from where
    this test does."""
    extra = [package_root(), this_folder()]
    old = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(extra + ([old] if old else []))
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=50) as c:
            yield c
    finally:
        if old is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = old


def run_example(folder, out, *options):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([package_root()] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    subprocess.run([sys.executable, "-m", "pyradec.examples.tissue", folder, "--out", out, *options],
                   check=True, env=env, stdout=subprocess.DEVNULL, timeout=300)
    with open(out, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def serial_csv(slides, tmp_path_factory):
    out = str(tmp_path_factory.mktemp("csv") / "serial.csv")
    assert tissue.main([slides["folder"], "--out", out, "--scheduler", "synchronous", "--block", "2"]) == 0
    with open(out, "rb") as f:
        data = f.read()
    lines = data.decode().splitlines()
    assert lines[0].split(",") == tissue.COLUMNS
    names = {line.split(",")[0] for line in lines[1:]}
    assert names == {"a-jpeg.pyra", "b-hevc.pyra"}  # the bare glass has no tissue tile
    # Tissue and glass both present: some tiles were left out, some kept.
    assert 10 < len(lines) - 1 < 8 * 5 + 11 * 8
    return data


def test_read_level_on_the_cluster(cluster, slides):
    with distributed.Client(cluster) as client:
        for kind, level in (("jpeg", 0), ("hevc", 1)):
            slide = pyradec.PyraSlide(slides[kind])
            expected = whole_layer_rgb(slides[kind], level, slide.level_dimensions[level])
            total = client.compute(read_level(slides[kind], level, chunks=(256, 512)).sum(dtype=np.int64)).result()
            assert total == int(expected.sum(dtype=np.int64))


def test_example_on_the_cluster_equals_the_serial_run(cluster, slides, serial_csv, tmp_path):
    out = str(tmp_path / "cluster.csv")
    assert run_example(slides["folder"], out, "--scheduler", cluster.scheduler_address, "--block", "2") == serial_csv


class KillOnce(distributed.WorkerPlugin):
    """Kills its worker process (SIGKILL) when the worker starts its
    `after`-th map_tiles task; once per flag file, across restarts."""

    def __init__(self, flag, after=2):
        self.flag, self.after, self.started = flag, after, 0

    def setup(self, worker):
        self.started = 0

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or "map_tiles_block" not in str(key):
            return
        self.started += 1
        if self.started < self.after:
            return
        try:
            fd = os.open(self.flag, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return
        os.write(fd, str(os.getpid()).encode())
        os.close(fd)
        os.kill(os.getpid(), signal.SIGKILL)


def test_a_worker_killed_during_the_job_gives_the_same_csv(cluster, slides, serial_csv, tmp_path):
    flag = str(tmp_path / "killed")
    with distributed.Client(cluster) as client:
        before = set(client.scheduler_info()["workers"])
        client.register_worker_plugin(KillOnce(flag), name="kill-once")
        try:
            out = str(tmp_path / "killed.csv")
            assert run_example(slides["folder"], out, "--scheduler", cluster.scheduler_address,
                               "--block", "2") == serial_csv
        finally:
            client.unregister_worker_plugin("kill-once")
        # A worker really died, and the nanny brought a new one up.
        assert os.path.exists(flag)
        client.wait_for_workers(2, timeout=60)
        assert set(client.scheduler_info()["workers"]) != before


def test_the_zarr_store_travels_to_workers(cluster, slides):
    import dask.array as da
    slide = pyradec.PyraSlide(slides["hevc"])
    expected = whole_layer_rgb(slides["hevc"], 0, slide.dimensions)
    with distributed.Client(cluster) as client:
        mean = client.compute(da.from_zarr(slide.zarr_group()["0"]).mean(axis=(0, 1))).result()
    np.testing.assert_allclose(mean, expected.mean(axis=(0, 1)))
