"""What a client sees of both simulated cameras: devices, standard properties, types and permissions."""
import pytest

from indi_support import COLOUR, MONO, SPARE_PORT, Client, eval_until, getprop, setprop

# (property, vector type, permission, on the colour uncooled ST4 camera, on the mono cooled one)
STANDARD = [
    ("CONNECTION", "SwitchVector", "rw", True, True),
    ("DRIVER_INFO", "TextVector", "ro", True, True),
    ("CCD_INFO", "NumberVector", "ro", True, True),
    ("CCD_EXPOSURE", "NumberVector", "rw", True, True),
    ("CCD_ABORT_EXPOSURE", "SwitchVector", "rw", True, True),
    ("CCD_FRAME", "NumberVector", "rw", True, True),
    ("CCD_FRAME_RESET", "SwitchVector", "wo", True, True),
    ("CCD_BINNING", "NumberVector", "rw", True, True),
    ("CCD_FRAME_TYPE", "SwitchVector", "rw", True, True),
    ("CCD_CAPTURE_FORMAT", "SwitchVector", "rw", True, True),
    ("CCD_TRANSFER_FORMAT", "SwitchVector", "rw", True, True),
    ("CCD_CFA", "TextVector", "rw", True, False),
    ("CCD_TEMPERATURE", "NumberVector", "ro", True, False),
    ("CCD_TEMPERATURE", "NumberVector", "rw", False, True),
    ("CCD_TEMP_RAMP", "NumberVector", "rw", False, True),
    ("CCD_COOLER", "SwitchVector", "wo", False, True),
    ("CCD_COOLER_POWER", "NumberVector", "ro", False, True),
    ("CCD_GAIN", "NumberVector", "rw", True, True),
    ("CCD_OFFSET", "NumberVector", "rw", True, True),
    ("CCD_CONTROLS", "NumberVector", "rw", True, True),
    ("CCD_CONTROLS_MODE", "SwitchVector", "rw", True, True),
    ("TELESCOPE_TIMED_GUIDE_NS", "NumberVector", "rw", True, True),
    ("TELESCOPE_TIMED_GUIDE_WE", "NumberVector", "rw", True, True),
    ("CCD_VIDEO_STREAM", "SwitchVector", "rw", True, True),
    ("CCD_STREAM_ENCODER", "SwitchVector", "rw", True, True),
    ("CCD_STREAM_RECORDER", "SwitchVector", "rw", True, True),
    ("RECORD_STREAM", "SwitchVector", "rw", True, True),
    ("UPLOAD_MODE", "SwitchVector", "rw", True, True),
    ("FITS_HEADER", "TextVector", "rw", True, True),
    ("ACTIVE_DEVICES", "TextVector", "rw", True, True),
    ("CCD1", "BLOBVector", "ro", True, True),
    ("SIM_FAIL_NEXT", "TextVector", "rw", True, True),
]
CASES = [(device, row) for device, column in ((COLOUR, 3), (MONO, 4)) for row in STANDARD
         if row[column] or not any(r[0] == row[0] and r[column] for r in STANDARD)]


@pytest.fixture(scope="module")
def connected(server):
    c = Client()
    for device in (COLOUR, MONO):
        c.connect(device)
        c.vector(device, "SIM_FAIL_NEXT")       # the last one defined on connection
    seen = {device: dict(c.ipy[device]) for device in (COLOUR, MONO)}
    perms = getprop("*.*._PERM")
    c.close()
    return seen, perms


@pytest.mark.parametrize("device,row", CASES, ids=[f"{d[9:15]}-{r[0]}-{r[3] if d == COLOUR else r[4]}"
                                                    for d, r in CASES])
def test_standard_property_has_its_type_and_permission(connected, device, row):
    name, kind, perm, on_colour, on_mono = row
    seen, perms = connected
    present = on_colour if device == COLOUR else on_mono
    if not present:
        assert name not in seen[device] or perms.get(f"{device}.{name}._PERM") != perm
        return
    vector = seen[device][name]
    assert (vector.vectortype, vector.perm) == (kind, perm)
    if kind != "BLOBVector":                    # indi_getprop leaves BLOBs out
        assert perms[f"{device}.{name}._PERM"] == perm


@pytest.mark.parametrize("device,interface,elements", [
    (COLOUR, "6", {"CCD_MAX_X": 1936, "CCD_MAX_Y": 1096, "CCD_PIXEL_SIZE": 2.9, "CCD_BITSPERPIXEL": 16}),
    (MONO, "6", {"CCD_MAX_X": 4144, "CCD_MAX_Y": 2822, "CCD_PIXEL_SIZE": 4.63, "CCD_BITSPERPIXEL": 16}),
])
def test_driver_info_and_ccd_info_describe_the_camera(connected, device, interface, elements):
    values = getprop(f"{device}.DRIVER_INFO.*", f"{device}.CCD_INFO.*", f"{device}.CCD_CFA.*",
                     f"{device}.CCD_CAPTURE_FORMAT.*")
    assert values[f"{device}.DRIVER_INFO.DRIVER_INTERFACE"] == interface      # camera (2) + guider (4)
    assert values[f"{device}.DRIVER_INFO.DRIVER_EXEC"] == "indi_orlicam_ccd"
    assert values[f"{device}.DRIVER_INFO.DRIVER_NAME"] == "Orlicam"            # as in indi_orlicam.xml
    for element, expected in elements.items():
        assert float(values[f"{device}.CCD_INFO.{element}"]) == pytest.approx(expected, abs=1e-5)
    assert values[f"{device}.CCD_CAPTURE_FORMAT.RAW16"] == "On"
    assert values.get(f"{device}.CCD_CFA.CFA_TYPE") == ("RGGB" if device == COLOUR else None)


@pytest.mark.parametrize("device,gain_max,offset_max,controls", [
    (COLOUR, 570, 80, {"Gamma", "WB_R", "WB_B", "BandWidth", "HighSpeedMode", "Mono_bin"}),
    (MONO, 570, 250, {"Gamma", "BandWidth", "FanOn", "AntiDewHeater"}),
])
def test_gain_offset_and_controls_carry_the_camera_ranges(connected, device, gain_max, offset_max, controls):
    seen, _ = connected
    for vector, element, top in (("CCD_GAIN", "GAIN", gain_max), ("CCD_OFFSET", "OFFSET", offset_max)):
        member = seen[device][vector].members()[element]
        assert (float(member.min), float(member.max)) == (0, top)
    names = set(seen[device]["CCD_CONTROLS"])
    assert controls <= names and not names & {"Exposure", "Gain", "Offset", "Flip", "TargetTemp"}
    assert {"AUTO_Gain", "AUTO_Exposure"} <= set(seen[device]["CCD_CONTROLS_MODE"])


def test_two_cameras_of_one_model_are_two_devices(fresh_server):
    fresh_server(cameras="asi462mc,asi462mc")
    names = {key.split(".")[0] for key in getprop("*.CONNECTION.CONNECT", port=SPARE_PORT)}
    assert len(names) == 2 and all(n.startswith(COLOUR + " ") for n in names), names
    # Each drives a camera of its own: both connect (through the shell clients).
    for name in names:
        setprop(f"{name}.CONNECTION.CONNECT=On", port=SPARE_PORT)
    assert eval_until(" && ".join(f'"{n}.CONNECTION._STATE"==1' for n in names), 20, port=SPARE_PORT)
