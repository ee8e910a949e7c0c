"""Controls of the simulated ASICamera2 library, for tests and scripted scenarios.

The functions act on the simulator that `vorrant.orlicam.korvi` uses: the
libASICamera2.so installed beside this file. When the ASICamera2 loaded in the
process is another library (a vendor SDK through LD_LIBRARY_PATH), every function
raises RuntimeError. ORLICAM_SIM_LIBRARY names another simulator build to load,
for developing the simulator itself.

How the simulated cameras answer where cameras differ or the vendor leaves it open:
- Capture (ASIStartExposure, ASIStartVideoCapture) needs ASIInitCamera after each
  ASIOpenCamera: before it, ASI_ERROR_GENERAL_ERROR. Settings survive close and reopen.
- ASIGetDataAfterExp(GPS) before the exposure succeeded: ASI_ERROR_GENERAL_ERROR.
- ASIGetVideoData(GPS) when no capture runs: ASI_ERROR_INVALID_SEQUENCE; a caller
  waiting when the capture stops or the camera closes returns ASI_ERROR_TIMEOUT at once.
  Starting a capture that runs already succeeds and changes nothing.
- ASISendSoftTrigger outside the soft trigger modes (so always on cameras without
  triggers): ASI_ERROR_INVALID_MODE; with no capture running a soft trigger is lost.
  Hardware modes follow camsim trigger_input() transitions; the input idles low.
  Level modes expose for as long as the level lasts, one frame per pulse.
  Snapshots ignore the trigger mode.
- Trigger output settings on a camera without triggers: ASI_ERROR_GENERAL_ERROR.
- The frame-with-GPS calls on a camera without GPS, or without a fix, succeed and
  zero-fill the record; ASIGPSGetData before any frame reports the current time.
- A failed or forced ASIGetSDKVersion returns NULL; a failed ASIGetNumOfConnectedCameras
  or ASICameraCheck returns the code as its value.
- The time scale speeds up cooling only; exposures, frame rates and guiding run in real time.
  ORLICAM_SIM_TIME_SCALE in the environment sets it at load time (and for reset()).
- Video is paced by default: a frame is ready when its exposure and its transfer over the
  modelled USB link are done. Unpaced (ORLICAM_SIM_UNPACED=1 in the environment when the
  library loads, or set_pacing(False)), a frame is ready as soon as it is rendered and the
  producer waits for room in the two-frame queue instead of dropping frames.
- In the edge trigger modes an edge that comes while the triggered exposure runs, or while
  another edge waits to start one, is ignored, as a sensor would; level pulses queue up to four.
- A snapshot is rendered on the simulator's own thread while it exposes; ASIGetExpStatus
  reports ASI_EXP_WORKING until the exposure time has passed and the pixels exist, and
  ASIGetDataAfterExp(GPS) copies them.
- The simulated optics vignette: light (sky, stars, the flat panel) falls off quadratically
  from the sensor's centre to 80% in its corners; dark current and hot pixels do not.
  set_light_panel() (or ORLICAM_SIM_LIGHT_PANEL=<electrons per second> at load time)
  puts a flat panel over the aperture, for flat frames; it can flicker.
- Raw frames (RAW8, RAW16) are the sensor's: white balance (WB_R, WB_B) scales only the
  colour formats, RGB24 and a colour camera's Y8. sensor_truth() gives the sensor model
  the frames are rendered with (gain, read noise, full well, dark current).
- The star field moves as a whole: guide pulses and set_drift() shift it, set_rotation()
  turns it about the sensor's centre (field rotation), both accumulating with time.
  field_transform() tells where the field is, now or as the last frame began.

Environment variables, read when the library loads (and applied again by reset()):
- ORLICAM_SIM_CAMERAS: comma-separated model keys of the connected cameras (empty: none).
- ORLICAM_SIM_TIME_SCALE: the time scale (see set_time_scale()).
- ORLICAM_SIM_UNPACED=1: video frames unpaced (see set_pacing()).
- ORLICAM_SIM_LIGHT_PANEL: the flat panel's electrons per second (see set_light_panel()).
- ORLICAM_SIM_DRIFT="dx,dy": every camera's star field drifts this many sensor pixels per second.
- ORLICAM_SIM_ROTATION: every camera's star field turns this many degrees per second about
  the sensor's centre.
- ORLICAM_SIM_FAULTS: the fault schedule (see set_faults()); one that does not read is
  said once on stderr and no fault is played.
A value that cannot be read is ignored (the simulator says so on stderr for the last three).
- Faults (set_faults()): an unplugged camera answers ASI_ERROR_CAMERA_REMOVED to every
  call naming its id, leaves the count and the others move up an index; it returns at
  the end of the list with its id and serial, closed, with the settings of a camera just
  powered up (cooler off, sensor warming). A failed exposure runs its time and ends
  ASI_EXP_FAILED; a hung one stays ASI_EXP_WORKING past its end (for= seconds, then it
  succeeds; without for=, until ASIStopExposure, which fails it). In a video timeout
  ASIGetVideoData waits its wait_ms (or to the timeout's end) and returns ASI_ERROR_TIMEOUT.
  Camera ids are the cameras' numbers at connection; indexes follow the plugged cameras.
- One simulated camera per machine: ASIOpenCamera on a camera that another process has
  open returns ASI_ERROR_CAMERA_CLOSED (holder() says which process). The cooler's state,
  its set point and the sensor's temperature carry over from one process to the next
  (through state_dir(); reset() forgets them for cameras no other process has open).
- After fork() the child keeps the cameras' settings and open state, but any capture that
  ran in the parent is gone: no video capture runs, an exposure in progress has failed.
"""
import ast
import ctypes
import importlib
import os
import threading
from ctypes import POINTER, c_char, c_char_p, c_double, c_float, c_int, c_long, c_size_t, c_ubyte, c_ulonglong, c_void_p

