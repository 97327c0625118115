#!/usr/bin/python3
"""Shared helper of the test bed's fake tools.

As a program:  python3 -m ostrelle_testbed.log_args TOOL ARGS...
As a module:   log_args.log(TOOL, ARGS)

Appends the argument list as one JSON array line to
$OSTRELLE_FAKE_LOGS/TOOL.log. One write per line, opened for appending, so
fakes running at the same time never mix their lines.
"""

import json
import os
import sys


def log(tool, args):
    directory = os.environ.get('OSTRELLE_FAKE_LOGS')
    if not directory:
        return
    os.makedirs(directory, exist_ok=True)
    line = (json.dumps(list(args)) + '\n').encode()
    fd = os.open(os.path.join(directory, tool + '.log'),
                 os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        os.write(fd, line)
    finally:
        os.close(fd)


def state_path(name):
    """Path of a configuration or state file of the fakes."""
    return os.path.join(os.environ.get('OSTRELLE_FAKE_STATE', '.'), name)


def read_state_lines(name, default=None):
    """Non-empty lines of a state file, or default when it does not exist."""
    try:
        with open(state_path(name)) as f:
            return [line.strip() for line in f if line.strip()]
    except FileNotFoundError:
        return default


def write_state_lines(name, lines):
    path = state_path(name)
    tmp = path + '.tmp%d' % os.getpid()
    with open(tmp, 'w') as f:
        f.write(''.join(line + '\n' for line in lines))
    os.replace(tmp, path)


if __name__ == '__main__':
    if len(sys.argv) < 2:
        sys.stderr.write('usage: python3 -m ostrelle_testbed.log_args TOOL [ARGS...]\n')
        sys.exit(2)
    log(sys.argv[1], sys.argv[2:])
