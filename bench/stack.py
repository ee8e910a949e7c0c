"""Live stacking against Siril 1.0.6 on the same frames, every figure measured against the
simulator's truth.

Frames: camera 1, 1 s, gain 200, the field drifting (1.5, -1.0) sensor px/s and turning
0.05 deg/s: FRAMES frames at bin 2, kept in memory for orlicam's Stacker and written as
FITS for Siril, which runs `register` (its star registration and Lanczos-4 resampling) and
`stack ... rej 3 3 -nonorm` (a sigma-clipped mean) through siril-cli. Then TIMED frames at
full frame (4144x2822) for the time per frame.

Every image (the first frame, orlicam's stack, Siril's) is measured by the same code, on
the same stars, all on the first frame's grid:
- FWHM: one least-squares fit of a round Gaussian plus a constant on a 9x9 cutout around
  each of the first frame's isolated, unsaturated, well-exposed stars; the median over the
  stars in the central half of the frame and over those in the four corner fifths.
- Faint-star signal-to-noise: the background-subtracted sum in a radius-2 aperture on the
  faintest third of the stars, over the spread of the same aperture's sum on empty sky
  (which counts the noise resampling correlates between neighbours, unlike a per-pixel
  figure); the gain is the median per star of the image's over the first frame's.
- Hot-pixel trails: elongated groups (sep, 5 sigma, at least 3 pixels, axis ratio over 2)
  that are not within 3 px of a star of the first frame.
- Registration error: for each frame, the largest distance, at the frame's four corners,
  between where the stacker's transform puts them and where the simulator's own field
  transforms (simulator.field_transform, as each frame began) do. Siril 1.0 keeps no
  transforms, so its error is measured on its registered frames (see siril_errors).
- Time per frame: orlicam's Stacker.add per full frame (wall and CPU time, median and
  spread); Siril's wall time for register and stack of the full frames, over their number.
Run with `make bench`; never asserted.
"""
import math
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np
import sep
from astropy.io import fits

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.observing.stacking import Stacker, _rigid, find_stars

FRAMES = 20
TIMED = 8
SIRIL = shutil.which("siril-cli")
TOOL_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


def capture(count, binning):
    """`count` frames of the drifting, turning field and the field's pose as each began."""
    simulator.reset()
    simulator.set_drift(1, 1.5, -1.0)
    simulator.set_rotation(1, 0.05)
    frames, poses = [], []
    with Camera(1) as cam:
        cam.gain, cam.exposure = 200, 1.0
        cam.set_roi(bin=binning, image_format="RAW16")
        sensor = (cam.description.max_width, cam.description.max_height)
        for _ in range(count):
            frame = cam.capture()
            frames.append(frame.data.copy())
            poses.append(simulator.field_transform(1, last_frame=True))
    return frames, poses, sensor


def truth(pose0, pose, points, binning, sensor):
    """Where the simulator's field transforms put frame points (binned pixels) in the first
    frame: back from the frame's pose to the field, then forward to the first frame's."""
    cx, cy = (sensor[0] - 1) / 2, (sensor[1] - 1) / 2
    out = []
    for u, v in points:
        x, y = u * binning + (binning - 1) / 2, v * binning + (binning - 1) / 2
        dx, dy, deg = pose
        a = -math.radians(deg)
        fx = cx + math.cos(a) * (x - dx - cx) - math.sin(a) * (y - dy - cy)
        fy = cy + math.sin(a) * (x - dx - cx) + math.cos(a) * (y - dy - cy)
        dx0, dy0, deg0 = pose0
        a0 = math.radians(deg0)
        x0 = cx + math.cos(a0) * (fx - cx) - math.sin(a0) * (fy - cy) + dx0
        y0 = cy + math.sin(a0) * (fx - cx) + math.cos(a0) * (fy - cy) + dy0
        out.append(((x0 - (binning - 1) / 2) / binning, (y0 - (binning - 1) / 2) / binning))
    return np.array(out)


def corners(shape):
    h, w = shape
    return np.array([(0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)], float)


