#!/usr/bin/python3
"""Cross-validation of the person model's choices inside frames 0-399.

The training frames are four contiguous blocks of 100 frames. Each fold
trains on the windows of three blocks, leaving out the held-out block and a
guard band of frames around it (people stand still for seconds, so the
frames next to a block show the same people in the same places), and scans
every --step-th frame of the held-out block. The detections of the four
folds are scored together against data/person-train.xml with the ignore
regions honoured, so a setting's figures come from frames it never trained
on. The people split (settings p_ and p2_) leaves out of each fold, too,
every window of the people who walk through its held-out block, so that
they are people its models never saw. Frames 400 and later are never read.

    scripts/person-cv.py [--folds 0,1,2,3] [--step 2] [--rescore] setting...

Settings are named below. Each appends one row per suppression variant to
$DATA/cv/table.txt. Needs the frames and the cut windows of
scripts/person-data.sh (DATA, default /tmp/pedscan-person; BUILD, default
build).
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import numpy as np

from person_background import write_background
from person_tracks import link

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = 100
GUARD = 10
# Tiles of every 8th frame: the camera does not move, so the tiles of
# neighbouring frames show the same background, and hard negatives come
# from the retraining rounds.
TILE_EVERY = 8
# Near negatives (<frame>_<object>_n<k>.png) differ from frame to frame as
# the people move, so they are kept from every frame.
NEAR = re.compile(r'_\d+_n\d+\.png$')

# Training options of one stage: configuration, retraining iterations,
# windows drawn per negative image, hard negatives per iteration, their
# response threshold, scan step.
HOG = dict(config='data/train.txt', I=3, M=10, R=3000, T=0.3, S=8, threshold=0.4)
# Stage 1 as it is shipped (data/train-full.txt: 6 factors since the people
# split), and as every setting before the 8-factor one trained it: with 12.
F6 = dict(config='data/train-full.txt', I=2, M=10, R=3000, T=0.3, S=8, threshold=0.7)
FULL = dict(F6, edit=[('factors <6>', 'factors <12>')])
WINDOWS = ['--mirror', '--jitter', '2', '--scale-jitter', '0.1', '--shift-jitter', '0.05']
SCALE = (44, 576, 0.2, 0.1, 1.1)

JITTER1 = ['--mirror', '--jitter', '1', '--scale-jitter', '0.05', '--shift-jitter', '0.02']
NEAR4 = WINDOWS + ['--near-negatives', '4']  # and 4 near negatives per person
NEAR4S1 = NEAR4 + ['--near-scale', '1.0']  # from 0.37 to 2.7 times the person
G = ['-g']  # suppression after every stage
GP = ['-g', '-P', '16']  # and the frame padded for the scan


def edit(stage, old, new):
    """A stage trained from its configuration with one more line changed."""
    return dict(stage, edit=stage.get('edit', []) + [(old, new)])


# Stage 1 without what describes clothes rather than people: no colour
# frequencies, no texture of hue and saturation.
NOCOLOUR = edit(edit(edit(FULL, 'params <hogSet, UseColorFrequency, 1>\n', ''),
                     'method <COOCH, coocBlocks, 0, coocSet>\n', ''), 'method <COOCS, coocBlocks, 0, coocSet>\n', '')

# Stage 1 with 8 factors instead of 12: fewer directions to learn the few
# people of the training frames by. Shipped until the people split chose 6.
F8 = dict(F6, edit=[('factors <6>', 'factors <8>')])
NOCOLOUR8 = dict(NOCOLOUR, edit=F8['edit'] + NOCOLOUR['edit'][1:])


# The object box of both stages' configurations: where the person lies in
# the 32 x 64 window.
OBJECT = 'object <6, 8, 20, 48>'


def people(stages=None, models='p_f8', t0=0.4, overlap='0.25', contained='0.6', padding='16', soft=None, **more):
    """A setting of the people split: the shipped windows and stages (stage
    0 cutting at t0), scanned with -g -L and the padding, overlap (or, with
    `soft`, the soft suppression of that width instead) and containment
    given, on the models of `models` (None: its own)."""
    stages = stages or [HOG, F8]
    if more.get('object'):
        stages = [edit(stage, OBJECT, 'object <%s>' % more['object']) for stage in stages]
    flags = ['-g', '-P', padding, '-L'] + (['-G', soft] if soft else ['-O', overlap])
    flags += ['-K', contained] if contained else []
    setting = dict(windows=NEAR4S1, stages=[dict(stages[0], threshold=t0)] + stages[1:], scale=SCALE,
                   flags=flags, bgpad=16, split='people')
    setting.update(more)
    if models:
        setting['models'] = models
    return setting


# A setting names the windows' options, the stages' training, the scale
# line, the detection flags and, when only the scan differs, the setting
# whose models it reuses. The first round compared the windows and the
# suppression; the second the padding, the pyramid and the factors, with -g.
SETTINGS = {
    'base': dict(windows=WINDOWS, stages=[HOG, FULL], scale=SCALE, stagewise=True),
    'nojitter': dict(windows=['--mirror'], stages=[HOG, FULL], scale=SCALE),
    # People cut by the frame border cut too (border replicated).
    'border': dict(windows=WINDOWS + ['--keep-border-cut'], stages=[HOG, FULL], scale=SCALE),
    'pad': dict(windows=WINDOWS, stages=[HOG, FULL], scale=SCALE, flags=['-P', '16'], models='base'),
    'stagewise': dict(windows=WINDOWS, stages=[HOG, FULL], scale=SCALE, flags=G, models='base'),
    'nojitter_g': dict(windows=['--mirror'], stages=[HOG, FULL], scale=SCALE, flags=G, models='nojitter'),
    'hardT0_g': dict(windows=WINDOWS, stages=[dict(HOG, T=0.0), dict(FULL, T=0.0)], scale=SCALE, flags=G,
                     models='hardT0'),
    'gp16': dict(windows=WINDOWS, stages=[HOG, FULL], scale=SCALE, flags=GP, models='base'),
    'gp32': dict(windows=WINDOWS, stages=[HOG, FULL], scale=SCALE, flags=['-g', '-P', '32'], models='base'),
    'gp16_s105': dict(windows=WINDOWS, stages=[HOG, FULL], scale=(44, 576, 0.2, 0.1, 1.05), flags=GP,
                      models='base'),
    'gp16_min40': dict(windows=WINDOWS, stages=[HOG, FULL], scale=(40, 576, 0.2, 0.1, 1.1), flags=GP,
                       models='base'),
    'jitter1_gp': dict(windows=JITTER1, stages=[HOG, FULL], scale=SCALE, flags=GP, models='jitter1'),
    'hog14_gp': dict(windows=WINDOWS, stages=[edit(HOG, 'factors <10>', 'factors <14>'), FULL], scale=SCALE,
                     flags=GP, models='hog14'),
    # Negatives around each person: part of one, beside one, a box far too
    # large.
    'near4': dict(windows=NEAR4, stages=[HOG, FULL], scale=SCALE, flags=GP),
    'near4_t03': dict(windows=NEAR4, stages=[dict(HOG, threshold=0.3), FULL],
                      scale=SCALE, flags=GP, models='near4'),
    # The same two after the labels' review (data/person-train-review.txt).
    'rl_gp16': dict(windows=WINDOWS, stages=[HOG, FULL], scale=SCALE, flags=GP),
    'rl_near4': dict(windows=NEAR4, stages=[HOG, FULL], scale=SCALE, flags=GP),
    'rl_near4_t03': dict(windows=NEAR4, stages=[dict(HOG, threshold=0.3), FULL],
                         scale=SCALE, flags=GP, models='rl_near4'),
    # Stage 1 with HOG of 8 x 8 blocks too, or a third retraining round.
    'rl_near4_fine': dict(windows=NEAR4,
                          stages=[HOG, edit(FULL, 'block <hogBlocks, 32, 32, 16, 16, 0>',
                                            'block <hogBlocks, 32, 32, 16, 16, 0>\nblock <hogBlocks, 8, 8, 4, 4, 0>')],
                          scale=SCALE, flags=GP),
    'rl_near4_I3': dict(windows=NEAR4, stages=[HOG, dict(FULL, I=3)], scale=SCALE,
                        flags=GP),
    # The median background padded as -P 16 pads the frame, so that the
    # retraining rounds meet the repeated border too.
    'rl_near4_bgpad': dict(windows=NEAR4, stages=[HOG, FULL], scale=SCALE, flags=GP,
                           bgpad=16),
    # Near negatives from 0.37 to 2.7 times the person's size instead of
    # 0.5 to 2: a head, or the upper body of a tall person.
    'rl_near4s1': dict(windows=NEAR4S1, stages=[HOG, FULL],
                       scale=SCALE, flags=GP),
    'rl_nb_I3': dict(windows=NEAR4, stages=[HOG, dict(FULL, I=3)], scale=SCALE,
                     flags=GP, bgpad=16),
    'rl_nbs1': dict(windows=NEAR4S1, stages=[HOG, FULL],
                    scale=SCALE, flags=GP, bgpad=16),
    # The classifier of stage 1, and more near negatives, on rl_nbs1.
    'rl_nbs1_qda': dict(windows=NEAR4S1,
                        stages=[HOG, edit(FULL, 'classifier <plsReg>', 'classifier <qda>')], scale=SCALE, flags=GP,
                        bgpad=16),
    'rl_nbs1_n6': dict(windows=WINDOWS + ['--near-negatives', '6', '--near-scale', '1.0'], stages=[HOG, FULL],
                       scale=SCALE, flags=GP, bgpad=16),
    # rl_nbs1's models scanned without suppression, so that -g can be
    # scored at other overlap thresholds than 0.2.
    # And the boxes placed as -L does, among the stage-0 windows that
    # overlap them by 0.3 to 0.7.
    'rl_nbs1_overlap': dict(windows=NEAR4S1, stages=[HOG, FULL], scale=SCALE, flags=['-P', '16'], bgpad=16,
                            models='rl_nbs1', stagewise=True, overlaps=[0.2, 0.25],
                            placement=[0.3, 0.4, 0.5, 0.6, 0.7]),
    # Each box placed at the mean of the stage-0 windows around it (-L),
    # with the suppression's overlap at 0.2 and 0.25.
    'rl_nbs1_r': dict(windows=NEAR4S1, stages=[HOG, FULL], scale=SCALE, flags=GP + ['-L'], bgpad=16,
                      models='rl_nbs1'),
    'rl_nbs1_r25': dict(windows=NEAR4S1, stages=[HOG, FULL], scale=SCALE, flags=GP + ['-L', '-O', '0.25'],
                        bgpad=16, models='rl_nbs1'),
    # And the boxes that lie by 0.6 or more inside a stronger, taller box
    # removed: parts of a person, scored as people of their own.
    'rl_nbs1_r25_k6': dict(windows=NEAR4S1, stages=[HOG, FULL], scale=SCALE,
                           flags=GP + ['-L', '-O', '0.25', '-K', '0.6'], bgpad=16, models='rl_nbs1'),
    'g50_nbs1_r25_k6': dict(windows=NEAR4S1, stages=[HOG, FULL], scale=SCALE,
                            flags=GP + ['-L', '-O', '0.25', '-K', '0.6'], bgpad=16, guard=50, models='g50_nbs1'),
    # Stage 1 with 8 factors, with the boxes as chosen.
    'rl_f8_r25_k6': dict(windows=NEAR4S1, stages=[HOG, F8], scale=SCALE, flags=GP + ['-L', '-O', '0.25', '-K', '0.6'],
                         bgpad=16),
    'g50_f8_r25_k6': dict(windows=NEAR4S1, stages=[HOG, F8], scale=SCALE, flags=GP + ['-L', '-O', '0.25', '-K', '0.6'],
                          bgpad=16, guard=50, models='g50_f8_r25'),
    'rl_nbs1_r25_s107': dict(windows=NEAR4S1, stages=[HOG, FULL], scale=(44, 576, 0.2, 0.1, 1.07),
                             flags=GP + ['-L', '-O', '0.25'], bgpad=16, models='rl_nbs1'),
    # A guard band of 50 frames: the same people walk through neighbouring
    # blocks for up to 180 frames, so with 10 frames most people of a
    # held-out block were seen in training, and features that learn
    # someone's clothes score as if they learnt people.
    'g50_nbs1': dict(windows=NEAR4S1, stages=[HOG, FULL], scale=SCALE, flags=GP, bgpad=16, guard=50),
    # Stage 1 without colour: no colour frequencies, texture of the value
    # channel only.
    'g50_nocolour': dict(windows=NEAR4S1, stages=[HOG, NOCOLOUR], scale=SCALE, flags=GP, bgpad=16, guard=50),
    'g50_nocolour_r25': dict(windows=NEAR4S1, stages=[HOG, NOCOLOUR], scale=SCALE, flags=GP + ['-L', '-O', '0.25'],
                             bgpad=16, guard=50, models='g50_nocolour'),
    'g50_f8_r25': dict(windows=NEAR4S1, stages=[HOG, F8], scale=SCALE,
                       flags=GP + ['-L', '-O', '0.25'], bgpad=16, guard=50),
    'g50_nbs1_r25': dict(windows=NEAR4S1, stages=[HOG, FULL], scale=SCALE, flags=GP + ['-L', '-O', '0.25'],
                         bgpad=16, guard=50, models='g50_nbs1'),
    # The people split: each fold leaves out every window of the people
    # who walk through its held-out block, wherever they walk, so that it
    # scores people the models never saw, as new footage shows them. The
    # shipped models, as chosen on the frame split, and stage 1 without
    # colour.
    'p_f8': people(),
    'p_nocolour': people(stages=[HOG, NOCOLOUR8], models=None),
    # Stage 0 alone.
    'p_hog': people(scan_stages=1),
    # Two people side by side kept apart more often: the overlap of the
    # suppression at 0.3 or 0.35, or stage 0 keeping weaker windows (0.3).
    'p_o30': people(overlap='0.3'),
    'p_o35': people(overlap='0.35'),
    'p_t03': people(t0=0.3),
    'p_t03_o30': people(t0=0.3, overlap='0.3'),
    # A person half behind another lies mostly inside the other's box:
    # -K at 0.8, or none.
    'p_t03_o30_k8': people(t0=0.3, overlap='0.3', contained='0.8'),
    'p_t03_o30_k0': people(t0=0.3, overlap='0.3', contained=None),
    # Retrained on the labels after their second review: the choice so
    # far, and with 4 jittered copies of each person instead of 2.
    'p2_t03_o30': people(t0=0.3, overlap='0.3', models=None),
    'p2_jitter4': people(t0=0.3, overlap='0.3', models=None,
                         windows=WINDOWS[:2] + ['4'] + WINDOWS[3:] + ['--near-negatives', '4', '--near-scale', '1.0']),
    # Stage 1 with 4, 6 or 12 factors; stage 0 cutting at 0.2.
    'p2_f6': people(stages=[HOG, F6], t0=0.3, overlap='0.3', models=None),
    'p2_f4': people(stages=[HOG, edit(F6, 'factors <6>', 'factors <4>')], t0=0.3, overlap='0.3', models=None),
    'p2_f12': people(stages=[HOG, FULL], t0=0.3, overlap='0.3', models=None),
    # And stage 0 with 6 or 8 factors instead of 10, stage 1 with 6.
    'p2_f6_h6': people(stages=[edit(HOG, 'factors <10>', 'factors <6>'), F6],
                       t0=0.3, overlap='0.3', models=None),
    'p2_f6_h8': people(stages=[edit(HOG, 'factors <10>', 'factors <8>'), F6],
                       t0=0.3, overlap='0.3', models=None),
    # The frame padded by 32 px instead of 16.
    'p2_f6_p32': people(stages=[HOG, F6], t0=0.3, overlap='0.3', models='p2_f6', padding='32'),
    # No suppression at all: what the scan finds before any box is removed.
    'p2_f6_raw': dict(people(stages=[HOG, F6], t0=0.3, models='p2_f6'), flags=['-P', '16']),
    # Soft suppression: the weaker of two overlapping boxes kept with a
    # lower response, of width 0.2, 0.3 or 0.5.
    'p2_soft2': people(stages=[HOG, F6], t0=0.3, models='p2_f6', soft='0.2'),
    'p2_soft3': people(stages=[HOG, F6], t0=0.3, models='p2_f6', soft='0.3'),
    'p2_soft5': people(stages=[HOG, F6], t0=0.3, models='p2_f6', soft='0.5'),
    # The person in a tighter or a looser object box of the window: less
    # or more of what is around a person, more or fewer pixels of the
    # person (and a larger or smaller pyramid to scan).
    'p2_soft3_tight': people(stages=[HOG, F6], t0=0.3, models=None, soft='0.3', object='5, 5, 22, 54'),
    'p2_soft3_loose': people(stages=[HOG, F6], t0=0.3, models=None, soft='0.3', object='7, 11, 18, 42'),
    # And -K 0.5, 0.7 or 0.8 beside it.
    'p2_soft3_k5': people(stages=[HOG, F6], t0=0.3, models='p2_f6', soft='0.3', contained='0.5'),
    'p2_soft3_k7': people(stages=[HOG, F6], t0=0.3, models='p2_f6', soft='0.3', contained='0.7'),
    'p2_soft3_k8': people(stages=[HOG, F6], t0=0.3, models='p2_f6', soft='0.3', contained='0.8'),
    'p2_t02': people(t0=0.2, overlap='0.3', models='p2_t03_o30'),
    'near8': dict(windows=WINDOWS + ['--near-negatives', '8'], stages=[HOG, FULL], scale=SCALE, flags=GP),
    'full16_gp': dict(windows=WINDOWS, stages=[HOG, edit(FULL, 'factors <12>', 'factors <16>')], scale=SCALE,
                      flags=GP, models='full16'),
}

# Suppression variants scored from the same unsuppressed detections: none,
# the -s threshold 0.2, and looser thresholds that let two people walking
# side by side keep their own boxes.
NMS = [None, 0.2, 0.3, 0.4, 0.5]


def run(cmd, log, cwd=None):
    with open(log, 'w') as out:
        subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, check=True, cwd=cwd)


def frame_of(name):
    return int(re.match(r'(\d+)', name).group(1))


def held_out(k):
    return range(k * BLOCK, (k + 1) * BLOCK)


def cut_windows(args, setting):
    key = re.sub(r'[^A-Za-z0-9.]+', '_', ' '.join(setting['windows'])).strip('_') or 'plain'
    # Windows cut from other labels are other windows.
    labels = hashlib.sha1(open(os.path.join(ROOT, 'data/person-train.xml'), 'rb').read()).hexdigest()[:8]
    key += '_' + labels
    # And so are windows with the person in another object box.
    config = os.path.join(ROOT, 'data/train.txt')
    if setting.get('object'):
        key += '_object' + re.sub(r'\D+', '_', setting['object'])
    out = os.path.join(args.data, 'cv', 'windows-' + key)
    if os.path.isdir(os.path.join(out, 'neg')):
        return out
    tmp = out + '.partial'
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    if setting.get('object'):
        text = open(config).read()
        assert OBJECT in text, config
        config = os.path.join(tmp, 'train.txt')
        with open(config, 'w') as c:
            c.write(text.replace(OBJECT, 'object <%s>' % setting['object']))
    run([os.path.join(args.build, 'windows'), '-c', config,
         '-p', os.path.join(tmp, 'pos'), '-n', os.path.join(tmp, 'neg'), '--frames', '0-399',
         '--images', os.path.join(args.data, 'frames'), '--seed', '0', '-j', '1']
        + setting['windows'] + [os.path.join(ROOT, 'data/person-train.xml')],
        os.path.join(tmp, 'windows.log'))
    os.rename(tmp, out)
    return out


def read_labels(path):
    """{frame: [(left, top, width, height, ignore)]} of an imglab file, in
    the order of its boxes (the order that numbers the cut windows)."""
    frames = {}
    for image in ElementTree.parse(path).getroot().iter('image'):
        frames[frame_of(image.get('file'))] = [
            tuple(float(b.get(k)) for k in ('left', 'top', 'width', 'height')) + (b.get('ignore') == '1',)
            for b in image.iter('box')]
    return frames


def link_people(frames):
    """The labels linked into tracks, one per person as far as boxes tell,
    across gaps of up to 8 frames (a person passing behind the sign).
    Returns [[(frame, index)]], index being the box's place in its frame."""
    return link(frames, gap=8)


