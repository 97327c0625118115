#!/usr/bin/python3
"""Renders a LAVA device dictionary as lava-server does for a job, and checks it.

usage: render-device.py [--device-types DIR] [--job JOB.yaml]
                        [--context NAME=VALUE]... [--argv] DEVICE.jinja2

The dictionary is rendered in lava-server's environment (sandboxed jinja2,
trim_blocks, no autoescape, templates from the dictionary's directory and
DIR, by default the device-types directory beside this script) with the
job's context, and checked with LAVA's own device schema. A job given with
--job is first checked with LAVA's job schema, ostrelle_release,
ostrelle_package and ostrelle_package_sha256 counting as extra context variables as the server's
EXTRA_CONTEXT_VARIABLES make them.
--context adds or replaces one context variable. The device configuration
goes to standard output; with --argv, instead, each flasher command as the
argument list LAVA runs (shlex-split), one JSON array a line.

Runs with the Python that has LAVA's modules (/usr/bin/python3 with the
Debian package lava-dispatcher or lava-server).
"""

import argparse
import json
import os
import shlex
import sys

import yaml
from jinja2 import FileSystemLoader
from jinja2.sandbox import SandboxedEnvironment
from lava_common.schemas import device as device_schema
from lava_common.schemas import validate as validate_job

HERE = os.path.dirname(os.path.abspath(__file__))
EXTRA_CONTEXT_VARIABLES = ['ostrelle_release', 'ostrelle_package', 'ostrelle_package_sha256']


def main(argv):
    parser = argparse.ArgumentParser(prog='render-device.py', description=__doc__.split('\n')[0])
    parser.add_argument('device', help='device dictionary (DEVICE.jinja2)')
    parser.add_argument('--device-types', default=os.path.join(HERE, 'device-types'),
                        metavar='DIR', help='directory of the device-type templates')
    parser.add_argument('--job', help='job definition whose context the rendering uses')
    parser.add_argument('--context', action='append', default=[], metavar='NAME=VALUE',
                        help='add or replace a context variable')
    parser.add_argument('--argv', action='store_true',
                        help='print the flasher commands as argument lists')
    args = parser.parse_args(argv)

    context = {}
    if args.job:
        with open(args.job) as f:
            job = yaml.safe_load(f)
        validate_job(job, strict=True, extra_context_variables=EXTRA_CONTEXT_VARIABLES)
        context.update(job.get('context') or {})
    for item in args.context:
        name, sep, value = item.partition('=')
        if not sep:
            parser.error('--context takes NAME=VALUE, not %r' % item)
        context[name] = value

    env = SandboxedEnvironment(
        loader=FileSystemLoader([os.path.dirname(os.path.abspath(args.device)),
                                 args.device_types]),
        autoescape=False, trim_blocks=True)
    text = env.get_template(os.path.basename(args.device)).render(**context)
    device = yaml.safe_load(text)
    device_schema.validate(device)
    if args.argv:
        for command in device['actions']['deploy']['methods']['flasher']['commands']:
            print(json.dumps(shlex.split(command)))
    else:
        sys.stdout.write(text if text.endswith('\n') else text + '\n')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
