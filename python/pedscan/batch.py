"""Detection over many inputs on a Dask cluster.

    python3 -m pedscan.batch -c data/detect.txt -i frames/ -i video.avi -o output [-s] [-b]

Directories (selected by -k masks), single images and videos (frames chosen
by -v first,last,step) are cut into tasks of --chunk frames; each worker
process loads the models once and reads, scans and writes its frames
itself. The output directory ends up with the files `pedscan -d` writes for
each input, byte for byte, plus manifest.json, the record of the run. The
cluster is a local one of --workers processes unless --scheduler names one.

From Python: pedscan.batch.main([...]) takes the same arguments and returns
the exit status; run(...) returns the manifest.
"""
import argparse
import glob
import hashlib
import json
import logging
import math
import os
import re
import shutil
import sys
import threading
import time
import uuid

import pedscan

MANIFEST = "manifest.json"
# Beside the results while a run lasts: one marker per attempt of a task,
# so that a task started again after its worker died can tell.
ATTEMPTS_PREFIX = ".pedscan-batch-attempts-"
DEFAULT_FILEMASK = "*.png,*.jpg"
DEFAULT_CHUNK = 4
# The command line's overlap of the suppression (-O).
DEFAULT_OVERLAP = 0.2

log = logging.getLogger("pedscan.batch")


class BatchError(Exception):
    """A run that cannot start: the text to print and the exit status."""

    def __init__(self, message, status=2):
        super().__init__(message)
        self.message = message
        self.status = status


# --- what a run is made of ----------------------------------------------------


def parse_frames(text):
    """first,last,step as `pedscan -v` reads it (sscanf "%d,%d,%d"): fields
    the text does not supply keep their defaults 0,-1,1."""
    values = [0, -1, 1]
    match = re.match(r"\s*([+-]?\d+)(?:,\s*([+-]?\d+)(?:,\s*([+-]?\d+))?)?", text)
    if match:
        for i, field in enumerate(match.groups()):
            if field is not None:
                values[i] = int(field)
    return tuple(values)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def model_files(config):
    """The model files a detection configuration names
    ("model <type, stage, threshold, file.yml>"), as written in it."""
    files = []
    with open(config, encoding="utf-8", errors="replace") as text:
        for line in text:
            match = re.match(r"\s*model\s*<([^>]*)>", line)
            if match:
                fields = [field.strip() for field in match.group(1).split(",")]
                if len(fields) >= 4 and fields[3] not in files:
                    files.append(fields[3])
    return files


def configuration_hashes(config):
    """sha256 of the configuration and of each model file it names; model
    paths resolve as the library resolves them, from the working directory."""
    return {
        "configuration": {"path": config, "sha256": sha256_of(config)},
        "models": [{"path": path, "sha256": sha256_of(path)} for path in model_files(config)],
    }


def digest_of(hashes):
    """One digest for the configuration and its models together."""
    parts = [hashes["configuration"]["sha256"]] + [m["sha256"] for m in hashes["models"]]
    return hashlib.sha256("\n".join(parts).encode()).hexdigest()


