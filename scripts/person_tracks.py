"""People followed across frames by their boxes, for the person model's
label and cross-validation scripts."""


def iou(a, b):
    """Intersection over union of two (x, y, w, h, ...) boxes; 0 when they
    do not overlap or only touch."""
    ix = min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0])
    iy = min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1])
    if ix <= 0 or iy <= 0:
        return 0.0
    i = ix * iy
    return i / (a[2] * a[3] + b[2] * b[3] - i)


def link(frames, gap, min_overlap=0.3):
    """Tracks of the boxes of {frame: [box]}: greedily, the best overlapping
    pairs first (IoU `min_overlap` or more), each track to a box of a later
    frame at most `gap` frames after its last one, so that a person hidden
    for a moment keeps the track. Returns [[(frame, index)]], index being
    the box's place in its frame, tracks in the order they start."""
    tracks, active = [], []
    for f in sorted(frames):
        boxes = frames[f]
        active = [t for t in active if f - t[-1][0] <= gap]
        pairs = []
        for ti, t in enumerate(active):
            last = frames[t[-1][0]][t[-1][1]]
            for bi, box in enumerate(boxes):
                o = iou(last, box)
                if o >= min_overlap:
                    pairs.append((o, ti, bi))
        pairs.sort(reverse=True)
        taken_t, taken_b = set(), set()
        for o, ti, bi in pairs:
            if ti in taken_t or bi in taken_b:
                continue
            taken_t.add(ti)
            taken_b.add(bi)
            active[ti].append((f, bi))
        for bi in range(len(boxes)):
            if bi not in taken_b:
                active.append([(f, bi)])
                tracks.append(active[-1])
    return tracks
