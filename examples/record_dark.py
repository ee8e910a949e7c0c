"""Records a dark frame from the simulated camera as a BMP, then shows dark subtraction
removing the hot pixels from a dark RAW8 frame.

    .venv/bin/python examples/record_dark.py [camera_id] [path]
"""
import sys
import time

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import ControlType, ExposureStatus, ImgType


def dark_frame(cam, width, height):
    korvi.start_exposure(cam, True)
    while korvi.get_exp_status(cam) == ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.01)
    return korvi.get_data_after_exp(cam, width * height)


def main():
    cam = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    path = sys.argv[2] if len(sys.argv) > 2 else "dark.bmp"
    info = korvi.get_camera_property_by_id(cam)
    width, height = info.max_width // 8 * 8, info.max_height // 2 * 2
    korvi.open_camera(cam)
    korvi.init_camera(cam)
    try:
        korvi.set_roi_format(cam, width, height, 1, ImgType.IMG_RAW8)
        korvi.set_control_value(cam, ControlType.ASI_EXPOSURE, 2_000_000, False)
        simulator.write_dark_bmp(cam, path)
        print(f"wrote a {info.max_width}x{info.max_height} dark of {info.name} to {path}")
        before = dark_frame(cam, width, height)
        korvi.enable_dark_subtract(cam, path)
        after = dark_frame(cam, width, height)
        korvi.disable_dark_subtract(cam)
        print(f"dark RAW8 frame: max {max(before)} without subtraction, {max(after)} with it")
    finally:
        korvi.close_camera(cam)


if __name__ == "__main__":
    main()
