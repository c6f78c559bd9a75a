#!/usr/bin/env python3
"""Runs every example of README.md exactly as written, in document order, from the
checkout's root (where the examples expect to be: `scripts/run`, `sim/run build ...`).

    tests/readme/run_examples.py [README.md] [--list]

How README.md's code blocks are read:

- An indented block (four spaces, after a blank line) or a fenced block marked `sh`,
  `shell`, `console` or unmarked is a shell example.
  - When some of its lines start with `$ `, it is a console session: those lines (less
    the `$ `) are the commands, the lines under them their output as an illustration
    (rates, paths and times differ from run to run, so output is not compared).
  - Otherwise every line is a command; lines starting with `#` are comments.
  - A line ending in `\\` continues on the next.
  Each command runs with `sh -c` and must exit with status 0.
- A comment line just above a block (blank lines between are allowed) changes that:
  - `<!-- example: file NAME -->`: the block is the content of the file NAME, written
    before the next commands run (the Python example is saved as example.py this way).
  - `<!-- example: skip REASON -->`: the block is not run; the reason says why (a
    placeholder such as `<program>`, a fragment of a larger program, a command that
    writes outside the checkout or runs this very test).
  - `<!-- example: expect TEXT -->` (one or more): the output of the block's commands
    must contain each TEXT, for outputs that are the point of the example.
- A fenced block of any other language (python, c, cmake, ...) without one of the two
  comments fails the test: say whether it is a file or why it is skipped.

Files the examples create in the checkout's root are removed afterwards.
"""
import os
import re
import shutil
import subprocess
import sys

SHELL_LANGS = {"", "sh", "shell", "console", "bash"}
MARKER = re.compile(r"^<!--\s*example:\s*(file|skip|expect)\s+(.*?)\s*-->\s*$")
TIMEOUT = 600


class Block:
    def __init__(self, line, lang, text, marker, expects):
        self.line = line      # 1-based line of the block's first line in README.md
        self.lang = lang      # None for an indented block
        self.text = text
        self.marker = marker  # None, ("file", name) or ("skip", reason)
        self.expects = expects


def blocks(readme_text):
    lines = readme_text.split("\n")
    out = []
    marker = None
    expects = []
    i = 0
    while i < len(lines):
        line = lines[i]
        m = MARKER.match(line.strip())
        if m:
            if m.group(1) == "expect":
                expects.append(m.group(2))
            else:
                marker = (m.group(1), m.group(2))
            i += 1
            continue
        if line.startswith("```"):
            lang = line[3:].strip().lower()
            start = i + 1
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                i += 1
            out.append(Block(start + 1, lang, "\n".join(lines[start:i]) + "\n", marker, expects))
            marker, expects = None, []
            i += 1
            continue
        prev_blank = i == 0 or lines[i - 1].strip() == "" or MARKER.match(lines[i - 1].strip())
        if line.startswith("    ") and line.strip() and prev_blank:
            start = i
            body = []
            while i < len(lines) and (lines[i].startswith("    ") or lines[i].strip() == ""):
                body.append(lines[i][4:])
                i += 1
            while body and not body[-1].strip():
                body.pop()
            out.append(Block(start + 1, None, "\n".join(body) + "\n", marker, expects))
            marker, expects = None, []
            continue
        if line.strip():
            marker, expects = None, []  # markers belong to the block right below them
        i += 1
    return out


def join_continuations(lines):
    out, cur = [], ""
    for line in lines:
        if line.endswith("\\"):
            cur += line[:-1] + " "
            continue
        out.append(cur + line)
        cur = ""
    if cur:
        out.append(cur)
    return out


def commands(block):
    """The shell commands of a shell block, in order."""
    lines = block.text.rstrip("\n").split("\n")
    if any(l.startswith("$ ") for l in lines):
        picked, in_cmd = [], False
        for l in lines:
            if l.startswith("$ "):
                picked.append(l[2:])
                in_cmd = l.endswith("\\")
            elif in_cmd:
                picked.append(l)
                in_cmd = l.endswith("\\")
        lines = picked
    cmds = join_continuations(lines)
    return [c for c in cmds if c.strip() and not c.lstrip().startswith("#")]


def plan(readme_text):
    """(line, kind, payload) steps: ("run", command), ("file", (name, text)); errors."""
    steps, errors = [], []
    for b in blocks(readme_text):
        if b.marker and b.marker[0] == "skip":
            if not b.marker[1]:
                errors.append(f"README.md:{b.line}: skipped example without a reason")
            continue
        if b.marker and b.marker[0] == "file":
            steps.append((b.line, "file", (b.marker[1], b.text)))
            continue
        if b.lang is not None and b.lang not in SHELL_LANGS:
            errors.append(f"README.md:{b.line}: a {b.lang} block needs "
                          "<!-- example: file NAME --> or <!-- example: skip REASON -->")
            continue
        steps.extend((b.line, "run", c) for c in commands(b))
        steps.extend((b.line, "expect", e) for e in b.expects)
    return steps, errors


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    root = os.path.dirname(os.path.abspath(args[0])) if args else os.path.dirname(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    readme = args[0] if args else os.path.join(root, "README.md")
    with open(readme, encoding="utf-8") as f:
        steps, errors = plan(f.read())
    if "--list" in argv:
        for line, kind, payload in steps:
            print(f"{line}: {kind} {payload[0] if kind == 'file' else payload}")
        for e in errors:
            print(e)
        return 1 if errors else 0
    for e in errors:
        print(e, file=sys.stderr)
    if errors:
        return 1
    before = set(os.listdir(root))
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    failed = 0
    block_output = {}
    try:
        for line, kind, payload in steps:
            if kind == "expect":
                if payload not in block_output.get(line, ""):
                    failed += 1
                    print(f"README.md:{line}: FAILED: no '{payload}' in the output", flush=True)
                continue
            if kind == "file":
                name, text = payload
                with open(os.path.join(root, name), "w", encoding="utf-8") as f:
                    f.write(text)
                print(f"README.md:{line}: wrote {name}", flush=True)
                continue
            print(f"README.md:{line}: $ {payload}", flush=True)
            try:
                r = subprocess.run(["sh", "-c", payload], cwd=root, env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=TIMEOUT)
                rc, output = r.returncode, r.stdout
            except subprocess.TimeoutExpired as e:
                rc, output = f"no end within {TIMEOUT} s", e.stdout or b""
            text = output.decode(errors="replace")
            block_output[line] = block_output.get(line, "") + text
            if rc != 0:
                failed += 1
                print(f"README.md:{line}: FAILED ({rc}): {payload}\n{text}", flush=True)
            else:
                tail = text.rstrip("\n").split("\n")[-3:]
                print("".join(f"    {t}\n" for t in tail if t), end="", flush=True)
    finally:
        for name in set(os.listdir(root)) - before:
            path = os.path.join(root, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.unlink(path)
    print(f"{len([s for s in steps if s[1] == 'run'])} commands, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
