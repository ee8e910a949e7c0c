"""A tour of vorrant.orlicam.korvi against the simulated cameras: discovery, controls,
a snapshot saved as FITS and PNG, a video stream, and a short guiding run.

Run with `make demo`; the pictures land in demo-output/.
"""
import pathlib
import sys
import time

import numpy as np
from astropy.io import fits
from PIL import Image

from vorrant.orlicam import korvi
from vorrant.orlicam.korvi import ControlType, ExposureStatus, GuideDirection, ImgType

OUT = pathlib.Path(__file__).resolve().parent.parent / "demo-output"


def list_cameras():
    count = korvi.get_number_of_connected_cameras()
    print(f"ASICamera2 {korvi.get_sdk_version()}: {count} camera(s)")
    cameras = []
    for index in range(count):
        info = korvi.get_camera_property(index)
        cameras.append(info)
        kind = "colour" if info.is_color_camera else "mono"
        extras = [name for name, on in (("cooled", info.is_cooler_cam), ("ST4", info.st_4_port),
                                        ("trigger", info.is_trigger_cam)) if on]
        print(f"  {info!r}")
        print(f"    {kind}, {info.bit_depth}-bit, {info.pixel_size} um, bins {info.supported_bins}, "
              f"formats {[f.name for f in info.supported_video_formats]}, {', '.join(extras) or 'plain'}")
        korvi.open_camera(info.camera_id)
        serial = korvi.get_serial_number(info.camera_id).id
        korvi.close_camera(info.camera_id)
        print(f"    serial {serial}: opened and closed")
    return cameras


def control_table(camera_id):
    print(f"  controls of camera {camera_id}:")
    for index in range(korvi.get_num_of_controls(camera_id)):
        caps = korvi.get_control_caps(camera_id, index)
        value, auto = korvi.get_control_value(camera_id, caps.control_type)
        flags = ("auto " if caps.is_auto_supported else "") + ("rw" if caps.is_writable else "ro")
        print(f"    {caps.name:<24} {value:>10} [{caps.min_value}..{caps.max_value}] {flags}"
              f"{' (auto on)' if auto else ''}")


def wait_for_exposure(camera_id):
    while (status := korvi.get_exp_status(camera_id)) == ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.01)
    if status != ExposureStatus.ASI_EXP_SUCCESS:
        raise RuntimeError(f"exposure ended with status {ExposureStatus(status).name}")


def snapshot(info):
    cam = info.camera_id
    width, height = info.max_width // 2 // 8 * 8, info.max_height // 2 // 2 * 2
    korvi.set_roi_format(cam, width, height, 2, ImgType.IMG_RAW16)
    korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, 500_000, False)
    korvi.set_control_value(cam, ControlType.ASI_GAIN, 200, False)
    print(f"  snapshot: {width}x{height} bin 2 RAW16, 0.5 s on {info.name}")
    korvi.start_exposure(cam, False)
    wait_for_exposure(cam)
    data = korvi.get_data_after_exp(cam, width * height * 2)
    image = np.frombuffer(data, dtype="<u2").reshape(height, width)
    OUT.mkdir(exist_ok=True)
    hdu = fits.PrimaryHDU(image)
    hdu.header["INSTRUME"] = info.name
    hdu.header["EXPTIME"] = 0.5
    hdu.writeto(OUT / "snapshot.fits", overwrite=True)
    low, high = np.percentile(image, (50, 99.9))
    stretched = np.clip((image.astype(np.float64) - low) / max(high - low, 1.0), 0, 1) ** 0.5
    Image.fromarray((stretched * 255).astype(np.uint8)).save(OUT / "snapshot.png")
    print(f"    median {np.median(image):.0f}, max {image.max()}; wrote {OUT / 'snapshot.fits'} and snapshot.png")
    return image


def stream(info, seconds=2.0):
    cam = info.camera_id
    width, height = 640, 480
    korvi.set_roi_format(cam, width, height, 1, ImgType.IMG_RAW8)
    korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, 1000, False)
    size = width * height
    korvi.start_video_capture(cam)
    frames, start = 0, time.perf_counter()
    try:
        while (elapsed := time.perf_counter() - start) < seconds:
            frame = korvi.get_video_data(cam, size, 500)
            frames += 1
            if frames % 25 == 0:
                sys.stdout.write(f"\r  video {width}x{height} RAW8: {frames} frames, {frames / elapsed:6.1f} fps,"
                                 f" mean {sum(frame[::97]) / len(frame[::97]):5.1f}")
                sys.stdout.flush()
        dropped = korvi.get_dropped_frames(cam)
    finally:
        korvi.stop_video_capture(cam)
    print(f"\n  video: {frames} frames in {elapsed:.2f} s = {frames / elapsed:.1f} fps, {dropped} dropped")


def centroid(image):
    """Centroid of the brightest star: a window around the maximum, background removed."""
    y, x = np.unravel_index(np.argmax(image), image.shape)
    y0, x0 = max(y - 8, 0), max(x - 8, 0)
    window = image[y0:y + 9, x0:x + 9].astype(np.float64)
    window = np.clip(window - np.median(image), 0, None)
    ys, xs = np.indices(window.shape)
    total = window.sum()
    return x0 + (xs * window).sum() / total, y0 + (ys * window).sum() / total


def guide(info):
    cam = info.camera_id
    korvi.set_roi_format(cam, 512, 512, 1, ImgType.IMG_RAW16)
    korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, 200_000, False)

    def frame():
        korvi.start_exposure(cam, False)
        wait_for_exposure(cam)
        return np.frombuffer(korvi.get_data_after_exp(cam, 512 * 512 * 2), dtype="<u2").reshape(512, 512)

    before = centroid(frame())
    korvi.pulse_guide_on(cam, GuideDirection.ASI_GUIDE_NORTH)
    time.sleep(1.0)
    korvi.pulse_guide_off(cam, GuideDirection.ASI_GUIDE_NORTH)
    after = centroid(frame())
    print(f"  guiding: a 1 s pulse north moved the brightest star from ({before[0]:.2f}, {before[1]:.2f}) "
          f"to ({after[0]:.2f}, {after[1]:.2f}): dx {after[0] - before[0]:+.2f}, dy {after[1] - before[1]:+.2f} px")


def main():
    cameras = list_cameras()
    cooled = next((c for c in cameras if c.is_cooler_cam), cameras[-1])
    for info in cameras:
        korvi.open_camera(info.camera_id)
        korvi.init_camera(info.camera_id)
    try:
        for info in cameras:
            control_table(info.camera_id)
        korvi.set_roi_format(cameras[0].camera_id, 800, 600, 1, ImgType.IMG_RAW8)
        korvi.set_start_pos(cameras[0].camera_id, 16, 8)
        print(f"  ROI of camera {cameras[0].camera_id}: {korvi.get_roi_format(cameras[0].camera_id)} "
              f"at {korvi.get_start_pos(cameras[0].camera_id)}")
        snapshot(cooled)
        stream(cameras[0])
        guide(cooled)
    finally:
        for info in cameras:
            korvi.close_camera(info.camera_id)
    print("demo done")


if __name__ == "__main__":
    main()
