#!/usr/bin/python3
"""The scene without people, as negatives for the person model.

    scripts/person_background.py <framesdir> <first> <last> <negdir> [<skip-first>-<skip-last>]

Writes the per-pixel median of every 4th frame of first..last (leaving out
the frames skip-first..skip-last) as <negdir>/median_<percent>.png at
several scales, because detection shrinks the frame for tall people.
Frames are <framesdir>/<frame %04d>.png.
"""
import os
import sys

import cv2
import numpy as np

SCALES = (1.1, 1.0, 0.9, 0.8, 0.7, 0.6, 0.5, 0.42, 0.35, 0.28)


def median_frame(frames_dir, frames):
    """The per-pixel median of <frames_dir>/<frame %04d>.png over `frames`."""
    images = []
    for f in frames:
        path = os.path.join(frames_dir, '%04d.png' % f)
        image = cv2.imread(path)
        if image is None:
            raise SystemExit('person_background: cannot read %s' % path)
        images.append(image)
    # Walkers never hold a pixel for long; people who stand still for most
    # of the frames would stay in it, which the sheet of the result shows.
    return np.median(np.stack(images), axis=0).astype(np.uint8)


def write_background(frames_dir, frames, neg_dir):
    median = median_frame(frames_dir, frames)
    for scale in SCALES:
        scaled = cv2.resize(median, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
        path = os.path.join(neg_dir, 'median_%03d.png' % int(scale * 100 + 0.5))
        if not cv2.imwrite(path, scaled):
            raise SystemExit('person_background: cannot write %s' % path)


def main(argv):
    if len(argv) not in (5, 6):
        raise SystemExit(__doc__.strip().splitlines()[2].strip())
    frames_dir, first, last, neg_dir = argv[1], int(argv[2]), int(argv[3]), argv[4]
    skip = (0, -1)
    if len(argv) == 6:
        skip = tuple(int(v) for v in argv[5].split('-'))
    frames = [f for f in range(first, last + 1, 4) if not skip[0] <= f <= skip[1]]
    write_background(frames_dir, frames, neg_dir)


if __name__ == '__main__':
    main(sys.argv)
