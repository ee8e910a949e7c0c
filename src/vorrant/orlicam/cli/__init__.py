"""The command line: one module per group of commands, and the console output they share.
The only layer that imports click."""
from .main import cli, main

__all__ = ["cli", "main"]