def people_seen(tracks, lo, hi):
    """(frame, index) of every box of every track with a box in frames
    lo-hi: the people of a held-out block, wherever else they walk."""
    return {box for t in tracks if any(lo <= f <= hi for f, _ in t) for box in t}


def object_of(name):
    """(frame, index) of a window cut around a labelled box, None for a tile."""
    m = re.match(r'(\d+)_(\d+)(_|\.)', name)
    return (int(m.group(1)), int(m.group(2))) if m else None


def fold_dirs(args, windows, k, bgpad=0, guard=GUARD, split='frames'):
    """Symbolic-link folders of the windows a fold trains on, plus the
    median background of its training frames (padded by bgpad pixels of
    repeated border) and the still images. The 'people' split leaves out
    too every window cut around a person who walks through the held-out
    block, in whichever frame: the held-out people are then people the
    models never saw, as on new footage."""
    lo, hi = k * BLOCK - guard, (k + 1) * BLOCK - 1 + guard
    fold = os.path.join(windows, 'fold%d' % k + ('-bgpad%d' % bgpad if bgpad else '')
                        + ('-guard%d' % guard if guard != GUARD else '') + ('-people' if split == 'people' else ''))
    if os.path.isdir(os.path.join(fold, 'neg')):
        return fold
    tmp = fold + '.partial'
    shutil.rmtree(tmp, ignore_errors=True)
    seen = set()
    if split == 'people':
        seen = people_seen(link_people(read_labels(os.path.join(ROOT, 'data/person-train.xml'))),
                           k * BLOCK, (k + 1) * BLOCK - 1)
    for kind in ('pos', 'neg'):
        os.makedirs(os.path.join(tmp, kind))
        for name in sorted(os.listdir(os.path.join(windows, kind))):
            if lo <= frame_of(name) <= hi or object_of(name) in seen:
                continue
            if kind == 'neg' and not NEAR.search(name) and frame_of(name) % TILE_EVERY != 0:
                continue
            os.symlink(os.path.join(windows, kind, name), os.path.join(tmp, kind, name))
    write_background(os.path.join(args.data, 'frames'),
                     [f for f in range(0, 400, 4) if not lo <= f <= hi], os.path.join(tmp, 'neg'), bgpad)
    for still in sorted(os.listdir(os.path.join(args.data, 'stills'))):
        os.symlink(os.path.join(args.data, 'stills', still), os.path.join(tmp, 'neg', still))
    os.rename(tmp, fold)
    return fold


