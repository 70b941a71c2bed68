"""`python -m zavrik.skills`: release checks and packaging helpers (see cli.py)."""

import sys

from zavrik.skills.cli import main

sys.exit(main())
