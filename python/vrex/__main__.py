"""`python -m vrex`: the same as the `vrex` command."""

import sys

from vrex.cli import main

sys.exit(main())
