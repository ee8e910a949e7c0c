"""What the camera layer's tests share: the two simulated cameras' labels as errors
name them, the formats each delivers, and Ctrl-C from a timer."""
import os
import signal
import threading

import numpy as np
import pytest

NAME0 = "ZWO ASI462MC Simulator (camera id 0)"
NAME1 = "ZWO ASI294MM Pro GPS Simulator (camera id 1)"

# camera index, image format, numpy dtype, trailing shape: every format of both cameras
FORMATS = [(0, "RAW8", np.uint8, ()), (0, "RAW16", np.uint16, ()), (0, "RGB24", np.uint8, (3,)),
           (0, "Y8", np.uint8, ()), (1, "RAW8", np.uint8, ()), (1, "RAW16", np.uint16, ()), (1, "Y8", np.uint8, ())]


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
