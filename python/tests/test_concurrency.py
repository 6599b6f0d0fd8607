"""Slides under many threads, close() while other threads read, and slides
handed to multiprocessing workers by pickling."""

import multiprocessing
import threading
import time

import numpy as np
import pytest

import pyradec
from pyradec.deepzoom import DeepZoomGenerator


def random_requests(slide, n, seed):
    rng = np.random.default_rng(seed)
    requests = []
    for _ in range(n):
        level = int(rng.integers(0, slide.level_count))
        w0, h0 = slide.dimensions
        requests.append(((int(rng.integers(-50, w0)), int(rng.integers(-50, h0))), level,
                         (int(rng.integers(1, 300)), int(rng.integers(1, 300)))))
    return requests


@pytest.mark.parametrize("kind", ["jpeg-colour", "hevc-colour"])
def test_eight_threads_equal_serial_reads(slide_paths, kind):
    with pyradec.PyraSlide(slide_paths[kind]) as slide:
        slide.set_cache(pyradec.PyraCache(200_000))  # small: threads evict each other's tiles
        requests = random_requests(slide, 160, seed=11)
        serial = [slide.read_region(*r, as_array=True) for r in requests]
        results = [None] * len(requests)
        errors = []
        start = threading.Barrier(8)

        def worker(t):
            try:
                start.wait()
                for i in range(t, len(requests), 8):
                    if i % 2:
                        results[i] = slide.read_region(*requests[i], as_array=True)
                    else:  # the PIL path as well
                        rgba = np.asarray(slide.read_region(*requests[i]))
                        results[i] = np.where(rgba[..., 3:] == 0, 255, rgba[..., :3]).astype(np.uint8)
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
        for i, (a, b) in enumerate(zip(serial, results)):
            np.testing.assert_array_equal(a, b, err_msg=str(requests[i]))


def test_close_while_other_threads_read(slide_paths):
    for attempt in range(5):
        slide = pyradec.PyraSlide(slide_paths["jpeg-colour"])
        dz = DeepZoomGenerator(slide)
        reads = [0] * 6
        unexpected = []
        started = threading.Barrier(7)

        def reader(t):
            started.wait()
            calls = [
                lambda: slide.read_region((t * 10, 0), 0, (400, 400)),
                lambda: slide.read_region((0, t * 10), 1, (300, 300), as_array=True),
                lambda: slide.read_regions([(0, 0), (200, 200)] * 4, 0, (128, 128), workers=2),
                lambda: slide.read_level_region(0, (5, 5), (256, 256)),
                lambda: dz.get_tile(dz.level_count - 1, (1, 1)),
                lambda: slide.get_thumbnail((64, 64)),
            ]
            while True:
                try:
                    calls[t % len(calls)]()
                    reads[t] += 1
                except pyradec.PyraError as e:
                    if "closed" not in str(e):
                        unexpected.append(e)
                    return
                except Exception as e:  # anything but PyraError is a fault
                    unexpected.append(e)
                    return

        threads = [threading.Thread(target=reader, args=(t,)) for t in range(6)]
        for t in threads:
            t.start()
        started.wait()
        # Let every reader get going, then pull the slide away under them.
        while min(reads) == 0 and not unexpected:
            time.sleep(0.001)
        slide.close()
        for t in threads:
            t.join(timeout=60)
            assert not t.is_alive()
        assert not unexpected, unexpected
        with pytest.raises(pyradec.PyraError):
            dz.get_tile(0, (0, 0))


def read_in_worker(task):
    slide, location = task
    return slide.filename, slide.read_region(location, 0, (64, 64), as_array=True)


def test_slides_pickle_into_a_process_pool(slide_paths):
    slide = pyradec.PyraSlide(slide_paths["hevc"])
    locations = [(0, 0), (100, 50), (-10, 300), (550, 450)]
    expected = [slide.read_region(xy, 0, (64, 64), as_array=True) for xy in locations]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(read_in_worker, [(slide, xy) for xy in locations])
    for (name, got), want in zip(results, expected):
        assert name == slide.filename
        np.testing.assert_array_equal(got, want)
