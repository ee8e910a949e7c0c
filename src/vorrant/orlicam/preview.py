"""`vorrant.orlicam.preview`: the preview module's public names, where users import them."""
from .files.preview import *  # noqa: F403
from .files.preview import __all__ as __all__
