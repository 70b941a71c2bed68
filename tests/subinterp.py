"""Source text that defines `run_in_new_interpreter(code)` in a child
process, for tests of the one-interpreter rule.

The sub-interpreter module is `_xxsubinterpreters` up to 3.12, which raises
RunFailedError ("<class 'ImportError'>: message") for an exception that
escapes the code, and `_interpreters` from 3.13, which returns a description
of it instead. Both create an isolated interpreter by default (its own GIL
from 3.12). The function returns None, or "ImportError: message" on either.
"""

PRELUDE = r'''
import re as _re
try:
    import _interpreters as _xi
except ImportError:
    import _xxsubinterpreters as _xi


def run_in_new_interpreter(code):
    interp = _xi.create()
    try:
        try:
            failure = _xi.run_string(interp, code)
        except getattr(_xi, "RunFailedError", ()) as e:
            return _re.sub(r"^<class '(?:builtins\.)?([\w.]+)'>: ", r"\1: ", str(e))
        if failure is not None:
            return f"{failure.type.__name__}: {failure.msg}"
        return None
    finally:
        _xi.destroy(interp)
'''