def train(args, stage, name, fold, out):
    """The model of one stage of one fold. A stage trains on the fold's
    windows alone, whatever the other stages, so settings that share a
    stage's configuration, options and fold share its model: it is trained
    once, under a folder named by all three."""
    final = '%s.ret%02d.yml' % (os.path.join(out, name), stage['I'])
    if os.path.exists(final):
        return final
    text = open(os.path.join(ROOT, stage['config'])).read()
    for old, new in stage.get('edit', []):
        assert old in text, (stage['config'], old)
        text = text.replace(old, new)
    options = ['-M', str(stage['M']), '-I', str(stage['I']), '-R', str(stage['R']),
               '-T', str(stage['T']), '-S', str(stage['S'])] + (['-f', str(stage['f'])] if 'f' in stage else [])
    key = hashlib.sha1('\n'.join([text, ' '.join(options), os.path.realpath(fold)]).encode()).hexdigest()[:12]
    out = os.path.join(args.data, 'cv', 'models', key)
    final = os.path.join(out, '%s.ret%02d.yml' % (name, stage['I']))
    if os.path.exists(final):
        return final
    # Trained aside and then renamed, so that a setting run beside another
    # never takes a half-trained model.
    tmp = '%s.partial%d' % (out, os.getpid())
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    config = os.path.join(tmp, name + '.txt')
    with open(config, 'w') as c:
        c.write(text)
    model = os.path.join(tmp, name)
    cmd = [os.path.join(args.build, 'pedscan'), '-t', '-c', config,
           '-p', os.path.join(fold, 'pos'), '-n', os.path.join(fold, 'neg'), '-m', model, '-z', '0'] + options
    run(['/usr/bin/time', '-v'] + cmd, model + '.log', cwd=tmp)
    if os.path.exists(final):
        shutil.rmtree(tmp)  # the other's, the same
    else:
        os.rename(tmp, out)
    return final