def plan(detector, inputs, output, options):
    """The inputs and the tasks of a run.

    Returns (inputs, tasks). A frame's results are named after the frame, so
    when two frames share a name (a.png and a.jpg, or an input given twice)
    only the later one in command-line order is scanned: its files are the
    ones that would remain had each input been run in turn. An input that
    cannot be read is a task of its own that fails with pedscan's message.
    """
    first, last, step = options["frames"]
    listed = []
    described = []
    for path in inputs:
        try:
            kind, frames = pedscan.input_frames(path, options["filemask"], first, last, step)
        except pedscan.Error as error:
            described.append({"path": path, "kind": None, "frames": 0, "error": error.message})
            listed.append((path, None, [], error.message))
            continue
        described.append({"path": path, "kind": kind, "frames": len(frames)})
        listed.append((path, kind, frames, None))

    owner = {}
    for i, (_, _, frames, _) in enumerate(listed):
        for j, (name, _) in enumerate(frames):
            owner[name] = (i, j)
    for i, entry in enumerate(described):
        entry["superseded"] = sum(1 for j, (name, _) in enumerate(listed[i][2])
                                  if owner[name] != (i, j))

    tasks = []
    chunk = max(1, options["chunk"])
    for i, (path, kind, frames, message) in enumerate(listed):
        if message is not None:
            tasks.append({"id": "t%05d" % len(tasks), "input": path, "kind": None,
                          "frames": [], "files": [], "error": message})
            continue
        kept = [frame for j, frame in enumerate(frames) if owner[frame[0]] == (i, j)]
        for start in range(0, len(kept), chunk):
            piece = kept[start:start + chunk]
            files = []
            for name, _ in piece:
                files.extend(detector.result_files(output, name, draw=options["draw"]))
            tasks.append({"id": "t%05d" % len(tasks), "input": path,
                          "kind": "video" if kind == "video" else "images",
                          "frames": piece, "files": files, "error": None})
    return described, tasks


# --- on the workers -------------------------------------------------------------

_detectors = {}
_detectors_lock = threading.Lock()


def _worker_address():
    try:
        from distributed import get_worker
        return get_worker().address
    except (ImportError, ValueError):
        return "pid %d" % os.getpid()


def worker_detector(job):
    """The Detector of this worker thread for the job's configuration,
    loaded once and kept for the life of the process: one per worker slot,
    since a Detector serves one call at a time. The models are checked
    against the client's hashes on loading, so that a worker that sees other
    files than the client fails its tasks instead of writing other results."""
    key = (job["config"], job["digest"], threading.get_ident())
    with _detectors_lock:
        detector = _detectors.get(key)
    if detector is None:
        detector = pedscan.Detector(job["config"], threads=1)
        if digest_of(configuration_hashes(job["config"])) != job["digest"]:
            raise BatchError("the configuration or its model files differ on worker %s "
                             "from the client's\n" % _worker_address())
        with _detectors_lock:
            _detectors[key] = detector
    return detector


def _mark_attempt(directory, task_id, worker, pid, start):
    """Leaves this attempt's marker and returns the markers of the earlier
    attempts at the same task (those of workers lost while running it)."""
    earlier = []
    for path in sorted(glob.glob(os.path.join(directory, glob.escape(task_id) + ".*"))):
        try:
            with open(path, encoding="utf-8") as marker:
                earlier.append(json.load(marker))
        except (OSError, ValueError):
            earlier.append({"worker": None})
    earlier.sort(key=lambda marker: marker.get("start") or 0)
    try:
        with open(os.path.join(directory, "%s.%d.%s" % (task_id, pid, uuid.uuid4().hex[:8])),
                  "w", encoding="utf-8") as marker:
            json.dump({"worker": worker, "pid": pid, "start": start}, marker)
    except OSError:
        pass  # the record of retries is lost, not the results
    return earlier


def _video_runs(numbers, step):
    """Frame numbers cut into runs of a constant step, each read in one go."""
    runs = []
    for n in numbers:
        if runs and n == runs[-1][0] + runs[-1][1] * step:
            runs[-1][1] += 1
        else:
            runs.append([n, 1])
    return runs


