#!/usr/bin/python3
"""Person labels of the example video, from proposals to an imglab file.

    person-labels.py propose <labeldir> <hogdir> <peddir> <framesdir> <first> <last> <out.xml> [<review.txt>]
    person-labels.py ignore <truthdir> <first> <last> <out.xml> [<review.txt>]

propose: the boxes of build/label (moving blobs confirmed by OpenCV's HOG
people detector), of `peers opencv` (score 0.2 or more) and of a pedscan
model (response 0.6 or more), each a folder of <frame %04d>.txt, are merged
per frame, boxes on still background (a cone, a post: less than a tenth of
the box differs from the median frame) are dropped, and so is a label box
alone between two others (two people walking together that the blob
proposal merged). The rest are linked into tracks across frames; a track
seen in fewer than 6 frames, or backed by a second source or the label tool
in fewer than 3, is dropped; gaps of up to 4 frames are interpolated, so a
person hidden by the post for a moment keeps a box.

review.txt (data/person-train-review.txt) holds the corrections made by eye
after the proposals: people every source missed, people hidden by the sign
(ignore regions) and boxes far too large (replaced); they are applied last.

ignore: every box of a reviewed truth folder is kept as it is, but for the
corrections of its own review.txt (data/person-val-review.txt), made by
eye where the detectors and the truth disagree: a box on no person of its
own, or on a person less than half visible, is dropped (drop), the latter
replaced by an ignore region, and a person the truth missed is added.

Both modes then add ignore regions: a track that reaches the frame border
is carried on at its speed for up to 15 frames while any of it shows, and those boxes,
clipped to the frame, become ignore regions (a person walking out of view
is neither to be found nor a false alarm); boxes under 40 px tall, below
what the detector scans, become ignore regions too.
"""
import os, sys, math
import numpy as np

from person_background import median_frame
from person_tracks import iou, link as track_boxes

W, H = 768, 576
ASPECT = 20.0 / 48.0

def read(path, th=None):
    boxes = []
    if not os.path.exists(path): return boxes
    for line in open(path):
        v = line.split()
        if len(v) < 4: continue
        x, y, w, h = map(float, v[:4])
        s = float(v[4]) if len(v) > 4 else 1e9
        if th is not None and s < th: continue
        boxes.append((x, y, w, h, s))
    return boxes

def norm(b):
    x, y, w, h = b[:4]
    cx = x + w / 2
    nw = h * ASPECT
    return (cx - nw / 2, y, nw, h)

def covered(a, b):
    """The fraction of box a inside box b."""
    ix = min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0])
    iy = min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1])
    return ix * iy / (a[2] * a[3]) if ix > 0 and iy > 0 else 0.0

def cluster(cands):
    """Merges candidates of one frame that overlap (IoU >= 0.45); a merged
    box is the vote-weighted mean; votes is the set of sources."""
    cands = sorted(cands, key=lambda c: -c[2])
    out = []
    for box, src, w in cands:
        for o in out:
            if iou(o['box'], box) >= 0.45:
                tw = o['w'] + w
                o['box'] = tuple((o['box'][k] * o['w'] + box[k] * w) / tw for k in range(4))
                o['w'] = tw
                o['src'].add(src)
                break
        else:
            out.append({'box': box, 'w': w, 'src': {src}})
    return out

MIN_H = 40
FRAMES = ''
_median = []
_frame = {}

def moving(f, b):
    """The fraction of the box that differs from the scene without people:
    near 0 for a cone or a post that a detector takes for a person."""
    import cv2
    if not _median:
        _median.append(median_frame(FRAMES, range(FIRST, LAST + 1, 4)).astype(np.int16))
    if f not in _frame:
        _frame.clear()
        _frame[f] = cv2.imread(os.path.join(FRAMES, '%04d.png' % f)).astype(np.int16)
    x0, y0 = int(max(0, b[0])), int(max(0, b[1]))
    x1, y1 = int(min(W, b[0] + b[2])), int(min(H, b[1] + b[3]))
    if x1 <= x0 or y1 <= y0: return 0.0
    d = np.abs(_frame[f][y0:y1, x0:x1] - _median[0][y0:y1, x0:x1]).max(axis=2)
    return float((d > 30).mean())
FIRST, LAST = 0, 0

def near_border(b):
    return b[0] < 12 or b[0] + b[2] > W - 12 or b[1] + b[3] > H - 12 or b[1] < 4

def visible(b):
    x0, y0 = max(0, b[0]), max(0, b[1])
    x1, y1 = min(W, b[0] + b[2]), min(H, b[1] + b[3])
    if x1 <= x0 or y1 <= y0: return 0.0
    return (x1 - x0) * (y1 - y0) / (b[2] * b[3])

def propose(label_dir, hog_dir, ped_dir, first, last):
    frames = {}
    for f in range(first, last + 1):
        n = '%04d' % f
        c = [(norm(b), 'L', 1.0) for b in read(os.path.join(label_dir, n + '.txt'))]
        c += [(norm(b), 'H', 1.0) for b in read(os.path.join(hog_dir, n + '.txt'), 0.2)]
        c += [(norm(b), 'P', 1.0) for b in read(os.path.join(ped_dir, n + '.txt'), 0.6)]
        cl = [o for o in cluster(c) if moving(f, o['box']) >= 0.1]
        # A label-tool box alone between two people is a merged pair.
        keep = []
        for o in cl:
            if o['src'] == {'L'}:
                near = [q for q in cl if q is not o and iou(q['box'], o['box']) >= 0.12]
                if len(near) >= 2: continue
            keep.append(o)
        frames[f] = keep
    return frames


