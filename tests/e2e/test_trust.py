"""Attacks on the program's trust in its servers, packages and directories:
each scenario plays one attacker and shows that the attack fails and that
the user is told why."""

import glob
import os
import signal
import subprocess
import time
import unittest

from faults import fetch_failed
from ostrelle_testbed.bed import RED, RESET, TLS_VERIFY, Bed, program_path, set_target, sign_in
from release_packages import url_path

INTERNAL = RED + b'Account verification internal error.' + RESET + b'\n'
AGAIN = b'Something wrong, try again.\n'
UNTRUSTED = (b"the certificate of 127.0.0.1:8443 is not trusted (exit status 5); for a lab mirror "
             b"with its own certificate authority set OSTRELLE_CA_FILE to that authority's "
             b"certificate")


class UntrustedServer(unittest.TestCase):
    def test_a_server_whose_certificate_is_not_trusted_gets_no_password_and_gives_nothing(self):
        if not TLS_VERIFY:
            self.skipTest('built with OSTRELLE_TLS_VERIFY=OFF: certificates are not verified')
        with Bed() as bed:
            # Without the mirror's authority the mirror is any server on the
            # path that shows a certificate of its own.
            untrusted = {'OSTRELLE_CA_FILE': ''}
            s = bed.spawn(env=untrusted)
            for _ in range(3):
                s.expect('Enter your Velmora user email: ')
                s.sendline('me@example.com')
                s.expect('Enter your Velmora password: ')
                s.sendline('secret-pw')
                s.expect(b'Connecting as me@example.com ...\n' + INTERNAL +
                         fetch_failed('/ldap.php', UNTRUSTED) + AGAIN)
            s.expect('exiting the manager')
            self.assertEqual(s.wait(), 255)

            list_name = 'kt5_le_toolchain_ver.txt'
            bed.put('kt5', list_name, 'r1 ' + 'a' * 64 + '\n')
            res = bed.call('sdk_le_toolchain', target=bed.target, product='kt5', platform=2,
                           release='r1', env=untrusted)
            self.assertEqual(res.status, 1)
            self.assertTrue(res.output.endswith(fetch_failed(url_path('kt5', list_name),
                                                             UNTRUSTED)), res.output)
            # The handshake failed before any request: no password, no file.
            self.assertEqual(bed.mirror.requests, [])
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'files', list_name)))


def files_holding(directory, secret):
    """The files below directory whose content holds secret."""
    found = []
    for root, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(root, name)
            try:
                with open(path, 'rb') as f:
                    if secret in f.read():
                        found.append(path)
            except OSError:
                pass
    return found


class SignInSecrets(unittest.TestCase):
    def test_a_sign_in_killed_while_it_waits_leaves_no_password_behind(self):
        with Bed() as bed:
            def slow_reply(body):
                time.sleep(3)
                return b'{"status": 1}\n'
            bed.mirror.set_ldap_reply(slow_reply)
            before = set(glob.glob('/tmp/ostrelle-signin-*'))
            s = bed.spawn()
            sign_in(s, 'me@example.com', 'pw-at-rest-4711')
            deadline = time.monotonic() + 20
            while not bed.mirror.requests_for('/ldap.php') and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(bed.mirror.requests_for('/ldap.php'))
            os.kill(s.pid, signal.SIGTERM)
            self.assertEqual(s.wait(), -signal.SIGTERM)
            self.assertEqual(set(glob.glob('/tmp/ostrelle-signin-*')) - before, set())
            self.assertEqual(files_holding(bed.tmp, b'pw-at-rest-4711'), [])
            # The body went by a descriptor, never by a name.
            post_file = bed.tool_log('wget')[0]
            self.assertTrue(post_file[post_file.index('--post-file') + 1].startswith('/dev/fd/'))

    def test_with_standard_output_closed_the_messages_are_not_posted(self):
        with Bed() as bed:
            # Descriptor 1 closed: the first file the program opens would
            # get its number and its messages.
            proc = subprocess.run(['/bin/sh', '-c', 'exec "$0" >&-', program_path()],
                                  input=b'me@example.com\nsecret\n', stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, env=bed.env(), cwd=bed.tmp, timeout=60)
            self.assertEqual(proc.returncode, 1, proc.stderr)
            self.assertEqual([r.body for r in bed.mirror.requests_for('/ldap.php')],
                             [b'mail=me@example.com&pwd=secret'])


class HostileLists(unittest.TestCase):
    def test_an_endless_release_list_is_cut_refused_and_deleted(self):
        with Bed() as bed:
            bed.mirror.endless(bed.list_url_path('kt1', '_le_'))
            s = bed.spawn()
            sign_in(s)
            set_target(s, bed.target)
            s.expect(') to continue with: ')
            started = time.monotonic()
            s.sendline('1')
            s.expect(RED + b'Download config file failed.\nCheck target directory input or check '
                     b'the internet connection.' + RESET + b'\nThe release list from '
                     b'https://127.0.0.1:8443/uploads/web/ostrelle/kt1/sdk/kt1_le_release_ver.txt '
                     b'is larger than 1 MiB: refused and deleted\n')
            s.expect('> ')
            self.assertLess(time.monotonic() - started, 30)
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            self.assertEqual(os.listdir(os.path.join(bed.target, 'files')), [])

    def test_release_names_with_control_bytes_are_shown_escaped_and_refused(self):
        sum_ = 'a' * 64
        with Bed() as bed:
            # Would retitle the window, clear the screen and forge a green
            # verdict; a tab makes a name that can never verify.
            bed.put_list('kt1', '_le_', [b'\x1b]0;owned\x07r3 ' + sum_.encode(),
                                         b'\x1b[2J\x1b[32mSuccessful ' + sum_.encode(),
                                         b'r2\tx ' + sum_.encode(), b'r1 ' + sum_.encode()])
            s = bed.spawn()
            sign_in(s)
            set_target(s, bed.target)
            s.expect(') to continue with: ')
            s.sendline('1')
            s.expect(b'Available versions: \n1: \\x1b]0;owned\\x07r3 (latest version)\n'
                     b'2: \\x1b[2J\\x1b[32mSuccessful\n3: r2\\x09x\n4: r1\n\n'
                     b'Recommended version: \\x1b]0;owned\\x07r3\n')
            for answer, shown in (('1', b'\\x1b]0;owned\\x07r3'), ('2', b'\\x1b[2J\\x1b[32mSuccessful'),
                                  ('3', b'r2\\x09x')):
                s.expect(') to continue with: ')
                s.sendline(answer)
                s.expect(RED + b"Release name '" + shown + b"' is not a usable file name, please "
                         b"pick another version" + RESET + b'\n')
            s.expect(') to continue with: ')
            s.sendline('4')
            s.expect(b'Selected version: r1\n')
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            for raw in (b'\x1b]', b'\x07', b'\x1b[2J', b'\t'):
                self.assertNotIn(raw, s.output)


if __name__ == '__main__':
    unittest.main()
