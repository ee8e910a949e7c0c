"""What the camera layer knows of sensors: electrons per ADU for the current settings,
and the sensor inside the models whose sensor is known.

The camera reports one figure, the conversion factor of its ADC at gain 0 in the
sensor's own bits. The gain control is in 0.1 dB of signal amplitude, so gain G
multiplies the ADU per electron by 10^(G/200); the ADU a program sees are those of the
data word: 16-bit output carries the sensor's bits at the top of the word (one sensor
step is 2^(16 - bits) units), 8-bit output keeps the top 8 of them; and a binned pixel
is the average of bin x bin sensor pixels, so each of its ADU stands for bin^2 times
the electrons.
"""
from __future__ import annotations

import re

__all__ = ["electrons_per_adu", "sensor_name", "word_shift"]

# The sensor of each model, by the model number and colour letters of its name.
_SENSORS = {"120MM": "AR0130CS", "294MM": "IMX492", "462MC": "IMX462", "585MC": "IMX585"}
_MODEL = re.compile(r"\bASI ?([0-9]+)(MM|MC)\b", re.IGNORECASE)


def word_shift(bit_depth: int, image_format: str) -> int:
    """How many bits to the left of the sensor's ADC units the delivered units sit:
    16 - bits for RAW16, 8 - bits (negative) for the 8-bit formats."""
    return (16 if image_format == "RAW16" else 8) - bit_depth


def electrons_per_adu(e_per_adu: float, bit_depth: int, gain: int | None, image_format: str,
                      bin: int = 1) -> float:
    """Electrons per unit of a frame in `image_format` taken at `gain` (0.1 dB steps; None
    for a camera without a gain control) and `bin`, from the camera's gain-0 figure `e_per_adu`."""
    # The SDK keeps the figure as a 32-bit float: its 7 significant digits, not the binary tail.
    base = float(f"{e_per_adu:.7g}")
    factor: float = 10.0 ** ((gain or 0) / 200.0)
    return base / factor / 2.0 ** word_shift(bit_depth, image_format) * bin * bin


def sensor_name(model: str) -> str | None:
    """The sensor of the camera model named `model`, None where it is not known."""
    found = _MODEL.search(model)
    return None if found is None else _SENSORS.get(found[1] + found[2].upper())
