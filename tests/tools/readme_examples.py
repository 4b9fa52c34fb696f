#!/usr/bin/python3
"""Runs every qmxcam example of the README, in order, in a scratch folder, with the built
qmxcam first on the PATH: each command line of a ```sh block that starts with "qmxcam" (lines
ending in a backslash continue on the next). A line whose comment says "needs hardware" is left
out. Every example must exit with status 0.

    readme_examples.py README.md BIN_FOLDER
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def examples(readme):
    commands, in_block, pending = [], False, ""
    for line in open(readme, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith("```"):
            in_block = line == "```sh"
            pending = ""
            continue
        if not in_block:
            continue
        if pending:
            line = pending + " " + line.strip()
            pending = ""
        elif not line.startswith("qmxcam "):
            continue
        command = re.sub(r"\s+#.*$", "", line)
        if command.endswith("\\"):
            pending = command[:-1].rstrip()
            continue
        if "needs hardware" not in line:
            commands.append(command)
    return commands


def main():
    readme, folder = sys.argv[1], os.path.abspath(sys.argv[2])
    scratch = tempfile.mkdtemp(prefix="qmxcam_readme_")
    environment = dict(os.environ, PATH=folder + os.pathsep + os.environ.get("PATH", ""))
    passed = failed = 0
    try:
        for command in examples(readme):
            for attempt in range(2):
                before = set(os.listdir(scratch))
                done = subprocess.run(["bash", "-c", command], cwd=scratch, env=environment,
                                      capture_output=True, timeout=300, stdin=subprocess.DEVNULL)
                if done.returncode != 3 or attempt == 1:
                    break
                print(f"again (frames missing): {command}")
                for name in set(os.listdir(scratch)) - before:
                    os.remove(os.path.join(scratch, name))
            ok = done.returncode == 0
            passed, failed = passed + ok, failed + (not ok)
            print(f"{'ok    ' if ok else 'FAILED'} status {done.returncode}: {command}")
            if not ok:
                print(done.stderr.decode(errors="replace"))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed or not passed else 0)


if __name__ == "__main__":
    main()