__all__ = [
    "reset", "configure", "models", "connected",
    "record_calls", "calls", "clear_calls", "fail_next", "force_outputs",
    "set_sdk_version", "patch_camera_info", "patch_control_caps",
    "set_time_scale", "set_seed", "set_pacing", "pacing", "trigger_input", "set_gps_fix", "set_gps_position",
    "set_focal_length", "set_drift", "set_rotation", "set_defocus", "set_light_panel", "star_shift", "field_transform",
    "sensor_temperature", "sensor_truth", "write_dark_bmp",
    "set_faults", "clear_faults", "fault_log", "holder", "state_dir",
    "library", "camera_info", "control_caps",
    "CameraInfo", "ControlCaps", "GpsData", "DateTime", "AsiId", "SupportedMode",
]


# --- the vendor's records, byte for byte -----------------------------------------

class CameraInfo(ctypes.Structure):
    _fields_ = [
        ("Name", c_char * 64), ("CameraID", c_int), ("MaxHeight", c_long), ("MaxWidth", c_long),
        ("IsColorCam", c_int), ("BayerPattern", c_int), ("SupportedBins", c_int * 16),
        ("SupportedVideoFormat", c_int * 8), ("PixelSize", c_double), ("MechanicalShutter", c_int),
        ("ST4Port", c_int), ("IsCoolerCam", c_int), ("IsUSB3Host", c_int), ("IsUSB3Camera", c_int),
        ("ElecPerADU", c_float), ("BitDepth", c_int), ("IsTriggerCam", c_int), ("Unused", c_char * 16),
    ]


class ControlCaps(ctypes.Structure):
    _fields_ = [
        ("Name", c_char * 64), ("Description", c_char * 128), ("MaxValue", c_long), ("MinValue", c_long),
        ("DefaultValue", c_long), ("IsAutoSupported", c_int), ("IsWritable", c_int), ("ControlType", c_int),
        ("Unused", c_char * 32),
    ]


class AsiId(ctypes.Structure):
    _fields_ = [("id", c_ubyte * 8)]


class SupportedMode(ctypes.Structure):
    _fields_ = [("SupportedCameraMode", c_int * 16)]


class DateTime(ctypes.Structure):
    _fields_ = [
        ("Year", c_int), ("Month", c_int), ("Day", c_int), ("Hour", c_int), ("Minute", c_int),
        ("Second", c_int), ("Msecond", c_int), ("Usecond", c_int), ("Unused", c_char * 64),
    ]


class GpsData(ctypes.Structure):
    _fields_ = [
        ("Datetime", DateTime), ("Latitude", c_double), ("Longitude", c_double), ("Altitude", c_int),
        ("SatelliteNum", c_int), ("Unused", c_char * 64),
    ]


assert ctypes.sizeof(CameraInfo) == 248 and ctypes.sizeof(ControlCaps) == 264
assert ctypes.sizeof(GpsData) == 184 and ctypes.sizeof(SupportedMode) == 64

