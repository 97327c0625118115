#!/usr/bin/python3
"""Summarises a LAVA job log: its result lines, each top-level action's
verdict and the job's.

usage: job-results.py [--output] LOG

LOG is what lava-run writes on standard error (one record a line) or a job
log downloaded from the server (the same records as a YAML list). Prints
every result record as "result: CASE LEVEL RESULT [ERROR]", then
"action: LEVEL NAME pass|fail" for each top-level action that started (it
failed when a result at or under its level failed, or when it never ended),
then "job: pass|fail". --output also prints what the commands the job ran
on the dispatcher wrote (the flasher, the power commands), as
"output: LEVEL LINE". Exit status 0 when the job passed.
"""

import argparse
import re
import sys

import yaml

START = re.compile(r'start: (\d+(?:\.\d+)*) (\S+)')
END = re.compile(r'end: (\d+(?:\.\d+)*) (\S+)')


def records(path):
    with open(path, encoding='utf-8', errors='replace') as f:
        for line in f:
            line = line.strip()
            if line.startswith('- {'):
                line = line[2:]
            if not line.startswith('{'):
                continue
            try:
                record = yaml.safe_load(line)
            except yaml.YAMLError:
                continue
            if isinstance(record, dict) and 'msg' in record:
                yield record


def main(argv):
    parser = argparse.ArgumentParser(prog='job-results.py', description=__doc__.split('\n')[0])
    parser.add_argument('log')
    parser.add_argument('--output', action='store_true',
                        help="also print the output of the dispatcher's commands")
    args = parser.parse_args(argv)

    started = {}  # level of a top-level action -> its name
    ended = set()
    failed_levels = []
    level = ''  # the innermost action running, for the output lines
    job = None
    for record in records(args.log):
        msg = record['msg']
        if record.get('lvl') == 'results' and isinstance(msg, dict):
            extra = msg.get('extra') if isinstance(msg.get('extra'), dict) else {}
            error = msg.get('error_msg') or extra.get('fail') or ''
            print('result: %s %s %s%s' % (msg.get('case'), msg.get('level', '-'),
                                          msg.get('result'), ' ' + str(error) if error else ''))
            if msg.get('case') == 'job':
                job = msg.get('result')
            elif msg.get('result') == 'fail':
                failed_levels.append(str(msg.get('level', '')))
            continue
        if not isinstance(msg, str):
            continue
        match = START.match(msg)
        if match:
            level = match.group(1)
            # Level 0 is the job's validation, reported by its own result.
            if '.' not in level and level != '0':
                started[level] = match.group(2)
            continue
        match = END.match(msg)
        if match:
            if '.' not in match.group(1):
                ended.add(match.group(1))
            continue
        if args.output and msg.startswith('>> '):
            # A progress meter redraws its line with carriage returns.
            for piece in re.split(r'[\r\n]+', msg[3:]):
                if piece.strip():
                    print('output: %s %s' % (level, piece.rstrip()))
    for top, name in started.items():
        bad = top not in ended or any(l == top or l.startswith(top + '.') for l in failed_levels)
        print('action: %s %s %s' % (top, name, 'fail' if bad else 'pass'))
    print('job: %s' % (job or 'missing'))
    return 0 if job == 'pass' else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
