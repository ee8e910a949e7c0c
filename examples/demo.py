"""A tour of orlicam against the simulated cameras: the `orlicam` command line for listing,
controls, a snapshot to FITS and PNG, a video stream to SER, a guide pulse; then the camera
layer in Python measuring how far a guide pulse moved the star field.

Run with `make demo`; the files land in demo-output/.
"""
import os
import pathlib
import shlex
import struct
import subprocess
import sys

import numpy as np
from astropy.io import fits

from vorrant.orlicam import Camera, simulator
from vorrant.orlicam.preview import stretch

OUT = pathlib.Path(os.path.relpath(pathlib.Path(__file__).resolve().parent.parent / "demo-output"))
ORLICAM = pathlib.Path(sys.executable).with_name("orlicam")


def orlicam(*args):
    """Runs the command line as a user would, showing the command and its output."""
    print(f"\n$ orlicam {shlex.join(map(str, args))}")
    result = subprocess.run([str(ORLICAM), *map(str, args)], capture_output=True, text=True)
    for line in (result.stdout + result.stderr).splitlines():
        print(f"  {line}")
    if result.returncode != 0:
        raise SystemExit(f"orlicam {args[0]} failed with status {result.returncode}")
    return result.stdout


def show_fits(path):
    with fits.open(path) as hdul:
        header, data = hdul[0].header, hdul[0].data
    print(f"\n  {path.name}: the full header")
    for card in header.cards:
        print(f"    {card.image.rstrip()}")
    sky, bright = np.median(data), np.percentile(data, 99.9)
    print(f"  pixels: sky {sky:.0f}, 99.9th percentile {bright:.0f}, brightest {data.max()} "
          f"(of {2 ** header['BITPIX'] - 1 if header['BITPIX'] == 8 else 65535})")


def show_ser(path):
    """The SER header's frame count and size, and a look at the last frame (stretched to PNG)."""
    raw = path.read_bytes()
    width, height, depth, count = struct.unpack_from("<iiii", raw, 26)
    frame_bytes = width * height * (1 if depth <= 8 else 2)
    last = np.frombuffer(raw, np.uint8 if depth <= 8 else "<u2", count=width * height,
                         offset=178 + (count - 1) * frame_bytes).reshape(height, width)
    print(f"  {path.name}: {count} frames of {width}x{height}, {depth}-bit; last frame: sky {np.median(last):.0f}, "
          f"99.9th percentile {np.percentile(last, 99.9):.0f}, brightest {last.max()}")
    from PIL import Image

    Image.fromarray(stretch(last)).save(path.with_suffix(".png"))


def field_shift(before, after):
    """(dx, dy) in pixels that carries the star field of `before` onto `after`: the peak of
    their cross-correlation (FFT), refined to a fraction of a pixel with a parabola. Only
    pixels well above the sky take part, so noise and the flat background do not pull it."""
    def stars_only(image):
        sky = np.median(image)
        noise = 1.4826 * np.median(np.abs(image - sky))
        return np.where(image - sky > 5 * noise, image - sky, 0.0)

    a, b = stars_only(before), stars_only(after)
    corr = np.fft.irfft2(np.conj(np.fft.rfft2(a)) * np.fft.rfft2(b), s=a.shape)
    peak = np.unravel_index(np.argmax(corr), corr.shape)
    shift = []
    for axis in (1, 0):
        n = corr.shape[axis]
        p = peak[axis]
        step = np.eye(2, dtype=int)[axis]
        left = corr[tuple((np.array(peak) - step) % corr.shape)]
        right = corr[tuple((np.array(peak) + step) % corr.shape)]
        centre = corr[peak]
        q = p + (left - right) / (2 * (left - 2 * centre + right))
        shift.append(q - n if q > n / 2 else q)
    return shift[0], shift[1]


def guide_measurement(index=1, pulse=1.0):
    print(f"\nGuiding, measured on the images: camera {index}, a {pulse:g} s pulse north")
    with Camera(index) as cam:
        cam.set_roi(512, 512, image_format="RAW16")
        cam.gain = 200
        # The dark takes out the hot pixels, which stay put and would pull the match to zero.
        dark = cam.capture(0.2, dark=True).data.astype(np.float64)
        before = cam.capture(0.2).data - dark
        start = simulator.star_shift(cam.camera_id)
        cam.pulse_guide("north", pulse)
        end = simulator.star_shift(cam.camera_id)
        after = cam.capture(0.2).data - dark
    dx, dy = field_shift(before, after)
    print(f"  measured shift of the star field: dx {dx:+.2f} px, dy {dy:+.2f} px")
    print(f"  the simulator's own star shift:   dx {end[0] - start[0]:+.2f} px, dy {end[1] - start[1]:+.2f} px")


def main():
    OUT.mkdir(exist_ok=True)
    orlicam("--version")
    orlicam("list")
    orlicam("controls", "0")

    orlicam("snap", "1", "--exposure", "1s", "--gain", "200", "--bin", "2", "--format", "RAW16",
            "-o", OUT / "m42.fits", "--png")
    show_fits(OUT / "m42.fits")

    # RAW8 keeps the top 8 of 12 bits: a high gain and the top offset keep the faint stars above black.
    orlicam("stream", "0", "--exposure", "40ms", "--gain", "500", "--offset", "80", "--roi", "640x480",
            "--format", "RAW8", "--frames", "150", "-o", OUT / "jupiter.ser")
    show_ser(OUT / "jupiter.ser")

    orlicam("guide", "0", "north", "500ms")
    guide_measurement()
    print(f"\nfiles in {OUT}: {', '.join(sorted(p.name for p in OUT.iterdir()))}")


if __name__ == "__main__":
    main()