# python keyword -> (record field, byte-string size or list length or None)
_INFO_FIELDS = {
    "name": ("Name", 64), "camera_id": ("CameraID", None), "max_height": ("MaxHeight", None),
    "max_width": ("MaxWidth", None), "is_color_camera": ("IsColorCam", None),
    "bayer_pattern": ("BayerPattern", None), "supported_bins": ("SupportedBins", 16),
    "supported_video_formats": ("SupportedVideoFormat", 8), "pixel_size": ("PixelSize", None),
    "mechanical_shutter": ("MechanicalShutter", None), "st_4_port": ("ST4Port", None),
    "is_cooler_cam": ("IsCoolerCam", None), "is_usb3_host": ("IsUSB3Host", None),
    "is_usb3_camera": ("IsUSB3Camera", None), "elec_per_adu": ("ElecPerADU", None),
    "bit_depth": ("BitDepth", None), "is_trigger_cam": ("IsTriggerCam", None),
}
_CAPS_FIELDS = {
    "name": ("Name", 64), "description": ("Description", 128), "max_value": ("MaxValue", None),
    "min_value": ("MinValue", None), "default_value": ("DefaultValue", None),
    "is_auto_supported": ("IsAutoSupported", None), "is_writable": ("IsWritable", None),
    "control_type": ("ControlType", None),
}
_GPS_FIELDS = {
    "latitude": ("Latitude", None), "longitude": ("Longitude", None), "altitude": ("Altitude", None),
    "satellite_num": ("SatelliteNum", None),
}
_DATETIME_FIELDS = {
    "year": "Year", "month": "Month", "day": "Day", "hour": "Hour", "minute": "Minute",
    "second": "Second", "m_second": "Msecond", "u_second": "Usecond",
}


def _fill(record, table, fields, what):
    """Writes keyword fields into a ctypes record; byte strings and lists are zero-padded."""
    for key, value in fields.items():
        if key not in table:
            raise TypeError(f"{what} has no field {key!r} (known: {', '.join(sorted(table))})")
        field, size = table[key]
        descriptor = getattr(type(record), field)
        if isinstance(getattr(record, field), bytes):
            raw = bytes(value)
            if len(raw) > size:
                raise ValueError(f"{key} takes at most {size} bytes, got {len(raw)}")
            ctypes.memmove(ctypes.addressof(record) + descriptor.offset, raw.ljust(size, b"\0"), size)
        elif size is not None:
            items = [int(v) for v in value]
            if len(items) > size:
                raise ValueError(f"{key} takes at most {size} values, got {len(items)}")
            getattr(record, field)[:] = items + [0] * (size - len(items))
        else:
            setattr(record, field, value)
    return record


def _gps_record(fields):
    fields = dict(fields)
    record = GpsData()
    for key in [k for k in fields if k in _DATETIME_FIELDS]:
        setattr(record.Datetime, _DATETIME_FIELDS[key], int(fields.pop(key)))
    return _fill(record, _GPS_FIELDS, fields, "a GPS record")


# --- loading ------------------------------------------------------------------

_HERE = os.path.dirname(os.path.abspath(__file__))
_lock = threading.Lock()
_cdll = None


def _library_path():
    return os.environ.get("ORLICAM_SIM_LIBRARY") or os.path.join(_HERE, "libASICamera2.so")


def _loaded_asicamera2():
    """Real paths of every ASICamera2 mapped into this process."""
    found = set()
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                parts = line.split(None, 5)
                if len(parts) == 6 and "libASICamera2" in os.path.basename(parts[5].strip()):
                    found.add(os.path.realpath(parts[5].strip()))
    except OSError:
        pass
    return found


