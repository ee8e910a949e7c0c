"""What the camera layer's tests share: the two simulated cameras' labels as errors
name them, the formats each delivers, refusals, and Ctrl-C from a timer."""
import os
import signal
import threading

import numpy as np
import pytest

from vorrant.orlicam import simulator

NAME0 = "ZWO ASI462MC Simulator (camera id 0)"
NAME1 = "ZWO ASI294MM Pro GPS Simulator (camera id 1)"

# camera index, image format, numpy dtype, trailing shape: every format of both cameras
FORMATS = [(0, "RAW8", np.uint8, ()), (0, "RAW16", np.uint16, ()), (0, "RGB24", np.uint8, (3,)),
           (0, "Y8", np.uint8, ()), (1, "RAW8", np.uint8, ()), (1, "RAW16", np.uint16, ()), (1, "Y8", np.uint8, ())]


@pytest.fixture
def cams(cam0, cam1):
    return {0: cam0, 1: cam1}


def refused(log, action, error, message):
    """action() raises error with exactly message, and nothing reaches the SDK."""
    log.clear_calls()
    with pytest.raises(error) as info:
        action()
    assert str(info.value) == message
    assert log.calls() == []
    return info.value


def interrupted(action, after=0.3):
    """Runs action() while a timer sends this process SIGINT after `after` seconds;
    the action must end in KeyboardInterrupt."""
    timer = threading.Timer(after, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            action()
    finally:
        timer.join()


def names(log):
    """The SDK functions in the simulator's call log, in order."""
    return [name for name, _ in log.calls()]


def wait_for_call(name):
    while name not in names(simulator):
        threading.Event().wait(0.005)
