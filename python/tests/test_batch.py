"""python3 -m pedscan.batch on real Dask clusters of two worker processes,
against the command line run once per input."""
import glob
import hashlib
import json
import logging
import os
import shutil
import signal
import subprocess
import sys
import time

import cv2
import pytest
from distributed import LocalCluster

SOURCE = os.environ.get("PEDSCAN_SOURCE_DIR", os.getcwd())
BINARY = os.environ["PEDSCAN_BINARY"]
EXAMPLE = os.path.join(SOURCE, "data/example/vtest-0440.png")
CONFIG = os.path.join(SOURCE, "data/detect.txt")


def batch(args, wait=True):
    command = [sys.executable, "-m", "pedscan.batch"] + [str(a) for a in args]
    if not wait:
        return subprocess.Popen(command, cwd=SOURCE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
    return subprocess.run(command, cwd=SOURCE, capture_output=True, text=True)


def command_line(inputs, output, flags=()):
    """What pedscan -d writes for each input in turn into one directory."""
    os.makedirs(output, exist_ok=True)
    for path in inputs:
        run = subprocess.run([BINARY, "-d", "-c", CONFIG, "-i", str(path), "-o", str(output)]
                             + list(flags), cwd=SOURCE, capture_output=True, text=True)
        assert run.returncode == 0, run.stdout + run.stderr
    return contents(output)


def contents(directory):
    """Every file of a directory but the manifest, name to bytes."""
    return {name: open(os.path.join(directory, name), "rb").read()
            for name in sorted(os.listdir(directory)) if name != "manifest.json"}


def manifest_of(directory):
    with open(os.path.join(directory, "manifest.json")) as file:
        return json.load(file)


def tasks_by_status(manifest, status):
    return [task for task in manifest["tasks"] if task["status"] == status]


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """Small crops of the example frame: a directory, a single image, a video."""
    root = tmp_path_factory.mktemp("inputs")
    example = cv2.imread(EXAMPLE)
    frames = root / "frames"
    frames.mkdir()
    for i in range(6):
        crop = example[40:200, 20 + 36 * i:180 + 36 * i]
        cv2.imwrite(str(frames / ("crop%d.%s" % (i, "jpg" if i == 5 else "png"))), crop)
    (frames / "notes.txt").write_text("not an image")
    cv2.imwrite(str(root / "single.png"), example[60:220, 200:360])
    writer = cv2.VideoWriter(str(root / "clip.avi"), cv2.VideoWriter_fourcc(*"MJPG"), 10,
                             (160, 160))
    for i in range(12):
        writer.write(example[30:190, 12 * i:160 + 12 * i])
    writer.release()
    broken = root / "broken"
    shutil.copytree(frames, broken)
    (broken / "crop2.png").write_bytes(b"\x89PNG\r\n\x1a\n not really an image")
    (root / "garbage.avi").write_bytes(os.urandom(4096))
    return root


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0", memory_limit=0,
                      silence_logs=logging.ERROR) as local:
        yield local.scheduler_address


