"""Shared pieces of the fault-injection scenarios (test_fault_*.py): a PATH
without some tools, a small full file system in a private mount namespace,
and the checks every fault scenario makes of the program's output."""

import os
import shutil
import subprocess
import tempfile

from ostrelle_testbed.bed import GREEN, TESTBED_HTTPS, driver_path

# Texts that announce success; none may follow a step that failed.
SUCCESS_TEXTS = (b'Extracting files ...done', b'Download LE resources ... Done',
                 b'Download LE SDK toolchain complete', b'Download image resources complete')


# Causes of a failed fetch, as the program names them in the line it prints
# under its own message.
NETWORK = b'network failure, the server could not be reached (exit status 4)'
SERVER_ERROR = b'the server answered with an error, such as file not found (exit status 8)'
FILE_ERROR = (b'the file could not be written, check the target directory and its free space '
              b'(exit status 3)')
NO_WGET = b'wget could not be run, is it installed? (exit status 127)'


def fetch_failed(url_path, cause, base=TESTBED_HTTPS):
    """The line naming why the fetch of url_path (a path on the mirror) failed."""
    return b'Fetching %s%s failed: %s\n' % (base.encode(), url_path.encode(), cause)


def no_digest(cause=None, release='r1'):
    """The end of command "1" when the package has no digest: why wget
    failed (when it did), the command's verdict."""
    why = fetch_failed('/uploads/web/ostrelle/kt5/sdk/%s.zip' % release, cause) if cause else b''
    return (b'sdk_dl_img_pkg: read checksum internal error\n' + why +
            b'Download resource failed. Try command 1 again.\n')


def assert_no_success(test, output, allowed=()):
    """Fails when output announces a success other than those in allowed."""
    for text in SUCCESS_TEXTS:
        if text not in allowed:
            test.assertNotIn(text, output)
    if not allowed:
        test.assertNotIn(GREEN, output)


def path_without(bed, *tools):
    """A PATH for the scenario on which none of tools can be found: the
    scenario's fakes (less those named) and a directory of symlinks to every
    other program of the usual system directories."""
    for tool in tools:
        fake = os.path.join(bed.bin, tool)
        if os.path.exists(fake):
            os.remove(fake)
    links = os.path.join(bed.tmp, 'system-bin')
    os.makedirs(links, exist_ok=True)
    for directory in ('/usr/local/sbin', '/usr/local/bin', '/usr/sbin', '/usr/bin', '/sbin',
                      '/bin'):
        if not os.path.isdir(directory):
            continue
        for name in os.listdir(directory):
            link = os.path.join(links, name)
            if name in tools or os.path.lexists(link):
                continue
            target = os.path.join(directory, name)
            if os.path.isfile(target) and os.access(target, os.X_OK):
                os.symlink(target, link)
    return bed.bin + os.pathsep + links


def call_in_env(bed, name, env, timeout=120, prefix=(), **globals_):
    """Like Bed.call, with a changed environment and an optional command
    prefix (for example a mount namespace wrapper). Returns (status, output)."""
    argv = list(prefix) + [driver_path()]
    target = globals_.pop('target', None)
    if target is not None:
        argv += ['--target', target if target.endswith('/') else target + '/']
    for key in ('product', 'platform', 'release', 'checksum', 'dev'):
        if globals_.get(key) is not None:
            argv += ['--' + key, str(globals_[key])]
    argv.append(name)
    child_env = bed.env()
    child_env.update(env)
    proc = subprocess.run(argv, input=globals_.get('input', b''), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=child_env, cwd=bed.tmp,
                          timeout=timeout, start_new_session=True)
    return proc.returncode, proc.stdout


# A wrapper that mounts a tmpfs of $1 bytes on $2 in a private mount
# namespace, runs the rest of its arguments there, then lists what the file
# system holds into $3 (one "size path" line per file) and exits with the
# command's status. The mount disappears with the namespace.
_TMPFS_WRAPPER = r'''
size=$1; dir=$2; report=$3; shift 3
mount -t tmpfs -o size=$size tmpfs "$dir" || exit 97
"$@"
status=$?
(cd "$dir" && find . -type f -printf '%s %P\n' | sort -k2) > "$report"
exit $status
'''


def tmpfs_prefix():
    """The command prefix that runs a command in a private mount namespace
    where it may mount a tmpfs, or None with the reason when this machine
    does not allow it (not root and no user namespaces, for instance)."""
    if not shutil.which('unshare'):
        return None, 'unshare is not installed'
    probe_dir = tempfile.mkdtemp(prefix='ostrelle-tmpfs-probe-')
    reasons = []
    try:
        for prefix in (['unshare', '-m'], ['unshare', '-r', '-m']):
            proc = subprocess.run(prefix + ['sh', '-c', 'mount -t tmpfs -o size=64k tmpfs "$0"',
                                            probe_dir],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
            if proc.returncode == 0:
                return prefix, None
            reasons.append('%s: %s' % (' '.join(prefix),
                                       proc.stdout.decode(errors='replace').strip()))
    finally:
        os.rmdir(probe_dir)
    return None, 'cannot mount a tmpfs here (' + '; '.join(reasons) + ')'


def tmpfs_command(prefix, size, directory, report):
    """The prefix for call_in_env that runs the call on a full-able tmpfs."""
    return list(prefix) + ['sh', '-c', _TMPFS_WRAPPER, 'tmpfs', str(size), directory, report]


def read_report(report):
    """{relative path: size} from the wrapper's listing."""
    files = {}
    with open(report) as f:
        for line in f:
            size, _, path = line.rstrip('\n').partition(' ')
            files[path] = int(size)
    return files
