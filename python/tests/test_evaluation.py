"""pedscan.evaluate against the evaluate tool on the same files, and on the
same boxes given as mappings."""
import json
import math
import os
import subprocess

import numpy as np
import pytest

import pedscan

EVALUATE = os.path.join(os.path.dirname(os.environ["PEDSCAN_BINARY"]), "evaluate")


def make_frames(seed):
    """Ground truth and detections of a few frames: found people (jittered),
    missed ones, false alarms, second detections and tied scores."""
    rng = np.random.default_rng(seed)
    truth, detections = {}, {}
    for f in range(8):
        people = [[int(rng.integers(0, 500)), int(rng.integers(0, 300)), 20, 48]
                  for _ in range(int(rng.integers(0, 5)))]
        found = []
        for x, y, w, h in people:
            if rng.random() < 0.8:
                found.append([x + int(rng.integers(-6, 7)), y + int(rng.integers(-6, 7)), w, h,
                              round(float(rng.random()), 2)])
            if rng.random() < 0.2:
                found.append([x + 2, y, w, h, 0.5])  # a second one, at a tied score
        for _ in range(int(rng.integers(0, 3))):
            found.append([int(rng.integers(0, 500)), int(rng.integers(0, 300)), 20, 48,
                          round(float(rng.random()), 2)])
        truth["%04d" % f] = np.array(people, dtype=float).reshape(-1, 4)
        detections["%04d" % f] = np.array(found, dtype=float).reshape(-1, 5)
    return truth, detections


def write_frames(directory, frames):
    directory.mkdir()
    for name, boxes in frames.items():
        (directory / (name + ".txt")).write_text(
            "".join(" ".join(repr(v) for v in row) + "\n" for row in boxes.tolist()))
    return str(directory)


@pytest.fixture(scope="module")
def frames(tmp_path_factory):
    root = tmp_path_factory.mktemp("evaluation")
    truth, detections = make_frames(5)
    return {"truth": truth, "detections": detections, "root": root,
            "truth_dir": write_frames(root / "truth", truth),
            "detections_dir": write_frames(root / "detections", detections)}


def test_directories_give_the_tools_figures(frames):
    for threshold in (0.5, None):
        args = [] if threshold is None else ["-t", str(threshold)]
        run = subprocess.run([EVALUATE, frames["truth_dir"], "run=" + frames["detections_dir"]]
                             + args, capture_output=True, text=True)
        assert run.returncode == 0, run.stdout + run.stderr
        shown = run.stdout.splitlines()[1].split()[:7]  # the figures the module gives
        result = pedscan.evaluate(frames["truth_dir"], frames["detections_dir"],
                                  threshold=threshold)
        at = result if threshold is not None else pedscan.evaluate(
            frames["truth_dir"], frames["detections_dir"], threshold=-1e300)
        assert shown == ["run", str(result.frames), str(result.positives),
                         "%.3f" % at.precision, "%.3f" % at.recall,
                         "%.3f" % result.average_precision,
                         "%.2f%%" % (100 * result.log_average_miss_rate)]
    assert result.precision is None and result.true_positives is None


def same_evaluation(a, b):
    for field in ("average_precision", "log_average_miss_rate", "frames", "positives",
                  "threshold", "precision", "recall", "true_positives", "false_positives"):
        assert getattr(a, field) == getattr(b, field), field
    for field in ("threshold", "precision", "recall", "fppi", "miss_rate"):
        assert np.array_equal(getattr(a.curve, field), getattr(b.curve, field)), field


