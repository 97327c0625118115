"""Helpers of the scenarios that run the program with commands: a release
on the mirror, the answers as options, a run with standard input that is
not a terminal, and the result line it ends with."""

import json
import os
import subprocess

from ostrelle_testbed.bed import program_path
from ostrelle_testbed.release_files import release_package, sha256

PASSWORD = 'pa55-w0rd-of-ci'


def catalogue(bed, product, tag, release, **package_options):
    """One release of product on the mirror; returns its package."""
    pkg = release_package(release, **package_options)
    bed.put(product, release + '.zip', pkg)
    bed.put_list(product, tag, ['%s %s' % (release, sha256(pkg))])
    return pkg


def password_file(bed, mode=0o600):
    path = os.path.join(bed.tmp, 'velmora-password')
    with open(path, 'w') as f:
        f.write(PASSWORD + '\n')
    os.chmod(path, mode)
    return path


def answers(bed, product, platform=None, release='latest'):
    args = ['--target', bed.target, '--product', product, '--release', release,
            '--email', 'ci@lab.example', '--password-file', password_file(bed)]
    if platform:
        args += ['--platform', platform]
    return args


def run(bed, args, stdin=subprocess.DEVNULL, timeout=120):
    """The program with args, standard input not a terminal; returns
    (status, output)."""
    proc = subprocess.run([program_path()] + args, env=bed.env(), cwd=bed.tmp, stdin=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return proc.returncode, proc.stdout


def run_apart(bed, args, timeout=120):
    """As run, with standard output and standard error kept apart; returns
    (status, output, errors)."""
    proc = subprocess.run([program_path()] + args, env=bed.env(), cwd=bed.tmp,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr


def result_line(output):
    last = output.rstrip(b'\n').rsplit(b'\n', 1)[-1]
    assert last.startswith(b'ostrelle-result: '), output
    return json.loads(last[len(b'ostrelle-result: '):])