_SIGNATURES = {
    # The vendor's entry points, for tests that call them directly.
    "ASIGetNumOfConnectedCameras": (c_int, []),
    "ASICameraCheck": (c_int, [c_int, c_int]),
    "ASIGetCameraProperty": (c_int, [POINTER(CameraInfo), c_int]),
    "ASIGetCameraPropertyByID": (c_int, [c_int, POINTER(CameraInfo)]),
    "ASIGetSDKVersion": (c_void_p, []),
    "ASIOpenCamera": (c_int, [c_int]),
    "ASIInitCamera": (c_int, [c_int]),
    "ASICloseCamera": (c_int, [c_int]),
    "ASIGetID": (c_int, [c_int, POINTER(AsiId)]),
    "ASISetID": (c_int, [c_int, AsiId]),
    "ASIGetSerialNumber": (c_int, [c_int, POINTER(AsiId)]),
    "ASIGetNumOfControls": (c_int, [c_int, POINTER(c_int)]),
    "ASIGetControlCaps": (c_int, [c_int, c_int, POINTER(ControlCaps)]),
    "ASIGetControlValue": (c_int, [c_int, c_int, POINTER(c_long), POINTER(c_int)]),
    "ASISetControlValue": (c_int, [c_int, c_int, c_long, c_int]),
    "ASISetROIFormat": (c_int, [c_int, c_int, c_int, c_int, c_int]),
    "ASIGetROIFormat": (c_int, [c_int, POINTER(c_int), POINTER(c_int), POINTER(c_int), POINTER(c_int)]),
    "ASISetStartPos": (c_int, [c_int, c_int, c_int]),
    "ASIGetStartPos": (c_int, [c_int, POINTER(c_int), POINTER(c_int)]),
    "ASIStartExposure": (c_int, [c_int, c_int]),
    "ASIStopExposure": (c_int, [c_int]),
    "ASIGetExpStatus": (c_int, [c_int, POINTER(c_int)]),
    "ASIGetDataAfterExp": (c_int, [c_int, c_void_p, c_long]),
    "ASIGetDataAfterExpGPS": (c_int, [c_int, c_void_p, c_long, POINTER(GpsData)]),
    "ASIStartVideoCapture": (c_int, [c_int]),
    "ASIStopVideoCapture": (c_int, [c_int]),
    "ASIGetVideoData": (c_int, [c_int, c_void_p, c_long, c_int]),
    "ASIGetVideoDataGPS": (c_int, [c_int, c_void_p, c_long, c_int, POINTER(GpsData)]),
    "ASIGetDroppedFrames": (c_int, [c_int, POINTER(c_int)]),
    "ASIGetCameraSupportMode": (c_int, [c_int, POINTER(SupportedMode)]),
    "ASIGetCameraMode": (c_int, [c_int, POINTER(c_int)]),
    "ASISetCameraMode": (c_int, [c_int, c_int]),
    "ASISendSoftTrigger": (c_int, [c_int, c_int]),
    "ASISetTriggerOutputIOConf": (c_int, [c_int, c_int, c_int, c_long, c_long]),
    "ASIGetTriggerOutputIOConf": (c_int, [c_int, c_int, POINTER(c_int), POINTER(c_long), POINTER(c_long)]),
    "ASIPulseGuideOn": (c_int, [c_int, c_int]),
    "ASIPulseGuideOff": (c_int, [c_int, c_int]),
    "ASIEnableDarkSubtract": (c_int, [c_int, c_char_p]),
    "ASIDisableDarkSubtract": (c_int, [c_int]),
    "ASIGetGainOffset": (c_int, [c_int] + [POINTER(c_int)] * 4),
    "ASIGetLMHGainOffset": (c_int, [c_int] + [POINTER(c_int)] * 4),
    "ASIGPSGetData": (c_int, [c_int, POINTER(GpsData), POINTER(GpsData)]),
    # The simulator's controls.
    "camsim_reset": (None, []),
    "camsim_configure": (c_int, [c_char_p]),
    "camsim_models": (c_size_t, [c_char_p, c_size_t]),
    "camsim_connected": (c_size_t, [c_char_p, c_size_t]),
    "camsim_record_calls": (None, [c_int]),
    "camsim_calls": (c_size_t, [c_char_p, c_size_t]),
    "camsim_clear_calls": (None, []),
    "camsim_fail_next": (c_int, [c_char_p, c_int, c_int]),
    "camsim_force_outputs": (c_int, [c_char_p, c_int, c_int, POINTER(c_char_p), POINTER(c_size_t)]),
    "camsim_set_sdk_version": (None, [c_char_p, c_size_t]),
    "camsim_camera_info": (c_int, [c_int, c_void_p, c_size_t]),
    "camsim_patch_camera_info": (c_int, [c_int, c_void_p, c_size_t]),
    "camsim_control_caps": (c_int, [c_int, c_int, c_void_p, c_size_t]),
    "camsim_patch_control_caps": (c_int, [c_int, c_int, c_void_p, c_size_t]),
    "camsim_set_time_scale": (None, [c_double]),
    "camsim_set_seed": (None, [c_ulonglong]),
    "camsim_set_pacing": (None, [c_int]),
    "camsim_pacing": (c_int, []),
    "camsim_trigger_input": (c_int, [c_int, c_int]),
    "camsim_set_gps_fix": (c_int, [c_int, c_int]),
    "camsim_set_gps_position": (c_int, [c_int, c_double, c_double, c_int]),
    "camsim_set_focal_length": (c_int, [c_int, c_double]),
    "camsim_set_drift": (c_int, [c_int, c_double, c_double]),
    "camsim_set_rotation": (c_int, [c_int, c_double]),
    "camsim_field_transform": (c_int, [c_int, c_int, POINTER(c_double), POINTER(c_double), POINTER(c_double)]),
    "camsim_set_panel_flicker": (c_int, [c_int, c_double]),
    "camsim_sensor_truth": (c_int, [c_int, c_long, POINTER(c_double)]),
    "camsim_set_defocus": (c_int, [c_int, c_double]),
    "camsim_set_transparency": (c_int, [c_int, c_double]),
    "camsim_set_light_panel": (c_int, [c_int, c_double]),
    "camsim_star_shift": (c_int, [c_int, POINTER(c_double), POINTER(c_double)]),
    "camsim_sensor_temperature": (c_int, [c_int, POINTER(c_double)]),
    "camsim_write_dark_bmp": (c_int, [c_int, c_char_p, c_long]),
    "camsim_set_faults": (c_int, [c_char_p, c_char_p, c_size_t]),
    "camsim_clear_faults": (None, []),
    "camsim_holder": (c_int, [c_int, POINTER(c_long), c_char_p, c_size_t]),
    "camsim_state_dir": (c_size_t, [c_char_p, c_size_t]),
    "camsim_fault_log": (c_size_t, [c_char_p, c_size_t]),
}


