"""The person model's scripts: the cross-validation's offline suppression
against the detector's own, and the labels' ignore regions."""
import importlib.util
import os
import re
import subprocess
import sys

SOURCE = os.environ.get("PEDSCAN_SOURCE_DIR", os.getcwd())
BINARY = os.environ["PEDSCAN_BINARY"]
SCRIPTS = os.path.join(SOURCE, "scripts")


def load(name, file):
    sys.path.insert(0, SCRIPTS)
    found = importlib.util.spec_from_file_location(name, os.path.join(SCRIPTS, file))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def detect(tmp_path, name, flags):
    out = tmp_path / name
    out.mkdir()
    run = subprocess.run([BINARY, "-d", "-c", "data/detect-eval.txt", "-i", "data/example/vtest-0440.png",
                          "-o", str(out)] + flags, cwd=SOURCE, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    return str(out / "vtest-0440.txt")


def test_cross_validation_suppresses_as_the_detector_does(tmp_path):
    cv = load("person_cv", "person-cv.py")
    every = cv.read_boxes(detect(tmp_path, "every", []))
    assert len(every) > 50
    expected = open(detect(tmp_path, "suppressed", ["-s"])).read()
    result = tmp_path / "offline.txt"
    cv.write_boxes(str(result), cv.suppress(every, 0.2))
    assert result.read_text() == expected


def boxes_of(xml, frame):
    image = re.search(r"<image file='%04d\.png'[^>]*>(.*?)</image>" % frame, xml, re.S).group(1)
    return [(int(b[1]), int(b[0]), int(b[2]), int(b[3]), bool(b[4]))
            for b in re.findall(r"<box top='(-?\d+)' left='(-?\d+)' width='(\d+)' height='(\d+)'( ignore='1')?",
                                image)]


def test_a_person_walking_out_of_view_leaves_ignore_regions_and_the_truth_unchanged(tmp_path):
    truth = tmp_path / "truth"
    truth.mkdir()
    # Walks right 10 px a frame and is last labelled at the right border in
    # frame 5; a second person stands still in the middle throughout.
    for frame in range(10):
        lines = ["300 200 40 96\n"]
        if frame <= 5:
            lines.append("%d 250 40 96\n" % (680 + 10 * frame))
        (truth / ("%04d.txt" % frame)).write_text("".join(lines))
    out = tmp_path / "labels.xml"
    run = subprocess.run([sys.executable, os.path.join(SCRIPTS, "person-labels.py"), "ignore", str(truth), "0",
                          "9", str(out)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    xml = out.read_text()
    for frame in range(10):
        given = [tuple(map(int, line.split())) for line in (truth / ("%04d.txt" % frame)).read_text().splitlines()]
        assert [b[:4] for b in boxes_of(xml, frame) if not b[4]] == given
    # Frame 6: the walker, 740 px from the left, shows 28 of 40 px; frame 7,
    # 18 px; frame 8, 8 px (20 %); frame 9 nothing.
    assert [b for b in boxes_of(xml, 6) if b[4]] == [(740, 250, 28, 96, True)]
    assert [b for b in boxes_of(xml, 7) if b[4]] == [(750, 250, 18, 96, True)]
    assert [b for b in boxes_of(xml, 8) if b[4]] == [(760, 250, 8, 96, True)]
    assert not any(b[4] for frame in (4, 5, 9) for b in boxes_of(xml, frame))
