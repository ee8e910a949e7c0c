"""The live view: a browser page per camera with a stretched preview, histogram, focus
figures (stars, HFR, FWHM) and the camera's controls, served by the Alpaca server.

    from vorrant.orlicam.alpaca import Server
    with Server(port=0) as server:
        print(server.url + "/live/0")

Needs the optional dependencies of the `live` extra (sep, simplejpeg, wsproto).
"""
try:
    import sep  # noqa: F401
    import simplejpeg  # noqa: F401
    import wsproto  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("the live view needs the 'live' extra: pip install 'orlicam[live]'") from exc

from .app import LiveApp

__all__ = ["LiveApp"]
