"""Sign-in: the hidden password, the exchange with the account server and
the three attempts."""

import glob
import json
import os
import urllib.parse
import unittest

from faults import SERVER_ERROR, fetch_failed
from ostrelle_testbed.bed import GREEN, RED, RESET, TESTBED_HTTPS, Bed

OK = GREEN + b'Successful authentication.' + RESET + b'\n\n'
NO_ACCOUNT = RED + b"Account doesn't exist." + RESET + b'\n'
WRONG = RED + b'Account or password is incorrect.' + RESET + b'\n'
INTERNAL = RED + b'Account verification internal error.' + RESET + b'\n'
AGAIN = b'Something wrong, try again.\n'


def attempt(s, email='me@example.com', password='pw'):
    s.expect('Enter your Velmora user email: ')
    s.sendline(email)
    s.expect('Enter your Velmora password: ')
    s.sendline(password)


class Account(unittest.TestCase):
    def test_three_failed_attempts_end_the_program(self):
        with Bed() as bed:
            bed.mirror.set_ldap_replies(['{"status": -1}\n', '{"status": 0}\n',
                                         '{"status": 2, "mail": "x"}\n'])
            s = bed.spawn()
            # Empty lines are asked again and are no attempts.
            s.expect('Enter your Velmora user email: ')
            s.sendline('')
            s.expect('No input. Enter your Velmora user email again: ')
            s.sendline('')
            s.expect('No input. Enter your Velmora user email again: ')
            # Arrow keys make the line refused before anything is sent; no
            # attempt is counted either.
            s.sendline('a@x.og\x1b[Dr')
            s.expect('Answer contained control characters, please type it again\n'
                     'Enter your Velmora user email again: ')
            s.sendline('a@x.org')
            s.expect('Enter your Velmora password: ')
            s.sendline('p1')
            self.assertEqual(s.expect(AGAIN), b'**\nConnecting as a@x.org ...\n' + WRONG + AGAIN)
            attempt(s)
            self.assertTrue(s.expect(AGAIN).endswith(NO_ACCOUNT + AGAIN))
            attempt(s)
            self.assertTrue(s.expect(AGAIN).endswith(INTERNAL + AGAIN))
            self.assertEqual(s.wait(), 255)
            self.assertEqual(s.rest(), b'\n' + RED + b'Need a valid user account, exiting the '
                             b'manager ...' + RESET + b'\n')
            posts = bed.mirror.requests_for('/ldap.php', 'POST')
            self.assertEqual(len(posts), 3)
            self.assertTrue(posts[0].body.startswith(b'mail=a@x.org&'), posts[0].body)
            # The run's log records the status the shell saw.
            logs = glob.glob(os.path.join(bed.home, '.local', 'state', 'ostrelle', 'logs',
                                          '*.log'))
            with open(logs[0]) as f:
                self.assertRegex(f.read(), r'\nexit status 255 at ')

    def test_del_erases_an_asterisk_and_a_character(self):
        with Bed() as bed:
            s = bed.spawn()
            s.expect('Enter your Velmora user email: ')
            s.sendline('me@example.com')
            s.expect('Enter your Velmora password: ')
            s.send(b'\x7fab\x7fc\x08\n')
            got = s.expect(OK)
            self.assertEqual(got, b'**\b \b**\nConnecting as me@example.com ...\n' + OK)
            body = bed.mirror.requests_for('/ldap.php')[0].body
            self.assertEqual(urllib.parse.parse_qs(body.decode()),
                             {'mail': ['me@example.com'], 'pwd': ['ac\x08']})
            s.expect('Enter absolute target directory')

    def test_reply_shapes(self):
        cases = [
            (b'<html><head><title>502 Bad Gateway</title></head></html>\n', NO_ACCOUNT),
            (b'<html>' + b'x' * 130 + b'</html>\n', INTERNAL),
            (b'{"status": "-1"}\n', WRONG),
            (b'{"mail": "me@example.com"}\n', NO_ACCOUNT),
            (b'', INTERNAL),
            (b'{"status": "1", "mail": "me@example.com"}\n', OK),
        ]
        with Bed() as bed:
            bed.mirror.set_ldap_replies([c[0] for c in cases])
            s = bed.spawn()
            for _, verdict in cases[:3]:
                attempt(s)
                self.assertTrue(s.expect(AGAIN).endswith(verdict + AGAIN))
            self.assertEqual(s.wait(), 255)
        with Bed() as bed:
            bed.mirror.set_ldap_replies([c[0] for c in cases[3:]])
            s = bed.spawn()
            for _, verdict in cases[3:5]:
                attempt(s)
                self.assertTrue(s.expect(AGAIN).endswith(verdict + AGAIN))
            attempt(s)
            s.expect(OK)
            s.expect('Enter absolute target directory')

    def test_server_unreachable_is_an_internal_error(self):
        with Bed() as bed:
            bed.mirror.fail('/ldap.php', 500)
            s = bed.spawn()
            attempt(s)
            self.assertTrue(s.expect(AGAIN).endswith(
                INTERNAL + fetch_failed('/ldap.php', SERVER_ERROR) + AGAIN))

    def test_password_never_on_a_command_line_and_reaches_the_server_intact(self):
        with Bed() as bed:
            # Records how the request body reached wget before running it.
            bed.install_fake('wget', '''#!/usr/bin/python3
import os, stat, sys, json
from ostrelle_testbed.world import FAKES_DIR
args = sys.argv[1:]
with open(os.path.join(os.environ['OSTRELLE_FAKE_STATE'], 'post.json'), 'a') as out:
    if '--post-file' in args:
        path = args[args.index('--post-file') + 1]
        st = os.stat(path)
        out.write(json.dumps({'path': path, 'links': st.st_nlink,
                              'body': open(path).read()}) + '\\n')
os.execv(sys.executable, [sys.executable, os.path.join(FAKES_DIR, 'wget')] + args)
''')
            password = "p&w=d+1% 'q\"$(id)`x`"
            email = "o'brien+test@example.com"
            s = bed.spawn()
            attempt(s, email, password)
            s.expect(OK)
            s.expect('Enter absolute target directory')
            wget = bed.tool_log('wget')[0]
            self.assertEqual(wget[:2], bed.tls_args() + ['--post-file'])
            self.assertEqual(wget[3:], [TESTBED_HTTPS + '/ldap.php', '-q', '-O', '-',
                                       '-T', '30', '-t', '1'])
            self.assertFalse(any(password in a or 'pwd' in a for a in wget))
            with open(os.path.join(bed.state, 'post.json')) as f:
                post = json.loads(f.readline())
            # wget reads a descriptor of the program; no name reaches the body.
            self.assertEqual(post['path'], wget[2])
            self.assertTrue(post['path'].startswith('/dev/fd/'), post['path'])
            self.assertEqual(post['links'], 0)
            body = bed.mirror.requests_for('/ldap.php')[0].body.decode()
            self.assertEqual(body, post['body'])
            self.assertEqual(urllib.parse.parse_qs(body), {'mail': [email], 'pwd': [password]})
            self.assertIn(b'Connecting as ' + email.encode() + b' ...\n', s.output)

    def test_plain_body_is_sent_as_typed(self):
        with Bed() as bed:
            s = bed.spawn()
            attempt(s, 'user@example.com', 'secret')
            s.expect(OK)
            self.assertEqual(bed.mirror.requests_for('/ldap.php')[0].body,
                             b'mail=user@example.com&pwd=secret')

    def test_end_of_input_at_email_or_password_ends_the_program(self):
        with Bed() as bed:
            s = bed.spawn()
            s.expect('Enter your Velmora user email: ')
            s.eof()
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(
                b'check_vl_user: get username internal error\n'
                b'\nNo more input, exit ostrelle now ...\n'), s.output)
        with Bed() as bed:
            s = bed.spawn(stdin='pipe')
            s.send(b'me@example.com\nsecr')
            s.eof()
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(b'Enter your Velmora password: ****\n'
                                              b'No more input, exit ostrelle now ...\n'),
                            s.output)
            self.assertEqual(bed.mirror.requests_for('/ldap.php'), [])


if __name__ == '__main__':
    unittest.main()
