"""The framework SDK menu, the SNPE deployment to the board and the FastCV
installer, called directly (no command table lists them)."""

import io
import os
import unittest
import zipfile

from ostrelle_testbed.bed import GREEN, RED, RESET, Bed

# The board is the directory $OSTRELLE_FAKE_STATE/board; without it no device
# is attached. Shell commands run with their absolute paths moved below that
# directory, so the globs are expanded on the "board" as on a real one.
FAKE_ADB = r'''#!/bin/sh
python3 -m ostrelle_testbed.log_args adb "$@"
board="$OSTRELLE_FAKE_STATE/board"
case "$1" in
kill-server) exit 0 ;;
devices) echo "List of devices attached"; [ -d "$board" ] && printf 'fake0001\tdevice\n'; echo; exit 0 ;;
esac
[ -d "$board" ] || { echo "adb: error: no devices/emulators found" >&2; exit 1; }
case "$1" in
push) exec cp "$2" "$board$3" ;;
shell) shift; cmd=; for a; do case "$a" in /*) a="$board$a" ;; esac; cmd="$cmd $a"; done
       exec sh -c "$cmd" ;;
esac
exit 1
'''

# A vendor installer: logs its run and exits with the status given.
INSTALLER = '''#!/bin/sh
python3 -m ostrelle_testbed.log_args fastcv_installer "$@"
echo "fastcv installer ran"
exit %d
'''

SNPE_LIB = 'snpe-1.50/lib/aarch64-linux-gcc4.9/libSNPE.so'


def snpe_zip(with_libs=True):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        z.writestr('snpe-1.50/bin/snpe-net-run', 'tool\n')
        if with_libs:
            z.writestr(SNPE_LIB, 'library\n')
    return buf.getvalue()


def prepare(bed, files=(), board=False, target=None):
    """Creates the SDK directory with the given files (name -> bytes, or
    (bytes, mode)), the scenario's adb and, if asked, an attached board."""
    target = target or bed.target + '/'
    sdks = os.path.join(target, 'SDKs')
    os.makedirs(sdks)
    for name, data in dict(files).items():
        data, mode = data if isinstance(data, tuple) else (data, 0o644)
        data = data.encode() if isinstance(data, str) else data
        with open(os.path.join(sdks, name), 'wb') as f:
            f.write(data)
        os.chmod(os.path.join(sdks, name), mode)
    bed.install_fake('adb', FAKE_ADB)
    if board:
        for d in ('data', 'usr/lib'):
            os.makedirs(os.path.join(bed.state, 'board', d))
    return target


class Menu(unittest.TestCase):
    def test_quit_and_unknown_answers_touch_nothing(self):
        with Bed() as bed:
            target = prepare(bed, {'snpe-1.50.zip': snpe_zip()})
            r = bed.call('sdk_dl_sdks', input=b'q\n', target=target)
            self.assertEqual(r.status, 0)
            self.assertTrue(r.output.endswith(b"Network\n" + b'*' * 93 + RESET + b"\n\n"
                                              b"Available SDKs:\n1. Qualcomm\xc2\xae Neural "
                                              b"Processing SDK for AI\n2. Hexagon DSP SDK\n"
                                              b"3. FastCV Computer Vision SDK\n\nSelect a number "
                                              b"(1|2|3) to be installed or enter 'q' to main "
                                              b"menu: \n"), r.output)
            for answer in (b'4\n', b'Q\n', b'11\n'):
                r = bed.call('sdk_dl_sdks', input=answer, target=target)
                self.assertEqual(r.status, 0)
                self.assertTrue(r.output.endswith(b"menu: \nUnknown SDK, back to main menu\n"),
                                r.output)
            self.assertEqual(bed.tool_log('adb'), [])

    def test_each_row_without_its_package_is_refused(self):
        rows = [(b'1', b'Qualcomm\xc2\xae Neural Processing SDK for AI',
                 b'Qualcomm\xc2\xae Neural Processing SDK'),
                (b'2', b'Hexagon DSP SDK', b'Hexagon DSP SDK'),
                (b'3', b'FastCV Computer Vision SDK', b'FastCV Computer Vision SDK')]
        with Bed() as bed:
            # Packages of other kinds do not count.
            target = prepare(bed, {'snpe-1.50.tar': b'x', 'hexagon_3.5.tar': b'x',
                                   'fastcv-1.7.run': b'x'}, board=True)
            for answer, checked, name in rows:
                r = bed.call('sdk_dl_sdks', input=answer + b'\n', target=target)
                self.assertEqual(r.status, 1)
                self.assertTrue(r.output.endswith(
                    b'menu: \nChecking downloaded packages of ' + checked + b'\n' + RED +
                    b'No ' + name + b' found in ' + target.encode() + b'SDKs directory' +
                    RESET + b'\n\n'), r.output)
            self.assertEqual(bed.tool_log('adb'), [])
            self.assertEqual(bed.tool_log('wget'), [])

    def test_row_one_deploys_snpe_to_the_board(self):
        with Bed() as bed:
            target = prepare(bed, {'snpe-1.50.zip': snpe_zip()}, board=True)
            r = bed.call('sdk_dl_sdks', input=b'1\n\n', target=target)
            self.assertEqual(r.status, 0, r.output)
            self.assertIn(GREEN + b'Qualcomm\xc2\xae Neural Processing SDK found' + RESET +
                          b'\n\nPlease power on the device', r.output)
            self.assertTrue(r.output.endswith(GREEN + b'Copy SNPE lib to /usr/lib ... done' +
                                              RESET + b'\n' + GREEN + b'*' * 41 +
                                              b'\n       SNPE build environment is ready\n' +
                                              b'*' * 41 + RESET + b'\n'), r.output)
            self.assertEqual(bed.tool_log('adb'), [
                ['kill-server'], ['devices'],
                ['push', target + 'SDKs/snpe-1.50.zip', '/data/'],
                ['shell', 'unzip', '-o', '/data/snpe-*.zip', '-d', '/data/'],
                ['shell', 'cp', '/data/snpe-*/lib/aarch64-linux-gcc4.9/*.so', '/usr/lib']])
            self.assertTrue(os.path.isfile(os.path.join(bed.state, 'board/usr/lib/libSNPE.so')))

    def test_rows_two_and_three_run_their_installers_and_give_zero_even_on_failure(self):
        with Bed() as bed:
            # No compiler archive on the mirror: the Hexagon installation
            # stops at its extraction, yet the menu's result is 0.
            target = prepare(bed, {'hexagon_3.5.zip': b'x', 'fastcv-installer-1.7.bin': b'x'})
            r = bed.call('sdk_dl_sdks', input=b'2\n', target=target)
            self.assertEqual(r.status, 0, r.output)
            self.assertIn(GREEN + b'Hexagon DSP SDK found' + RESET + b'\n\n'
                          b'Downloading Linaro compiler ...\n', r.output)
            self.assertTrue(r.output.endswith(RED + b'Extract Linaro compiler failed. Check '
                                              b'errors above' + RESET + b'\n'), r.output)
            self.assertEqual(len(bed.tool_log('wget')), 1)
            r = bed.call('sdk_dl_sdks', input=b'3\nn\n', target=target)
            self.assertEqual(r.status, 0, r.output)
            self.assertTrue(r.output.endswith(
                GREEN + b'FastCV Computer Vision SDK found' + RESET + b'\n\n'
                b'Hexagon DSP SDK needed to be installed first\nHave you installed Hexagon DSP '
                b'SDK [Y/n]? \nPlease install Hexagon DSP SDK first\n'), r.output)


