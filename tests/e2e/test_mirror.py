"""The mirror as labs run it: accounts file with hashed passwords, ranges of
files larger than one read, and one log line per request."""

import io
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from ostrelle_testbed.bed import SOURCE_DIR
from ostrelle_testbed.mirror import Mirror, resource_path

MIRROR_PY = os.path.join(SOURCE_DIR, 'tools', 'mirror', 'mirror.py')
UNVERIFIED = ssl._create_unverified_context()


def fetch(url, data=None, headers=None):
    """(status, headers, body) of one request."""
    req = urllib.request.Request(url, data=data, headers=headers or {})
    try:
        with urllib.request.urlopen(req, context=UNVERIFIED, timeout=30) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


class MirrorAsATool(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='ostrelle-mirror-test-')
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.accounts = os.path.join(self.tmp, 'accounts')
        self.log = io.StringIO()

    def add_account(self, mail, password):
        proc = subprocess.run([sys.executable, MIRROR_PY, 'add-account', self.accounts, mail,
                               '--password-stdin'], input=password + '\n', text=True,
                              capture_output=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)

    def log_lines(self, count):
        """The log once it has count lines (a line is written after its
        reply, so it may lag behind the client for a moment)."""
        deadline = time.monotonic() + 10
        while self.log.getvalue().count('\n') < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.log.getvalue().splitlines()

    def mirror(self):
        m = Mirror(workdir=self.tmp, accounts=self.accounts, log=self.log).start()
        self.addCleanup(m.stop)
        return m

    def test_accounts_are_hashed_at_rest_and_answer_each_case(self):
        self.add_account('ana@lab.example', 'p&ss w0rd%')
        self.add_account('bo@lab.example', 'p&ss w0rd%')
        with open(self.accounts) as f:
            stored = f.read()
        self.assertNotIn('w0rd', stored)
        hashes = [line.split()[1] for line in stored.splitlines() if not line.startswith('#')]
        self.assertEqual(len(hashes), 2)
        self.assertNotEqual(hashes[0], hashes[1], 'each account has its own salt')
        self.assertEqual(os.stat(self.accounts).st_mode & 0o777, 0o600)

        m = self.mirror()
        url = m.https_url + '/ldap.php'
        # The body as the program sends it: form-encoded.
        for body, reply in (
                (b'mail=ana%40lab.example&pwd=p%26ss+w0rd%25',
                 b'{"status": 1, "mail": "ana@lab.example"}\n'),
                (b'mail=ana@lab.example&pwd=p%26ss+w0rd',
                 b'{"status": -1, "mail": "ana@lab.example"}\n'),
                (b'mail=eve@lab.example&pwd=p%26ss+w0rd%25',
                 b'{"status": 0, "mail": "eve@lab.example"}\n'),
                (b'mail=' + b'x' * 200 + b'&pwd=a', b'{"status": 0}\n')):
            with self.subTest(body=body):
                self.assertEqual(fetch(url, data=body)[2], reply)
        # A password change replaces the old one.
        self.add_account('ana@lab.example', 'new')
        self.assertEqual(fetch(url, data=b'mail=ana@lab.example&pwd=new')[2],
                         b'{"status": 1, "mail": "ana@lab.example"}\n')
        log = '\n'.join(self.log_lines(5))
        self.assertEqual(log.count('\n'), 4)
        self.assertNotIn('w0rd', log)
        self.assertIn(' https POST /ldap.php 200 ', log)

    def test_ranges_across_reads_of_a_large_file(self):
        m = self.mirror()
        data = os.urandom(200 * 1024 + 7)
        m.put('kt6', 'big.zip', data)
        url = m.https_url + resource_path('kt6', 'big.zip')
        status, headers, body = fetch(url, headers={'Range': 'bytes=65000-140000'})
        self.assertEqual((status, body), (206, data[65000:140001]))
        self.assertEqual(headers['Content-Range'], 'bytes 65000-140000/%d' % len(data))
        status, headers, body = fetch(url, headers={'Range': 'bytes=-100'})
        self.assertEqual((status, body), (206, data[-100:]))
        self.assertEqual(fetch(url, headers={'Range': 'bytes=70000-'})[2], data[70000:])
        status, headers, _ = fetch(url, headers={'Range': 'bytes=%d-' % len(data)})
        self.assertEqual((status, headers['Content-Range']), (416, 'bytes */%d' % len(data)))
        self.assertEqual(fetch(url)[2], data)
        self.assertEqual(fetch(m.https_url + '/uploads/../../etc/passwd')[0], 404)
        lines = self.log_lines(6)
        self.assertEqual(len(lines), 6)
        self.assertTrue(lines[0].endswith(' 206 75001 range=bytes=65000-140000'), lines[0])


if __name__ == '__main__':
    unittest.main()
