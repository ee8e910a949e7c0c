"""Command start-up against `python -c "import click"`, measured in one run.

hyperfine (from the distribution's package) runs the three commands interleaved with
warm-up runs; without it, the script times ROUNDS interleaved runs of each itself.
Printed: the mean start-up of each and its ratio to the click import, with the spread
(lowest to highest) of the per-round ratio when timed here. Targets: `orlicam --help`
<= 1.3x and `orlicam list` <= 2x.
"""
from __future__ import annotations

import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROUNDS = 20
COMMANDS = {
    "python -c 'import click'": [sys.executable, "-c", "import click"],
    "orlicam --help": [sys.executable, "-m", "vorrant.orlicam", "--help"],
    "orlicam list": [sys.executable, "-m", "vorrant.orlicam", "list"],
}


def with_hyperfine(hyperfine: str) -> dict[str, float]:
    with tempfile.TemporaryDirectory(prefix="orlicam-startup-") as folder:
        out = os.path.join(folder, "runs.json")
        subprocess.run([hyperfine, "--warmup", "3", "--runs", str(ROUNDS), "--export-json", out,
                        *(shlex.join(argv) for argv in COMMANDS.values())],
                       check=True, capture_output=True, text=True)
        with open(out) as f:
            results = json.load(f)["results"]
    return {name: r["mean"] for name, r in zip(COMMANDS, results)}


def by_hand() -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in COMMANDS}
    for _ in range(ROUNDS):
        for name, argv in COMMANDS.items():
            start = time.perf_counter()
            subprocess.run(argv, check=True, capture_output=True)
            times[name].append(time.perf_counter() - start)
    return times


def main() -> None:
    base = "python -c 'import click'"
    times = by_hand()
    print(f"start-up, median of {ROUNDS} interleaved runs (ratio to the click import, spread)")
    for name in COMMANDS:
        ratios = [a / b for a, b in zip(times[name], times[base])]
        median = statistics.median(times[name])
        print(f"  {name:<28}{median * 1e3:8.1f} ms {median / statistics.median(times[base]):6.2f}x "
              f"({min(ratios):.2f}-{max(ratios):.2f})")
    hyperfine = shutil.which("hyperfine")
    if hyperfine:
        means = with_hyperfine(hyperfine)
        print("hyperfine, mean of each: " + ", ".join(
            f"{name} {means[name] * 1e3:.1f} ms ({means[name] / means[base]:.2f}x)" for name in COMMANDS))
    print("targets: orlicam --help <= 1.3x, orlicam list <= 2x")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"({os.cpu_count()} CPUs, load average {load})")


if __name__ == "__main__":
    main()
