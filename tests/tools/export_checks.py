"""Reads what `export` wrote back with Python's json and compares every box
and score with the result text files it came from.

    export_checks.py coco  <folder> <types,...> <results.json> <results.meta.json>
    export_checks.py jsonl <folder> <types,...> <results.jsonl>

Prints OK and exits 0 when everything matches; an assertion names the first
difference otherwise.
"""
import json
import os
import sys


def text_boxes(folder, name, types, kind):
    suffix = "" if len(types) == 1 else "." + kind
    boxes = []
    with open(os.path.join(folder, name + suffix + ".txt")) as f:
        for line in f:
            if line.strip():
                x, y, w, h, s = line.split()
                boxes.append(([float(x), float(y), float(w), float(h)], float(s)))
    return boxes


def frame_names(folder, types):
    stems = [f[:-4] for f in os.listdir(folder) if f.endswith(".txt")]
    if len(types) > 1:
        stems = [s.rsplit(".", 1)[0] for s in stems]
    return sorted(set(stems))


def frame_number(name):
    digits = ""
    while name and name[-1].isdigit() and len(digits) < 8:
        digits = name[-1] + digits
        name = name[:-1]
    return int(digits) if digits else None


def check_coco(folder, types, results_path, meta_path):
    with open(results_path) as f:
        results = json.load(f)
    with open(meta_path) as f:
        meta = json.load(f)
    assert isinstance(results, list), "COCO results are a list"
    names = frame_names(folder, types)
    assert [i["file_name"] for i in meta["images"]] == names, meta["images"]
    assert [i["id"] for i in meta["images"]] == list(range(1, len(names) + 1))
    assert [i["frame"] for i in meta["images"]] == [frame_number(n) for n in names]
    assert meta["categories"] == [{"id": k + 1, "name": t} for k, t in enumerate(types)]
    assert meta["annotations"] == []
    got = {}
    for r in results:
        assert sorted(r) == ["bbox", "category_id", "image_id", "score"], r
        got.setdefault((r["image_id"], r["category_id"]), []).append((r["bbox"], r["score"]))
    expected = {}
    for i, name in enumerate(names):
        for k, kind in enumerate(types):
            boxes = text_boxes(folder, name, types, kind)
            if boxes:
                expected[(i + 1, k + 1)] = boxes
    assert got == expected, (got, expected)
    return len(results)


def check_jsonl(folder, types, path):
    with open(path) as f:
        lines = [json.loads(line) for line in f]
    names = frame_names(folder, types)
    assert [l["name"] for l in lines] == names, lines
    count = 0
    for line in lines:
        assert line["frame"] == frame_number(line["name"]), line
        assert len(line["types"]) == len(line["boxes"]) == len(line["scores"]), line
        got = list(zip(line["types"], line["boxes"], line["scores"]))
        expected = [(kind, box, score)
                    for kind in types
                    for box, score in text_boxes(folder, line["name"], types, kind)]
        assert got == expected, (got, expected)
        count += len(got)
    return count


def main():
    what, folder, types = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
    if what == "coco":
        n = check_coco(folder, types, sys.argv[4], sys.argv[5])
    else:
        n = check_jsonl(folder, types, sys.argv[4])
    print("OK", n)


main()
