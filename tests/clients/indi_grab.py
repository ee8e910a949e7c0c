"""Two 64x48 exposures through the INDI driver (mono and colour), saved as the FITS files it
sends: `python indi_grab.py FOLDER`, inside a private network namespace (indiserver listens on
every interface)."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parents[1] / "indi"))
from indi_support import COLOUR, MONO, Client, Server  # noqa: E402

folder = Path(sys.argv[1])
server = Server(folder)
try:
    client = Client()
    for name, device in (("indi_mono.fits", MONO), ("indi_colour.fits", COLOUR)):
        client.connect(device)
        assert client.set_and_wait(device, "CCD_FRAME", X=0, Y=0, WIDTH=64, HEIGHT=48) == "Ok"
        (folder / name).write_bytes(client.expose(device, 0.01))
    client.close()
finally:
    server.stop()
