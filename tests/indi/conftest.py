import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))    # indi_support, beside this file

from indi_support import COLOUR, MONO, SPARE_PORT, Client, Server, have_indi, private_network


def pytest_collection_modifyitems(config, items):
    # Outside one (a plain pytest run), indiserver would listen on every interface of the machine.
    if not private_network():
        reason = "indiserver binds every interface: run in a private network namespace (make test-indi)"
        here = Path(__file__).parent
        for item in items:
            if item.path.is_relative_to(here):   # the hook sees the whole session's items
                item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture(scope="session", autouse=True)
def _installed():
    assert have_indi(), "indiserver (indi-bin) or .venv/bin/indi_orlicam_ccd (libindi-dev at build time) is missing"


def _clean(server: Server) -> None:
    log = server.log()
    server.stop()
    # The driver's stderr reaches indiserver's log: a sanitizer report there fails the test.
    assert "AddressSanitizer" not in log and "runtime error:" not in log, log[-4000:]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    s = Server(tmp_path_factory.mktemp("indi-home"))
    yield s
    _clean(s)


@pytest.fixture
def fresh_server(tmp_path):
    """A server of its own, for tests that leave a device changed; its cameras are those of
    another machine (a state folder of their own), as the module's server holds this one's."""
    made = []

    def start(**kw):
        made.append(Server(tmp_path, port=SPARE_PORT, **{"ORLICAM_SIM_STATE_DIR": str(tmp_path / "machine"), **kw}))
        return made[-1]

    yield start
    for s in made:
        _clean(s)


@pytest.fixture
def client(server):
    c = Client()
    yield c
    c.close()


# Both cameras connected once per module, for the tests that expose and operate them.
@pytest.fixture(scope="module")
def cams(server):
    c = Client()
    for device in (COLOUR, MONO):
        c.connect(device)
    yield c
    c.close()
