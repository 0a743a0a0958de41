"""Runs every benchmark script in this directory, one after another."""

import pathlib
import subprocess
import sys


def main():
    here = pathlib.Path(__file__).resolve().parent
    scripts = sorted(p for p in here.glob("*.py") if p.name != pathlib.Path(__file__).name)
    failed = []
    for script in scripts:
        print(f"== {script.name}", flush=True)
        if subprocess.run([sys.executable, str(script)]).returncode != 0:
            failed.append(script.name)
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
