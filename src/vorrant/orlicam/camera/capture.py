"""Snapshots: one exposure at a time, its metadata, and aborting it from another thread."""
from __future__ import annotations

import threading
import time
from dataclasses import replace
from datetime import UTC, datetime
from typing import Final

from .. import korvi
from .controls import CameraControls
from .session import _Claim
from .errors import noted, unknown_value
from .recovery import CameraLost, ExposureFailed, Recovery
from .frames import FORMATS, Frame, FrameMeta, Roi, bayer_at, to_array
from .sensor import electrons_per_adu
from .subframe import Subframe, plan_subframe
from .units import bool_arg, int_arg, seconds_arg

CT = korvi.ControlType
_get_value = korvi.get_control_value
_set_value = korvi.set_control_value

_WORKING: Final = int(korvi.ExposureStatus.ASI_EXP_WORKING)
_FAILED: Final = int(korvi.ExposureStatus.ASI_EXP_FAILED)
_ABORTED: Final = -1   # not an SDK status: abort_exposure() woke the wait
_NO_TIME: Final = datetime(1970, 1, 1, tzinfo=UTC)


def _gps_time(gps: korvi.GpsData | None) -> datetime | None:
    """The time in a GPS record, None without one or without a fix (year 0)."""
    if gps is None or gps.year <= 0:
        return None
    return datetime(gps.year, gps.month, gps.day, gps.hour, gps.minute, gps.second,
                    gps.m_second * 1000 + gps.u_second, tzinfo=UTC)


