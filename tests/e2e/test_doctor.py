"""ostrelle doctor through the real program: a healthy simulated host passes
and nothing is run as root or changed; the faults only a real wget against
a real server shows (an untrusted certificate, a server that cannot be
reached, a clock that is off) each fail their own line. The file-based
checks and their fixes are unit tests (tests/unit/doctor_test.cpp)."""

import json
import os
import subprocess
import unittest

from ostrelle_testbed.bed import TLS_VERIFY, Bed, program_path


def doctor(bed, *args, env=None):
    child_env = bed.env()
    child_env.update(env or {})
    return subprocess.run([program_path(), 'doctor'] + list(args), env=child_env, cwd=bed.tmp,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)


def snapshot(*dirs):
    """Every file below dirs with its size and modification time."""
    seen = {}
    for top in dirs:
        for path, subdirs, files in os.walk(top):
            for name in subdirs + files:
                full = os.path.join(path, name)
                st = os.lstat(full)
                seen[full] = (st.st_size, st.st_mtime_ns)
    return seen


def failing(stdout):
    return [line.split()[1] for line in stdout.decode().splitlines()
            if line.startswith('FAIL')]


class Doctor(unittest.TestCase):
    def test_healthy_host_passes_and_nothing_changes(self):
        with Bed() as bed:
            before = snapshot(bed.root, bed.home)
            r = doctor(bed)
            if not TLS_VERIFY:
                # Such a build fails the server checks whatever the servers do.
                self.assertEqual(failing(r.stdout), ['account-server', 'resource-server'])
                self.assertIn(b"is not verified: this build does not check the servers' "
                              b"certificates", r.stdout)
                self.skipTest('built with OSTRELLE_TLS_VERIFY=OFF')
            self.assertEqual((r.returncode, r.stderr), (0, b''), r.stdout)
            lines = r.stdout.decode().splitlines()
            self.assertEqual([line.split()[1] for line in lines], [
                'packages', 'loader-link', 'tools', 'device-access', 'modemmanager', 'qcserial',
                'free-space', 'account-server', 'resource-server', 'clock'])
            self.assertEqual(failing(r.stdout), [])
            self.assertNotIn(b'\x1b[', r.stdout)

            r = doctor(bed, '--json')
            self.assertEqual(r.returncode, 0)
            report = json.loads(r.stdout)
            self.assertTrue(report['ok'])
            self.assertEqual(len(report['checks']), 10)

            self.assertEqual(snapshot(bed.root, bed.home), before)
            for tool in ('sudo', 'apt-get', 'dpkg', 'ln'):
                self.assertEqual(bed.tool_log(tool), [], tool)
            # Certificates are checked, except where only the server's clock is read.
            for args in bed.tool_log('wget'):
                self.assertEqual('--no-check-certificate' in args, '-S' in args, args)

    def test_server_faults(self):
        if not TLS_VERIFY:
            self.skipTest('built with OSTRELLE_TLS_VERIFY=OFF: the server checks always fail')
        # The bed trusts its mirror through OSTRELLE_CA_FILE; without it the
        # mirror's certificate is not trusted.
        def untrusted(bed):
            return {'OSTRELLE_CA_FILE': ''}

        def unreachable(bed):
            bed.mirror.stop()

        def clock_off(bed):
            bed.mirror.clock_offset = 3 * 3600

        for plant, fails, text in (
                (untrusted, ['account-server', 'resource-server'],
                 b"answers, but its certificate is not trusted; fix: copy the CA certificate"),
                (unreachable, ['account-server', 'resource-server'],
                 b'cannot be reached (network failure); fix: check the network'),
                (clock_off, ['clock'],
                 b"min behind the resource server's; fix: sudo timedatectl set-ntp true")):
            with self.subTest(fault=plant.__name__), Bed() as bed:
                r = doctor(bed, env=plant(bed))
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertEqual(failing(r.stdout), fails, r.stdout)
                self.assertIn(text, r.stdout)

    def test_placeholder_servers_and_a_target_not_made_yet(self):
        with Bed() as bed:
            # The test-bed build: the target's nearest existing directory is judged.
            target = os.path.join(bed.tmp, 'images', 'not-yet')
            r = doctor(bed, '--target', target)
            space = [line for line in r.stdout.decode().splitlines()
                     if line.split()[1] == 'free-space'][0]
            # ok or FAIL, as this machine's free space has it.
            self.assertIn('free-space      %s does not exist yet; at its nearest existing '
                          'directory %s/: ' % (target, bed.tmp), space)
            self.assertFalse(os.path.exists(os.path.join(bed.tmp, 'images')))

            # The default build: its server URLs are placeholders that reach nothing.
            build = os.environ.get('OSTRELLE_BUILD_DIR', '')
            with open(os.path.join(build, 'CMakeCache.txt')) as f:
                if 'OSTRELLE_ACCOUNT_URL:STRING=https://accounts.ostrelle.example\n' not in f.read():
                    self.skipTest('this build was configured with real server URLs')
            child_env = bed.env()
            asked = len(bed.tool_log('wget'))
            r = subprocess.run([os.path.join(build, 'ostrelle'), 'doctor', '--json'],
                               env=child_env, cwd=bed.tmp, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=60)
            checks = {c['name']: c for c in json.loads(r.stdout)['checks']}
            for name, url in (('account-server', 'https://accounts.ostrelle.example/'),
                              ('resource-server', 'https://resources.ostrelle.example/')):
                self.assertEqual(checks[name]['verdict'], 'fail')
                self.assertEqual(checks[name]['detail'], url + ' is a placeholder compiled into '
                                 'this build and reaches no server')
                self.assertTrue(checks[name]['fix'].startswith(
                    'build with the real servers: cmake -S . -B build '
                    '-DOSTRELLE_ACCOUNT_URL=https://... '), checks[name]['fix'])
            self.assertEqual(checks['clock']['verdict'], 'skip')
            # Nothing tried to reach them.
            self.assertEqual(len(bed.tool_log('wget')), asked)


if __name__ == '__main__':
    unittest.main()
