"""`python -m zavrik.skills`: release checks and packaging helpers (see cli.py)."""

import os
import sys

try:
    from zavrik.skills.cli import main
except ImportError as exc:
    # Typically `python -m` run from a source checkout without a built
    # extension: the checkout's zavrik/ shadows the installed package.
    print(
        "python -m zavrik.skills: error: the compiled module zavrik.skills.packaging cannot be "
        f"imported from {os.path.dirname(os.path.abspath(__file__))} ({exc}); run zavrik-skills, "
        "run from outside the source tree, use python3 -P, or build it in place (pip install -e .)",
        file=sys.stderr,
    )
    sys.exit(2)

sys.exit(main(prog="python -m zavrik.skills"))
