"""`python -m vrex`: the same as the `vrex` command."""

import sys

from vrex.cli import main

# Guarded: worker processes started by spawning import this module again.
if __name__ == "__main__":
    sys.exit(main())