def test_results_are_the_command_lines_for_directories_videos_and_images(data, cluster,
                                                                         tmp_path):
    # A local cluster of the command's own, frame ranges over a directory and
    # a video whose tasks start mid-video, drawn images and suppression.
    inputs = [data / "frames", data / "clip.avi", data / "single.png"]
    flags = ["-s", "-b", "-v", "0,9,2"]
    run = batch(["-c", CONFIG, "-o", tmp_path / "batch", "--workers", 2, "--chunk", 2]
                + [a for path in inputs for a in ("-i", path)] + flags)
    assert run.returncode == 0, run.stdout + run.stderr
    expected = command_line(inputs, tmp_path / "expected", flags)
    assert contents(tmp_path / "batch") == expected
    assert "clip00000008.png" in expected and "crop4.txt" in expected
    manifest = manifest_of(tmp_path / "batch")
    assert [(i["kind"], i["frames"]) for i in manifest["inputs"]] == \
        [("directory", 3), ("video", 5), ("image", 1)]
    assert manifest["configuration"]["sha256"] == \
        hashlib.sha256(open(CONFIG, "rb").read()).hexdigest()
    assert len(manifest["models"]) == 2 and manifest["pedscan_version"]
    assert all(task["status"] == "done" and task["worker"].startswith("tcp://127.0.0.1:")
               for task in manifest["tasks"])
    assert manifest["totals"]["frames_scanned"] == 9
    assert "frames/s" in run.stdout and "left" in run.stdout

    # Several object types: one text file per type, every type drawn, as
    # ellipses, suppressed after each stage at another overlap on padded
    # frames with the boxes placed, from the whole video on a running
    # scheduler.
    two_types = tmp_path / "two-types.txt"
    models = os.path.join(SOURCE, "data/models")
    two_types.write_text("".join(
        "model <%s, 0, 0.4, %s/person-hog.yml>\nmodel <%s, 1, %s, %s/person-full.yml>\n"
        "scale <%s, 44, 170, 0.2, 0.1, 1.1>\n" % (t, models, t, cut, models, t)
        for t, cut in (("person", 0.7), ("walker", 0.2))))

    def batch_and_command_line(name, flags):
        run = batch(["-c", two_types, "-o", tmp_path / name, "-i", data / "clip.avi",
                     "--scheduler", cluster] + flags)
        assert run.returncode == 0, run.stdout + run.stderr
        os.makedirs(tmp_path / (name + "-expected"))
        done = subprocess.run([BINARY, "-d", "-c", str(two_types), "-i", str(data / "clip.avi"),
                               "-o", str(tmp_path / (name + "-expected"))] + flags, cwd=SOURCE,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stdout
        expected = contents(tmp_path / (name + "-expected"))
        assert contents(tmp_path / name) == expected
        return expected

    expected = batch_and_command_line(
        "types", ["-b", "-e", "-v", "3,-1,1", "-g", "-P", "16", "-O", "0.3", "-L", "-K", "0.5"])
    assert "clip00000011.walker.txt" in expected and "clip00000003.person.txt" in expected
    # The soft stage suppression, on a few frames.
    batch_and_command_line("soft", ["-v", "3,5,1", "-g", "-P", "16", "-G", "0.3", "-L", "-K", "0.5"])
    assert manifest_of(tmp_path / "soft")["options"]["soft"] == 0.3


def test_a_worker_killed_mid_task_changes_no_result(data, tmp_path):
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0", memory_limit=0,
                      silence_logs=logging.CRITICAL) as local:
        output = tmp_path / "batch"
        running = batch(["-c", CONFIG, "-o", output, "-i", data / "frames", "-b", "--chunk", 1,
                         "--scheduler", local.scheduler_address], wait=False)
        # Each attempt at a task leaves a marker named after its process
        # while it runs; the first worker to start one is killed under it
        # (the first task of a worker also loads the models, so it is busy).
        killed = None
        while killed is None and running.poll() is None:
            markers = glob.glob(str(output / ".pedscan-batch-attempts-*" / "t*.*"))
            if markers:
                killed = int(os.path.basename(markers[0]).split(".")[1])
                os.kill(killed, signal.SIGKILL)
            time.sleep(0.005)
        out, err = running.communicate()
    assert killed is not None and running.returncode == 0, out + err
    assert contents(output) == command_line([data / "frames"], tmp_path / "expected", ["-b"])
    assert not glob.glob(str(output / ".*"))
    manifest = manifest_of(output)
    retried = [task for task in manifest["tasks"] if task.get("attempt", 1) > 1]
    assert retried and all(task["status"] == "done" for task in manifest["tasks"])
    assert all(task["pid"] != killed and task["lost_workers"] and task["retries"] >= 1
               for task in retried)
    assert manifest["totals"]["retried_tasks"] == len(retried)