class CameraCapture(CameraControls):
    """Camera's snapshots."""

    __slots__ = ()

    # -- snapshots --

    def _read_raw(self, number: int) -> int | None:
        caps = self._caps.get(number)
        return None if caps is None else _get_value(self._id, caps.member)[0]

    def _settings_meta(self, roi: Roi, dark: bool) -> tuple[FrameMeta, float, bool]:
        """The metadata of a frame taken now with `roi`, settings read back from the camera,
        with no start time, GPS record or index yet; the exposure in seconds; and whether
        the exposure or gain is under automatic control (it then changes frame by frame)."""
        d = self._desc
        cid = self._id
        raw_exposure, live = _get_value(cid, CT.ASI_EXPOSURE)
        gain = None
        if CT.ASI_GAIN in self._caps:
            gain, gain_auto = _get_value(cid, CT.ASI_GAIN)
            live = live or gain_auto
        temperature = self._read_raw(CT.ASI_TEMPERATURE)
        target = self._read_raw(CT.ASI_TARGET_TEMP) if d.cooled else None
        pattern = None
        if d.bayer_pattern is not None and roi.image_format in ("RAW8", "RAW16"):
            flip = self._read_raw(CT.ASI_FLIP) or 0
            pattern = bayer_at(d.bayer_pattern, roi.x, roi.y, roi.width, roi.height, flip)
        exposure = raw_exposure / 1e6
        meta = FrameMeta(
            camera_name=d.name, camera_index=d.index, camera_id=cid, serial=self._serial,
            exposure=exposure, gain=gain, offset=self._read_raw(CT.ASI_OFFSET),
            temperature=None if temperature is None else temperature / 10,
            target_temperature=None if target is None else float(target), cooled=d.cooled,
            roi=roi, bayer_pattern=pattern, bit_depth=d.bit_depth, pixel_size=d.pixel_size,
            e_per_adu=d.e_per_adu, start_time=_NO_TIME, gps=None, dark=dark, index=0)
        return meta, exposure, live

    def _meta(self, roi: Roi, start: datetime, gps: korvi.GpsData | None, dark: bool, index: int) -> FrameMeta:
        """A snapshot's metadata, settings read back now; `start` is the exposure start
        unless the GPS record has a time."""
        meta = self._settings_meta(roi, dark)[0]
        gps_start = _gps_time(gps)
        return replace(meta, start_time=start if gps_start is None else gps_start,
                       gps=None if gps_start is None else gps, index=index)

    def capture(self, exposure: float | None = None, dark: bool = False,
                timeout: float | None = None) -> Frame:
        """Takes one exposure (seconds; None keeps the current one) and returns the frame.
        `timeout` bounds the wait for the exposure to end (default: twice the exposure plus
        5 s; korvi.ASITimeout after it; math.inf for no bound). Ctrl-C stops the exposure
        and leaves the camera ready for the next one; so does abort_exposure() from another
        thread, which makes this call raise korvi.ASIGeneralError ("... was aborted").

        Under the camera's `recovery` policy a failed exposure is taken again, and so is
        one still working `hang_after` seconds past its end (when no `timeout` is given; an
        explicit timeout still ends in korvi.ASITimeout); a lost camera is waited for and
        reopened, and the exposure taken on it. The caller gets a good frame, or
        ExposureFailed or CameraLost once the policy's bounds are passed."""
        raw_exposure = None
        if exposure is not None:
            self._require_open("capture")
            raw_exposure = self._checked_raw(self._caps[CT.ASI_EXPOSURE], exposure)
        dark = bool_arg("dark", dark)
        limit = None if timeout is None else seconds_arg("timeout", timeout, unlimited=True)
        self._require_open("capture")
        policy = self._recovery
        if policy is None:
            frame = self._capture_once(raw_exposure, dark, limit, False)
            assert isinstance(frame, Frame)   # only a recovering capture hands back a fault
            return frame
        return self._capture_recovering(raw_exposure, dark, limit, policy)

    def _capture_recovering(self, raw_exposure: int | None, dark: bool, limit: float | None,
                            policy: Recovery) -> Frame:
        faults = losses = 0
        while True:
            if self._lost:
                self._await_return(None, "capture", losses)
            try:
                self._remember()
                out = self._capture_once(raw_exposure, dark, limit, limit is None)
            except korvi.ASIError as exc:
                if not self._is_loss(exc):
                    raise
                losses += 1
                self._mark_lost(exc, losses)
                if losses > policy.exposure_retries:
                    message = (f"{self._label} was lost {losses} times during one capture; "
                               "check its cable and hub")
                    self._report("gave-up", message, losses)
                    raise noted(CameraLost(message), "capture", self._label) from exc
                continue
            if isinstance(out, Frame):
                return out
            what, seconds = out
            faults += 1
            if faults > policy.exposure_retries:
                message = f"the exposure of {seconds:g} s {what} on {self._label} {faults} times in a row"
                self._report("gave-up", message, faults)
                raise noted(ExposureFailed(message), "capture", self._label)
            self._report(f"exposure-{what}",
                         f"the exposure of {seconds:g} s {what} on {self._label} "
                         f"(fault {faults} of at most {policy.exposure_retries + 1}); taking it again", faults)

    def _capture_once(self, raw_exposure: int | None, dark: bool, limit: float | None,
                      recovering: bool) -> Frame | tuple[str, float]:
        """One exposure. Recovering, a failed exposure and one that has not ended
        `hang_after` seconds past its end are returned as ("failed" or "hung", seconds)."""
        self._settle_stream("capture", f"{self._label} is streaming; leave the stream first")
        cid = self._id
        claim = _Claim()
        frame: Frame | tuple[str, float] | None = None
        roi: Roi | None = None
        seconds, start = 0.0, _NO_TIME
        try:
            # The claim is made inside the try: Ctrl-C just after it still lets go of it.
            with self._hold:
                if self._capturing is not None:
                    raise noted(korvi.ASIExposureInProgress(
                        f"{self._label} is capturing in another thread; wait for that capture or abort it"),
                        "capture", self._label)
                self._abort.clear()
                self._capturing = claim
            try:
                # The guard is held until the exposure runs, so that abort_exposure() stops a
                # running exposure; an abort that came first means none is started.
                with self._hold:
                    if claim.aborted:
                        roi = None
                    else:
                        try:
                            if raw_exposure is not None:
                                _set_value(cid, CT.ASI_EXPOSURE, raw_exposure, False)
                            roi = self.roi
                            seconds = _get_value(cid, CT.ASI_EXPOSURE)[0] / 1e6
                            start = datetime.now(UTC)
                            korvi.start_exposure(cid, dark)
                        except korvi.ASIError as exc:
                            raise noted(exc, "capture", self._label)
                if roi is not None:
                    frame = self._finish_capture(roi, seconds, start, dark, limit, recovering)
            except korvi.ASIError:
                raise   # the exposure never started, has ended, or was stopped where this was raised
            except BaseException:
                # Ctrl-C lands between any two steps, also just after the exposure started.
                self._stop_quietly()
                raise
        finally:
            # Let go first, with no call before it where Ctrl-C could land and leave the
            # camera held for good; then wake an abort_exposure() waiting for this.
            if self._capturing is claim:
                self._capturing = None
            with self._hold:
                self._guard.notify_all()
        if claim.aborted or frame is None:
            # An abort that came during the readout discards the frame too: the caller
            # of abort_exposure() has been told this capture ends with this error.
            what = f"the exposure of {seconds:g} s" if roi is not None else "the capture, before its exposure began,"
            raise noted(korvi.ASIGeneralError(f"{what} on {self._label} was aborted"),
                        "capture (exposure aborted)", self._label)
        return frame

    def set_subframe(self, x: int, y: int, width: int, height: int, bin: int = 1,
                     image_format: str | korvi.ImgType | int | None = None) -> Subframe:
        """Sets the smallest region the camera accepts that covers any subframe inside the
        sensor at `bin` (start and size in binned pixels) and returns the plan; pass it to
        capture_subframe() for frames of exactly the size asked."""
        binning = self._check_bin(bin)
        fmt = None if image_format is None else self._check_format(image_format)
        self._require_open("setting a subframe")
        d = self._desc
        name = (fmt or FORMATS[self.roi.image_format]).name
        plan = plan_subframe(d.max_width, d.max_height, d.bins, int_arg("x", x), int_arg("y", y),
                             int_arg("width", width), int_arg("height", height), binning, name, d.bayer_pattern)
        self._check_roi(plan.roi)
        self._apply_roi(plan.roi)
        return plan

    def capture_subframe(self, subframe: Subframe, exposure: float | None = None, dark: bool = False,
                         timeout: float | None = None) -> Frame:
        """capture(), cropped (and binned, where the camera cannot bin that region itself)
        to the subframe set by set_subframe()."""
        frame = self.capture(exposure, dark, timeout)
        flip = self._read_raw(CT.ASI_FLIP) or 0
        return subframe.crop(frame, flip)

    @property
    def electrons_per_adu(self) -> float:
        """Electrons per unit of the frames the camera delivers now: its gain-0 figure at the
        current gain and bin, in the units of the current image format's data word."""
        self._require_open("reading the conversion factor")
        gain = int(self.gain) if CT.ASI_GAIN in self._caps else None
        roi = self.roi
        return electrons_per_adu(self._desc.e_per_adu, self._desc.bit_depth, gain, roi.image_format, roi.bin)

    def _finish_capture(self, roi: Roi, seconds: float, start: datetime, dark: bool,
                        limit: float | None, recovering: bool = False) -> Frame | tuple[str, float] | None:
        """Waits for the started exposure and reads the frame; None when it was aborted."""
        cid = self._id
        if limit is None:
            policy = self._recovery
            limit = seconds + policy.hang_after if recovering and policy is not None else 2 * seconds + 5.0
        try:
            status = self._wait_exposure(seconds, limit)
        except korvi.ASITimeout:
            self._stop_quietly()
            if recovering:
                return ("hung", seconds)
            raise
        except korvi.ASIError:
            self._stop_quietly()
            raise
        if status == _ABORTED:
            return None   # abort_exposure() has stopped it in the SDK
        try:
            if status == _FAILED:
                self._stop_quietly()   # so that the next exposure can start
                if recovering:
                    return ("failed", seconds)
                raise korvi.ASIGeneralError(f"the exposure of {seconds:g} s failed on {self._label}")
            fmt = FORMATS[roi.image_format]
            size = fmt.buffer_size(roi.width, roi.height)
            gps: korvi.GpsData | None = None
            if self._gps:
                data, gps = korvi.get_data_after_exp_gps(cid, size)
            else:
                data = korvi.get_data_after_exp(cid, size)
            meta = self._meta(roi, start, gps, dark, 0)
        except korvi.ASIError as exc:
            raise noted(exc, "capture", self._label)
        return Frame(to_array(data, fmt, roi.width, roi.height), meta)

    def _stop_quietly(self) -> None:
        try:
            korvi.stop_exposure(self._id)
        except korvi.ASIError:
            pass   # the exposure may have ended by itself meanwhile

    def _wait_exposure(self, seconds: float, limit: float) -> int:
        cid = self._id
        deadline = time.monotonic() + limit
        # Sleep through most of the exposure (an abort wakes it), then look often enough
        # to lose little time: a short exposure ends within a fraction of a millisecond of
        # when it is due, so it is looked at every 50 us from 80% of its time on.
        if seconds > 0.02:
            if self._abort.wait(min(seconds - 0.01, limit)):
                return _ABORTED
        elif seconds > 0.0005:
            time.sleep(min(0.8 * seconds, limit))
        pause = 0.00005 if seconds < 0.1 else 0.001
        while True:
            if self._abort.is_set():
                return _ABORTED
            try:
                status = korvi.get_exp_status(cid)
            except korvi.ASIError as exc:
                raise noted(exc, "capture", self._label)
            except ValueError as exc:
                raise noted(unknown_value(exc, "exposure status"), "capture", self._label) from None
            if status != _WORKING:
                return status
            if time.monotonic() >= deadline:
                raise noted(korvi.ASITimeout(
                    f"the exposure of {seconds:g} s on {self._label} did not end within {limit:g} s"),
                    "capture", self._label)
            time.sleep(pause)

    def abort_exposure(self, timeout: float = 10.0) -> bool:
        """Ends the capture() running in another thread: stops its exposure in the camera
        and makes that capture raise korvi.ASIGeneralError ("... was aborted"), also when
        the exposure had just ended and the frame was being read. Returns True once that
        capture has let go of the camera, so the next capture can start at once; False,
        with nothing sent to the camera, when no capture runs. korvi.ASITimeout when the
        capture has not let go within `timeout` seconds."""
        # Threads wait at most TIMEOUT_MAX at a time (about 292 years).
        limit = min(seconds_arg("timeout", timeout, unlimited=True), threading.TIMEOUT_MAX)
        self._require_open("aborting the exposure")
        with self._hold:
            owner = self._capturing
            if owner is None:
                return False
            owner.aborted = True
            self._abort.set()
            failure: korvi.ASIError | None = None
            try:
                korvi.stop_exposure(self._id)
            except korvi.ASIError as exc:
                failure = exc   # the capture still ends; report this once it has
            # From a signal handler in the capturing thread itself there is nothing to
            # wait for: the capture ends when the handler returns.
            if owner.thread != threading.get_ident() and not self._guard.wait_for(
                    lambda: self._capturing is not owner, limit):
                raise noted(korvi.ASITimeout(
                    f"the aborted capture on {self._label} did not end within {limit:g} s"),
                    "aborting the exposure", self._label)
        if failure is not None:
            raise noted(failure, "aborting the exposure", self._label)
        return True
