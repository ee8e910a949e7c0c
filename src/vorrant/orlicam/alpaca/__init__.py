"""An ASCOM Alpaca server: every connected camera as an Alpaca Camera device.

    from vorrant.orlicam.alpaca import serve
    serve()                      # http://127.0.0.1:11111, until Ctrl-C

`Server` runs the same server in a background thread (`with Server(port=0) as s:`).
Needs the optional dependencies of the `alpaca` extra (starlette, uvicorn).
"""
try:
    import starlette  # noqa: F401
    import uvicorn  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("the Alpaca server needs the 'alpaca' extra: pip install 'orlicam[alpaca]'") from exc

import importlib
from typing import Any

from .discovery import DISCOVERY_PORT

__all__ = ["DISCOVERY_PORT", "Server", "serve"]


def __getattr__(name: str) -> Any:
    # The server that serves this API beside the live view is composed in the layer above
    # (vorrant.orlicam.server); its documented names are found here too, resolved on use.
    if name not in ("Server", "serve"):
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module("vorrant.orlicam.server"), name)
    globals()[name] = value
    return value