class Snpe(unittest.TestCase):
    def test_q_quits_before_any_adb(self):
        with Bed() as bed:
            target = prepare(bed, {'snpe-1.50.zip': snpe_zip()}, board=True)
            r = bed.call('sdk_dl_snpe', input=b'q\n', target=target)
            self.assertEqual(r.status, 0)
            self.assertEqual(bed.tool_log('adb'), [])

    def test_push_fails_without_a_board(self):
        with Bed() as bed:
            target = prepare(bed, {'snpe-1.50.zip': snpe_zip()})
            r = bed.call('sdk_dl_snpe', input=b'\n', target=target)
            self.assertEqual(r.status, 1)
            self.assertTrue(r.output.endswith(b'\n' + RED + b'Copy SNPE package to device '
                                              b'failed. Check errors above' + RESET + b'\n'),
                            r.output)
            self.assertEqual([a[0] for a in bed.tool_log('adb')],
                             ['kill-server', 'devices', 'push'])

    def test_library_copy_failure(self):
        with Bed() as bed:
            target = prepare(bed, {'snpe-1.50.zip': snpe_zip(with_libs=False)}, board=True)
            r = bed.call('sdk_dl_snpe', input=b'go\n', target=target)
            self.assertEqual(r.status, 1)
            self.assertIn(GREEN + b'Copy SNPE package to device ... done' + RESET, r.output)
            self.assertTrue(r.output.endswith(b'\n' + RED + b'Copy SNPE lib to /usr/lib failed. '
                                              b'Check errors above' + RESET + b'\n'), r.output)
            # The package was unpacked on the board; only the copy failed.
            self.assertTrue(os.path.isdir(os.path.join(bed.state, 'board/data/snpe-1.50/bin')))


class Fastcv(unittest.TestCase):
    def test_declined_runs_nothing(self):
        with Bed() as bed:
            target = prepare(bed, {'fastcv-installer-1.7.bin': INSTALLER % 0})
            for answer in (b'n\n', b'maybe\nNo\n', b''):
                r = bed.call('sdk_dl_fastcv', input=answer, target=target)
                self.assertEqual(r.status, 0)
                self.assertTrue(r.output.endswith(b'Please install Hexagon DSP SDK first\n'))
            self.assertEqual(bed.tool_log('sudo'), [])
            self.assertEqual(bed.tool_log('fastcv_installer'), [])

    def test_accepted_runs_the_installer_and_ends_with_the_box_even_when_it_fails(self):
        box = (GREEN + b'*' * 41 + b'\n          FastCV SDK setup finished\n' + b'*' * 41 +
               RESET + b'\n')
        for status in (0, 3):
            with self.subTest(installer_status=status), Bed() as bed:
                # A target with a blank shows that paths reach the shell quoted.
                target = prepare(bed, {'fastcv-installer-1.7.bin': INSTALLER % status},
                                 target=os.path.join(bed.tmp, 'my target') + '/')
                r = bed.call('sdk_dl_fastcv', input=b'y\n', target=target)
                self.assertEqual(r.status, 0, r.output)
                self.assertTrue(r.output.endswith(b'Continue to install FastCV Computer Vision '
                                                  b'SDK\nfastcv installer ran\n' + box), r.output)
                self.assertEqual(bed.tool_log('sudo'),
                                 [['chmod', '+x', target + '/SDKs/fastcv-installer-1.7.bin']])
                self.assertEqual(bed.tool_log('fastcv_installer'), [[]])


if __name__ == '__main__':
    unittest.main()
