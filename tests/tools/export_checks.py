"""Reads what `export` wrote back with Python's json module and compares every
box and score with the result text files of <folder>; prints "OK <boxes>".

    export_checks.py coco  <folder> <type,...> <results.json> <results.meta.json>
    export_checks.py jsonl <folder> <type,...> <results.jsonl>
"""
import json
import os
import re
import sys


def text_boxes(folder, name, types, kind):
    path = os.path.join(folder, name + ("" if len(types) == 1 else "." + kind) + ".txt")
    with open(path) as f:
        return [([float(v) for v in l.split()[:4]], float(l.split()[4])) for l in f if l.strip()]


def frames(folder, types):
    stems = [f[:-4] for f in os.listdir(folder) if f.endswith(".txt")]
    return sorted({s.rsplit(".", 1)[0] if len(types) > 1 else s for s in stems})


def number(name):
    digits = re.search(r"\d{1,8}$", name)
    return int(digits.group()) if digits else None


def check_coco(folder, types, results_path, meta_path):
    results, meta = json.load(open(results_path)), json.load(open(meta_path))
    names = frames(folder, types)
    assert meta["images"] == [{"id": i + 1, "file_name": n, "frame": number(n)}
                              for i, n in enumerate(names)], meta["images"]
    assert meta["categories"] == [{"id": k + 1, "name": t} for k, t in enumerate(types)]
    assert meta["annotations"] == []
    got = {}
    for r in results:
        assert sorted(r) == ["bbox", "category_id", "image_id", "score"], r
        got.setdefault((r["image_id"], r["category_id"]), []).append((r["bbox"], r["score"]))
    expected = {(i + 1, k + 1): text_boxes(folder, n, types, t)
                for i, n in enumerate(names) for k, t in enumerate(types)}
    assert got == {key: b for key, b in expected.items() if b}, (got, expected)
    return len(results)


def check_jsonl(folder, types, path):
    lines = [json.loads(line) for line in open(path)]
    assert [l["name"] for l in lines] == frames(folder, types), lines
    for l in lines:
        assert l["frame"] == number(l["name"]), l
        assert list(zip(l["types"], l["boxes"], l["scores"], strict=True)) == [
            (t, box, score) for t in types for box, score in text_boxes(folder, l["name"], types, t)]
    return sum(len(l["boxes"]) for l in lines)


what, folder, types = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
check = check_coco if what == "coco" else check_jsonl
print("OK", check(folder, types, *sys.argv[4:]))
