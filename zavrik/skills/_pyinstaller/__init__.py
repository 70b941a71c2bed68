"""PyInstaller hooks of the zavrik package, registered through the `pyinstaller40`
entry point so that a plain `pyinstaller app.py` finds them."""

import os


def get_hook_dirs() -> list[str]:
    return [os.path.dirname(os.path.abspath(__file__))]