def ours(frames, poses, sensor, binning):
    """orlicam's stack, each frame's registration error and the wall and CPU time of each add."""
    stacker, errors, wall, cpu = Stacker(), [], [], []
    for data, pose in zip(frames, poses):
        began, began_cpu = time.perf_counter(), time.process_time()
        outcome = stacker.add(data, 1.0)
        wall.append(time.perf_counter() - began)
        cpu.append(time.process_time() - began_cpu)
        if outcome.reason == "stacked":
            moved = outcome.transform.apply(corners(data.shape))
            errors.append(float(np.max(np.hypot(*(moved - truth(poses[0], pose, corners(data.shape), binning,
                                                                 sensor)).T))))
        elif not outcome.accepted:
            print(f"  orlicam rejected a frame: {outcome.reason}")
    return stacker, errors, wall[1:], cpu[1:]


def siril(frames, folder):
    """Siril's registered, sigma-clipped mean of the frames, its registered frames (it
    keeps no transforms in its 1.0 sequence files) and its wall time."""
    folder.mkdir(parents=True, exist_ok=True)
    for i, data in enumerate(frames, 1):
        fits.PrimaryHDU(data).writeto(folder / f"frame_{i:05d}.fit", overwrite=True)
    script = folder / "run.ssf"
    script.write_text("requires 1.0.0\nsetext fit\nregister frame_\nstack r_frame_ rej 3 3 -nonorm -out=siril_stack\n")
    env = {**TOOL_ENV, "XDG_CONFIG_HOME": str(folder / "config"), "HOME": str(folder)}
    began = time.perf_counter()
    run = subprocess.run([SIRIL, "-d", str(folder), "-s", str(script)], env=env, capture_output=True, text=True,
                         timeout=3600)
    elapsed = time.perf_counter() - began
    if "Script execution finished successfully" not in run.stdout:
        raise RuntimeError("siril-cli failed:\n" + run.stdout[-3000:] + run.stderr)
    image = read_fits(next(folder.glob("siril_stack.fit*")))
    registered = [folder / f"r_frame_{i:05d}.fit" for i in range(1, len(frames) + 1)]
    return image, registered, elapsed


def read_fits(path):
    with fits.open(path) as hdus:
        image = np.asarray(hdus[0].data, np.float32)
    return image * 65535 if image.max() <= 1.0 else image   # Siril's float images are 0..1 of 16 bits


def siril_errors(frames, registered, poses, sensor, binning):
    """Siril's registration error per frame, from its registered frames: the stars of each
    raw frame carried to the first frame's grid by the simulator's truth, paired with the
    same stars found in Siril's registered frame, give (least squares) the rotation and
    shift by which Siril's placement differs from the truth; its largest displacement at
    the four corners. The two star lists share their photons, so their noise cancels."""
    errors = []
    for data, path, pose in zip(frames[1:], registered[1:], poses[1:]):
        raw = find_stars(data.astype(np.float32))
        placed = find_stars(read_fits(path))
        predicted = truth(poses[0], pose, raw[:, :2], binning, sensor)
        d = np.hypot(predicted[:, None, 0] - placed[None, :, 0], predicted[:, None, 1] - placed[None, :, 1])
        near = np.argmin(d, axis=1)
        ok = d[np.arange(len(predicted)), near] < 1.0
        difference = _rigid(predicted[ok], placed[near[ok], :2])
        points = truth(poses[0], pose, corners(data.shape), binning, sensor)
        errors.append(float(np.max(np.hypot(*(difference.apply(points) - points).T))))
    return errors


def chosen_stars(single):
    """The first frame's isolated, unsaturated stars (x, y, flux), from its own detection."""
    stars = find_stars(single, limit=5000)
    xy = stars[:, :2]
    distance = np.hypot(xy[:, None, 0] - xy[None, :, 0], xy[:, None, 1] - xy[None, :, 1])
    np.fill_diagonal(distance, np.inf)
    h, w = single.shape
    away = (distance.min(axis=1) > 10) & (xy[:, 0] > 8) & (xy[:, 0] < w - 9) & (xy[:, 1] > 8) & (xy[:, 1] < h - 9)
    peaks = np.array([single[int(round(y)) - 1:int(round(y)) + 2, int(round(x)) - 1:int(round(x)) + 2].max()
                      for x, y in xy])
    return stars[away & (peaks < 0.8 * 65535)]


