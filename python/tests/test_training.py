"""pedscan.train and pedscan.extract_features against pedscan -t and -u on the
same generated images."""
import os
import re
import struct
import subprocess
import zlib

import numpy as np
import pytest

import pedscan

BINARY = os.environ["PEDSCAN_BINARY"]

# Four HOG blocks over a 32 x 32 window: a whole training run takes a
# fraction of a second.
CONFIG = """ModelID <bars01>
window <32, 32>
region <0, 0, 31, 31>
method <HOG, hogBlocks, 0, hogSet>
block <hogBlocks, 16, 16, 16, 16, 0>
params <hogSet, UseHOG, 1>
factors <2>
classifier <qda>
"""


def write_png(path, image):
    """An 8-bit, three-channel PNG of an H x W x 3 uint8 array."""
    height, width, _ = image.shape
    raw = b"".join(b"\x00" + image[y].tobytes() for y in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" +
                  chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                  chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def write_images(directory, count, width, height, bars, seed):
    """Dark noise with `bars` bright vertical bars (4 x 24) per image."""
    rng = np.random.default_rng(seed)
    directory.mkdir()
    for i in range(count):
        image = rng.integers(0, 80, size=(height, width, 3), dtype=np.uint8)
        for _ in range(bars):
            x, y = int(rng.integers(0, width - 4)), int(rng.integers(0, height - 24))
            image[y:y + 24, x:x + 4] = rng.integers(180, 256)
        write_png(str(directory / ("i%02d.png" % i)), image)
    return str(directory)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    root = tmp_path_factory.mktemp("training")
    (root / "model.txt").write_text(CONFIG)
    return {
        "root": root,
        "config": str(root / "model.txt"),
        # Positives of the window's size; negatives with bars here and there,
        # so that the retraining scan finds hard negatives.
        "pos": write_images(root / "pos", 30, 32, 32, 1, 1),
        "neg": write_images(root / "neg", 8, 64, 48, 2, 2),
    }


def command_line(args):
    return subprocess.run([BINARY] + args, capture_output=True, text=True)


def printed_lines(text):
    """Printed text as Report hands it over: one entry per non-empty line."""
    return [line for line in re.split(r"[\r\n]", text) if line]


def test_train_writes_the_command_lines_model_files(data):
    root = data["root"]
    (root / "cli").mkdir()
    (root / "py").mkdir()
    cli_model, py_model = str(root / "cli" / "model"), str(root / "py" / "model")
    run = command_line(["-t", "-c", data["config"], "-p", data["pos"], "-n", data["neg"],
                        "-m", cli_model, "-I", "2", "-M", "4", "-S", "8", "-z", "3", "-j", "1"])
    assert run.returncode == 0, run.stdout + run.stderr
    lines = []
    written = pedscan.train(data["config"], data["pos"], data["neg"], model=py_model,
                            iterations=2, samples_per_image=4, shift=8, seed=3, threads=2,
                            progress=lines.append)
    assert written == [py_model + ".ret%02d.yml" % it for it in range(3)]
    for it in range(3):
        with open(cli_model + ".ret%02d.yml" % it, "rb") as cli, open(written[it], "rb") as py:
            assert cli.read() == py.read(), written[it]
    assert lines == printed_lines(run.stdout.replace(cli_model, py_model))
    # The retraining had work to do.
    assert re.search(r"Adding [1-9]\d* negative samples", run.stdout)


def keyword_defaults(function):
    """keyword -> default as the signature line of the docstring shows it."""
    signature = function.__doc__.splitlines()[0]
    return {name: value.strip("'")
            for name, value in re.findall(r"(\w+): [\w.]+ = ('[^']*'|[^,)]+)", signature)}


def test_defaults_are_the_command_lines():
    # The usage shows each value option's default in brackets at the end
    # of its description.
    usage = command_line(["--help"]).stdout
    shown = {}
    for option, description in re.findall(r"--(\w+) <[^>]*>\n((?: {5}\S.*\n)+)", usage):
        default = re.search(r"\[([^\]]*)\]$", " ".join(description.split()))
        if default:
            shown[option] = default.group(1)
    train = keyword_defaults(pedscan.train)
    for option, keyword in {"nSampIm": "samples_per_image", "nRetIt": "iterations",
                            "samplesIt": "samples_per_iteration", "nblockIt": "blocks_per_chunk",
                            "nfolds": "folds", "shift": "shift", "nfactBlock": "factors_per_block",
                            "seed": "seed", "modelFile": "model", "filemask": "filemask",
                            "threads": "threads"}.items():
        assert train[keyword] == shown[option], option
    assert float(train["threshold"]) == float(shown["ThRetraining"])
    # Switches: off unless given.
    assert train["raw_features"] == train["cross_validation"] == "False"
    extraction = keyword_defaults(pedscan.extract_features)
    for keyword in ("samples_per_image", "seed", "filemask", "threads"):
        assert extraction[keyword] == train[keyword], keyword


def matrix_bytes(array):
    """The .matrix file of an array: int32 rows, int32 cols, float32 rows."""
    assert array.dtype == np.float32 and array.ndim == 2
    return struct.pack("<ii", *array.shape) + array.astype("<f4").tobytes()


def test_extract_features_equals_the_command_lines_matrix_files(data):
    root = data["root"]
    out = root / "features"
    out.mkdir()
    run = command_line(["-u", "-c", data["config"], "-i", data["neg"], "-o", str(out),
                        "-M", "5", "-z", "0"])
    assert run.returncode == 0, run.stdout + run.stderr
    lines = []
    feats, coords = pedscan.extract_features(data["config"], data["neg"], samples_per_image=5,
                                             seed=0, threads=2, progress=lines.append)
    assert lines == printed_lines(run.stdout)
    stems = sorted(name[:-len(".png")] for name in os.listdir(data["neg"]))
    assert len(feats) == len(coords) == len(stems)
    for stem, features, windows in zip(stems, feats, coords):
        assert matrix_bytes(features) == (out / (stem + ".features.matrix")).read_bytes()
        assert matrix_bytes(windows) == (out / (stem + ".coords.matrix")).read_bytes()

    # A single image is an input of its own (its windows drawn from a fresh
    # generator).
    image = os.path.join(data["neg"], "i03.png")
    run = command_line(["-u", "-c", data["config"], "-i", image, "-o", str(out), "-M", "3",
                        "-z", "9"])
    assert run.returncode == 0, run.stdout + run.stderr
    feats, coords = pedscan.extract_features(data["config"], image, samples_per_image=3, seed=9)
    assert len(feats) == 1
    assert matrix_bytes(feats[0]) == (out / "i03.features.matrix").read_bytes()
    assert matrix_bytes(coords[0]) == (out / "i03.coords.matrix").read_bytes()


def expect_command_lines_failure(call, args):
    """call() raises pedscan.Error with the report and status of pedscan `args`."""
    run = command_line(args)
    assert run.returncode != 0
    with pytest.raises(pedscan.Error) as raised:
        call()
    assert raised.value.message and run.stdout.endswith(raised.value.message)
    assert raised.value.status == run.returncode


def test_failures_raise_the_command_lines_report_and_the_next_call_works(data):
    root = data["root"]
    # An unknown command (a plain message) and a step that is no number (a
    # fatal report).
    unknown, no_step = root / "unknown.txt", root / "no_step.txt"
    unknown.write_text(CONFIG.replace("window <", "windw <"))
    no_step.write_text(CONFIG.replace("16, 16, 16, 16, 0>", "16, 16, nan, 16, 0>"))
    for bad in (str(unknown), str(no_step)):
        expect_command_lines_failure(
            lambda: pedscan.train(bad, data["pos"], data["neg"], model=str(root / "bad")),
            ["-t", "-c", bad, "-p", data["pos"], "-n", data["neg"], "-m", str(root / "bad")])
        expect_command_lines_failure(
            lambda: pedscan.extract_features(bad, data["neg"]),
            ["-u", "-c", bad, "-i", data["neg"], "-o", str(root)])

    missing = str(root / "missing")
    expect_command_lines_failure(
        lambda: pedscan.train(data["config"], missing, data["neg"], model=str(root / "m")),
        ["-t", "-c", data["config"], "-p", missing, "-n", data["neg"], "-m", str(root / "m")])
    expect_command_lines_failure(
        lambda: pedscan.extract_features(data["config"], missing),
        ["-u", "-c", data["config"], "-i", missing, "-o", str(root)])

    feats, _ = pedscan.extract_features(data["config"], data["pos"])
    assert len(feats) == 30 and all(f.shape == (1, 144) for f in feats)