def detect(args, setting, models, k, out, stages=None, name='det'):
    """Scans the held-out frames of fold k with the fold's models (the first
    `stages` of them)."""
    det = os.path.join(out, name)
    if os.path.isdir(det):
        return det
    stages = stages or len(models)
    config = os.path.join(out, name + '.txt')
    with open(config, 'w') as c:
        for i, (model, stage) in enumerate(list(zip(models, setting['stages']))[:stages]):
            # The cascade's last stage keeps every window, so the curves
            # reach down.
            c.write('model <person, %d, %s, %s>\n' % (i, stage['threshold'] if i + 1 < len(models) else -1.0, model))
        c.write('scale <person, %d, %d, %g, %g, %g>\n' % setting['scale'])
    frames = os.path.join(out, 'frames')
    shutil.rmtree(frames, ignore_errors=True)
    os.makedirs(frames)
    for f in held_out(k)[::args.step]:
        os.symlink(os.path.join(args.data, 'frames', '%04d.png' % f), os.path.join(frames, '%04d.png' % f))
    tmp = det + '.partial'
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    run(['/usr/bin/time', '-v', os.path.join(args.build, 'pedscan'), '-d', '-c', config, '-i', frames,
         '-o', tmp, '-j', '1'] + setting.get('flags', []), os.path.join(out, name + '.log'), cwd=ROOT)
    os.rename(tmp, det)
    return det


