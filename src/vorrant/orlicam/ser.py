"""`vorrant.orlicam.ser`: the ser module's public names, where users import them."""
from .files.ser import *  # noqa: F403
from .files.ser import __all__ as __all__
