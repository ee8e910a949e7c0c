"""The results of a sensor analysis (per gain, per Bayer site, the dark current), their
summary for people and the report written of them: JSON, text and plots."""
from __future__ import annotations

import io
import json
import math
import os
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Final

import numpy as np

from ..files.outputs import check_output, write_new

__all__ = ["Analysis", "GainResult", "SiteResult", "PtcPoint", "DarkCurrent", "Step", "LightError",
           "default_gains", "check_report", "write_report", "REPORT_FILES"]


class LightError(ValueError):
    """The light is missing, flickers, is uneven, or too bright or dim for the gains asked."""


@dataclass(frozen=True)
class Step:
    """Progress: what is being done, and how far along the whole analysis is."""

    text: str
    done: int
    total: int


@dataclass(frozen=True)
class PtcPoint:
    """One pair of flats: exposure (s), mean signal less bias (ADU), half the variance of
    the pair's difference (ADU^2), and whether pixels clipped (left out of the fit)."""

    exposure: float
    signal_adu: float
    variance_adu2: float
    clipped: bool


@dataclass(frozen=True)
class SiteResult:
    """One Bayer site of a colour sensor: its name (R, Gr, Gb, B) and where it sits."""

    site: str
    position: str
    electrons_per_adu: float
    read_noise_e: float
    full_well_e: float
    dynamic_range_stops: float


@dataclass(frozen=True)
class GainResult:
    gain: int
    electrons_per_adu: float
    read_noise_e: float
    full_well_e: float
    dynamic_range_stops: float
    offset: int                    # the lowest offset that keeps the bias clear of zero
    measured_offset: int           # the offset the flats were taken at
    bias_adu: float                # the bias level at measured_offset
    offset_step_adu: float         # ADU the bias moves per offset step
    bias_clipped: bool             # even the highest offset lets the bias touch zero
    sites: tuple[SiteResult, ...]  # colour sensors only
    photon_transfer: tuple[PtcPoint, ...]


@dataclass(frozen=True)
class DarkCurrent:
    temperature: float
    set_point: float | None
    e_per_s: float