def write_boxes(path, boxes):
    with open(path, 'w') as out:
        for b in boxes:
            out.write('%d %d %d %d %.13g\n' % b)


def overlaps(a, b):
    """Intersection over union of every box of a (n x 4 integer array of x,
    y, w, h) with every box of b (m x 4), n x m, in single precision as the
    detector computes it; 0 where two boxes do not overlap or only touch."""
    ix = (np.minimum(a[:, None, 0] + a[:, None, 2], b[None, :, 0] + b[None, :, 2])
          - np.maximum(a[:, None, 0], b[None, :, 0]))
    iy = (np.minimum(a[:, None, 1] + a[:, None, 3], b[None, :, 1] + b[None, :, 3])
          - np.maximum(a[:, None, 1], b[None, :, 1]))
    inter = np.where((ix > 0) & (iy > 0), ix * iy, 0)
    union = (a[:, 2] * a[:, 3])[:, None] + (b[:, 2] * b[:, 3])[None, :] - inter
    return inter.astype(np.float32) / union.astype(np.float32)


def suppress(boxes, t):
    """The -s suppression with threshold t: pairwise, not greedy; for every
    pair i < j whose overlap exceeds t, the weaker loses (i on a tie)."""
    if len(boxes) < 2:
        return list(boxes)
    b = np.array([x[:4] for x in boxes], dtype=np.int64)
    r = np.array([x[4] for x in boxes])
    overlap = overlaps(b, b)
    over = np.triu((overlap > 0) & (np.float32(t) < overlap), 1)
    i, j = np.nonzero(over)
    lose = np.where(r[j] < r[i], j, i)
    keep = np.ones(len(boxes), dtype=bool)
    keep[lose] = False
    return [x for x, k in zip(boxes, keep) if k]