def _load():
    # The extension loads ASICamera2 first; dlopen then hands back that same instance.
    try:
        importlib.import_module("vorrant.orlicam.korvi")
    except ImportError:
        pass
    path = os.path.realpath(_library_path())
    if not os.path.exists(path):
        raise RuntimeError(f"the simulated ASICamera2 is not installed: {path} does not exist")
    lib = ctypes.CDLL(path)
    others = _loaded_asicamera2() - {path}
    if others:
        raise RuntimeError(
            f"the ASICamera2 library loaded in this process is {', '.join(sorted(others))}, not the simulator "
            f"at {path} (is LD_LIBRARY_PATH pointing at a vendor SDK?); the simulator controls only work "
            "with the simulated library")
    if not hasattr(lib, "camsim_reset"):
        raise RuntimeError(f"{path} is not the orlicam simulator")
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def library():
    """The simulator as a ctypes.CDLL, with argtypes set for every entry point."""
    global _cdll
    with _lock:
        if _cdll is None:
            _cdll = _load()
        return _cdll


def _text(fn):
    """Reads a text that the C side hands out snprintf-style."""
    size = fn(None, 0)
    while True:
        buf = ctypes.create_string_buffer(size + 1)
        needed = fn(buf, size + 1)
        if needed <= size:
            return buf.raw[:needed].decode()
        size = needed


def _check_camera(code, camera_id):
    if code == 2:
        raise ValueError(f"no connected simulated camera has id {camera_id}")
    if code == 1:
        raise IndexError("no such control index")
    if code != 0:
        raise RuntimeError(f"the simulator refused: code {code}")


# --- connected cameras ----------------------------------------------------------

def reset():
    """Closes every camera (stopping its threads) and restores every default: camera
    state, ids in flash, modes, patches, faults, forced outputs, the call log (and
    recording off), SDK version, time scale 1, seed. Keeps the configured cameras.
    Every camera is plugged in again, and the fault schedule is ORLICAM_SIM_FAULTS's."""
    library().camsim_reset()


def models():
    """Keys of every simulated camera model."""
    text = _text(library().camsim_models)
    return text.split(",") if text else []


def connected():
    """Model keys of the connected cameras, by camera id."""
    text = _text(library().camsim_connected)
    return text.split(",") if text else []


def configure(cameras=None):
    """Connects these models (keys from models(), case-insensitive) as cameras 0, 1, ...;
    None connects the default pair. Implies reset()."""
    if cameras is None:
        library().camsim_configure(None)
        return
    if isinstance(cameras, (str, bytes)):
        raise TypeError("cameras is a list of model keys")
    keys = [str(k) for k in cameras]
    known = {m.lower() for m in models()}
    for key in keys:
        if key.lower() not in known or "," in key:
            raise ValueError(f"unknown camera model {key!r}; known: {', '.join(models())}")
    if library().camsim_configure(",".join(keys).encode()) != 0:
        raise ValueError(f"unknown camera model in {keys!r}")


# --- call log, faults, forced outputs ---------------------------------------------

def record_calls(on):
    library().camsim_record_calls(1 if on else 0)


def calls():
    """Recorded calls, oldest first, as (function_name, args) tuples."""
    return [ast.literal_eval(line) for line in _text(library().camsim_calls).splitlines()]


def clear_calls():
    library().camsim_clear_calls()


_FUNCTIONS = frozenset(name for name in _SIGNATURES if name.startswith("ASI"))


def _function(name):
    if name not in _FUNCTIONS:
        raise ValueError(f"{name!r} is not an ASICamera2 entry point")
    return name.encode()


def fail_next(function_name, code, times=1):
    """The next `times` calls of the entry point return `code` and do nothing else."""
    if library().camsim_fail_next(_function(function_name), int(code), int(times)) != 0:
        raise ValueError(f"{function_name!r} is not an ASICamera2 entry point")


def _scalar(ctype):
    return lambda v: bytes(ctype(int(v)))


def _record(factory):
    return lambda v: bytes(factory(v))


def _id_bytes(value):
    raw = bytes(value)
    if len(raw) > 8:
        raise ValueError("an id has 8 bytes")
    return raw.ljust(8, b"\0")


def _modes(values):
    record = SupportedMode()
    items = [int(v) for v in values]
    if len(items) > 16:
        raise ValueError("at most 16 modes")
    record.SupportedCameraMode[:] = items + [0] * (16 - len(items))
    return bytes(record)


_INT, _LONG = _scalar(c_int), _scalar(c_long)
_DATA = bytes
_GPS = _record(_gps_record)
_INFO = _record(lambda f: _fill(CameraInfo(), _INFO_FIELDS, f, "a camera info record"))
_CAPS = _record(lambda f: _fill(ControlCaps(), _CAPS_FIELDS, f, "a control caps record"))