@dataclass(frozen=True)
class Analysis:
    camera: str
    temperature: float
    bit_depth: int
    bayer_pattern: str | None
    region: tuple[int, int]
    gains: tuple[GainResult, ...]
    dark_current_e_per_s: float
    dark_current: tuple[DarkCurrent, ...] = field(default=())
    seconds: float = 0.0
    stopped: str = ""   # why the analysis ended before its last step: the figures are those measured

    @property
    def adu_per_step(self) -> int:
        """RAW16 units per step of the sensor's ADC."""
        return 1 << (16 - self.bit_depth)

    def unity_gain(self) -> tuple[float, bool] | None:
        """The gain at one electron per step of the sensor's ADC, and whether it lies
        outside the gains measured; None with fewer than two gains."""
        if len(self.gains) < 2:
            return None
        g = np.array([r.gain for r in self.gains], dtype=np.float64)
        k = np.log10(np.array([r.electrons_per_adu * self.adu_per_step for r in self.gains]))
        slope, intercept = np.polyfit(g, k, 1)
        if slope >= 0:
            return None
        unity = float(-intercept / slope)
        return unity, not (g.min() <= unity <= g.max())

    def planetary(self) -> GainResult:
        """The gain for short exposures where read noise rules: read noise within 5% of
        the lowest measured, and of those the one with the most dynamic range."""
        lowest = min(r.read_noise_e for r in self.gains)
        close = [r for r in self.gains if r.read_noise_e <= 1.05 * lowest]
        return max(close, key=lambda r: r.dynamic_range_stops)

    def deep_sky(self) -> GainResult:
        """The gain for long exposures: the most dynamic range."""
        return max(self.gains, key=lambda r: r.dynamic_range_stops)

    def _where(self) -> str:
        return "an unknown temperature" if math.isnan(self.temperature) else f"{self.temperature:.1f} °C"

    def to_dict(self) -> dict[str, Any]:
        def row(r: GainResult) -> dict[str, Any]:
            out: dict[str, Any] = {
                "gain": r.gain, "electrons_per_adu": r.electrons_per_adu, "read_noise_e": r.read_noise_e,
                "full_well_e": r.full_well_e, "dynamic_range_stops": r.dynamic_range_stops, "offset": r.offset,
                "measured_offset": r.measured_offset, "bias_adu": r.bias_adu, "offset_step_adu": r.offset_step_adu,
                "bias_clipped": r.bias_clipped}
            if r.sites:
                out["sites"] = [{"site": s.site, "position": s.position, "electrons_per_adu": s.electrons_per_adu,
                                 "read_noise_e": s.read_noise_e, "full_well_e": s.full_well_e,
                                 "dynamic_range_stops": s.dynamic_range_stops} for s in r.sites]
            out["photon_transfer"] = [{"exposure_s": p.exposure, "signal_adu": p.signal_adu,
                                       "variance_adu2": p.variance_adu2, "clipped": p.clipped}
                                      for p in r.photon_transfer]
            return out

        unity = self.unity_gain()
        return {
            "camera": self.camera, "temperature": None if math.isnan(self.temperature) else self.temperature,
            "adu": f"RAW16 data units; one step of the {self.bit_depth}-bit ADC is {self.adu_per_step}",
            "bayer_pattern": self.bayer_pattern, "region": list(self.region),
            "gains": [row(r) for r in self.gains],
            "dark_current_e_per_s": None if math.isnan(self.dark_current_e_per_s) else self.dark_current_e_per_s,
            "dark_current": [{"temperature": d.temperature, "set_point": d.set_point, "e_per_s": d.e_per_s}
                             for d in self.dark_current],
            "unity_gain": None if unity is None else round(unity[0], 1),
            "planetary_gain": self.planetary().gain, "deep_sky_gain": self.deep_sky().gain,
            "seconds": round(self.seconds, 1),
            **({"stopped": self.stopped} if self.stopped else {}),
        }

    def summary(self) -> str:
        lines = [f"{self.camera} at {self._where()}; ADU of RAW16 data "
                 f"({self.bit_depth}-bit ADC: one step is {self.adu_per_step} ADU)."]
        if self.gains and self.gains[0].sites:
            lines.append(f"Bayer sites ({self.bayer_pattern} sensor), measured each on its own: "
                         + "; ".join(f"{s.site} = {s.position}" for s in self.gains[0].sites) + ".")
        unity = self.unity_gain()
        if unity is not None:
            where = " (extrapolated beyond the gains measured)" if unity[1] else ""
            lines.append(f"Unity gain (1 e- per step of the sensor's ADC): gain {unity[0]:.0f}{where}.")
        p, d = self.planetary(), self.deep_sky()
        lines.append(f"Planetary and lucky imaging (short exposures, read noise rules): gain {p.gain}: read noise "
                     f"{p.read_noise_e:.2f} e-, the lowest measured (within 5%), keeping {p.dynamic_range_stops:.1f} "
                     f"stops.")
        lines.append(f"Deep sky (long exposures, dynamic range rules): gain {d.gain}: {d.dynamic_range_stops:.1f} stops "
                     f"(full well {d.full_well_e:.0f} e-, read noise {d.read_noise_e:.2f} e-), the most measured.")
        lines.append(f"Offsets that keep the bias clear of zero: "
                     + ", ".join(f"gain {r.gain}: {r.offset}" + (" (clips still)" if r.bias_clipped else "")
                                 for r in self.gains) + ".")
        if math.isnan(self.dark_current_e_per_s):
            lines.append("Dark current: not measured.")
        else:
            lines.append(f"Dark current: {self.dark_current_e_per_s:.4g} e-/s per pixel at {self._where()}.")
        for dc in self.dark_current:
            lines.append(f"Dark current: {dc.e_per_s:.4g} e-/s per pixel at {dc.temperature:.1f} °C "
                         f"(set point {dc.set_point:g} °C).")
        if len(self.dark_current) >= 2:
            a, b = self.dark_current[0], self.dark_current[-1]
            if a.e_per_s > 0 and b.e_per_s > 0 and a.e_per_s != b.e_per_s and a.temperature != b.temperature:
                doubling = (b.temperature - a.temperature) * math.log(2) / math.log(b.e_per_s / a.e_per_s)
                lines.append(f"Dark current doubles every {doubling:.1f} °C.")
        if self.stopped:
            lines.append(f"Stopped before the end ({self.stopped}): these are the figures measured until then.")
        return "\n".join(lines) + "\n"


