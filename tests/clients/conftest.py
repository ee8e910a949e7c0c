import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))    # ekos_support, beside this file

from ekos_support import KStars, configure, first_start, have_kstars, private_network


def pytest_collection_modifyitems(config, items):
    # Outside one (a plain pytest run), indiserver would listen on every interface of the machine.
    if not private_network():
        reason = "indiserver binds every interface: run in a private network namespace (make test-ekos)"
        here = Path(__file__).parent
        for item in items:
            if item.path.is_relative_to(here):   # the hook sees the whole session's items
                item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture(scope="session")
def template(tmp_path_factory) -> Path:
    """A home where KStars has run once (its user database made); INDI's driver list is the
    system's, which the package indi-orlicam adds our driver to."""
    assert have_kstars(), "kstars, Xvfb, dbus-run-session, qdbus, indiserver or the indi-orlicam package is missing"
    home = tmp_path_factory.mktemp("kstars-home")
    configure(home)
    first_start(home)
    return home


@pytest.fixture
def home(template, tmp_path) -> Path:
    copy = tmp_path / "home"
    shutil.copytree(template, copy, ignore=shutil.ignore_patterns("run", "tmp", "*.log"))
    configure(copy)
    return copy


@pytest.fixture
def kstars_in(home):
    made = []

    def start(**env):
        made.append(KStars(home, **env))
        return made[-1]

    yield start
    for k in made:
        k.stop()