def run_task(job, task):
    """Scans the frames of one task and writes their result files. Never
    raises for a frame that fails: the failure is in the returned record, and
    the other frames of the task are still written."""
    start = time.time()
    pid = os.getpid()
    worker = _worker_address()
    earlier = _mark_attempt(job["attempts"], task["id"], worker, pid, start)
    record = {"id": task["id"], "worker": worker, "pid": pid, "start": start,
              "attempt": len(earlier) + 1,
              "lost_workers": [marker.get("worker") for marker in earlier],
              "frames": len(task["frames"]), "frames_done": 0}
    messages = []

    def finish():
        record["status"] = "failed" if messages else "done"
        record["message"] = "".join(messages)
        record["duration"] = time.time() - start
        return record

    if task["error"] is not None:
        messages.append(task["error"])
        return finish()
    try:
        detector = worker_detector(job)
    except (pedscan.Error, BatchError) as error:
        messages.append(error.message)
        return finish()

    def scan(name, image):
        # One Detector serves every job of its configuration on this worker.
        detector.stage_suppression = job.get("stage_suppression", False)
        detector.padding = job.get("padding", 0)
        detector.overlap = job.get("overlap", DEFAULT_OVERLAP)
        detector.box_placement = job.get("box_placement", False)
        detector.contained = job.get("contained", 0.0)
        detector.soft = job.get("soft", 0.0)
        result = detector.detect(image, suppress=job["suppress"])
        detector.write_results(result, job["output"], name, image=image, draw=job["draw"],
                               ellipse=job["ellipse"])
        record["frames_done"] += 1

    if task["kind"] == "video":
        numbers = [number for _, number in task["frames"]]
        names = dict((number, name) for name, number in task["frames"])
        for first, count in _video_runs(numbers, job["step"]):
            try:
                images = pedscan.read_video_frames(task["input"], first, count, job["step"])
            except pedscan.Error as error:
                messages.append(error.message)
                continue
            for k, image in enumerate(images):
                number = first + k * job["step"]
                try:
                    scan(names[number], image)
                except pedscan.Error as error:
                    messages.append(error.message)
    else:
        for name, path in task["frames"]:
            try:
                scan(name, pedscan.read_image(path))
            except pedscan.Error as error:
                messages.append(error.message)
    return finish()


def worker_memory():
    """This process's resident and peak resident memory, in bytes."""
    figures = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                figures[key] = int(value.split()[0]) * 1024
    return {"rss": figures.get("VmRSS"), "peak_rss": figures.get("VmHWM"), "pid": os.getpid()}


# --- the client -----------------------------------------------------------------


def _write_atomically(path, text):
    temporary = "%s.partial-%d-%s" % (path, os.getpid(), uuid.uuid4().hex[:8])
    try:
        with open(temporary, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)


def _remove_leftovers(files):
    """Removes the temporary files that a process killed while writing one of
    these results left beside it (the library removes them when it writes
    the same file again; a file never written again would keep them)."""
    for path in files:
        for leftover in glob.glob(glob.escape(path) + ".partial-*"):
            match = re.search(r"\.partial-(\d+)-", leftover)
            if match and _running(int(match.group(1))):
                continue
            try:
                os.remove(leftover)
            except OSError:
                pass


def _running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _duration(seconds):
    seconds = int(round(seconds))
    return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


class Progress:
    """A line per finished task (a bar when standard output is a terminal):
    frames per second since the start and the time left at that pace."""

    def __init__(self, frames, stream=None):
        self.stream = stream or sys.stdout
        self.total = frames
        self.done = 0
        self.tasks = 0
        self.start = time.time()
        self.bar = None
        if self.stream.isatty():
            try:
                from tqdm import tqdm
                self.bar = tqdm(total=frames, unit="frame", file=self.stream, dynamic_ncols=True)
            except ImportError:
                pass

    def say(self, text):
        if self.bar is not None:
            self.bar.write(text, file=self.stream)
        else:
            print(text, file=self.stream, flush=True)

    def task_finished(self, record, task, count):
        self.tasks += 1
        self.done += record.get("frames", 0)
        elapsed = max(time.time() - self.start, 1e-9)
        rate = self.done / elapsed
        left = self.total - self.done
        eta = _duration(left / rate) if rate > 0 else "?"
        what = "%s %s" % (task["id"], task["input"])
        if task["frames"]:
            what += " [%s .. %s]" % (task["frames"][0][0], task["frames"][-1][0])
        if self.bar is not None:
            self.bar.update(record.get("frames", 0))
            self.bar.set_postfix_str("eta %s" % eta)
            if record["status"] != "done":
                self.say("%s: %s %s" % (what, record["status"], record.get("message", "").strip()))
            return
        line = "[%d/%d] %s: %s, %d frames in %.1f s on %s; %.2f frames/s, %d frames left, " \
               "about %s left" % (self.tasks, count, what, record["status"], record.get("frames", 0),
                                  record.get("duration") or 0.0, record.get("worker"), rate, left, eta)
        if record["status"] != "done" and record.get("message"):
            line += "\n    " + record["message"].strip().replace("\n", "\n    ")
        self.say(line)

    def close(self):
        if self.bar is not None:
            self.bar.close()


