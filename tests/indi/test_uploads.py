"""Local uploads (UPLOAD_MODE Local or Both): below the upload root, which is the driver's
HOME here (the server's home folder), and never stalling the driver."""
import contextlib
import ctypes
import io
import os
import time
from pathlib import Path

import pytest
from astropy.io import fits

from indi_support import MONO, SPARE_PORT, Client

MODES = ("UPLOAD_CLIENT", "UPLOAD_LOCAL", "UPLOAD_BOTH")


@pytest.fixture
def uploads(cams, server):
    """The client, small frames, and the upload root; client uploads again afterwards."""
    assert cams.set_and_wait(MONO, "CCD_FRAME", X=0, Y=0, WIDTH=512, HEIGHT=256) == "Ok"
    yield cams, server.log_path.parent.resolve()
    cams.set_and_wait(MONO, "UPLOAD_MODE", **{m: "On" if m == "UPLOAD_CLIENT" else "Off" for m in MODES})


def settle(client: Client, directory: str, prefix: str, mode: str) -> None:
    assert client.set_and_wait(MONO, "UPLOAD_SETTINGS", UPLOAD_DIR=directory, UPLOAD_PREFIX=prefix) == "Ok"
    assert client.set_and_wait(MONO, "UPLOAD_MODE", **{m: "On" if m == mode else "Off" for m in MODES}) == "Ok"


def expose(client: Client) -> tuple[str, list[bytes]]:
    """One exposure: its final state and the images sent with it."""
    client.drain()
    client.send(MONO, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=0.01)
    sent: list[bytes] = []
    deadline = time.monotonic() + 30
    while True:
        event = client.next_event(deadline)
        assert event is not None, f"no end to the exposure: {client.messages[-3:]}"
        if getattr(event, "devicename", None) != MONO:
            continue
        if getattr(event, "eventtype", None) == "SetBLOB":
            sent.append(event["CCD1"])
        elif getattr(event, "vectorname", None) == "CCD_EXPOSURE" and event.state in ("Ok", "Alert"):
            return event.state, sent


@pytest.mark.parametrize("mode", ["UPLOAD_LOCAL", "UPLOAD_BOTH"])
def test_local_uploads_are_saved_below_the_root(uploads, mode):
    client, root = uploads
    settle(client, "nights/first", "M31_XXX", mode)
    before = set((root / "nights/first").glob("*")) if (root / "nights/first").exists() else set()
    state, sent = expose(client)
    assert state == "Ok", client.messages[-3:]
    (path,) = set((root / "nights/first").glob("*")) - before
    assert path.name in ("M31_001.fits", "M31_002.fits")
    assert client.ipy[MONO]["CCD_FILE_PATH"]["FILE_PATH"] == str(path)
    with fits.open(path) as hdus:
        assert hdus[0].data.shape == (256, 512) and hdus[0].header["INSTRUME"] == MONO
    assert sent == ([path.read_bytes()] if mode == "UPLOAD_BOTH" else [])


# (folder, prefix, what the client is told)
REFUSED = [
    ("/", "IMAGE_XXX", "UPLOAD_DIR refused: '/' is outside the upload folder"),
    ("nights/../../elsewhere", "IMAGE_XXX", "UPLOAD_DIR refused: 'nights/../../elsewhere' climbs out with '..'"),
    ("nights", "../IMAGE_XXX", "UPLOAD_PREFIX refused: '../IMAGE_XXX' is not a file name"),
]


@pytest.mark.parametrize("folder,prefix,told", REFUSED)
def test_upload_settings_leaving_the_root_are_refused(uploads, folder, prefix, told):
    client, _ = uploads
    before = dict(client.ipy[MONO]["UPLOAD_SETTINGS"])
    assert client.set_and_wait(MONO, "UPLOAD_SETTINGS", UPLOAD_DIR=folder, UPLOAD_PREFIX=prefix) == "Alert"
    client.wait_for(lambda: told in str(client.ipy[MONO]["UPLOAD_SETTINGS"].message) or told in client.said(MONO),
                    5, told)
    assert dict(client.ipy[MONO]["UPLOAD_SETTINGS"]) == before


# (what the folder holds, folder, prefix, what the client is told)
FAILING = [
    ("fifo", "pipe", "frame", "frame.fits exists and is not a regular file"),     # opening it would block
    ("link out", "out", "IMAGE_XXX", "'out' is not a folder (links are not followed)"),
]


