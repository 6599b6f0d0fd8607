"""Tissue detection and stain statistics over a folder of slides, on Dask.

For every slide: find the tissue on a low-resolution layer (pixels that are
both coloured and absorb light: a saturation and an optical-density
threshold), pick the full-resolution tiles that hold tissue, and for each of
them compute stain statistics at full resolution over its tissue pixels
(colour deconvolution into haematoxylin and eosin optical densities). One CSV
row per tile.

    python3 -m pyradec.examples.tissue SLIDES/ --out result.csv
    python3 -m pyradec.examples.tissue SLIDES/ --out result.csv --scheduler tcp://host:8786

Without --scheduler a local cluster of worker processes runs on this machine;
``--scheduler synchronous`` runs everything in this process (for debugging).
On a cluster every worker must be able to import pyradec and read the slides
at the same paths (a shared file system).
"""

import argparse
import functools
import os
import sys

import dask
import numpy as np

from pyradec.dask import map_tiles, open_slide_cached, tile_grid

# Stain vectors (optical density per red, green, blue) for haematoxylin, eosin
# and a residual third stain, rows normalised; their inverse unmixes OD into
# stain amounts.
_STAINS = np.array([[0.65, 0.70, 0.29],
                    [0.07, 0.99, 0.11],
                    [0.27, 0.57, 0.78]])
_STAINS = _STAINS / np.linalg.norm(_STAINS, axis=1, keepdims=True)
_UNMIX = np.linalg.inv(_STAINS)

COLUMNS = ["slide", "col", "row", "x", "y", "width", "height", "tissue_fraction",
           "mean_red", "mean_green", "mean_blue", "optical_density",
           "haematoxylin_mean", "haematoxylin_std", "eosin_mean", "eosin_std"]


# Optical density of each 8-bit value: a lookup replaces a logarithm per pixel.
_OD = -np.log10(np.maximum(np.arange(256, dtype=np.float64), 1.0) / 255.0)


def optical_density(rgb):
    """Per-channel optical density of uint8 RGB pixels (float64)."""
    return _OD[rgb]


def tissue_pixels(rgb, saturation, density):
    """Boolean mask of the pixels that are tissue: saturated and dense enough."""
    top, bottom = rgb.max(axis=-1).astype(np.float32), rgb.min(axis=-1).astype(np.float32)
    sat = (top - bottom) / np.maximum(top, np.float32(1))
    od = optical_density(rgb).sum(axis=-1)
    return (sat > saturation) & (od > 3 * density)


def low_resolution_level(slide, downsample):
    """The level tissue is detected on: the best one for `downsample`."""
    return slide.get_best_level_for_downsample(downsample)