def gaussian_fwhm(image, xy, half=4, rounds=30):
    """FWHM of a round Gaussian plus a constant fitted by least squares (Gauss-Newton with
    damping) to the cutout around each star; NaN where the fit fails."""
    yy, xx = np.mgrid[-half:half + 1, -half:half + 1].astype(float)
    out = []
    for x, y in xy:
        ix, iy = int(round(x)), int(round(y))
        cut = np.asarray(image[iy - half:iy + half + 1, ix - half:ix + half + 1], float)
        if cut.shape != xx.shape or not np.all(np.isfinite(cut)):
            out.append(np.nan)
            continue
        bg = float(np.median(np.concatenate((cut[0], cut[-1], cut[:, 0], cut[:, -1]))))
        p = np.array([cut.max() - bg, x - ix, y - iy, 0.8, bg])
        damping = 1e-3
        for _ in range(rounds):
            amp, x0, y0, s, b = p
            e = np.exp(-((xx - x0) ** 2 + (yy - y0) ** 2) / (2 * s * s))
            model = amp * e + b
            jac = np.stack([e, amp * e * (xx - x0) / s ** 2, amp * e * (yy - y0) / s ** 2,
                            amp * e * ((xx - x0) ** 2 + (yy - y0) ** 2) / s ** 3, np.ones_like(e)], axis=-1).reshape(-1, 5)
            r = (cut - model).ravel()
            a = jac.T @ jac
            step = np.linalg.solve(a + damping * np.diag(np.diag(a)), jac.T @ r)
            trial = p + step
            if trial[3] > 0.2 and np.sum((cut - (trial[0] * np.exp(-((xx - trial[1]) ** 2 + (yy - trial[2]) ** 2)
                                                                       / (2 * trial[3] ** 2)) + trial[4])) ** 2) <= r @ r:
                p, damping = trial, damping / 3
            else:
                damping *= 5
        out.append(2.3548 * abs(p[3]) if 0.2 < p[3] < half else np.nan)
    return np.array(out)


def fwhm_figures(image, stars):
    """Median FWHM of the stars in the central half and in the four corner fifths."""
    h, w = image.shape
    x, y = stars[:, 0], stars[:, 1]
    centre = (abs(x - w / 2) < w / 4) & (abs(y - h / 2) < h / 4)
    corner = ((x < 0.2 * w) | (x > 0.8 * w)) & ((y < 0.2 * h) | (y > 0.8 * h))
    fwhm = gaussian_fwhm(image, stars[:, :2])
    return float(np.nanmedian(fwhm[centre])), float(np.nanmedian(fwhm[corner]))


def aperture_sums(image, xy, radius=2.0):
    yy, xx = np.mgrid[-4:5, -4:5]
    inside = np.hypot(xx, yy) <= radius
    ring = (np.hypot(xx, yy) > 3) & (np.hypot(xx, yy) <= 4.5)
    sums = []
    for x, y in xy:
        ix, iy = int(round(x)), int(round(y))
        cut = image[iy - 4:iy + 5, ix - 4:ix + 5]
        sums.append(float(np.sum(cut[inside]) - inside.sum() * np.median(cut[ring])))
    return np.array(sums)


def faint_snr(image, faint, sky):
    """Each faint star's aperture sum over the spread of the same sum on empty sky."""
    empty = aperture_sums(image, sky)
    spread = 1.4826 * np.median(np.abs(empty - np.median(empty)))
    return aperture_sums(image, faint[:, :2]) / spread


def empty_sky(single, all_stars, count=3000, seed=1):
    """Positions at least 8 px from every detected star and from the edges."""
    rng = np.random.default_rng(seed)
    h, w = single.shape
    xy = np.column_stack((rng.uniform(20, w - 20, count * 3), rng.uniform(20, h - 20, count * 3)))
    near = np.zeros(len(xy), bool)
    for start in range(0, len(all_stars), 500):
        block = all_stars[start:start + 500, :2]
        near |= (np.hypot(xy[:, None, 0] - block[None, :, 0], xy[:, None, 1] - block[None, :, 1]) < 8).any(axis=1)
    return xy[~near][:count]


