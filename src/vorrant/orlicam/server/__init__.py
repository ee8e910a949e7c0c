"""The server that serves the Alpaca API and the live view side by side."""
from .server import Server, saves_folder, serve

__all__ = ["Server", "saves_folder", "serve"]