def _start_cluster(options):
    from distributed import Client, LocalCluster
    if options["scheduler"]:
        return Client(options["scheduler"]), None
    workers = options["workers"] or len(os.sched_getaffinity(0))
    # Detection checks each frame's memory need itself; Dask's own limit
    # would pause or restart a worker scanning a large frame instead.
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           host="127.0.0.1", dashboard_address=options["dashboard"],
                           memory_limit=0, silence_logs=logging.ERROR)
    return Client(cluster), cluster


def _dashboard(client, local):
    """The dashboard's address when one serves pages: a local scheduler
    always listens for HTTP, but shows its pages only with bokeh."""
    if local:
        try:
            import bokeh  # noqa: F401
        except ImportError:
            return None
    try:
        if "dashboard" in client.scheduler_info().get("services", {}):
            return client.dashboard_link
    except Exception:  # a scheduler that does not say has none to show
        pass
    return None


def _scheduler_retries(client, keys):
    """How many times the scheduler saw each task's worker die under it
    (its `suspicious` count), while the client still holds the tasks."""
    wanted = set(keys)

    def count(dask_scheduler):
        return {key: ts.suspicious for key, ts in dask_scheduler.tasks.items() if key in wanted}

    try:
        return client.run_on_scheduler(count)
    except Exception:  # a scheduler that will not run it: the markers still tell
        return {}