# Out-parameters of each entry point, in order: keyword and how to make its bytes.
_OUTPUTS = {
    "ASIGetExpStatus": [("status", _INT)],
    "ASIGetCameraMode": [("mode", _INT)],
    "ASIGetCameraSupportMode": [("modes", _modes)],
    "ASIGetDroppedFrames": [("count", _INT)],
    "ASIGetNumOfControls": [("count", _INT)],
    "ASIGetID": [("id", _id_bytes)],
    "ASIGetSerialNumber": [("id", _id_bytes)],
    "ASIGetGainOffset": [("offset_highest_dr", _INT), ("offset_unity_gain", _INT), ("gain_lowest_rn", _INT),
                         ("offset_lowest_rn", _INT)],
    "ASIGetLMHGainOffset": [("l_gain", _INT), ("m_gain", _INT), ("h_gain", _INT), ("h_offset", _INT)],
    "ASIGetTriggerOutputIOConf": [("pin_high", _INT), ("delay", _LONG), ("duration", _LONG)],
    "ASIGetControlValue": [("value", _LONG), ("auto", _INT)],
    "ASIGetROIFormat": [("width", _INT), ("height", _INT), ("bin", _INT), ("img_type", _INT)],
    "ASIGetStartPos": [("x", _INT), ("y", _INT)],
    "ASIGetDataAfterExp": [("data", _DATA)],
    "ASIGetDataAfterExpGPS": [("data", _DATA), ("gps", _GPS)],
    "ASIGetVideoData": [("data", _DATA)],
    "ASIGetVideoDataGPS": [("data", _DATA), ("gps", _GPS)],
    "ASIGPSGetData": [("start", _GPS), ("end", _GPS)],
    "ASIGetCameraProperty": [("info", _INFO)],
    "ASIGetCameraPropertyByID": [("info", _INFO)],
    "ASIGetControlCaps": [("caps", _CAPS)],
}


def force_outputs(function_name, code=0, **values):
    """The next call of the entry point, on any camera, returns `code` and writes exactly
    these out-values; the others are zero-filled (a data buffer keeps what it had)."""
    name = _function(function_name)
    layout = _OUTPUTS.get(function_name, [])
    unknown = set(values) - {key for key, _ in layout}
    if unknown:
        known = ", ".join(key for key, _ in layout) or "none"
        raise TypeError(f"{function_name} has no output {', '.join(sorted(unknown))} (outputs: {known})")
    blobs = [make(values[key]) if key in values else None for key, make in layout]
    data = (c_char_p * max(1, len(blobs)))(*blobs)
    sizes = (c_size_t * max(1, len(blobs)))(*[len(b) if b is not None else 0 for b in blobs])
    if library().camsim_force_outputs(name, int(code), len(blobs), data, sizes) != 0:
        raise ValueError(f"{function_name!r} is not an ASICamera2 entry point")


def set_sdk_version(raw):
    """ASIGetSDKVersion returns these bytes NUL-terminated; None makes it return NULL."""
    if raw is None:
        library().camsim_set_sdk_version(None, 0)
        return
    if not isinstance(raw, (bytes, bytearray)):
        raise TypeError("set_sdk_version takes bytes or None")
    library().camsim_set_sdk_version(bytes(raw), len(raw))


# --- records ---------------------------------------------------------------------

def camera_info(index):
    """The camera-info record ASIGetCameraProperty returns for the camera, patches included."""
    record = CameraInfo()
    _check_camera(library().camsim_camera_info(index, ctypes.byref(record), ctypes.sizeof(record)), index)
    return record


def control_caps(camera_id, index):
    """The control-caps record ASIGetControlCaps returns, patches included."""
    record = ControlCaps()
    code = library().camsim_control_caps(camera_id, index, ctypes.byref(record), ctypes.sizeof(record))
    _check_camera(code, camera_id)
    return record


def patch_camera_info(index, **fields):
    """Overwrites raw fields of the record ASIGetCameraProperty/ByID return for the camera;
    the camera itself keeps working as its model does."""
    record = _fill(camera_info(index), _INFO_FIELDS, fields, "a camera info record")
    _check_camera(library().camsim_patch_camera_info(index, ctypes.byref(record), ctypes.sizeof(record)), index)


def patch_control_caps(camera_id, index, **fields):
    """Overwrites raw fields of the record ASIGetControlCaps returns; the control keeps its behaviour."""
    record = _fill(control_caps(camera_id, index), _CAPS_FIELDS, fields, "a control caps record")
    code = library().camsim_patch_control_caps(camera_id, index, ctypes.byref(record), ctypes.sizeof(record))
    _check_camera(code, camera_id)


# --- the simulated world -----------------------------------------------------------

