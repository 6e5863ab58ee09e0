#!/usr/bin/env python3
"""Runs a tool transcript (tests/tools/transcripts/*.txt) against the Linux tools and
compares every command's output and exit code with the transcript's. The same
transcripts run under Wine against quelt.exe and quelt-sim.exe
(transcript.cpp), so the two platforms are held to one text.

    transcript.py BIN_DIR FILE [--update]

--update rewrites FILE with the output the tools give now (after the
normalisation below), for a change of output that is meant.

A transcript is a list of steps, each a line starting with one of:
    # text          a comment
    % CMD ARGS      setup, run only where the tool exists (quelt-sim is not
                    part of the real Windows flavour); must succeed, output
                    not compared
    $ CMD ARGS      run and wait; the expected output follows
    & CMD ARGS      start in the background (one at a time)
    ~ DEVICE [FIELD]  wait until FIELD of the device's status (quelt-sim
                    status DEVICE --json; default "waits", the interrupt
                    waits the driver holds) is at least 1. Asked through
                    quelt-sim, which opens no card: an open of quelt would
                    stand in the way of a normal connection
    ^ int|term      stop the background command: Ctrl-C (SIGINT), or the
                    console closed (SIGTERM)
    =               wait for the background command; its output follows
Commands read their input from the null device (/dev/null, NUL), which is
not a terminal. Expected output: "! text" is a line on stderr, "? N" the exit code (0 when
absent), every other line a line on stdout. CMD is quelt or quelt-sim.
Before comparing, time stamps become <time>, process ids <pid>, the machine's
root <root>, and trailing blank lines are dropped.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}")
PID = re.compile(r"process \d+")
MARKERS = "#%$&~^="


def parse(path):
    steps = []
    with open(path, encoding="utf-8") as f:
        for raw in f.read().splitlines():
            if raw and raw[0] in MARKERS and (len(raw) == 1 or raw[1] == " "):
                steps.append({"kind": raw[0], "arg": raw[2:], "out": [], "err": [], "code": 0, "raw": raw})
            elif not steps:
                sys.exit(f"{path}: output before the first step: {raw!r}")
            elif raw.startswith("! ") or raw == "!":
                steps[-1]["err"].append(raw[2:])
            elif raw.startswith("? "):
                steps[-1]["code"] = int(raw[2:])
            else:
                steps[-1]["out"].append(raw)
    return steps


def normalise(text, root):
    lines = text.replace("\r\n", "\n").split("\n")
    out = []
    for line in lines:
        line = TIME.sub("<time>", line)
        line = PID.sub("process <pid>", line)
        if root:
            line = line.replace(root, "<root>")
        out.append(line)
    while out and out[-1] == "":
        out.pop()
    return out


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    bin_dir, path = os.path.abspath(sys.argv[1]), sys.argv[2]
    update = "--update" in sys.argv[3:]
    steps = parse(path)
    root = tempfile.mkdtemp(prefix="quelt-transcript-", dir="/dev/shm")
    work = tempfile.mkdtemp(prefix="quelt-transcript-work-")
    env = dict(os.environ, QUELT_SIM_ROOT=root)
    # Under ThreadSanitizer a process whose threads still run at exit (quelt's
    # signal thread) sleeps a second there.
    env["TSAN_OPTIONS"] = env.get("TSAN_OPTIONS", "") + ":atexit_sleep_ms=0"
    background = None
    failures = []

    def argv(text):
        words = text.split()
        return [os.path.join(bin_dir, words[0])] + words[1:]

    def compare(step, out, err, code):
        got = {"out": normalise(out, root), "err": normalise(err, root), "code": code}
        if update:
            step.update(got)
            return
        want = {"out": step["out"], "err": step["err"], "code": step["code"]}
        while want["out"] and want["out"][-1] == "":
            want["out"].pop()
        if got != want:
            failures.append(f"{step['raw']}\n  expected: {want}\n  got:      {got}")

    try:
        for step in steps:
            kind, arg = step["kind"], step["arg"]
            if kind == "%":
                exe = argv(arg)
                if os.path.exists(exe[0]):
                    subprocess.run(exe, env=env, cwd=work, check=True, capture_output=True, timeout=60)
            elif kind == "$":
                r = subprocess.run(argv(arg), env=env, cwd=work, stdin=subprocess.DEVNULL, capture_output=True,
                                   text=True, timeout=60)
                compare(step, r.stdout, r.stderr, r.returncode)
            elif kind == "&":
                background = subprocess.Popen(argv(arg), env=env, cwd=work, stdin=subprocess.DEVNULL,
                                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            elif kind == "~":
                deadline = time.monotonic() + 20
                while True:
                    if background.poll() is not None:
                        failures.append(f"{step['raw']}: the background command ended first")
                        break
                    device, field = (arg.split() + ["waits"])[:2]
                    r = subprocess.run(argv(f"quelt-sim status {device} --json"), env=env, capture_output=True,
                                       text=True, timeout=60)
                    m = re.search(f'"{field}": (\\d+)', r.stdout)
                    if m and int(m.group(1)) >= 1:
                        break
                    if time.monotonic() > deadline:
                        failures.append(f"{step['raw']}: no wait became pending")
                        break
                    time.sleep(0.05)
            elif kind == "^":
                background.send_signal(signal.SIGINT if arg == "int" else signal.SIGTERM)
            elif kind == "=":
                out, err = background.communicate(timeout=60)
                compare(step, out, err, background.returncode)
                background = None
    finally:
        if background:
            background.kill()
            background.communicate()
        subprocess.run(["rm", "-rf", root, work])

    if update:
        with open(path, "w", encoding="utf-8") as f:
            for step in steps:
                f.write(step["raw"] + "\n")
                if step["kind"] in "$=":
                    for line in step["out"]:
                        f.write(line + "\n")
                    for line in step["err"]:
                        f.write(("! " + line).rstrip() + "\n")
                    if step["code"]:
                        f.write(f"? {step['code']}\n")
        print(f"{path}: rewritten")
        return
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        sys.exit(1)
    print(f"{os.path.basename(path)}: {sum(s['kind'] in '$=' for s in steps)} commands as transcribed")


if __name__ == "__main__":
    main()
