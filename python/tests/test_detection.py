"""pedscan.Detector from Python, against the command line on the same input."""
import os
import subprocess
import threading

import cv2
import numpy as np
import pytest

import pedscan

SOURCE = os.environ.get("PEDSCAN_SOURCE_DIR", os.getcwd())
BINARY = os.environ["PEDSCAN_BINARY"]
EXAMPLE = os.path.join(SOURCE, "data/example/vtest-0440.png")
CONFIG = os.path.join(SOURCE, "data/detect.txt")


def as_result_text(result):
    """The lines the command line's result file holds for these boxes."""
    return "".join("%d %d %d %d %.13g\n" % (x, y, w, h, s)
                   for (x, y, w, h), s in zip(result.boxes.tolist(), result.scores.tolist()))


def command_line(args, cwd):
    return subprocess.run([BINARY] + args, cwd=cwd, capture_output=True, text=True)


@pytest.fixture(scope="module")
def detector():
    os.chdir(SOURCE)  # the bundled configuration names its models from here
    return pedscan.Detector(CONFIG)


def test_detect_gives_the_command_lines_boxes_and_responses(detector, tmp_path):
    for suppress, flags in ((True, ["-s"]), (False, [])):
        run = command_line(["-d", "-c", CONFIG, "-i", EXAMPLE, "-o", str(tmp_path)] + flags,
                           SOURCE)
        assert run.returncode == 0, run.stdout + run.stderr
        expected = (tmp_path / "vtest-0440.txt").read_text()
        result = detector.detect(cv2.imread(EXAMPLE), suppress=suppress)
        assert as_result_text(result) == expected
        assert result.boxes.dtype == np.int32 and result.boxes.shape == (len(result), 4)
        assert result.scores.dtype == np.float64
        assert result.types == ["person"] * len(result)
    assert len(detector.detect(cv2.imread(EXAMPLE), suppress=True)) == 3


def test_stage_suppression_and_padding_are_the_command_lines_g_and_p(tmp_path):
    staged = pedscan.Detector(CONFIG)
    assert staged.stage_suppression is False
    staged.stage_suppression = True
    run = command_line(["-d", "-c", CONFIG, "-i", EXAMPLE, "-o", str(tmp_path), "-g"], SOURCE)
    assert run.returncode == 0, run.stdout + run.stderr
    assert as_result_text(staged.detect(cv2.imread(EXAMPLE))) == (tmp_path / "vtest-0440.txt").read_text()
    plain = pedscan.Detector(CONFIG)
    assert as_result_text(plain.detect(cv2.imread(EXAMPLE))) != (tmp_path / "vtest-0440.txt").read_text()
    # As the bundled model is meant to run (data/detect-options.txt).
    staged.padding = 16
    staged.soft = 0.3
    staged.box_placement = True
    staged.contained = 0.6
    with open(os.path.join(SOURCE, "tests/data/vtest-0440.shipped.txt")) as shipped:
        assert as_result_text(staged.detect(cv2.imread(EXAMPLE))) == shipped.read()
    with pytest.raises(ValueError, match="-1"):
        staged.padding = -1
    assert staged.padding == 16


def test_overlap_placement_and_containment_are_the_command_lines_o_l_and_k(tmp_path):
    placed = pedscan.Detector(CONFIG)
    assert placed.overlap == pytest.approx(0.2) and placed.box_placement is False
    placed.stage_suppression = True
    placed.overlap = 0.3
    placed.box_placement = True
    placed.contained = 0.3
    run = command_line(["-d", "-c", CONFIG, "-i", EXAMPLE, "-o", str(tmp_path), "-g", "-O", "0.3", "-L",
                        "-K", "0.3"], SOURCE)
    assert run.returncode == 0, run.stdout + run.stderr
    assert as_result_text(placed.detect(cv2.imread(EXAMPLE))) == (tmp_path / "vtest-0440.txt").read_text()
    # The overlap applies to suppress=True too: at 1, nothing overlaps more.
    plain = pedscan.Detector(CONFIG)
    unsuppressed = as_result_text(plain.detect(cv2.imread(EXAMPLE)))
    plain.overlap = 1.0
    assert as_result_text(plain.detect(cv2.imread(EXAMPLE), suppress=True)) == unsuppressed
    for bad in (1.5, -0.1, float("nan")):
        with pytest.raises(ValueError, match="overlap must be 0 to 1"):
            plain.overlap = bad
        with pytest.raises(ValueError, match="contained must be 0 to 1"):
            plain.contained = bad
    assert plain.overlap == 1.0 and plain.contained == 0.0


def test_soft_suppression_is_the_command_lines_g_with_a_width(tmp_path):
    soft = pedscan.Detector(CONFIG)
    assert soft.soft == 0.0
    soft.stage_suppression = True
    soft.soft = 0.3
    soft.contained = 0.6
    run = command_line(["-d", "-c", CONFIG, "-i", EXAMPLE, "-o", str(tmp_path), "-g", "-G", "0.3",
                        "-K", "0.6"], SOURCE)
    assert run.returncode == 0, run.stdout + run.stderr
    assert as_result_text(soft.detect(cv2.imread(EXAMPLE))) == (tmp_path / "vtest-0440.txt").read_text()
    for bad in (-0.1, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="soft must be 0 or a finite width above 0"):
            soft.soft = bad
    assert soft.soft == pytest.approx(0.3)


