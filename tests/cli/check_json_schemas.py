#!/usr/bin/env python3
"""Runs every qks970 command with --json on emulated bridges and checks its
real output against the command's JSON Schema in docs/schema, plus what
each case is there to show (a non-target's "updated" is null, --all lists
the devices it skipped, a declined question prints a document...).

usage: check_json_schemas.py QKS970 SCHEMA_FOLDER
"""
import json
import os
import pty
import select
import subprocess
import sys
import tempfile
import time

import jsonschema

BINARY, SCHEMAS = sys.argv[1], sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qks970-json-")
BACKUPS = os.path.join(WORK, "backups")
NO_IMAGES = os.path.join(WORK, "no-images")
ENV = dict(os.environ, XDG_DATA_HOME=NO_IMAGES, XDG_DATA_DIRS=NO_IMAGES, LANG="C")


def load_schemas():
    schemas = {}
    for name in os.listdir(SCHEMAS):
        if name.endswith(".json"):
            with open(os.path.join(SCHEMAS, name)) as f:
                schema = json.load(f)
            jsonschema.Draft202012Validator.check_schema(schema)
            schemas[name[:-5]] = schema
    return schemas


SCHEMA = load_schemas()


def validator(name):
    schema = SCHEMA[name]
    try:  # jsonschema 4.18 and later
        from referencing import Registry, Resource
        registry = Registry().with_resources(
            (s["$id"], Resource.from_contents(s)) for s in SCHEMA.values())
        return jsonschema.Draft202012Validator(schema, registry=registry)
    except ImportError:  # Debian 12's 4.10
        store = {s["$id"]: s for s in SCHEMA.values()}
        resolver = jsonschema.RefResolver.from_schema(schema, store=store)
        return jsonschema.Draft202012Validator(schema, resolver=resolver)


def run(args, answer=None):
    """The exit status and standard output; with `answer`, stdin is a
    terminal on which the answer is typed."""
    full = [BINARY, "--virtual-time", "--backup-dir", BACKUPS] + args
    if answer is None:
        done = subprocess.run(full, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              env=ENV, timeout=120)
        return done.returncode, done.stdout, done.stderr
    master, slave = pty.openpty()
    process = subprocess.Popen(full, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, env=ENV)
    os.close(slave)
    os.write(master, answer.encode())
    out, err = process.communicate(timeout=120)
    os.close(master)
    return process.returncode, out, err


def tagged_file(name, tag):
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(bytes([0x55, 0xAA, 0xAA, 0x55]) + tag.encode() + b"\xff" * (4096 - 4 - len(tag)))
    return path


def results(document):
    return [(row["device"]["id"], row["result"], row["why"]) for row in document["devices"]]


def check_list(d):
    assert [x["updated"] for x in d["devices"]] == [False, None, True], d["devices"]


def check_recover(d):
    assert d["result"] == "success" and d["device_changed"] is True
    assert d["image"]["name"] == "QKS958FW" and d["image"]["source"] == "embedded"
    assert os.path.isfile(d["copy"]), d["copy"]
    STATE["copy"] = d["copy"]
    STATE["sha256"] = d["image"]["sha256"]


def check_declined(d):
    assert d["result"] == "declined" and d["device_changed"] is False and d["copy"] is None
    assert d["image"]["sha256"] == STATE["sha256"]


def check_all(d):
    assert results(d) == [(0, "done", None), (1, "skipped", "already updated"),
                          (2, "failed", None), (3, "skipped", "not a QKS970/958 bridge")], results(d)
    failed = d["devices"][2]["cause"]
    assert failed["chain"] and failed["message"], failed
    assert d["counts"] == {"done": 1, "failed": 1, "declined": 0, "skipped": 2}, d["counts"]
    assert d["image"]["sha256"] == STATE["sha256"]


def check_refused(d):
    cause = d["cause"]
    assert d["result"] == "failure" and cause["kind"] == "refused", cause
    assert cause["command"] == "erase" and cause["address"] == 0x8000, cause
    assert cause["device_answer"]["sense"], cause
    assert os.path.isfile(d["copy"]) and cause["restore_path"] == d["copy"], d


def nth_command(cdb_prefix, n):
    """The number of the n-th command of a healthy recovery whose CDB starts so."""
    trace = os.path.join(WORK, "healthy.jsonl")
    run(["--trace", trace, "--emulate", "q970", "recover", "--yes"])
    with open(trace) as f:
        for line in f:
            record = json.loads(line)
            if record["cdb"].startswith(cdb_prefix):
                n -= 1
                if n == 0:
                    return record["seq"]
    raise AssertionError("no such command in " + trace)


def check_all_same_enclosure(d):
    assert results(d) == [(0, "done", None), (1, "skipped", "same enclosure as device 0")], results(d)


def check_all_declined(d):
    assert [r[1] for r in results(d)] == ["declined", "skipped"], results(d)


def check_run(d):
    assert d["image"]["name"] == "FW719" and len(d["image"]["sha256"]) == 64, d["image"]


def check_erase(d):
    assert d["image"] is None and d["device_changed"] is True