def place(box, zero, threshold, overlap):
    """The box at the mean of the stage-0 windows that overlap it by
    `overlap` or more, weighted by their responses less the threshold
    (plus 0.001), as pedscan -d -L places it."""
    if not zero:
        return box
    z = np.array([b[:4] for b in zero], dtype=np.int64)
    near = overlaps(np.array([box[:4]], dtype=np.int64), z)[0] >= np.float32(overlap)
    if not near.any():
        return box
    weights = np.array([b[4] for b in zero])[near] - threshold + 1e-3
    mean = (z[near] * weights[:, None]).sum(axis=0) / weights.sum()
    return tuple(int(np.floor(v + 0.5)) for v in mean) + (box[4],)


def stagewise_boxes(boxes, zero, threshold, t, placement=None):
    """What -g -O t (and -L when placement is given, as its overlap) keeps
    of a cascade's boxes without suppression, given stage 0's boxes without
    its cut (threshold): stage 0's survivors suppressed by their own
    responses, the later stage's boxes of the windows left suppressed
    again, then placed."""
    zero = [b for b in zero if b[4] >= threshold]
    kept = {b[:4] for b in suppress(zero, t)}
    boxes = suppress([b for b in boxes if b[:4] in kept], t)
    if placement:
        boxes = [place(b, zero, threshold, placement) for b in boxes]
    return boxes


