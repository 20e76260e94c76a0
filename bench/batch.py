#!/usr/bin/env python3
"""pedscan.batch on a local Dask cluster: frames of OpenCV's vtest.avi
(package opencv-doc) with the bundled cascade on 1 and on 2 worker
processes, the scheduler's cost per task with empty tasks, and the memory
of each worker after its share of the frames. Medians of several runs.

    PYTHONPATH=build/python /usr/bin/python3 bench/batch.py [runs] [first,last,step]

Frames per second are counted over the scanning itself, from the first
task's start to the last one's end (each worker's first task includes
loading its models), and over the whole command (cluster start, counting
the video's frames, writing the manifest) for comparison.
"""
import json
import logging
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from distributed import Client, LocalCluster, wait

import pedscan.batch

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.chdir(root)
runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
frames = sys.argv[2] if len(sys.argv) > 2 else "0,199,1"
video = os.environ.get("VIDEO", "/usr/share/doc/opencv-doc/examples/data/vtest.avi")
config = "data/detect.txt"
if not os.path.exists(video):
    sys.exit("%s is missing: apt-get install opencv-doc" % video)


def cluster(workers):
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        host="127.0.0.1", dashboard_address="127.0.0.1:0", memory_limit=0,
                        silence_logs=logging.ERROR)


def detection_run(workers, output):
    """One batch over the frames on a fresh cluster of `workers` processes:
    (scan fps, whole-command fps, worker memory)."""
    with cluster(workers) as local, Client(local) as client:
        started = time.time()
        command = subprocess.run(
            [sys.executable, "-m", "pedscan.batch", "-c", config, "-i", video, "-v", frames,
             "-o", output, "--scheduler", local.scheduler_address],
            capture_output=True, text=True)
        whole = time.time() - started
        if command.returncode != 0:
            sys.exit(command.stdout + command.stderr)
        memory = list(client.run(pedscan.batch.worker_memory).values())
    with open(os.path.join(output, "manifest.json")) as file:
        manifest = json.load(file)
    tasks = manifest["tasks"]
    count = sum(task["frames_done"] for task in tasks)
    span = max(t["start"] + t["duration"] for t in tasks) - min(t["start"] for t in tasks)
    return count / span, count / whole, memory, count


def noop(i):
    return i


def task_overhead(workers, tasks=1000):
    """Seconds per empty task: submitted all at once (throughput) and one
    after the other, each awaited (round trip)."""
    with cluster(workers) as local, Client(local) as client:
        wait(client.map(noop, range(50), pure=False))  # warm the connections
        started = time.perf_counter()
        wait(client.map(noop, range(tasks), pure=False))
        batch = (time.perf_counter() - started) / tasks
        started = time.perf_counter()
        for i in range(100):
            client.submit(noop, i, pure=False).result()
        single = (time.perf_counter() - started) / 100
    return batch, single


def main():
    figures = {1: [], 2: []}
    overheads = []
    memories = []
    work = tempfile.mkdtemp(prefix="pedscan-batch-bench-")
    try:
        for run in range(runs):
            for workers in (1, 2):
                output = os.path.join(work, "run%d-%d" % (run, workers))
                scan, whole, memory, count = detection_run(workers, output)
                figures[workers].append((scan, whole))
                if workers == 2:
                    memories.extend(memory)
                print("run %d, %d worker(s): %d frames, %.3f frames/s scanning, %.3f frames/s "
                      "whole command; worker RSS %s MB" %
                      (run + 1, workers, count, scan, whole,
                       ", ".join("%.0f (peak %.0f)" % (m["rss"] / 2**20, m["peak_rss"] / 2**20)
                                 for m in memory)), flush=True)
                shutil.rmtree(output)
            overheads.append(task_overhead(2))
            print("run %d: empty tasks %.2f ms each submitted together, %.2f ms round trip"
                  % (run + 1, overheads[-1][0] * 1e3, overheads[-1][1] * 1e3), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    def median(values):
        return statistics.median(values)

    one = median([f[0] for f in figures[1]])
    two = median([f[0] for f in figures[2]])
    one_whole = median([f[1] for f in figures[1]])
    two_whole = median([f[1] for f in figures[2]])
    print("\nmedians of %d runs, frames %s of %s:" % (runs, frames, os.path.basename(video)))
    print("  1 worker : %.3f frames/s scanning (%.3f whole command)" % (one, one_whole))
    print("  2 workers: %.3f frames/s scanning (%.3f whole command)" % (two, two_whole))
    print("  speed-up : %.2f x scanning (%.2f x whole command)" % (two / one, two_whole / one_whole))
    print("  empty task: %.2f ms each submitted together, %.2f ms round trip" %
          (median([o[0] for o in overheads]) * 1e3, median([o[1] for o in overheads]) * 1e3))
    print("  worker RSS after its frames: %.0f MB (peak %.0f MB)" %
          (median([m["rss"] for m in memories]) / 2**20,
           median([m["peak_rss"] for m in memories]) / 2**20))


if __name__ == "__main__":
    main()
