#!/usr/bin/env python3
"""Runs Doxygen over the public headers into a scratch folder and fails on any warning:
an undocumented function, type or macro, or a broken reference, names the file and line."""
import pathlib
import re
import subprocess
import sys
import tempfile


def main():
    doxygen, doxyfile = sys.argv[1], pathlib.Path(sys.argv[2])
    with tempfile.TemporaryDirectory() as scratch:
        config = doxyfile.read_text()
        config = re.sub(r"(?m)^OUTPUT_DIRECTORY\s*=.*$", "OUTPUT_DIRECTORY = " + scratch, config)
        config = re.sub(r"(?m)^WARN_LOGFILE\s*=.*$", "WARN_LOGFILE = " + scratch + "/warnings.log",
                        config)
        config += "\nGENERATE_HTML = NO\nGENERATE_XML = NO\n"
        run = subprocess.run([doxygen, "-"], input=config, text=True, capture_output=True)
        warnings = (pathlib.Path(scratch) / "warnings.log").read_text().strip()
    if run.returncode != 0:
        print(run.stdout, run.stderr)
        return 1
    if warnings:
        print(warnings)
        print("the API reference has %d warnings" % len(warnings.splitlines()))
        return 1
    print("API reference: every public declaration documented")
    return 0


if __name__ == "__main__":
    sys.exit(main())