def read_boxes(path):
    boxes = []
    for line in open(path):
        v = line.split()
        boxes.append((int(v[0]), int(v[1]), int(v[2]), int(v[3]), float(v[4])))
    return boxes


def best_threshold(curves):
    """The response threshold where the curve's F1 score peaks."""
    best = (0.0, 'inf')
    for row in open(curves).read().splitlines()[1:]:
        v = row.split(',')
        precision, recall = float(v[2]), float(v[3])
        if precision + recall > 0:
            best = max(best, (2 * precision * recall / (precision + recall), v[1]))
    return '%s(F1 %.3f)' % (best[1], best[0])


def truth_subset(frames, path):
    """The training truth of the scored frames only (the evaluation wants
    a result file for every frame of its truth)."""
    text = open(os.path.join(ROOT, 'data/person-train.xml')).read()
    images = re.findall(r"(  <image file='(\d+)\.png'.*?</image>\n|  <image file='(\d+)\.png'[^>]*/>\n)", text, re.S)
    keep = set(frames)
    with open(path, 'w') as out:
        out.write("<?xml version='1.0' encoding='UTF-8'?>\n<dataset>\n<images>\n")
        for whole, a, b in images:
            if int(a or b) in keep:
                out.write(whole)
        out.write('</images>\n</dataset>\n')


