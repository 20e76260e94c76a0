#!/usr/bin/env python3
"""What pedscan.Detector.detect costs over the command line, on the example
frame: the command line's per-frame scan time (windows / its det/s figure,
over 20 copies of the frame in a directory) against the median wall time of
20 detect() calls, both on one thread, measured in one run.

    PYTHONPATH=build/python python3 bench/python_detect.py build
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import cv2

import pedscan

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.chdir(root)
example = "data/example/vtest-0440.png"
frames = 20

with tempfile.TemporaryDirectory() as work:
    images = os.path.join(work, "images")
    os.mkdir(images)
    for i in range(frames):
        shutil.copy(example, os.path.join(images, "f%02d.png" % i))
    os.mkdir(os.path.join(work, "out"))
    run = subprocess.run([os.path.join(build, "pedscan"), "-d", "-c", "data/detect.txt", "-i",
                          images, "-o", os.path.join(work, "out"), "-s", "-j", "1"],
                         capture_output=True, text=True, check=True)
lines = re.findall(r"detwin: (\d+) \(\s*([0-9.]+) det/s\)", run.stdout)
windows = int(lines[-1][0])
command_line = windows / float(lines[-1][1])

detector = pedscan.Detector("data/detect.txt", threads=1)
image = cv2.imread(example)
detector.detect(image, suppress=True)
times = []
for _ in range(frames):
    start = time.perf_counter()
    detector.detect(image, suppress=True)
    times.append(time.perf_counter() - start)
python = statistics.median(times)
print("command line: %.4f s/frame (%d windows)" % (command_line, windows))
print("python detect: %.4f s/frame (median of %d)" % (python, frames))
print("overhead: %+.1f %%" % (100.0 * (python / command_line - 1.0)))
