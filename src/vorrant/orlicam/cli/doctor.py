"""`orlicam doctor`: the machine's findings printed, one a line, each problem with its fix."""
from __future__ import annotations

import dataclasses
import json
import os

import click

from ..camera.doctor import (UDEV_RULE_NAME, UDEV_RULES_DIR, diagnose, environment_root, install_udev_rule, report,
                             udev_rule)


@click.command("doctor")
@click.option("--json", "as_json", is_flag=True, help="Print JSON.")
@click.option("--install-udev", is_flag=True, help="Install the udev rule for ZWO cameras (as root).")
def command(as_json: bool, install_udev: bool) -> None:
    """Check the camera library, USB permissions and limits, Python and the extras; say how to fix each problem."""
    findings = diagnose()
    usbfs = next(f for f in findings if f.name == "usbfs")
    advised = int(usbfs.details["advised_mb"])
    if install_udev:
        rules_dir = environment_root("ORLICAM_UDEV_RULES_DIR", str(UDEV_RULES_DIR))
        if os.geteuid() != 0:
            raise click.ClickException(
                f"--install-udev writes {rules_dir / UDEV_RULE_NAME} and needs root: sudo orlicam doctor --install-udev "
                f"(or put this in that file yourself):\n{udev_rule(advised)}")
        path, ran = install_udev_rule(rules_dir, advised)
        click.echo(f"wrote {path}" + "".join(f"\nran {c}" for c in ran))
    if as_json:
        click.echo(json.dumps({"findings": [dataclasses.asdict(f) for f in findings],
                               "problems": sum(f.status == "problem" for f in findings)}, indent=2))
    else:
        click.echo(report(findings))
    if any(f.status == "problem" for f in findings):
        click.get_current_context().exit(1)


if __name__ == "__main__":   # python -m vorrant.orlicam.cli.doctor: works when korvi cannot load
    command()