def test_regions_give_the_command_lines_region_file(detector, tmp_path):
    run = command_line(["-d", "-c", CONFIG, "-i", EXAMPLE, "-o", str(tmp_path), "-s",
                        "0,0,200,256", "150,20,234,200"], SOURCE)
    assert run.returncode == 0, run.stdout + run.stderr
    result = detector.detect(cv2.imread(EXAMPLE), suppress=True,
                             regions=[(0, 0, 200, 256), (150, 20, 234, 200)])
    assert as_result_text(result) == (tmp_path / "vtest-0440.txt").read_text()
    run = command_line(["-d", "-c", CONFIG, "-i", EXAMPLE, "-o", str(tmp_path), "300,0,100,10"],
                       SOURCE)
    with pytest.raises(pedscan.Error) as raised:
        detector.detect(cv2.imread(EXAMPLE), regions=[(300, 0, 100, 10)])
    assert raised.value.message == run.stdout


def test_layouts_other_than_contiguous_bgr_are_converted_or_refused(detector):
    image = cv2.imread(EXAMPLE)
    expected = as_result_text(detector.detect(image))
    # A view with another layout is copied; the result is the same.
    wide = np.zeros((image.shape[0], image.shape[1] * 2, 3), np.uint8)
    wide[:, ::2] = image
    assert not wide[:, ::2].flags.c_contiguous
    assert as_result_text(detector.detect(wide[:, ::2])) == expected
    for bad in (image.astype(np.float32), image[:, :, 0], np.zeros(5, np.uint8), [[1, 2, 3]]):
        with pytest.raises(TypeError, match=r"uint8 array of shape \(H, W, 3\)"):
            detector.detect(bad)
    for empty in (np.zeros((1, 1, 3), np.uint8), np.zeros((0, 0, 3), np.uint8)):
        result = detector.detect(empty)
        assert len(result) == 0 and result.boxes.shape == (0, 4)
    # The detector is still whole after the refusals.
    assert as_result_text(detector.detect(image)) == expected


def test_failures_raise_the_command_lines_message_and_the_next_call_works(detector, tmp_path):
    missing = tmp_path / "missing.txt"
    missing.write_text("model <person, 0, 0.5, nowhere.yml>\n"
                       "scale <person, 48, 100, 0.1, 0.1, 2.0>\n")
    bad_line = tmp_path / "bad.txt"
    bad_line.write_text("model <person, 0, 0.5\n")
    for config in (missing, bad_line):
        run = command_line(["-d", "-c", str(config), "-i", EXAMPLE, "-o", str(tmp_path)],
                           SOURCE)
        with pytest.raises(pedscan.Error) as raised:
            pedscan.Detector(str(config))
        assert raised.value.message == run.stdout + run.stderr
        assert raised.value.status == run.returncode
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"\x89PNG not really")
    run = command_line(["-d", "-c", CONFIG, "-i", str(broken), "-o", str(tmp_path)], SOURCE)
    with pytest.raises(pedscan.Error) as raised:
        detector.detect(broken)
    assert (raised.value.message, raised.value.status) == (run.stdout + run.stderr, run.returncode)
    assert as_result_text(detector.detect(EXAMPLE)) == as_result_text(
        detector.detect(cv2.imread(EXAMPLE)))
    with pytest.raises(pedscan.Error) as raised:
        pedscan.load_model(str(tmp_path / "none.yml"))
    assert "couldn't open storage file" in raised.value.message
    assert len(detector.detect(cv2.imread(EXAMPLE), suppress=True)) == 3


def test_detect_many_gives_each_frames_result_in_order(detector):
    image = cv2.imread(EXAMPLE)
    frames = [image, image[20:, 30:], np.zeros((1, 1, 3), np.uint8), image[:200]]
    alone = [as_result_text(detector.detect(f, suppress=True)) for f in frames]
    for threads in (1, 3):
        together = [as_result_text(r)
                    for r in detector.detect_many(iter(frames), suppress=True, threads=threads)]
        assert together == alone
    assert detector.threads == 3


def test_detectors_in_separate_threads_give_what_one_gives(detector):
    image = cv2.imread(EXAMPLE)
    expected = as_result_text(detector.detect(image))
    detectors = [pedscan.Detector(CONFIG, threads=1) for _ in range(4)]
    results = [None] * 4

    def run(i):
        results[i] = as_result_text(detectors[i].detect(image))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


def test_progress_goes_to_a_callback_or_stays_silent(detector, capfd):
    lines = []
    detector.detect(cv2.imread(EXAMPLE), progress=lines.append)
    assert lines[0].startswith("scale 1/") and "(height: " in lines[0]
    detector.detect(cv2.imread(EXAMPLE))
    assert capfd.readouterr().out == ""


def test_load_model_shows_the_model_files_geometry():
    model = pedscan.load_model(os.path.join(SOURCE, "data/models/person-hog.yml"))
    assert model.window == (32, 64)
    assert model.classifier in ("qda", "plsReg")
    assert model.factors > 0 and len(model.blocks) > 0
    assert {"x", "y", "width", "height", "feature", "factors"} <= set(model.blocks[0])