def trails(image, stars):
    """Elongated groups that are not stars of the first frame: hot pixels drawn out by the drift."""
    data = np.ascontiguousarray(np.nan_to_num(image, nan=float(np.nanmedian(image))), np.float32)
    background = sep.Background(data)
    found = sep.extract(data - background.back(), 5, err=background.globalrms, minarea=3, filter_kernel=None)
    long = found[found["a"] > 2 * np.maximum(found["b"], 1e-3)]
    if len(long) == 0:
        return 0
    d = np.hypot(long["x"][:, None] - stars[None, :, 0], long["y"][:, None] - stars[None, :, 1]).min(axis=1)
    return int(np.sum(d > 3))


def timed_siril(folder):
    frames, _, _ = capture(TIMED, 1)
    _, _, elapsed = siril(frames, folder)
    return elapsed / TIMED, frames


def main():
    if SIRIL is None:
        print("siril-cli is missing (scripts/ensure-system-deps installs it): orlicam's figures only")
    frames, poses, sensor = capture(FRAMES, 2)
    single = frames[0].astype(np.float32)
    stacker, errors, _, _ = ours(frames, poses, sensor, 2)
    images = {"single frame": single, "orlicam": stacker.image}
    reg = {"orlicam": errors}
    with tempfile.TemporaryDirectory(prefix="orlicam-bench-stack-") as scratch:
        if SIRIL:
            image, registered, _ = siril(frames, Path(scratch) / "bin2")
            images["Siril"] = image
            reg["Siril"] = siril_errors(frames, registered, poses, sensor, 2)
        all_stars = find_stars(single, limit=100000)
        stars = chosen_stars(single)
        faint = stars[stars[:, 2] <= np.quantile(stars[:, 2], 1 / 3)]
        sky = empty_sky(single, all_stars)
        base_snr = faint_snr(single, faint, sky)
        base_c, base_k = fwhm_figures(single, stars)
        rows = {name: [] for name in ("snr", "fwhm", "trails", "reg", "time")}
        for name, image in images.items():
            c, k = fwhm_figures(image, stars)
            rows["fwhm"].append(f"{c:.2f} / {k:.2f} px" if name == "single frame" else
                                f"{c / base_c:.3f}x / {k / base_k:.3f}x")
            gain = np.median(faint_snr(image, faint, sky) / base_snr)
            rows["snr"].append(f"{gain:.2f} ({gain / math.sqrt(FRAMES):.3f} sqrt N)" if name != "single frame" else "1")
            rows["trails"].append(str(trails(image, all_stars)))
            e = reg.get(name)
            rows["reg"].append(f"{statistics.median(e):.3f} / {max(e):.3f} px" if e else "")
        # Time per frame at full frame.
        full, full_poses, _ = capture(TIMED + 1, 1)
        _, _, wall, cpu = ours(full, full_poses, sensor, 1)
        rows["time"] = ["", f"{statistics.median(wall) * 1000:.0f} ms wall ({min(wall) * 1000:.0f}-"
                        f"{max(wall) * 1000:.0f}), {statistics.median(cpu) * 1000:.0f} ms CPU"]
        if SIRIL:
            _, _, elapsed = siril(full[1:], Path(scratch) / "full")
            rows["time"].append(f"{elapsed / TIMED * 1000:.0f} ms wall")
    names = list(images)
    print(f"camera 1, {FRAMES} frames of 1 s, gain 200, bin 2, drift (1.5, -1.0) px/s, rotation 0.05 deg/s; "
          f"{len(stars)} stars measured ({len(faint)} faint), load {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print("| | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    labels = {"snr": f"faint-star signal-to-noise gain (ceiling sqrt {FRAMES} = {math.sqrt(FRAMES):.2f})",
              "fwhm": "FWHM, centre / corners", "trails": "hot-pixel trails (elongated groups)",
              "reg": "registration error vs the simulator's truth, median / largest",
              "time": f"time per frame, full {sensor[0]}x{sensor[1]}"}
    for key, label in labels.items():
        cells = rows[key] + [""] * (len(names) - len(rows[key]))
        print(f"| {label} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