def check_backup(d):
    assert d["copy"] == STATE["backup"] and d["device_changed"] is False, d["copy"]


def check_restore(d):
    assert d["image"]["path"] == STATE["copy"] and d["image"]["source"] == "file", d["image"]


def check_nothing_to_do(d):
    assert results(d) == [(0, "skipped", "already updated")], results(d)


def check_station(lines):
    events = sorted((d["device"]["id"], d["event"]) for d in lines[:-1])
    assert events == [(0, "recovered"), (0, "recovering"), (1, "already_updated"),
                      (2, "failed"), (2, "recovering")], events
    assert lines[-1]["counts"] == {"done": 0, "failed": 1, "awaiting_power_cycle": 1}, lines[-1]


STATE = {"backup": os.path.join(WORK, "old.bin")}
FW719 = tagged_file("fw719.bin", "7190")

# name, arguments, typed answer (None: no terminal), exit status, schema, check
CASES = [
    ("list", ["--emulate", "q970", "--emulate", "q719", "--emulate", "q970:content=updated",
              "list", "--json"], None, 0, "list", check_list),
    ("recover", ["--emulate", "q970", "recover", "--yes", "--json"], None, 0, "operation",
     check_recover),
    ("recover failed", ["--emulate", f"q970:fail={nth_command('ff0414', 2)}", "recover", "--yes",
                        "--json"], None, 1, "operation", check_refused),
    ("recover declined", ["--emulate", "q970", "recover", "--json"], "n\n", 6, "operation",
     check_declined),
    ("recover --all", ["--emulate", "q970", "--emulate", "q970:content=updated", "--emulate",
                       "q970:flip=0x2000", "--emulate", "q719", "recover", "--all", "--yes", "--json"],
     None, 1, "recover-all", check_all),
    ("recover --all, two interfaces", ["--emulate", "q970:iface=both", "recover", "--all", "--yes",
                                       "--json"], None, 0, "recover-all", check_all_same_enclosure),
    ("recover --all declined", ["--emulate", "q970", "--emulate", "q719", "recover", "--all",
                                "--json"], "n\n", 6, "recover-all", check_all_declined),
    ("recover --all, nothing to do", ["--emulate", "q970:content=updated", "recover", "--all",
                                      "--yes", "--json"], None, 3, "recover-all",
     check_nothing_to_do),
    ("run", ["--emulate", "q719", "run", "--yes", "--firmware", FW719, "--json"], None, 0,
     "operation", check_run),
    ("erase", ["--emulate", "q719", "erase", "--yes", "--json"], None, 0, "operation", check_erase),
    ("erase declined", ["--emulate", "q719", "erase", "--json"], "n\n", 6, "operation", None),
    ("backup", ["--emulate", "q719", "backup", STATE["backup"], "--json"], None, 0, "operation",
     check_backup),
    ("restore", ["--emulate", "q970", "restore", "COPY", "--yes", "--json"], None, 0, "operation",
     check_restore),
    ("verify", ["--emulate", "q970", "verify", "--json"], None, 1, "verify", None),
    ("copies", ["copies", "--json"], None, 0, "copies", None),
    ("images", ["images", "--json"], None, 0, "images", None),
    ("watch", ["--emulate", "q970", "--emulate", "q719", "watch", "--for", "0.5", "--json"], None,
     0, "watch", None),
    ("watch --recover", ["--emulate", "q970", "--emulate", "q970:content=updated", "--emulate",
                         "q970:flip=0x2000", "watch", "--recover", "--yes", "--for", "1", "--json"],
     None, 1, "station", check_station),
    ("error", ["--emulate", "q999", "list", "--json"], None, 2, "error", None),
    ("recover, nothing to do", ["--emulate", "q970:content=updated", "recover", "--yes", "--json"],
     None, 3, "error", None),
]

failures = 0
for name, args, answer, status, schema, check in CASES:
    args = [STATE.get("copy", "") if a == "COPY" else a for a in args]
    code, out, err = run(args, answer)
    # watch prints one document a line; everything else one document.
    texts = out.splitlines() if schema in ("watch", "station") else [out]
    problems = []
    if code != status:
        problems.append(f"exit status {code}, expected {status}")
    documents = []
    for text in texts:
        try:
            documents.append(json.loads(text))
        except ValueError as e:
            problems.append(f"not JSON ({e}): {text!r}")
    if not documents:
        problems.append("no document")
    for document in documents:
        for error in validator(schema).iter_errors(document):
            problems.append(f"{schema}.json: {'/'.join(map(str, error.absolute_path))}: {error.message}")
    if not problems and check:
        try:
            check(documents if schema == "station" else documents[0])
        except AssertionError as e:
            problems.append(f"check failed: {e}")
    print(("ok    " if not problems else "FAIL  ") + name)
    for p in problems:
        print("      " + p)
    if problems:
        print("      stdout: " + out[:2000].replace("\n", "\n      "))
        print("      stderr: " + err[:2000].replace("\n", "\n      "))
        failures += 1

print(f"{len(CASES) - failures} of {len(CASES)} cases hold")
sys.exit(1 if failures else 0)
