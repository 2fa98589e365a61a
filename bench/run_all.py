"""Runs every benchmark script in this folder, one after another.

Usage (after `pip install .`):  python3 bench/run_all.py
"""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main():
    scripts = sorted(p for p in HERE.glob("bench_*.py"))
    failed = []
    for script in scripts:
        print(f"\n##### {script.name}\n", flush=True)
        if subprocess.run([sys.executable, str(script)], cwd=HERE.parent).returncode != 0:
            failed.append(script.name)
    if failed:
        print("failed:", ", ".join(failed))
        sys.exit(1)


if __name__ == "__main__":
    main()
