"""Frames that arrive damaged: a band of rows zeroed, or shifted sideways (a transfer that
lost or gained bytes part way through the frame).

Zeroed rows are rows of nothing but zeros in a frame that has signal elsewhere. Shifted
rows are found by the frame's slow structure: every frame of a telescope is smooth from
row to row once averaged over wide groups of columns (vignetting, a sky or panel level, a
bias pedestal), so each group's level is fitted as a quadratic down the frame and rows
whose groups leave the fit together, far beyond the noise, form a band. Stars touch few
groups of a row, so they do not count; a shift of a featureless frame (a bias) changes
nothing that matters and is not seen.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Final

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from ..camera.frames import Frame

__all__ = ["glitch"]

_GROUPS: Final = 64        # groups of columns per row
_CLIP: Final = 3.0         # a cell counts at most this many noise units
_ALIKE: Final = 0.8        # mean product of neighbouring rows' deviations that links them
_LEAST_LINKS: Final = 2    # a band links at least three pairs of rows
_FIT_ROUNDS: Final = 4
_CLIP_APART: Final = 5.0   # a group counts at most this many noise units when a band is compared
_APART: Final = 10.0       # mean square difference (noise units) of a band from each side


def glitch(frame_or_array: Frame | npt.ArrayLike) -> str | None:
    """A short reason ("rows 812-860 shifted", "rows 812-860 zeroed") when the frame looks
    glitched, else None. Takes a Frame or its array (rows, columns[, channels])."""
    data = np.asarray(getattr(frame_or_array, "data", frame_or_array))
    if data.ndim not in (2, 3) or data.shape[0] < 8 or data.shape[1] < 16 or data.dtype.kind not in "uif":
        return None
    return _zeroed(data) or _shifted(data)


def _runs(marked: npt.NDArray[np.bool_], least: int) -> list[tuple[int, int]]:
    """(first, last) of each run of True at least `least` long."""
    edges = np.diff(np.concatenate(([0], marked.astype(np.int8), [0])))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1) - 1
    return [(int(a), int(b)) for a, b in zip(starts, ends) if b - a + 1 >= least]


def _zeroed(data: npt.NDArray[Any]) -> str | None:
    rows = data.reshape(data.shape[0], -1)
    empty: npt.NDArray[np.bool_] = np.asarray(~rows.any(axis=1), dtype=bool)
    if not empty.any() or empty.all():
        return None
    rest = rows[~empty]
    # A frame with signal elsewhere: not a dark of an 8-bit camera at offset 0, mostly zeros anyway.
    if np.count_nonzero(rest[:, ::7]) < 0.5 * rest[:, ::7].size:
        return None
    runs = _runs(empty, 2)
    if not runs:
        return None
    first, last = max(runs, key=lambda run: run[1] - run[0])
    return f"rows {first}-{last} zeroed"


def _cells(data: npt.NDArray[Any]) -> tuple[npt.NDArray[np.float64], int]:
    """Median levels of pairs of rows across groups of an even number of columns (a Bayer
    pattern's colours each count the same in every cell); the columns per cell."""
    plane = data if data.ndim == 2 else data.sum(axis=2, dtype=np.float64)
    height, width = plane.shape
    groups = min(_GROUPS, width // 8)
    span = (width // groups) & ~1
    pairs = height // 2
    block = plane[:2 * pairs, :groups * span].reshape(pairs, 2, groups, span).transpose(0, 2, 1, 3)
    # Medians, not means: a star in a cell moves its mean far more than the noise does.
    cells = np.median(block.reshape(pairs, groups, 2 * span), axis=2).astype(np.float64)
    return cells, span


def _shifted(data: npt.NDArray[Any]) -> str | None:
    cells, span = _cells(data)
    pairs = cells.shape[0]
    if pairs < 8:
        return None
    t = np.linspace(-1.0, 1.0, pairs)
    design = np.stack([np.ones(pairs), t, t * t], axis=1)
    kept: npt.NDArray[np.bool_] = np.ones(pairs, dtype=bool)
    # The quantisation of integer data is the least noise a cell can have: a cell's median
    # sits on one of the data's steps (16 on a 12-bit sensor's left-aligned samples), so in
    # a faint frame whose noise is under a step, cells flip a whole step where the smooth
    # level crosses one, and rows of flipped cells are no band.
    floor = 0.5 * _step(data) if data.dtype.kind in "ui" else 1e-12
    runs: list[tuple[int, int]] = []
    for _ in range(_FIT_ROUNDS):
        coef, *_ = np.linalg.lstsq(design[kept], cells[kept], rcond=None)
        residual = cells - design @ coef
        sigma = np.maximum(1.4826 * np.median(np.abs(residual[kept]), axis=0), floor)
        z = np.clip(residual / sigma, -_CLIP, _CLIP)
        # Neighbouring rows of a band leave the fit the same way across the groups;
        # noise (and a star, which fills a group or two) does not.
        alike = np.mean(z[:-1] * z[1:], axis=1) > _ALIKE
        runs = _runs(alike, _LEAST_LINKS)
        again = np.ones(pairs, dtype=bool)
        for first, last in runs:
            again[first:last + 2] = False
        if again.sum() < pairs // 2 or np.array_equal(again, kept):
            break
        kept = again
    if not runs or sum(last - first + 2 for first, last in runs) > pairs // 2:
        return None
    bands = [(first, last + 1) for first, last in runs
             if _apart(residual, sigma, first, last + 1)]
    if not bands:
        return None
    return f"rows {2 * bands[0][0]}-{2 * bands[-1][1] + 1} shifted"


def _step(data: npt.NDArray[Any]) -> int:
    """The step of integer samples: the greatest common divisor of a sample of them (1 when
    all are zero)."""
    return max(1, int(np.gcd.reduce(np.asarray(data[::7, ::7], dtype=np.int64).ravel())))


def _apart(residual: npt.NDArray[np.float64], sigma: npt.NDArray[np.float64], first: int, last: int) -> bool:
    """Whether the band stands apart from as many rows just above it and just below it: a
    slow misfit of the frame's structure is shared with its neighbours, a band is not."""
    size = last - first + 1
    if first - size < 0 or last + size >= len(residual):
        return False   # a band at the frame's edge has no side to compare with
    band = residual[first:last + 1].mean(axis=0)
    noise = sigma * np.sqrt(2.0 / size)
    for side in (residual[first - size:first], residual[last + 1:last + 1 + size]):
        apart = np.clip((band - side.mean(axis=0)) / noise, -_CLIP_APART, _CLIP_APART)
        if np.mean(apart * apart) < _APART:
            return False
    return True
