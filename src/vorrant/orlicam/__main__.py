"""`python -m vorrant.orlicam`: the orlicam command line."""
from .cli.main import main

if __name__ == "__main__":
    main()
