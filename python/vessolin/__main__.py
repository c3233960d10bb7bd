"""`python -m vessolin`: the command line."""

import sys

from vessolin.cli import main

sys.exit(main())