def score(args, name, setting, dets, threshold, dets0=None):
    base = os.path.join(args.data, 'cv', name)
    frames = sorted(frame_of(f) for d in dets for f in os.listdir(d))
    truth = os.path.join(base, 'truth.xml')
    truth_subset(frames, truth)
    rows = []
    variants = [(t, False, None) for t in NMS] + ([(t, True, None) for t in NMS if t] if dets0 else [])
    # Boxes placed as -L places them, at each overlap of the suppression.
    variants += [(t, True, p) for t in setting.get('overlaps', []) for p in setting.get('placement', [])]
    if '-g' in setting.get('flags', []):
        variants = [(None, False, None)]  # suppressed already, at the detector's threshold
    for t, stagewise, placement in variants:
        label = ('g' if stagewise else '') + str(t) + ('r%g' % placement if placement else '')
        pooled = os.path.join(base, 'pooled-' + label)
        shutil.rmtree(pooled, ignore_errors=True)
        os.makedirs(pooled)
        for i, d in enumerate(dets):
            for f in os.listdir(d):
                boxes = read_boxes(os.path.join(d, f))
                if stagewise:
                    boxes = stagewise_boxes(boxes, read_boxes(os.path.join(dets0[i], f)),
                                            setting['stages'][0]['threshold'], t, placement)
                elif t is not None:
                    boxes = suppress(boxes, t)
                write_boxes(os.path.join(pooled, f), boxes)
        result = subprocess.run([os.path.join(args.build, 'evaluate'), truth, '-t', str(threshold),
                                 '-p', pooled, 'x=' + pooled], capture_output=True, text=True,
                                check=True).stdout
        line = [l for l in result.splitlines() if l.startswith('x ')][0].split()
        line.append('F1max@%s' % best_threshold(pooled + '-curves.csv'))
        rows.append((label, line))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('settings', nargs='+', choices=sorted(SETTINGS))
    parser.add_argument('--folds', default='0,1,2,3')
    parser.add_argument('--step', type=int, default=2)
    parser.add_argument('--rescore', action='store_true',
                        help="score the settings' earlier scans again, against the labels as they are now")
    args = parser.parse_args()
    args.build = os.path.join(ROOT, os.environ.get('BUILD', 'build'))
    args.data = os.environ.get('DATA', '/tmp/pedscan-person')
    folds = [int(k) for k in args.folds.split(',')]
    for name in args.settings:
        setting = SETTINGS[name]
        dets, dets0, scan = [], [], folds
        if args.rescore:
            dets = [os.path.join(args.data, 'cv', name, 'fold%d' % k, 'det') for k in folds]
            dets0 = [os.path.join(args.data, 'cv', name, 'fold%d' % k, 'det0') for k in folds
                     if setting.get('stagewise')]
            missing = [d for d in dets + dets0 if not os.path.isdir(d)]
            if missing:
                raise SystemExit('%s: no scan to score again: %s' % (name, missing[0]))
            scan = []
        else:
            windows = cut_windows(args, setting)
        for k in scan:
            fold = fold_dirs(args, windows, k, setting.get('bgpad', 0), setting.get('guard', GUARD),
                             setting.get('split', 'frames'))
            out = os.path.join(args.data, 'cv', name, 'fold%d' % k)
            os.makedirs(out, exist_ok=True)
            # A setting that changes only the scan reuses another's models.
            trained = os.path.join(args.data, 'cv', setting.get('models', name), 'fold%d' % k)
            os.makedirs(trained, exist_ok=True)
            models = [train(args, stage, 'stage%d' % i, fold, trained)
                      for i, stage in enumerate(setting['stages'])]
            dets.append(detect(args, setting, models, k, out, setting.get('scan_stages')))
            if setting.get('stagewise'):
                dets0.append(detect(args, setting, models, k, out, 1, 'det0'))
            print('%s fold %d done' % (name, k), flush=True)
        threshold = setting['stages'][setting.get('scan_stages', len(setting['stages'])) - 1]['threshold']
        with open(os.path.join(args.data, 'cv', 'table.txt'), 'a') as table:
            for t, line in score(args, name, setting, dets, threshold, dets0):
                row = '%-10s nms %-5s folds %-8s %s' % (name, t, args.folds, ' '.join(line[1:]))
                print(row)
                table.write(row + '\n')


if __name__ == '__main__':
    sys.exit(main())
