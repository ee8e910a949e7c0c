"""The server that serves the Alpaca API and the live view side by side."""
from .server import Server, serve

__all__ = ["Server", "serve"]