def test_unreadable_inputs_fail_their_own_tasks_only(data, cluster, tmp_path):
    missing = data / "missing.png"
    run = batch(["-c", CONFIG, "-o", tmp_path / "batch", "-i", data / "broken",
                 "-i", data / "garbage.avi", "-i", missing, "-i", data / "single.png",
                 "--chunk", 2, "--scheduler", cluster])
    assert run.returncode != 0
    manifest = manifest_of(tmp_path / "batch")
    messages = sorted(task["message"] for task in tasks_by_status(manifest, "failed"))
    broken = os.path.join(str(data / "broken"), "crop2.png")
    assert messages == sorted([
        "can't load image '%s'\n" % broken,
        "can't read input '%s' as an image or a video\n" % (data / "garbage.avi"),
        "input '%s' does not exist\n" % missing])
    # The command line stops at the broken image with the same message.
    alone = subprocess.run([BINARY, "-d", "-c", CONFIG, "-i", str(data / "broken"),
                            "-o", str(tmp_path)], cwd=SOURCE, capture_output=True, text=True)
    assert alone.returncode != 0 and alone.stdout.endswith("can't load image '%s'\n" % broken)
    # Every other frame, crop3 of the failed task too, has its results.
    written = contents(tmp_path / "batch")
    assert sorted(written) == ["crop%d.txt" % i for i in (0, 1, 3, 4, 5)] + ["single.txt"]
    expected = command_line([data / "frames", data / "single.png"], tmp_path / "expected")
    assert all(written[name] == expected[name] for name in written)
    assert "3 failed" in run.stdout and "does not exist" in run.stderr

    # Stopping at the first failure: the missing input's task comes first.
    run = batch(["-c", CONFIG, "-o", tmp_path / "stopped", "-i", missing,
                 "-i", data / "frames", "--chunk", 1, "--stop-on-error",
                 "--scheduler", cluster])
    manifest = manifest_of(tmp_path / "stopped")
    assert run.returncode != 0 and manifest["tasks"][0]["status"] == "failed"
    # What was already running when it stopped may still finish; nothing
    # else starts, and what is recorded done is there.
    for task in manifest["tasks"][1:]:
        assert task["status"] in ("done", "cancelled")
        if task["status"] == "done":
            assert all(os.path.exists(tmp_path / "stopped" / name) for name in task["files"])


def test_resume_scans_only_the_tasks_whose_results_are_missing(data, cluster, tmp_path):
    output = tmp_path / "batch"
    args = ["-c", CONFIG, "-o", output, "-i", data / "frames", "-i", data / "clip.avi",
            "-b", "--chunk", 2, "--scheduler", cluster]
    assert batch(args).returncode == 0
    first = contents(output)
    (output / "crop1.png").unlink()
    (output / "clip00000009.txt").unlink()
    kept = {name: os.stat(output / name).st_mtime_ns for name in first
            if not name.startswith(("crop0", "crop1", "clip00000008", "clip00000009"))}
    run = batch(args + ["--resume"])
    assert run.returncode == 0, run.stdout + run.stderr
    assert contents(output) == first
    assert {name: os.stat(output / name).st_mtime_ns for name in kept} == kept
    manifest = manifest_of(output)
    scanned = [t["frame_names"] for t in manifest["tasks"] if not t.get("skipped")]
    assert scanned == [["crop0", "crop1"], ["clip00000008", "clip00000009"]]
    assert manifest["totals"]["skipped"] == len(manifest["tasks"]) - 2
    # A resumed run goes on with the same options only.
    run = batch(args + ["--resume", "-s"])
    assert run.returncode != 0 and "--resume" in run.stderr


def test_a_configuration_that_cannot_be_read_fails_before_scheduling(tmp_path):
    broken = tmp_path / "broken.yml"
    broken.write_text("%YAML:1.0\nnot: [a model\n")
    config = tmp_path / "detect.txt"
    config.write_text("model <person, 0, 0.4, %s>\nscale <person, 44, 170, 0.2, 0.1, 1.1>\n"
                      % broken)
    for path in (config, tmp_path / "missing.txt"):
        expected = subprocess.run([BINARY, "-d", "-c", str(path), "-i", EXAMPLE,
                                   "-o", str(tmp_path)], cwd=SOURCE, capture_output=True,
                                  text=True)
        # No scheduler listens there: reaching it would be another failure.
        run = batch(["-c", path, "-i", EXAMPLE, "-o", tmp_path / "out",
                     "--scheduler", "tcp://127.0.0.1:9"])
        assert expected.returncode != 0 and expected.stdout
        assert (run.returncode, run.stderr) == (expected.returncode, expected.stdout)
        assert not os.path.exists(tmp_path / "out")


def test_suppression_options_that_cannot_apply_are_refused_naming_them(tmp_path):
    # As pedscan -d refuses them, before a cluster is started.
    for flags, message in ((["-g", "-G", "-1"], "-G must be 0 or a width above 0, not -1"),
                           (["-s", "-G", "0.3"], "-G makes the stage suppression soft; use it with -g"),
                           (["-g", "-G", "0.3", "-O", "0.3"], "-O sets the overlap of the stage suppression"),
                           (["-g", "-K", "2"], "-K must be 0 to 1, not 2")):
        run = batch(["-c", CONFIG, "-o", tmp_path / "out", "-i", EXAMPLE] + flags)
        assert run.returncode == 2 and message in run.stderr, (flags, run.stderr)
    assert not (tmp_path / "out").exists()