def test_mappings_give_what_the_same_directories_give(frames):
    for iou in (0.5, 0.3):
        on_disk = pedscan.evaluate(frames["truth_dir"], frames["detections_dir"], iou=iou,
                                   threshold=0.4)
        for truth in (frames["truth"], frames["truth_dir"]):
            for detections in (frames["detections"], frames["detections_dir"]):
                same_evaluation(pedscan.evaluate(truth, detections, iou=iou, threshold=0.4),
                                on_disk)
    curve = on_disk.curve
    assert curve.threshold[0] == math.inf and curve.precision[0] == 1 and curve.recall[0] == 0
    assert np.array_equal(curve.miss_rate, 1 - curve.recall)
    assert on_disk.true_positives + on_disk.false_positives > 0


def test_bad_input_raises_and_the_next_call_works(frames):
    root = frames["root"]
    broken = root / "broken"
    broken.mkdir()
    for name in frames["truth"]:
        (broken / (name + ".txt")).write_text("1 2 3 4 0.5\n")
    (broken / "0003.txt").write_text("1 2 -3 4 0.5\n")
    for detections in (str(broken), str(root / "missing")):
        run = subprocess.run([EVALUATE, frames["truth_dir"], detections], capture_output=True,
                             text=True)
        with pytest.raises(pedscan.Error) as raised:
            pedscan.evaluate(frames["truth_dir"], detections)
        # The tool prints its table's heading first.
        report = "".join(run.stdout.splitlines(keepends=True)[1:])
        assert raised.value.message == report and raised.value.status == run.returncode

    with pytest.raises(ValueError, match="0002"):
        pedscan.evaluate(frames["truth"], {"0002": [[1, 2, 0, 4, 0.5]]})
    with pytest.raises(ValueError, match="0002"):
        pedscan.evaluate(frames["truth"], {"0002": [[1, 2, 3, 4]]})
    with pytest.raises(ValueError, match="no entry for frame '0000'"):
        pedscan.evaluate(frames["truth"], {})
    assert pedscan.evaluate(frames["truth"], frames["detections"]).frames == 8


def test_annotation_files_and_coco_results_score_like_the_text_files(frames, tmp_path):
    """The same boxes as COCO ground truth and COCO results, plus a crowd
    region that swallows one false alarm."""
    truth, detections = frames["truth"], frames["detections"]
    names = sorted(truth)
    images = [{"id": i, "file_name": name + ".png"} for i, name in enumerate(names)]
    objects = [{"image_id": i, "category_id": 1, "bbox": row, "iscrowd": 0}
               for i, name in enumerate(names) for row in truth[name].tolist()]
    found = [{"image_id": i, "category_id": 1, "bbox": row[:4], "score": row[4]}
             for i, name in enumerate(names) for row in detections[name].tolist()]
    coco = {"images": images, "categories": [{"id": 1, "name": "person"}], "annotations": objects}
    (tmp_path / "truth.json").write_text(json.dumps(coco))
    (tmp_path / "results.json").write_text(json.dumps(found))
    same = pedscan.evaluate(str(tmp_path / "truth.json"), str(tmp_path / "results.json"))
    on_text = pedscan.evaluate(frames["truth_dir"], frames["detections_dir"])
    assert same.average_precision == on_text.average_precision
    assert same.log_average_miss_rate == on_text.log_average_miss_rate

    alarm = next((i, row) for i, name in enumerate(names) for row in detections[name].tolist()
                 if all(max(0, min(row[0] + row[2], t[0] + t[2]) - max(row[0], t[0])) == 0
                        for t in truth[name].tolist()))
    coco["annotations"].append({"image_id": alarm[0], "category_id": 1, "iscrowd": 1,
                                "bbox": [alarm[1][0] - 1, alarm[1][1] - 1, 40, 80]})
    (tmp_path / "crowd.json").write_text(json.dumps(coco))
    every = {"threshold": -1e300}
    ignored = pedscan.evaluate(str(tmp_path / "crowd.json"), str(tmp_path / "results.json"), **every)
    counted = pedscan.evaluate(frames["truth_dir"], frames["detections_dir"], **every)
    assert ignored.positives == counted.positives
    assert ignored.true_positives == counted.true_positives
    assert ignored.false_positives < counted.false_positives