def run(config, inputs, output, suppress=False, draw=False, ellipse=False,
        filemask=DEFAULT_FILEMASK, frames=(0, -1, 1), scheduler=None, workers=0,
        resume=False, stop_on_error=False, chunk=DEFAULT_CHUNK, dashboard="127.0.0.1:0",
        stream=None, stage_suppression=False, padding=0, overlap=DEFAULT_OVERLAP,
        box_placement=False, contained=0.0, soft=0.0):
    """Runs a batch and returns its manifest (also written to
    <output>/manifest.json). A configuration or model that cannot be read
    raises pedscan.Error before any task is scheduled; failing tasks are in
    the manifest."""
    stream = stream or sys.stdout
    config = os.path.abspath(config)
    output = os.path.abspath(output)
    frames = tuple(frames)
    # Loading the models here first: a configuration that cannot be read
    # fails with pedscan's own message before a cluster is even started.
    detector = pedscan.Detector(config, threads=1)
    detector.padding = padding  # a padding out of range raises ValueError here
    detector.overlap = overlap  # and so do an overlap and a containment out of 0-1
    detector.contained = contained
    detector.soft = soft  # a width below 0 raises ValueError
    hashes = configuration_hashes(config)
    digest = digest_of(hashes)
    options = {"suppress": bool(suppress), "draw": bool(draw), "ellipse": bool(ellipse),
               "filemask": filemask, "frames": list(frames), "chunk": int(chunk)}
    # Only when given, so that the manifest of a run without them reads as
    # it always did and --resume still takes it.
    if stage_suppression:
        options["stage_suppression"] = True
    if padding:
        options["padding"] = int(padding)
    if overlap != DEFAULT_OVERLAP:
        options["overlap"] = float(overlap)
    if box_placement:
        options["box_placement"] = True
    if contained:
        options["contained"] = float(contained)
    if soft:
        options["soft"] = float(soft)
    os.makedirs(output, exist_ok=True)
    manifest_path = os.path.join(output, MANIFEST)

    previous = {}
    if resume and os.path.exists(manifest_path):
        with open(manifest_path, encoding="utf-8") as file:
            earlier = json.load(file)
        if earlier.get("digest") != digest or earlier.get("options") != options or \
                earlier.get("inputs_given") != list(inputs):
            raise BatchError("%s holds a run of other inputs, options or models; --resume "
                             "continues the same run only\n" % manifest_path)
        previous = {record["id"]: record for record in earlier.get("tasks", [])}

    described, tasks = plan(detector, list(inputs), output, dict(options, frames=frames))
    del detector
    run_id = uuid.uuid4().hex[:12]
    attempts = os.path.join(output, ATTEMPTS_PREFIX + run_id)
    job = {"config": config, "digest": digest, "output": output, "attempts": attempts,
           "suppress": options["suppress"], "draw": options["draw"],
           "ellipse": options["ellipse"], "step": max(frames[2], 1),
           "stage_suppression": bool(stage_suppression), "padding": int(padding),
           "overlap": float(overlap), "box_placement": bool(box_placement),
           "contained": float(contained), "soft": float(soft)}

    records = {}
    pending = []
    for task in tasks:
        if resume and task["error"] is None and all(os.path.exists(f) for f in task["files"]):
            record = {"id": task["id"], "status": "done", "skipped": True,
                      "message": "results present from an earlier run",
                      "frames": len(task["frames"]), "frames_done": 0}
            if task["id"] in previous:
                record["earlier"] = previous[task["id"]]
            records[task["id"]] = record
        else:
            pending.append(task)

    manifest = {
        "pedscan_version": pedscan.__version__,
        "command": "pedscan.batch",
        "configuration": hashes["configuration"],
        "models": hashes["models"],
        "digest": digest,
        "options": options,
        "inputs_given": list(inputs),
        "inputs": described,
        "output": output,
    }
    started = time.time()
    client = cluster = None
    stopped = False
    progress = Progress(sum(len(t["frames"]) for t in pending), stream)
    try:
        # Markers of a run whose client was killed have no one to read them.
        for stale in glob.glob(os.path.join(glob.escape(output), ATTEMPTS_PREFIX + "*")):
            shutil.rmtree(stale, ignore_errors=True)
        os.makedirs(attempts, exist_ok=True)
        if pending:
            client, cluster = _start_cluster({"scheduler": scheduler, "workers": workers,
                                              "dashboard": dashboard})
            link = _dashboard(client, cluster is not None)
            if link:
                progress.say("dashboard: %s" % link)
            manifest["scheduler"] = client.scheduler.address
            manifest["workers"] = sorted(client.scheduler_info()["workers"])
            progress.say("%d tasks (%d frames) on %d workers; %d tasks already done"
                          % (len(pending), progress.total, len(manifest["workers"]),
                             len(tasks) - len(pending)))
            futures = {}
            for task in pending:
                future = client.submit(run_task, job, task, pure=False,
                                       key="pedscan-batch-%s-%s" % (run_id, task["id"]))
                futures[future] = task
            from distributed import as_completed
            finished = as_completed(list(futures))
            for future in finished:
                task = futures[future]
                if future.status == "finished":
                    record = future.result()
                elif future.status == "cancelled":
                    continue
                else:
                    error = future.exception()
                    record = {"id": task["id"], "status": "failed", "worker": None,
                              "message": "%s: %s\n" % (type(error).__name__, error),
                              "frames": len(task["frames"]), "frames_done": 0}
                records[task["id"]] = record
                progress.task_finished(record, task, len(pending))
                if stop_on_error and record["status"] == "failed":
                    stopped = True
                    rest = [f for f in futures if not f.done()]
                    client.cancel(rest)
                    break
            retries = _scheduler_retries(client, [f.key for f in futures])
            for future, task in futures.items():
                if task["id"] in records and future.key in retries:
                    records[task["id"]]["retries"] = retries[future.key]
    finally:
        progress.close()
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
        shutil.rmtree(attempts, ignore_errors=True)
        _remove_leftovers([f for task in tasks for f in task["files"]])

        elapsed = time.time() - started
        for task in tasks:
            records.setdefault(task["id"], {
                "id": task["id"], "status": "cancelled" if stopped else "not run",
                "frames": len(task["frames"]), "frames_done": 0, "message": ""})
        listed = []
        for task in tasks:
            record = dict(records[task["id"]])
            record.update({"input": task["input"], "kind": task["kind"],
                           "frame_names": [name for name, _ in task["frames"]],
                           "files": [os.path.relpath(f, output) for f in task["files"]]})
            listed.append(record)
        statuses = [record["status"] for record in listed]
        scanned = [r for r in listed if not r.get("skipped")]
        manifest["tasks"] = listed
        manifest["totals"] = {
            "tasks": len(listed),
            "done": statuses.count("done"),
            "failed": statuses.count("failed"),
            "skipped": sum(1 for r in listed if r.get("skipped")),
            "not_run": len(listed) - statuses.count("done") - statuses.count("failed"),
            "frames": sum(r["frames"] for r in listed),
            "frames_scanned": sum(r.get("frames_done", 0) for r in scanned),
            # Started again after a worker died under them (the markers)...
            "retried_tasks": sum(1 for r in listed if r.get("attempt", 1) > 1),
            # ... and moved off a worker that died, started there or not yet
            # (the scheduler's count).
            "rescheduled_tasks": sum(1 for r in listed if r.get("retries")),
            "seconds": elapsed,
            "frames_per_second": (sum(r.get("frames_done", 0) for r in scanned) / elapsed
                                  if elapsed > 0 else None),
        }
        _write_atomically(manifest_path, json.dumps(manifest, indent=1, sort_keys=True) + "\n")
    return manifest


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m pedscan.batch",
        description="Detection (as pedscan -d) over many inputs on a Dask cluster; the results "
                    "and manifest.json go to the output directory.")
    parser.add_argument("-c", "--config", required=True, help="detection configuration")
    parser.add_argument("-i", "--input", action="append", required=True, dest="inputs",
                        help="image directory, image or video (repeatable)")
    parser.add_argument("-o", "--output", required=True, help="directory of the results")
    parser.add_argument("-s", "--suppress", action="store_true",
                        help="suppress overlapping boxes (as pedscan -s)")
    parser.add_argument("-g", "--stage-suppression", action="store_true",
                        help="suppress after each stage (as pedscan -g)")
    parser.add_argument("-P", "--pad", type=int, default=0, metavar="PIXELS",
                        help="scan each frame with this much of its border repeated around it "
                             "(as pedscan -P; default 0)")
    parser.add_argument("-O", "--overlap", type=float, default=DEFAULT_OVERLAP, metavar="IOU",
                        help="the overlap above which suppression drops the weaker box "
                             "(as pedscan -O; default %(default)s)")
    parser.add_argument("-L", "--place-boxes", action="store_true",
                        help="with -g, place each box among its stage-0 windows (as pedscan -L)")
    parser.add_argument("-K", "--contained", type=float, default=0.0, metavar="FRACTION",
                        help="with -g, remove each box that lies by this part or more inside a "
                             "stronger, taller box (as pedscan -K; default 0, none)")
    parser.add_argument("-G", "--soft", type=float, default=0.0, metavar="WIDTH",
                        help="with -g, keep the weaker of two overlapping boxes with a lower "
                             "response instead of removing it (as pedscan -G; default 0, none)")
    parser.add_argument("-b", "--draw", action="store_true",
                        help="also write the frames with the boxes drawn (as pedscan -b)")
    parser.add_argument("-e", "--ellipse", action="store_true",
                        help="draw ellipses instead of boxes (as pedscan -e)")
    parser.add_argument("-k", "--filemask", default=DEFAULT_FILEMASK,
                        help="masks of the images of a directory (default %(default)s)")
    parser.add_argument("-v", "--frames", default="0,-1,1", metavar="FIRST,LAST,STEP",
                        help="frames of a video, or first and step of a directory's images, "
                             "as pedscan -v (default %(default)s)")
    parser.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help="a running Dask scheduler; by default a local cluster is started")
    parser.add_argument("--workers", type=int, default=0,
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--chunk", type=int, default=DEFAULT_CHUNK,
                        help="frames per task (default %(default)s)")
    parser.add_argument("--resume", action="store_true",
                        help="scan only the frames of tasks whose result files are missing")
    parser.add_argument("--stop-on-error", action="store_true",
                        help="stop at the first task that fails")
    parser.add_argument("--dashboard", default="127.0.0.1:0", metavar="HOST:PORT",
                        help="address of the local cluster's Dask dashboard (pages need "
                             "bokeh; default %(default)s, a free port)")
    args = parser.parse_args(argv)
    if args.chunk < 1 or args.workers < 0:
        parser.error("--chunk must be at least 1 and --workers at least 0")
    if not 0 <= args.pad <= 10000:
        parser.error("-P must be 0 to 10000 pixels, not %d" % args.pad)
    if not 0 <= args.overlap <= 1:
        parser.error("-O must be 0 to 1, not %g" % args.overlap)
    if args.overlap != DEFAULT_OVERLAP and not (args.suppress or args.stage_suppression):
        parser.error("-O sets the overlap of the suppression; use it with -s or -g")
    if args.place_boxes and not args.stage_suppression:
        parser.error("-L places the boxes that the stage suppression keeps; use it with -g")
    if not 0 <= args.contained <= 1:
        parser.error("-K must be 0 to 1, not %g" % args.contained)
    if args.contained and not args.stage_suppression:
        parser.error("-K removes the boxes inside stronger ones that the stage suppression keeps; "
                     "use it with -g")
    if not (args.soft >= 0 and math.isfinite(args.soft)):
        parser.error("-G must be 0 or a width above 0, not %g" % args.soft)
    if args.soft and not args.stage_suppression:
        parser.error("-G makes the stage suppression soft; use it with -g")
    if args.soft and args.overlap != DEFAULT_OVERLAP and not args.suppress:
        parser.error("-O sets the overlap of the stage suppression, which -G replaces by lowering "
                     "responses; use one of them")
    return args


