#!/usr/bin/python3
"""Compares two captures of the same span made on two GL drivers.

usage: compare_frames.py REFERENCE_DIR OTHER_DIR

Each folder holds quartz-capture's frame_NNNNNN.png. The point cloud is placed by a hash built on
sin() of large arguments, and how many bits of sin a GPU gets right is its own affair, so the two
drivers scatter the points differently: frames are compared by what the picture is made of, not
pixel by pixel. Frames before the first point is lit must match exactly (the composite alone);
after it, each channel's mean and the share of lit pixels must agree within a point's worth.
Prints one line per failing frame, then "N passed, N failed".
"""
import os
import sys

import numpy as np
from PIL import Image

# Measured between llvmpipe and softpipe over the first 4.4 s: means within 0.4/255, lit share
# within 0.2 points. A missing pass, a wrong picture or a wrong point size moves them far more.
MEAN_LIMIT = 1.5
LIT_SHARE_LIMIT = 0.01
LIT = 64


def frames(folder):
    return sorted(name for name in os.listdir(folder) if name.startswith("frame_"))


def main(reference, other):
    names = frames(reference)
    if not names or names != frames(other):
        print(f"the folders hold different frames: {len(names)} against {len(frames(other))}")
        print("0 passed, 1 failed")
        return 1
    passed = failed = 0
    for name in names:
        a = np.asarray(Image.open(os.path.join(reference, name)).convert("RGB"), dtype=np.int16)
        b = np.asarray(Image.open(os.path.join(other, name)).convert("RGB"), dtype=np.int16)
        lit_a = (a.max(axis=2) > LIT).mean()
        lit_b = (b.max(axis=2) > LIT).mean()
        if lit_a == 0:
            worst = int(np.abs(a - b).max())
            problem = f"differs by up to {worst} before any point is lit" if worst else None
        else:
            means = np.abs(a.mean(axis=(0, 1)) - b.mean(axis=(0, 1)))
            problem = None
            if means.max() > MEAN_LIMIT:
                problem = f"channel means differ by {means.round(2).tolist()}"
            elif abs(lit_a - lit_b) > LIT_SHARE_LIMIT:
                problem = f"lit share {lit_a:.4f} against {lit_b:.4f}"
        if problem:
            failed += 1
            print(f"{name}: {problem}")
        else:
            passed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
