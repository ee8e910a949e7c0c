"""`vorrant.orlicam.fits`: the fits module's public names, where users import them."""
from .files.fits import *  # noqa: F403
from .files.fits import __all__ as __all__