def main(argv=None):
    args = _arguments(argv)
    try:
        manifest = run(args.config, args.inputs, args.output, suppress=args.suppress,
                       draw=args.draw, ellipse=args.ellipse, filemask=args.filemask,
                       frames=parse_frames(args.frames), scheduler=args.scheduler,
                       workers=args.workers, resume=args.resume,
                       stop_on_error=args.stop_on_error, chunk=args.chunk,
                       dashboard=args.dashboard, stage_suppression=args.stage_suppression,
                       padding=args.pad, overlap=args.overlap, box_placement=args.place_boxes,
                       contained=args.contained, soft=args.soft)
    except pedscan.Error as error:
        sys.stderr.write(error.message)
        return error.status or 1
    except BatchError as error:
        sys.stderr.write(error.message)
        return error.status
    except KeyboardInterrupt:
        sys.stderr.write("interrupted; --resume continues the run\n")
        return 130
    totals = manifest["totals"]
    print("%d of %d tasks done (%d skipped), %d failed, %d not run; %d frames scanned in %.1f s; "
          "manifest: %s" % (totals["done"], totals["tasks"], totals["skipped"], totals["failed"],
                            totals["not_run"], totals["frames_scanned"], totals["seconds"],
                            os.path.join(manifest["output"], MANIFEST)), flush=True)
    failed = [t for t in manifest["tasks"] if t["status"] != "done"]
    for task in failed[:20]:
        print("  %s %s %s: %s" % (task["id"], task["input"], task["status"],
                                  task.get("message", "").strip()), file=sys.stderr)
    if len(failed) > 20:
        print("  ... and %d more in the manifest" % (len(failed) - 20), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    # Through the package's own module, so that the tasks the workers run
    # are pedscan.batch's functions rather than a copy under __main__.
    from pedscan.batch import main as batch_main
    sys.exit(batch_main())
