"""Entry point of the frozen executable: reports, as JSON, what it finds at run time.

The templates it sees must be the ones the freeze bundled, unpacked below
sys._MEIPASS, with the manifest and the release record beside them; the
release check of that tree must pass.
"""

import json
import sys

from zavrik.skills import _release, packaging
from zavrik.skills.cli import release_problems


def main() -> None:
    root = packaging.get_builtin_templates_dir()
    files = sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file()) if root.is_dir() else []
    record = _release.read_record(root) if root.is_dir() else None
    report = {
        "templates_dir": str(root),
        "meipass": getattr(sys, "_MEIPASS", None),
        "module": packaging.__file__,
        "skills": [p.name for p in packaging.list_template_dirs()],
        "manifest": (root / packaging.MANIFEST_FILENAME).is_file(),
        "record": record,
        "problems": release_problems(root, **record) if record else None,
        "files": files,
    }
    json.dump(report, sys.stdout, ensure_ascii=False)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
