"""``python -m plexorin``: the command line (see plexorin.cli)."""

import sys

from .cli import main

sys.exit(main())