def tissue_tiles(path, downsample=32.0, saturation=0.08, density=0.05, min_tissue=0.01):
    """Boolean (rows, columns) mask of the level-0 tiles whose footprint on
    the low-resolution layer is at least `min_tissue` tissue."""
    slide = open_slide_cached(path)
    level = low_resolution_level(slide, downsample)
    lw, lh = slide.level_dimensions[level]
    mask = tissue_pixels(slide.read_level_region(level, (0, 0), (lw, lh)), saturation, density)
    columns, rows, tw, th, width, height = tile_grid(path, 0)
    # Footprint of each tile on the low layer, in whole low-layer pixels (integer arithmetic).
    xs = [(c * tw * lw // width, max(c * tw * lw // width + 1, -(-min((c + 1) * tw, width) * lw // width)))
          for c in range(columns)]
    ys = [(r * th * lh // height, max(r * th * lh // height + 1, -(-min((r + 1) * th, height) * lh // height)))
          for r in range(rows)]
    # Summed-area table: each footprint's tissue count in four lookups.
    table = np.zeros((lh + 1, lw + 1), np.int64)
    table[1:, 1:] = mask.cumsum(0).cumsum(1)
    chosen = np.zeros((rows, columns), bool)
    for r, (y0, y1) in enumerate(ys):
        y1 = min(y1, lh)
        for c, (x0, x1) in enumerate(xs):
            x1 = min(x1, lw)
            area = (y1 - y0) * (x1 - x0)
            if area <= 0:
                continue
            count = table[y1, x1] - table[y0, x1] - table[y1, x0] + table[y0, x0]
            chosen[r, c] = count > 0 and count >= min_tissue * area
    return chosen


def stain_statistics(rgb, saturation=0.08, density=0.05):
    """Stain statistics of one full-resolution tile over its tissue pixels;
    None when the tile holds no tissue at full resolution."""
    tissue = tissue_pixels(rgb, saturation, density)
    n = int(tissue.sum())
    if n == 0:
        return None
    pixels = rgb[tissue].astype(np.float64)
    od = optical_density(rgb[tissue])
    stains = od @ _UNMIX
    return {
        "tissue_fraction": n / tissue.size,
        "mean_red": pixels[:, 0].mean(),
        "mean_green": pixels[:, 1].mean(),
        "mean_blue": pixels[:, 2].mean(),
        "optical_density": od.mean(),
        "haematoxylin_mean": stains[:, 0].mean(),
        "haematoxylin_std": stains[:, 0].std(),
        "eosin_mean": stains[:, 1].mean(),
        "eosin_std": stains[:, 1].std(),
    }


def find_slides(inputs):
    """The .pyra files of the given folders and files, sorted by path."""
    found = []
    for item in inputs:
        if os.path.isdir(item):
            found += [os.path.join(item, n) for n in os.listdir(item) if n.lower().endswith(".pyra")]
        else:
            found.append(item)
    return sorted(os.path.abspath(p) for p in found)


def analyse(paths, downsample=32.0, saturation=0.08, density=0.05, min_tissue=0.01, block=16):
    """The whole job on the active Dask scheduler; a pandas DataFrame, one
    row per tile with tissue, in slide, row, column order."""
    import pandas as pd
    masks = dask.compute(*[
        dask.delayed(tissue_tiles, pure=True)(p, downsample, saturation, density, min_tissue) for p in paths])
    stats = functools.partial(stain_statistics, saturation=saturation, density=density)
    table = map_tiles(paths, stats, level=0, tiles=dict(zip(paths, masks)), block=block)
    if table.empty:
        return pd.DataFrame(columns=COLUMNS)
    table.insert(0, "slide", [os.path.basename(p) for p in table["path"]])
    return table[COLUMNS]


def write_csv(table, out):
    """Writes the table with fixed float formatting, so that runs compare byte for byte."""
    table.to_csv(out, index=False, float_format="%.6f")


def _parser():
    p = argparse.ArgumentParser(
        prog="python3 -m pyradec.examples.tissue",
        description="Tissue detection and per-tile stain statistics over slides, on Dask.")
    p.add_argument("inputs", nargs="+", metavar="FOLDER", help="folders of .pyra slides, or slide files")
    p.add_argument("--out", required=True, help="the CSV file to write")
    p.add_argument("--scheduler", default=None,
                   help="address of a running Dask scheduler (tcp://host:8786); 'synchronous' for "
                        "this process only; default: a local cluster on this machine")
    p.add_argument("--workers", type=int, default=None, help="worker processes of the local cluster")
    p.add_argument("--downsample", type=float, default=32.0,
                   help="downsample of the layer tissue is found on (default 32)")
    p.add_argument("--saturation", type=float, default=0.08, help="saturation threshold (default 0.08)")
    p.add_argument("--density", type=float, default=0.05, help="mean optical density threshold (default 0.05)")
    p.add_argument("--min-tissue", type=float, default=0.01,
                   help="least tissue fraction of a tile's footprint at low resolution (default 0.01)")
    p.add_argument("--block", type=int, default=16, help="tiles per task along each side (default 16)")
    return p


def main(argv=None):
    args = _parser().parse_args(argv)
    paths = find_slides(args.inputs)
    if not paths:
        print("tissue: no .pyra slides in %s" % " ".join(args.inputs), file=sys.stderr)
        return 1
    job = functools.partial(analyse, paths, args.downsample, args.saturation, args.density,
                            args.min_tissue, args.block)
    if args.scheduler == "synchronous":
        with dask.config.set(scheduler="synchronous"):
            table = job()
    else:
        from distributed import Client, LocalCluster
        if args.scheduler:
            client, cluster = Client(args.scheduler), None
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1 if args.workers else None,
                                   dashboard_address=None)
            client = Client(cluster)
        try:
            with client:
                table = job()
        finally:
            if cluster is not None:
                cluster.close()
    write_csv(table, args.out)
    print("tissue: %d slides, %d tiles with tissue -> %s" % (len(paths), len(table), args.out))
    return 0


if __name__ == "__main__":
    # Run through the package's module, so that workers unpickle its functions by name.
    from pyradec.examples.tissue import main as _main
    sys.exit(_main())
