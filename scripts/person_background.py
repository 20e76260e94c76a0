#!/usr/bin/python3
"""The scene without people, as negatives for the person model.

    scripts/person_background.py [--pad <pixels>] <framesdir> <first> <last> <negdir> [<skip-first>-<skip-last>]

Writes the per-pixel median of every 4th frame of first..last (leaving out
the frames skip-first..skip-last) as <negdir>/median_<percent>.png at
several scales, because detection shrinks the frame for tall people.
Frames are <framesdir>/<frame %04d>.png. With --pad, the median has that
many pixels of its border repeated around it first, as `pedscan -d -P`
scans a frame: windows reaching into the repeated border are then among
the negatives the retraining rounds search.
"""
import argparse
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


def write_background(frames_dir, frames, neg_dir, pad=0):
    median = median_frame(frames_dir, frames)
    if pad > 0:
        median = cv2.copyMakeBorder(median, pad, pad, pad, pad, cv2.BORDER_REPLICATE)
    for scale in SCALES:
        scaled = cv2.resize(median, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
        path = os.path.join(neg_dir, 'median_%03d.png' % int(scale * 100 + 0.5))
        if not cv2.imwrite(path, scaled):
            raise SystemExit('person_background: cannot write %s' % path)


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__.strip().splitlines()[2].strip())
    parser.add_argument('--pad', type=int, default=0)
    parser.add_argument('frames_dir')
    parser.add_argument('first', type=int)
    parser.add_argument('last', type=int)
    parser.add_argument('neg_dir')
    parser.add_argument('skip', nargs='?', default='0--1')
    args = parser.parse_args(argv[1:])
    if not 0 <= args.pad <= 10000:
        parser.error('--pad must be from 0 to 10000 pixels, not %d' % args.pad)
    skip = tuple(int(v) for v in args.skip.split('-', 1))
    frames = [f for f in range(args.first, args.last + 1, 4) if not skip[0] <= f <= skip[1]]
    write_background(args.frames_dir, frames, args.neg_dir, args.pad)


if __name__ == '__main__':
    main(sys.argv)
