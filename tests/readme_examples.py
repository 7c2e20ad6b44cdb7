#!/usr/bin/env python3
"""The README's console examples, run as they stand.

Every ```console block of README.md holds commands (lines starting with "$ ") each followed by
what it prints, standard error merged into standard output. This runs each command from the
repository's root with the build folder first on the PATH, and fails when what it prints now
differs from what the README shows, so that the README's commands and figures cannot go stale.

    readme_examples.py BUILD_DIR [--update]

--update rewrites the blocks with what the commands print now.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")


def blocks(lines):
    """(first, end) line indices of each console block's body."""
    found, start = [], None
    for i, line in enumerate(lines):
        if start is None and line.rstrip("\n") == "```console":
            start = i + 1
        elif start is not None and line.startswith("```"):
            found.append((start, i))
            start = None
    return found


def run(command, build):
    env = dict(os.environ, PATH=build + os.pathsep + os.environ.get("PATH", ""), LC_ALL="C.UTF-8")
    done = subprocess.run(["bash", "-c", command], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=600)
    return done.stdout.decode("utf-8", "replace")


def main():
    build = os.path.abspath(sys.argv[1])
    update = "--update" in sys.argv[2:]
    with open(README, encoding="utf-8") as f:
        lines = f.readlines()
    out, last, failures, commands = [], 0, 0, 0
    for first, end in blocks(lines):
        out.extend(lines[last:first])
        body = lines[first:end]
        i = 0
        while i < len(body):
            if not body[i].startswith("$ "):
                print("README.md:%d: console block line is no command: %r" % (first + i + 1, body[i]))
                return 1
            command = body[i][2:].rstrip("\n")
            j = i + 1
            while j < len(body) and not body[j].startswith("$ "):
                j += 1
            shown = "".join(body[i + 1:j])
            printed = run(command, build)
            if printed and not printed.endswith("\n"):
                printed += "\n"
            commands += 1
            if printed != shown:
                failures += 1
                if not update:
                    print("README.md:%d: `%s` prints, now:\n%s\nwhere the README shows:\n%s"
                          % (first + i + 1, command, printed, shown))
            out.append(body[i])
            out.append(printed)
            i = j
        last = end
    out.extend(lines[last:])
    if update:
        with open(README, "w", encoding="utf-8") as f:
            f.writelines(out)
        print("%d commands, %d blocks rewritten" % (commands, failures))
        return 0
    stale = [l for l in lines if re.search(r"(?<![\w/])tools/tiltfit_pace(?![.\w])", l)]
    if stale:
        print("README.md names tools/tiltfit_pace; the program is build/tiltfit_pace")
        failures += 1
    print("%d commands, %d differ" % (commands, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
