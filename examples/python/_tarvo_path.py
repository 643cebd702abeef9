"""Lets the examples run from a checkout: when the tarvo package is not installed, the package
built in this checkout's build tree (build/ of scripts/run, build-test/ of scripts/test) is
used."""

import importlib.util
import pathlib
import sys

if importlib.util.find_spec("tarvo") is None:
    root = pathlib.Path(__file__).resolve().parents[2]
    for tree in ("build", "build-test"):
        package = root / tree / "python"
        if (package / "tarvo" / "__init__.py").is_file():
            sys.path.insert(0, str(package))
            break
