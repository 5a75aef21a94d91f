#!/usr/bin/env python3
"""Runs the command examples of a Markdown guide and compares what they print.

An example is a fenced block marked `console`: a line starting with "$ " is a
command (continued on the next lines while it ends in "|" or "\\" or leaves a
quote open), the lines after it up to the next command are what it prints on
standard output. A block marked with `file=NAME` after its language is written
to NAME first, so the commands can read it.

All commands run in order in one empty folder, in which `data` is the
checkout's data folder, with the given program folders first on PATH. Text is
compared exactly; a number with a decimal point may differ by two units of its
last printed digit or 1 % (floating point differs a little between processors),
and times (`..._ms_per_frame=`) are not compared at all.

With --update the guide's outputs that no longer agree are replaced by what the
commands print.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^(\s*)```(.*)$")
NUMBER = re.compile(r"(?<![\w.])-?\d+(?:\.(\d+))?(?![\w.])")
TIME = re.compile(r"(ms_per_frame=)\d+(?:\.\d+)?")
COMMAND_TIMEOUT_S = 900


class Example:
    def __init__(self, command_lines, first_line):
        self.command_lines = command_lines  # as written, without the "$ " or indentation
        self.first_line = first_line  # 1-based line of the guide, for messages
        self.output = []

    @property
    def command(self):
        return "\n".join(self.command_lines)


class Block:
    """A fenced block: lines start..end of the guide (0-based, fences excluded)."""

    def __init__(self, info, indent, start, end):
        self.info, self.indent, self.start, self.end = info, indent, start, end


def fenced_blocks(lines):
    blocks, open_block = [], None
    for number, line in enumerate(lines):
        match = FENCE.match(line)
        if not match:
            continue
        if open_block is None:
            open_block = (match.group(2).strip(), match.group(1), number + 1)
        elif not match.group(2).strip():
            blocks.append(Block(open_block[0], open_block[1], open_block[2], number))
            open_block = None
    return blocks


def unfinished(command):
    stripped = command.rstrip()
    if stripped.endswith(("|", "\\", "&&")):
        return True
    try:
        shlex.split(command, comments=False)
    except ValueError:  # a quote still open
        return True
    return False


def examples_of(lines, block):
    examples = []
    body = [line[len(block.indent):] for line in lines[block.start:block.end]]
    i = 0
    while i < len(body):
        if not body[i].startswith("$ "):
            raise ValueError(f"line {block.start + i + 1}: output before any command")
        example = Example([body[i][2:]], block.start + i + 1)
        i += 1
        while unfinished(example.command) and i < len(body):
            example.command_lines.append(body[i])
            i += 1
        while i < len(body) and not body[i].startswith("$ "):
            example.output.append(body[i])
            i += 1
        examples.append(example)
    return examples


def file_name_of(info):
    """The NAME of `file=NAME`: a plain name, so the guide writes only into the examples' folder."""
    for word in info.split()[1:]:
        if word.startswith("file="):
            name = word[len("file="):]
            if not name or name != os.path.basename(name) or name.startswith("."):
                raise ValueError(f"file={name}: a file name without folders is expected")
            return name
    return None


def numbers_agree(expected, actual):
    if expected.group(1) is None or actual.group(1) is None:
        return expected.group(0) == actual.group(0)
    digit = 10.0 ** -len(expected.group(1))
    a, b = float(expected.group(0)), float(actual.group(0))
    return abs(a - b) <= max(2 * digit, 0.01 * abs(a))


def lines_agree(expected, actual):
    expected, actual = TIME.sub(r"\1", expected), TIME.sub(r"\1", actual)
    if expected == actual:
        return True
    if NUMBER.sub("#", expected) != NUMBER.sub("#", actual):
        return False
    pairs = zip(NUMBER.finditer(expected), NUMBER.finditer(actual))
    return all(numbers_agree(e, a) for e, a in pairs)


def differences(expected, actual):
    """The first line that differs, as a message, or None."""
    for n in range(max(len(expected), len(actual))):
        e = expected[n] if n < len(expected) else "(nothing)"
        a = actual[n] if n < len(actual) else "(nothing)"
        if n >= len(expected) or n >= len(actual) or not lines_agree(e, a):
            return f"output line {n + 1}:\n  guide:   {e}\n  program: {a}"
    return None


def kept(expected, actual):
    """The output to write back: the guide's line wherever it still agrees, so
    that regenerating changes only what went stale (not times, not the last digit)."""
    return [expected[n] if n < len(expected) and lines_agree(expected[n], line) else line
            for n, line in enumerate(actual)]


def run(example, folder, env):
    result = subprocess.run(["bash", "-o", "pipefail", "-c", example.command], cwd=folder, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            timeout=COMMAND_TIMEOUT_S)
    return result.returncode, result.stdout.splitlines(), result.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("guide")
    parser.add_argument("--data", required=True, help="the checkout's data folder")
    parser.add_argument("--path", action="append", default=[], help="a folder of programs")
    parser.add_argument("--update", action="store_true", help="write what the programs print")
    args = parser.parse_args()

    with open(args.guide, encoding="utf-8") as guide:
        lines = guide.read().split("\n")
    programs = [os.path.abspath(folder) for folder in args.path]
    env = dict(os.environ, PATH=os.pathsep.join(programs + [os.environ.get("PATH", "")]),
               QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8")
    failures, broken, count, replacements = 0, 0, 0, []
    with tempfile.TemporaryDirectory(prefix="castellan-guide-") as folder:
        os.symlink(os.path.abspath(args.data), os.path.join(folder, "data"))
        for block in fenced_blocks(lines):
            language = block.info.split()[0] if block.info else ""
            name = file_name_of(block.info)
            if name:
                with open(os.path.join(folder, name), "w", encoding="utf-8") as out:
                    out.write("\n".join(line[len(block.indent):] for line in lines[block.start:block.end]) + "\n")
            if language != "console":
                continue
            new_body = []
            for example in examples_of(lines, block):
                count += 1
                status, output, errors = run(example, folder, env)
                new_body += ["$ " + example.command_lines[0]] + example.command_lines[1:] + kept(example.output, output)
                broken += status != 0
                problem = f"exit status {status}\n{errors}" if status != 0 else differences(example.output, output)
                if problem:
                    failures += 1
                    print(f"{args.guide}:{example.first_line}: $ {example.command}\n{problem}\n", file=sys.stderr)
            replacements.append((block, [block.indent + line if line else line for line in new_body]))
    if args.update and broken:
        print(f"{broken} examples did not run; {args.guide} is left as it was", file=sys.stderr)
        return 1
    if args.update:
        for block, body in reversed(replacements):
            lines[block.start:block.end] = body
        with open(args.guide, "w", encoding="utf-8") as guide:
            guide.write("\n".join(lines))
        print(f"{count} examples run, {failures} changed in {args.guide}")
        return 0
    print(f"{count} examples run, {failures} failed")
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