def set_time_scale(scale):
    """Speeds up the slow physics (sensor cooling); exposures and guiding stay in real time."""
    if not scale > 0:
        raise ValueError("the time scale is positive")
    library().camsim_set_time_scale(float(scale))


def set_pacing(on):
    """Paces video frames to the modelled exposure and USB link (on, the default) or lets them
    come as fast as they render (off). reset() restores the default: on, unless
    ORLICAM_SIM_UNPACED=1 was set when the library loaded."""
    library().camsim_set_pacing(1 if on else 0)


def pacing():
    """Whether video frames are paced to the modelled link."""
    return bool(library().camsim_pacing())


def set_seed(seed):
    library().camsim_set_seed(int(seed) & 0xFFFFFFFFFFFFFFFF)


def trigger_input(camera_id, level):
    """Drives the camera's trigger input line (it idles low)."""
    _check_camera(library().camsim_trigger_input(camera_id, 1 if level else 0), camera_id)


def set_gps_fix(camera_id, on):
    _check_camera(library().camsim_set_gps_fix(camera_id, 1 if on else 0), camera_id)


def set_gps_position(camera_id, lat, lon, alt):
    """Latitude and longitude in degrees, altitude in metres."""
    _check_camera(library().camsim_set_gps_position(camera_id, float(lat), float(lon), int(alt)), camera_id)


def set_focal_length(camera_id, mm):
    """Focal length of the simulated telescope, for the guide rate in pixels."""
    if not mm > 0:
        raise ValueError("the focal length is positive")
    _check_camera(library().camsim_set_focal_length(camera_id, float(mm)), camera_id)


def set_drift(camera_id, dx, dy):
    """A steady drift of the star field, in sensor pixels per second."""
    _check_camera(library().camsim_set_drift(camera_id, float(dx), float(dy)), camera_id)


def set_rotation(camera_id, degrees_per_second):
    """Field rotation: the star field turns about the sensor's centre at this rate (positive
    turns +x toward +y), accumulating with time like a drift; see field_transform()."""
    rate = float(degrees_per_second)
    if not abs(rate) <= 1e6:
        raise ValueError(f"the rotation is at most 1e6 degrees per second, not {degrees_per_second!r}")
    _check_camera(library().camsim_set_rotation(camera_id, rate), camera_id)


def field_transform(camera_id, last_frame=False):
    """(dx, dy, angle_deg): where the star field is, now or (last_frame) as the camera's last
    frame began (with video, the last frame rendered, which may still be queued). A field
    position (x, y) lands on the sensor (full-resolution pixels, whatever the ROI and bin) at
    cx + cos(a) (x - cx) - sin(a) (y - cy) + dx, cy + sin(a) (x - cx) + cos(a) (y - cy) + dy,
    with (cx, cy) the centre of the full sensor (width / 2, height / 2)."""
    dx, dy, angle = c_double(), c_double(), c_double()
    code = library().camsim_field_transform(camera_id, 1 if last_frame else 0, ctypes.byref(dx), ctypes.byref(dy),
                                            ctypes.byref(angle))
    _check_camera(code, camera_id)
    return (dx.value, dy.value, angle.value)


def set_defocus(camera_id, fwhm_px):
    """Blurs the stars as an out-of-focus telescope would: a spread of `fwhm_px` sensor pixels
    (full width at half maximum, 0 to 100) added in quadrature to the optics' own."""
    fwhm = float(fwhm_px)
    if not 0.0 <= fwhm <= 100.0:
        raise ValueError(f"the defocus is 0 to 100 pixels, not {fwhm_px!r}")
    _check_camera(library().camsim_set_defocus(camera_id, fwhm), camera_id)


def set_transparency(camera_id, fraction):
    """Clouds: the fraction (0 to 1) of the sky's and the stars' light that gets through;
    0 cuts the light (a frame of dark current and noise), 1 is a clear sky."""
    value = float(fraction)
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"the transparency is 0 to 1, not {fraction!r}")
    _check_camera(library().camsim_set_transparency(camera_id, value), camera_id)


def set_light_panel(camera_id, electrons_per_second, flicker=0.0):
    """A flat panel over the simulated telescope: electrons per second per pixel at the
    field's centre, lighting the sensor evenly (through the optics' fall-off to about 80%
    in the corners) in place of sky and stars; 0 or None switches it off. `flicker` (0 to 1)
    makes its level vary from frame to frame with that relative standard deviation (drawn
    from the seed and the frame's number: repeatable). Each camera starts with
    ORLICAM_SIM_LIGHT_PANEL from the environment at load time (and after reset()), else
    off, and steady."""
    rate = 0.0 if electrons_per_second is None else float(electrons_per_second)
    if not 0 <= rate <= 1e9:
        raise ValueError(f"the light panel gives 0 to 1e9 electrons per second, not {electrons_per_second!r}")
    relative = float(flicker)
    if not 0 <= relative <= 1:
        raise ValueError(f"the flicker is 0 to 1 (relative standard deviation), not {flicker!r}")
    _check_camera(library().camsim_set_light_panel(camera_id, rate), camera_id)
    _check_camera(library().camsim_set_panel_flicker(camera_id, relative), camera_id)


