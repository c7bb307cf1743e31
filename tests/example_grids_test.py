#!/usr/bin/env python3
"""The committed example grids are what examples/convert_topobathy.py makes of topobathy.npz.

Exits 77 (skipped) where the sample data (Debian's python-matplotlib-data) is not installed.
"""

import filecmp
import os
import subprocess
import sys
import tempfile

SAMPLE = "/usr/share/matplotlib/mpl-data/sample_data/topobathy.npz"
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
GRIDS = ["topobathy.asc", "topobathy.single", "bands.asc"]


def main():
    if not os.path.exists(SAMPLE):
        print(f"{SAMPLE} is not installed")
        return 77
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(
            [sys.executable, os.path.join(EXAMPLES, "convert_topobathy.py"), SAMPLE, folder],
            check=True,
        )
        differing = [g for g in GRIDS if not filecmp.cmp(os.path.join(folder, g),
                                                         os.path.join(EXAMPLES, g), shallow=False)]
    if differing:
        print("differ from a fresh conversion: " + ", ".join(differing))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