@pytest.mark.parametrize("kind,folder,prefix,told", FAILING, ids=[f[0] for f in FAILING])
def test_an_upload_that_would_block_or_leave_the_root_fails_alone(uploads, tmp_path, kind, folder, prefix, told):
    client, root = uploads
    if kind == "fifo":
        (root / folder).mkdir(exist_ok=True)
        os.mkfifo(root / folder / f"{prefix}.fits")
    else:
        (root / folder).symlink_to(tmp_path)
    settle(client, folder, prefix, "UPLOAD_LOCAL")
    state, _ = expose(client)
    assert state == "Alert"
    client.wait_for(lambda: told in client.said(MONO), 5, told)
    assert list(tmp_path.iterdir()) == []
    # The driver still answers: the next image reaches the client.
    settle(client, "", "IMAGE_XXX", "UPLOAD_CLIENT")
    assert fits.open(io.BytesIO(client.expose(MONO, 0.01)))[0].data.shape == (256, 512)


# Two cameras of one model finish at the same instant. libindi 1.9.9 makes each BLOB wait for
# indiserver's answer to the one before: sent from another thread, the second image waited on
# an answer the driver's loop had read (never sent); sent from the loop (Both), the driver
# stopped. Their saves under one prefix also took the same index.
@pytest.mark.parametrize("mode", ["UPLOAD_CLIENT", "UPLOAD_BOTH"])
def test_two_cameras_of_one_model_exposing_together_deliver_every_image(fresh_server, tmp_path, mode):
    fresh_server(cameras="asi120mm_mini,asi120mm_mini")
    client = Client(port=SPARE_PORT)
    try:
        client.wait_for(lambda: len(client.ipy) == 2, 10, "two cameras")
        devices = sorted(client.ipy)
        switches = {m: "On" if m == mode else "Off" for m in MODES}
        for device in devices:
            client.connect(device)
            assert client.set_and_wait(device, "UPLOAD_MODE", **switches) == "Ok"
        sent: list[bytes] = []
        for round_ in range(8):
            client.drain()
            for device in devices:
                client.send(device, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=0.01)
            images, ended, deadline = {}, set(), time.monotonic() + 20
            while len(images) < 2 or len(ended) < 2:
                event = client.next_event(deadline)
                assert event is not None, f"round {round_}: images from {sorted(images)}, ended {sorted(ended)}"
                device = getattr(event, "devicename", None)
                if getattr(event, "eventtype", None) == "SetBLOB" and "CCD1" in event:
                    images[device] = event["CCD1"]
                elif getattr(event, "vectorname", None) == "CCD_EXPOSURE" and event.state in ("Ok", "Alert"):
                    assert event.state == "Ok", client.messages[-3:]
                    ended.add(device)
            sent += images.values()
        saved = [path.read_bytes() for path in tmp_path.glob("IMAGE_*.fits")]
        assert sorted(saved) == (sorted(sent) if mode == "UPLOAD_BOTH" else [])
    finally:
        client.close()


@contextlib.contextmanager
def never_answering(folder: Path):
    """Every open in `folder`, and of it, waits for a permission nobody gives (a stalled network
    mount, as the driver sees it) until the block ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.fanotify_init(0x4 | 0x1, os.O_RDONLY)             # FAN_CLASS_CONTENT, FAN_CLOEXEC
    assert fd >= 0, os.strerror(ctypes.get_errno())
    try:
        mask = 0x10000 | 0x40000000 | 0x08000000                 # FAN_OPEN_PERM, FAN_ONDIR, FAN_EVENT_ON_CHILD
        assert libc.fanotify_mark(fd, 1, ctypes.c_uint64(mask), -100, bytes(folder)) == 0
        yield
    finally:
        os.close(fd)                                             # what waits is let through


def driver_threads(server) -> int:
    (driver,) = Path(f"/proc/{server.process.pid}/task/{server.process.pid}/children").read_text().split()
    return len(os.listdir(f"/proc/{driver}/task"))


def test_a_save_that_hangs_holds_one_thread_and_images_still_reach_the_client(fresh_server, tmp_path):
    server = fresh_server()
    client = Client(port=SPARE_PORT)
    try:
        client.connect(MONO)
        assert client.set_and_wait(MONO, "CCD_FRAME", X=0, Y=0, WIDTH=512, HEIGHT=256) == "Ok"
        (tmp_path / "stalled").mkdir()
        settle(client, "stalled", "IMAGE_XXX", "UPLOAD_BOTH")
        threads = driver_threads(server)
        with never_answering(tmp_path / "stalled"):
            for _ in range(6):
                client.drain()
                client.send(MONO, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=0.01)
                deadline = time.monotonic() + 20
                while (event := client.next_event(deadline)) is not None and \
                        getattr(event, "eventtype", None) != "SetBLOB":
                    pass
                assert event is not None, f"no image: {client.messages[-3:]}"
            # One save waits on the folder; the others were refused, and the client told so.
            assert driver_threads(server) <= threads + 1
            told = "image not saved: the previous image is still being saved"
            client.wait_for(lambda: told in client.said(MONO), 5, told)
            assert client.ipy[MONO]["CCD_FILE_PATH"].state == "Alert"
    finally:
        client.close()
