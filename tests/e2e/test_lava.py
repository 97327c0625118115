"""Ostrelle as the flasher of a LAVA board farm, with LAVA's own dispatcher.

lava-run runs the shipped example job (contrib/lava/jobs/) on a device
dictionary made from the shipped example (contrib/lava/devices/board01,
which extends the shipped device type) with the lab's values put in for the
test bed: the test-bed build, the bed's target directory and password
file, and as serial console the simulated board's (ostrelle_testbed.console).
lava-run gets the environment LAVA's worker gives a job (a purged one:
PATH, LC_ALL, LANG) plus what the test bed's fakes read. Everything the job
writes stays in the scenario's directory.
"""

import hashlib
import json
import os
import re
import signal
import subprocess
import unittest

from ostrelle_testbed import release_files
from ostrelle_testbed.bed import SOURCE_DIR, Bed, program_path, skip_file_unless
from ostrelle_testbed.mirror import resource_path

import flashing

LAVA_RUN = '/usr/bin/lava-run'
# LAVA's modules are installed for the system's Python.
SYSTEM_PYTHON = '/usr/bin/python3'
CONTRIB = os.path.join(SOURCE_DIR, 'contrib', 'lava')
EXAMPLE_DEVICE = os.path.join(CONTRIB, 'devices', 'board01.jinja2')
EXAMPLE_JOB = os.path.join(CONTRIB, 'jobs', 'flash-release.yaml')
# The environment LAVA's worker starts a job with (lava-server's env.yaml).
WORKER_ENV = {'LC_ALL': 'C.UTF-8', 'LANG': 'C'}
WORKER_PATH = '/usr/local/bin:/usr/local/sbin:/bin:/usr/bin:/usr/sbin:/sbin'
# The release list tag of the example's product and platform (kt5, LE2.0).
LIST_TAG = '_le2.0_'
# The USB serial of the board flashing.board_in_download_mode attaches.
BOARD_SERIAL = '7A3C11F0'


def skip_reason():
    if not os.path.exists(LAVA_RUN):
        return ('lava-dispatcher is not installed (tools/install-deps.sh installs it where '
                'the package archive offers it)')
    if os.geteuid() != 0:
        return 'lava-run must run as root'
    return None


def job_release():
    """The release the example job names (its context's ostrelle_release)."""
    with open(EXAMPLE_JOB) as f:
        return re.search(r'^\s+ostrelle_release:\s*(\S+)\s*$', f.read(), re.M).group(1)


def device_dictionary(values):
    """The example dictionary with each variable's value replaced by the
    test bed's; every variable of the example must get one, so the example
    and the tested dictionary cannot drift apart."""
    with open(EXAMPLE_DEVICE) as f:
        text = f.read()
    pattern = re.compile(r"^\{% set (\w+) = '[^']*' %\}$", re.M)
    names = pattern.findall(text)
    assert sorted(names) == sorted(values), (names, sorted(values))
    return pattern.sub(
        lambda m: '{%% set %s = %s %%}' % (m.group(1), json.dumps(values[m.group(1)])), text)


