#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# Runs kx2700 on a terminal of its own (a pseudo-terminal) and answers its prompts:
#   TerminalPrompt.py KX2700 ANSWER_FILE ARGS...
# ANSWER_FILE holds one answer a line, each sent once the next prompt (output ending in ":" or
# "]" and blanks) has shown. Prints everything the terminal showed, then "exit N" with kx2700's exit status.
import os
import pty
import sys

kx, answers_file, args = sys.argv[1], sys.argv[2], sys.argv[3:]
with open(answers_file, "rb") as f:
    answers = f.read().splitlines()

pid, fd = pty.fork()
if pid == 0:
    os.execv(kx, [kx] + args)

shown = b""


def read_until_prompt():
    global shown
    start = len(shown)
    while True:
        try:
            chunk = os.read(fd, 1024)
        except OSError:  # the program ended and closed the terminal
            return False
        if not chunk:
            return False
        shown += chunk
        tail = shown[start:].rstrip()
        if tail.endswith(b":") or tail.endswith(b"]"):
            return True


for answer in answers:
    if not read_until_prompt():
        break
    os.write(fd, answer + b"\n")
while True:
    try:
        chunk = os.read(fd, 1024)
    except OSError:
        break
    if not chunk:
        break
    shown += chunk
_, status = os.waitpid(pid, 0)
sys.stdout.write(shown.decode("utf-8", "replace"))
print("\nexit %d" % os.waitstatus_to_exitcode(status))