def default_gains(low: int, high: int) -> list[int]:
    """Every 100 from the lowest gain to the highest."""
    return list(range(low, high + 1, 100))


# --- the report on disk -------------------------------------------------------------

REPORT_FILES: Final = ("analysis.json", "summary.txt", "photon-transfer.png", "gain.png")


def check_report(folder: str | os.PathLike[str]) -> Path:
    """The folder, once it can be made (in an existing folder) or none of the report's
    files exist in it, and matplotlib (the `analyze` extra) can draw the plots: checked
    before minutes are spent. Nothing is created."""
    try:
        import matplotlib   # noqa: F401
    except ImportError:
        raise ImportError("the plots need matplotlib: pip install 'orlicam[analyze]'") from None
    path = Path(folder)
    if path.is_dir():
        for name in REPORT_FILES:
            check_output(path / name)
    else:
        check_output(path)
    return path


def write_report(analysis: Analysis, folder: str | os.PathLike[str]) -> list[Path]:
    """Writes analysis.json, summary.txt and the plots (photon-transfer curves; read noise,
    e-/ADU and dynamic range against gain) into `folder`; never replaces a file."""
    path = check_report(folder)
    path.mkdir(exist_ok=True)
    out = [path / name for name in REPORT_FILES]
    write_new(out[0], (json.dumps(analysis.to_dict(), indent=2) + "\n").encode())
    write_new(out[1], analysis.summary().encode())
    write_new(out[2], _png(_plot_ptc, analysis))
    write_new(out[3], _png(_plot_gain, analysis))
    return out


def _png(draw: Callable[[Any, Analysis], None], analysis: Analysis) -> bytes:
    from matplotlib.figure import Figure   # no pyplot: no GUI backend, no global state

    fig = Figure(figsize=(8, 5.5), dpi=100, layout="constrained")
    draw(fig, analysis)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    return buffer.getvalue()


def _plot_ptc(fig: Any, a: Analysis) -> None:
    ax = fig.add_subplot()
    for r in a.gains:
        pts = [p for p in r.photon_transfer if p.signal_adu > 0 and p.variance_adu2 > 0]
        line, = ax.plot([p.signal_adu for p in pts], [p.variance_adu2 for p in pts], "o-", ms=4,
                        label=f"gain {r.gain}: {r.electrons_per_adu:.3g} e-/ADU, full well {r.full_well_e:.0f} e-")
        s = np.array([p.signal_adu for p in pts if p.signal_adu <= r.full_well_e / r.electrons_per_adu])
        if s.size:
            noise_adu = r.read_noise_e / r.electrons_per_adu
            ax.plot(s, s / r.electrons_per_adu + noise_adu ** 2, ":", color=line.get_color(), lw=1)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("signal, bias subtracted (ADU)")
    ax.set_ylabel("variance (ADU²)")
    ax.set_title(f"{a.camera}: photon transfer\n{a.region[0]}x{a.region[1]} pixels at the centre; dotted: the fit")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small")


def _plot_gain(fig: Any, a: Analysis) -> None:
    gains = [r.gain for r in a.gains]
    panels = fig.subplots(3, 1, sharex=True)
    rows = ((panels[0], [r.read_noise_e for r in a.gains], "read noise (e-)", False),
            (panels[1], [r.electrons_per_adu for r in a.gains], "e-/ADU (RAW16)", True),
            (panels[2], [r.dynamic_range_stops for r in a.gains], "dynamic range (stops)", False))
    for ax, values, label, log in rows:
        ax.plot(gains, values, "o-")
        ax.set_ylabel(label)
        if log:
            ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
    unity = a.unity_gain()
    if unity is not None:
        level = 1.0 / a.adu_per_step   # one electron per step of the sensor's ADC
        panels[1].axhline(level, color="grey", lw=0.8, ls="--")
        panels[1].annotate(f"unity gain {unity[0]:.0f}", (unity[0], level), fontsize="small")
    panels[2].set_xlabel("gain")
    panels[0].set_title(f"{a.camera} at {a._where()}")