def star_shift(camera_id):
    """(x, y): the star field's accumulated shift in full-resolution sensor pixels."""
    x, y = c_double(), c_double()
    _check_camera(library().camsim_star_shift(camera_id, ctypes.byref(x), ctypes.byref(y)), camera_id)
    return (x.value, y.value)


def sensor_temperature(camera_id):
    """The simulated sensor temperature in degrees Celsius."""
    t = c_double()
    _check_camera(library().camsim_sensor_temperature(camera_id, ctypes.byref(t)), camera_id)
    return t.value


def sensor_truth(camera_id, gain):
    """The sensor model the camera's frames are rendered with, at `gain` (0.1 dB steps):
    electrons_per_adu (of RAW16 data at bin 1, the sensor's bits at the top of the word, as
    vorrant.orlicam.sensor.electrons_per_adu gives it), read_noise_e (rms), full_well_e (the
    electrons a pixel shows above the bias at the camera's current offset: its well, or the
    ADC's top if that comes first) and dark_current_e_per_s
    (of a typical pixel, not a hot one, at the sensor's current temperature)."""
    out = (c_double * 4)()
    code = library().camsim_sensor_truth(camera_id, int(gain), out)
    if code == 16:
        raise ValueError(f"gain {gain!r} is outside the gain control's range")
    _check_camera(code, camera_id)
    keys = ("electrons_per_adu", "read_noise_e", "full_well_e", "dark_current_e_per_s")
    return dict(zip(keys, out))


def write_dark_bmp(camera_id, path, exposure_us=None):
    """Records a full-sensor dark with the camera's current settings (8-bit) and writes it
    as a greyscale BMP that ASIEnableDarkSubtract accepts."""
    exposure = -1 if exposure_us is None else int(exposure_us)
    if exposure_us is not None and exposure < 0:
        raise ValueError("exposure_us is not negative")
    code = library().camsim_write_dark_bmp(camera_id, os.fsencode(path), exposure)
    if code == 6:
        raise OSError(f"cannot write {os.fsdecode(path)!r}")
    _check_camera(code, camera_id)


# --- faults that cameras show on their own ----------------------------------------------

def set_faults(text):
    """Plays this fault schedule from now on, in place of any other: items separated by
    ";" or new lines, words by spaces ("unplug camera=1 at=12 for=5; fail camera=1 every=4;
    seed=7"; docs/simulator.md gives the grammar). The clock of at= starts now and the
    fault log empties; an unplugged camera comes back at once. A text that does not read
    raises ValueError naming the item, and no fault is played."""
    if not isinstance(text, str):
        raise TypeError(f"set_faults takes the schedule as a str, not {type(text).__name__}")
    if "\0" in text:
        raise ValueError("the fault schedule holds a NUL character")
    error = ctypes.create_string_buffer(512)
    if library().camsim_set_faults(text.encode(), error, len(error)) != 0:
        raise ValueError(f"fault schedule: {error.value.decode(errors='replace')}")


def clear_faults():
    """Plays no more faults; an unplugged camera comes back at once (closed). Exposures
    already started keep the fate they were given. The fault log is kept until the next
    set_faults() or reset()."""
    library().camsim_clear_faults()


def _parse_log(text):
    entries = []
    for line in text.splitlines():
        seconds, camera, what = line.split("\t", 2)
        entries.append((float(seconds), int(camera), what))
    return entries


def fault_log():
    """What the fault schedule has played, oldest first: (seconds since the schedule was
    set, camera number, what) tuples, for example (12.0, 1, "unplugged for 5 s"),
    (17.0, 1, "back"), (30.2, 1, "exposure 3 fails")."""
    return _parse_log(_text(library().camsim_fault_log))


# --- one camera per machine -------------------------------------------------------------

def holder(camera_id: int) -> tuple[int, str] | None:
    """(pid, program) of the process that has the camera open (this one included), or None
    when no process has; the camera is named by its id in this process."""
    pid = c_long()
    program = ctypes.create_string_buffer(256)
    _check_camera(library().camsim_holder(int(camera_id), ctypes.byref(pid), program, len(program)), camera_id)
    return (pid.value, program.value.decode(errors="replace")) if pid.value else None


def state_dir():
    """The folder where the simulated cameras' locks and saved state live:
    $ORLICAM_SIM_STATE_DIR, else $XDG_RUNTIME_DIR/orlicam-sim, else /tmp/orlicam-sim-$UID.
    Deleting its files while no program runs resets every camera of the machine."""
    return _text(library().camsim_state_dir)
