"""The setup pages: plain HTML for people, one for the server and one per camera.

Each page is a list of sections; a further page about a camera (the live view) is listed
in the device's `links` by whoever serves it, so a server without it shows no dead link.
"""
from __future__ import annotations

from collections.abc import Callable, Sequence
from html import escape
from typing import Any

from .device import CameraDevice
from ..device.errors import DeviceError


_STYLE = ("body{font-family:sans-serif;margin:2em;max-width:60em}table{border-collapse:collapse}"
          "td,th{border:1px solid #bbb;padding:.2em .6em;text-align:left}")
_STATES = ("idle", "waiting", "exposing", "reading", "downloading", "error")
# (label, member) of the current settings shown for a connected camera
_SETTINGS = (("State", "camerastate"), ("Binning", "binx"), ("Subframe start", None), ("Subframe size", None),
             ("Readout mode", None), ("Gain", "gain"), ("Offset", "offset"), ("Sensor temperature (°C)", "ccdtemperature"),
             ("Cooler on", "cooleron"), ("Cooler set point (°C)", "setccdtemperature"),
             ("Electrons per ADU", "electronsperadu"))


def _page(title: str, body: str) -> str:
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>{escape(title)}</title>'
            f"<style>{_STYLE}</style></head>\n<body><h1>{escape(title)}</h1>\n{body}\n</body></html>\n")


def _table(rows: Sequence[tuple[str, Any]]) -> str:
    cells = "".join(f"<tr><th>{escape(k)}</th><td>{escape(str(v))}</td></tr>" for k, v in rows)
    return f"<table>{cells}</table>"


def _read(device: CameraDevice, member: str, shown: Callable[[Any], Any] = lambda v: v) -> Any:
    try:
        return shown(device.read(member))
    except DeviceError as exc:
        return "not available" if exc.number == 0x400 else f"error: {exc.message}"


def _identity(device: CameraDevice) -> list[tuple[str, Any]]:
    d = device.description
    sensor = _read(device, "sensorname") if device.get_connected() else "(connect to read)"
    return [("Device number", device.number), ("Model", d.name), ("Serial", device.serial or "unknown"),
            ("Unique ID", device.unique_id),
            ("Sensor", sensor), ("Sensor size", f"{d.max_width} x {d.max_height} pixels of {d.pixel_size:g} µm"),
            ("Colour", d.bayer_pattern or "no (mono)"), ("Bit depth", d.bit_depth),
            ("Binning", ", ".join(map(str, d.bins))), ("Cooled", "yes" if d.cooled else "no")]


def _settings(device: CameraDevice) -> list[tuple[str, Any]]:
    if not device.get_connected():
        return [("State", "not connected")]
    rows: list[tuple[str, Any]] = []
    for label, member in _SETTINGS:
        if label == "Subframe start":
            rows.append((label, f"{_read(device, 'startx')}, {_read(device, 'starty')}"))
        elif label == "Subframe size":
            rows.append((label, f"{_read(device, 'numx')} x {_read(device, 'numy')}"))
        elif label == "Readout mode":
            modes = _read(device, "readoutmodes")
            mode = _read(device, "readoutmode")
            rows.append((label, modes[mode] if isinstance(modes, list) and isinstance(mode, int) else mode))
        elif member == "camerastate":
            rows.append((label, _read(device, member, lambda v: _STATES[v])))
        elif member is not None:
            rows.append((label, _read(device, member)))
    return rows


def _links(device: CameraDevice) -> str:
    items = "".join(f'<li><a href="{escape(url)}">{escape(label)}</a></li>' for label, url in device.links)
    return f"<ul>{items}</ul>" if items else ""


def camera_page(device: CameraDevice) -> str:
    body = (f"<h2>Camera</h2>{_table(_identity(device))}\n<h2>Current settings</h2>{_table(_settings(device))}\n"
            f"{_links(device)}<p><a href=\"/setup\">All cameras</a></p>")
    return _page(f"Camera {device.number}: {device.description.name}", body)


def server_page(name: str, devices: Sequence[CameraDevice]) -> str:
    rows = "".join(
        f'<tr><td>{d.number}</td><td><a href="/setup/v1/camera/{d.number}/setup">{escape(d.description.name)}</a></td>'
        f"<td>{escape(d.unique_id)}</td><td>{'connected' if d.get_connected() else 'not connected'}</td></tr>"
        for d in devices)
    table = (f"<table><tr><th>Number</th><th>Model</th><th>Unique ID</th><th>State</th></tr>{rows}</table>"
             if devices else "<p>No camera is connected.</p>")
    return _page(name, f"<h2>Cameras</h2>{table}")
