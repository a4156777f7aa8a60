"""python -m quorvex.cli: the same as the quorvex-fpga console script."""

import sys

from . import main

sys.exit(main())