def link(frames, first, last):
    """Tracks of (frame, box, sources): greedy IoU linking frame to frame,
    across gaps of up to 4 frames."""
    boxes = {f: [d['box'] for d in frames[f]] for f in range(first, last + 1)}
    return [[(f, frames[f][i]['box'], frames[f][i]['src']) for f, i in t] for t in track_boxes(boxes, gap=4)]


def label(tracks, first, last, reviewed):
    result = {f: [] for f in range(first, last + 1)}
    kept = 0
    for t in tracks:
        srcs = [s for _, _, s in t]
        n_obs = len(t)
        strong = sum(1 for s in srcs if len(s) >= 2 or 'L' in s)
        if not reviewed and (n_obs < 6 or strong < 3): continue
        kept += 1
        # Gaps of a proposed track are filled by interpolation; a reviewed
        # truth gets no box its reviewer did not draw.
        pts = {f: np.array(b, dtype=float) for f, b, _ in t}
        fs = sorted(pts)
        for a, b in zip(fs, fs[1:]):
            for g in range(a + 1, b) if not reviewed else ():
                u = (g - a) / (b - a)
                pts[g] = pts[a] * (1 - u) + pts[b] * u
        for f in sorted(pts):
            b = pts[f]
            result[f].append(tuple(b) + ((b[3] < MIN_H),))
        # Walking out of (or into) the frame: carry the box on at the track's
        # speed while it still shows; those frames get ignore regions.
        for end, direction in ((fs[-1], 1), (fs[0], -1)):
            other = [f for f in fs if abs(f - end) <= 6 and f != end]
            if not other: continue
            ref = min(other, key=lambda f: -abs(f - end))
            # Position moves on at the track's pace; the size stays, since a
            # box shrinking at the border is the person being cut, not leaving.
            v = (pts[end] - pts[ref]) / (end - ref) * direction
            v[2:] = 0
            b = pts[end]
            if not near_border(b): continue
            for g in range(1, 16):
                f = end + g * direction
                if f < FIRST or f > LAST: break
                nb = b + v * g
                if visible(nb) < 0.15: break
                result[f].append(tuple(nb) + (True,))
    print('tracks kept %d of %d' % (kept, len(tracks)), file=sys.stderr)
    return result


def apply_review(result, path):
    """Adds the reviewed people and ignore regions; a replacing box first
    removes the labels that hold most (0.7) of it, too large or off; a
    dropped box removes the label it names (IoU 0.9 or more), and names a
    label that is there."""
    for line in open(path):
        if line.startswith('#') or not line.strip():
            continue
        f, x, y, w, h, kind = line.split()
        f, b = int(f), tuple(float(v) for v in (x, y, w, h))
        if kind not in ('person', 'ignore', 'replace', 'drop') or f not in result:
            raise SystemExit('%s: bad line: %s' % (path, line.strip()))
        if kind == 'drop':
            kept = [o for o in result[f] if o[4] or iou(o, b) < 0.9]
            if len(kept) == len(result[f]):
                raise SystemExit('%s: no label to drop: %s' % (path, line.strip()))
            result[f] = kept
            continue
        if kind == 'replace':
            result[f] = [o for o in result[f] if o[4] or covered(b, o) < 0.7]
        if kind != 'ignore' and any(not o[4] and iou(o, b) >= 0.5 for o in result[f]):
            continue
        result[f].append(b + (kind == 'ignore',))


def main():
    global FIRST, LAST, FRAMES
    mode = sys.argv[1] if len(sys.argv) > 1 else ''
    if mode == 'propose' and len(sys.argv) in (9, 10):
        label_dir, hog_dir, ped_dir, FRAMES, first, last, out_xml = sys.argv[2:9]
        FIRST, LAST = int(first), int(last)
        frames = propose(label_dir, hog_dir, ped_dir, FIRST, LAST)
        result = label(link(frames, FIRST, LAST), FIRST, LAST, False)
        if len(sys.argv) == 10:
            apply_review(result, sys.argv[9])
    elif mode == 'ignore' and len(sys.argv) in (6, 7):
        truth_dir, first, last, out_xml = sys.argv[2:6]
        FIRST, LAST = int(first), int(last)
        frames = {f: [{'box': tuple(b[:4]), 'src': {'L'}}
                      for b in read(os.path.join(truth_dir, '%04d.txt' % f))]
                  for f in range(FIRST, LAST + 1)}
        result = label(link(frames, FIRST, LAST), FIRST, LAST, True)
        if len(sys.argv) == 7:
            apply_review(result, sys.argv[6])
    else:
        raise SystemExit(__doc__.strip().splitlines()[2].strip() + '\n' + __doc__.strip().splitlines()[3].strip())
    write(result, out_xml)

def write(result, out_xml):
    with open(out_xml, 'w') as o:
        o.write("<?xml version='1.0' encoding='UTF-8'?>\n<dataset>\n<images>\n")
        for f in sorted(result):
            o.write("  <image file='%04d.png' width='%d' height='%d'>\n" % (f, W, H))
            for b in result[f]:
                ign = len(b) > 4 and b[4]
                if ign:
                    x0, y0 = max(0, b[0]), max(0, b[1])
                    x1, y1 = min(W, b[0] + b[2]), min(H, b[1] + b[3])
                    b = (x0, y0, x1 - x0, y1 - y0)
                x, y, w, h = [int(round(v)) for v in b[:4]]
                if w <= 0 or h <= 0: continue
                o.write("    <box top='%d' left='%d' width='%d' height='%d'%s/>\n" % (y, x, w, h, " ignore='1'" if ign else ""))
            o.write("  </image>\n")
        o.write("</images>\n</dataset>\n")

if __name__ == '__main__':
    main()