@skip_file_unless(skip_reason())
class LavaJob(unittest.TestCase):
    def run_job(self, bed, name, context=()):
        """Runs the example job on this bed's board with lava-run, with the
        job context's variables context (NAME=VALUE) added; returns the
        lines of contrib/lava/job-results.py --output and the status of
        lava-run."""
        password = os.path.join(bed.tmp, 'lava-password')
        with open(password, 'w') as f:
            f.write('secret\n')
        os.chmod(password, 0o600)
        work = os.path.join(bed.tmp, 'lava-' + name)
        os.makedirs(work)
        device = os.path.join(work, 'board01.jinja2')
        with open(device, 'w') as f:
            f.write(device_dictionary({
                'ostrelle_command': program_path(),
                'ostrelle_home': bed.home,
                'ostrelle_board_serial': BOARD_SERIAL,
                'ostrelle_target': bed.target,
                'ostrelle_product': 'kt5',
                'ostrelle_platform': 'LE2.0',
                'ostrelle_email': 'lab-robot@example.com',
                'ostrelle_password_file': password,
                'connection_command': '%s -m ostrelle_testbed.console %s %s' % (
                    SYSTEM_PYTHON, bed.state, BOARD_SERIAL),
                'hard_reset_command': 'true',
                'power_on_command': 'true',
                'power_off_command': 'true',
            }))
        rendered = subprocess.run(
            [SYSTEM_PYTHON, os.path.join(CONTRIB, 'render-device.py'), '--job', EXAMPLE_JOB] +
            [a for item in context for a in ('--context', item)] + [device],
            capture_output=True, text=True, check=True).stdout
        device_yaml = os.path.join(work, 'device.yaml')
        with open(device_yaml, 'w') as f:
            f.write(rendered)
        # An absolute prefix puts the job's temporary directories here
        # instead of under /var/lib/lava.
        dispatcher_yaml = os.path.join(work, 'dispatcher.yaml')
        with open(dispatcher_yaml, 'w') as f:
            f.write('prefix: %s/tmp/\n' % work)

        env = dict(WORKER_ENV, PATH=bed.bin + os.pathsep + WORKER_PATH)
        env.update({k: v for k, v in bed.env().items()
                    if k.startswith('OSTRELLE_') or k in ('PYTHONPATH', 'WGETRC', 'ASAN_OPTIONS',
                                                         'UBSAN_OPTIONS')})
        log = os.path.join(work, 'job.log')
        with open(log, 'w') as err:
            proc = subprocess.Popen(
                [LAVA_RUN, '--job-id', name, '--output-dir', os.path.join(work, 'output'),
                 '--device', device_yaml, '--dispatcher', dispatcher_yaml, EXAMPLE_JOB],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, env=env,
                cwd=work, start_new_session=True)
            try:
                status = proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                status = None
        summary = subprocess.run(
            [SYSTEM_PYTHON, os.path.join(CONTRIB, 'job-results.py'), '--output', log],
            capture_output=True, text=True).stdout.splitlines()
        self.assertIsNotNone(status, 'lava-run did not end within 60 s:\n' + '\n'.join(summary))
        return summary, status

    def put_release(self, bed):
        release = job_release()
        package = release_files.release_package(release, flashable='le')
        bed.put('kt5', release + '.zip', package)
        bed.put_list('kt5', LIST_TAG, ['%s %s' % (release, hashlib.sha256(package).hexdigest())])
        return release

    def test_job_flashes_the_named_release_and_reaches_the_login(self):
        with Bed() as bed:
            release = self.put_release(bed)
            flashing.board_in_download_mode(bed)
            summary, status = self.run_job(bed, 'pass')
            report = '\n'.join(summary)
            self.assertEqual(status, 0, report)
            actions = [line for line in summary if line.startswith(('action:', 'job:'))]
            self.assertEqual(actions, ['action: 1 deploy-flasher-retry pass',
                                       'action: 2 minimal-boot pass',
                                       'action: 3 finalize pass', 'job: pass'], report)
            self.assertIn('result: login-action 2.3.1 pass', summary, report)
            # Ostrelle downloaded the job's release through the mirror, and
            # flashed and reset the board before the console showed its boot.
            self.assertTrue(bed.mirror.requests_for(resource_path('kt5', release + '.zip')), report)
            self.assertIn('--reset', [a for args in bed.tool_log('fh_loader') for a in args])
            # The board named by its serial; its boot was seen on the console
            # by LAVA, not under adb by Ostrelle.
            self.assertIn('output: 1.1 Device found: /dev/ttyUSB0 (USB 1-2, serial %s)'
                          % BOARD_SERIAL, summary, report)
            self.assertEqual(bed.tool_log('adb'), [])
            self.assertIn('output: 1.1 {"event":"board","command":"flash","board":"%s",'
                          '"usb_path":"1-2","result":"flashed","attempts":1}' % BOARD_SERIAL,
                          summary, report)
            self.assertIn('output: 1.1 {"event":"result","status":0,"commands":['
                          '{"command":"download","result":"pass"},'
                          '{"command":"flash","result":"pass"}]}', summary, report)

            # The release and the package come from whoever submits the
            # job: the command LAVA runs keeps each one argument, and no
            # marker LAVA would replace survives in them.
            hostile = "x' --target=/ 'y; rm -rf ~ {HARD_RESET_COMMAND}"
            package = 'https://ci.example/builds/kt5 nightly{PACKAGE}.zip'
            argv = subprocess.run(
                [SYSTEM_PYTHON, os.path.join(CONTRIB, 'render-device.py'), '--argv', '--job',
                 EXAMPLE_JOB, '--context', 'ostrelle_release=' + hostile, '--context',
                 'ostrelle_package=' + package, '--context',
                 "ostrelle_package_sha256=ab' {PACKAGE}", EXAMPLE_DEVICE],
                capture_output=True, text=True, check=True).stdout.splitlines()
            self.assertEqual(json.loads(argv[0]), [
                'env', 'HOME=/root', '/usr/bin/ostrelle', '--no-input', '--yes',
                '--color=never', '--no-boot-wait', '--json', '--retries=2',
                '--board-timeout=120', '--board=7A3C11F0',
                '--target=/srv/ostrelle/board01', '--product=kt5', '--platform=LE2.0',
                '--email=lab-robot@example.com', '--password-file=/etc/ostrelle/lava-password',
                '--package=https://ci.example/builds/kt5 nightly%7BPACKAGE%7D.zip',
                "--package-sha256=ab' %7BPACKAGE%7D",
                "--release=x' --target=/ 'y; rm -rf ~ %7BHARD_RESET_COMMAND%7D",
                'download', 'flash'])

    def test_flash_without_a_board_fails_the_deploy_with_the_reason(self):
        with Bed() as bed:
            self.put_release(bed)
            flashing.no_board(bed)
            summary, status = self.run_job(bed, 'fail')
            report = '\n'.join(summary)
            self.assertNotEqual(status, 0, report)
            actions = [line for line in summary if line.startswith(('action:', 'job:'))]
            self.assertEqual(actions, ['action: 1 deploy-flasher-retry fail', 'job: fail'],
                             report)
            self.assertIn('result: deploy-flasher 1.1 fail Unable to flash the device', summary,
                          report)
            self.assertIn('output: 1.1 No board in download mode is %s' % BOARD_SERIAL, summary,
                          report)
            self.assertIn('output: 1.1 Could not find a Qualcomm device in QDL mode', summary,
                          report)
            # The events end with the result: the lab's status and the reason.
            self.assertIn('output: 1.1 {"event":"board","command":"flash","board":"%s",'
                          '"result":"no board","attempts":1}' % BOARD_SERIAL, summary, report)
            self.assertIn('output: 1.1 {"event":"result","status":6,"commands":['
                          '{"command":"download","result":"pass"},'
                          '{"command":"flash","result":"fail"}],'
                          '"reason":"Could not find a Qualcomm device in QDL mode"}', summary,
                          report)

    def test_package_without_its_digest_fails_before_anything_runs_as_root(self):
        with Bed() as bed:
            self.put_release(bed)
            pkg = release_files.release_package('labbuild', flashable='le')
            bed.put('kt5', 'labbuild.zip', pkg)
            url = 'https://127.0.0.1:8443' + resource_path('kt5', 'labbuild.zip')
            package = ['ostrelle_release=labbuild', 'ostrelle_package=' + url]
            flashing.board_in_download_mode(bed)
            for name, context, reason in (
                    ('no-digest', package,
                     'output: 1.1 ostrelle-board: the job gives ostrelle_package without '
                     'ostrelle_package_sha256: refused, nothing was flashed'),
                    ('wrong-digest', package + ['ostrelle_package_sha256=' + 'ab' * 32],
                     'output: 1.1 Downloaded resource is different from the offical one')):
                summary, status = self.run_job(bed, name, context)
                report = '\n'.join(summary)
                self.assertNotEqual(status, 0, report)
                self.assertIn('result: deploy-flasher 1.1 fail Unable to flash the device',
                              summary, report)
                self.assertIn(reason, summary, report)
                self.assertEqual(bed.tool_log('sudo'), [], report)
                self.assertEqual(bed.tool_log('fh_loader'), [], report)
                self.assertFalse(os.path.exists(os.path.join(bed.target, 'labbuild')), report)
            # The job that vouches for the package flashes it.
            summary, status = self.run_job(bed, 'digest', package + [
                'ostrelle_package_sha256=' + hashlib.sha256(pkg).hexdigest()])
            self.assertEqual(status, 0, '\n'.join(summary))
            self.assertIn('--reset', [a for args in bed.tool_log('fh_loader') for a in args])


if __name__ == '__main__':
    unittest.main()
