"""The Hexagon DSP SDK installation, called directly: the Linaro compiler from
the scenario's mirror, the vendor package unpacked and its installer run,
the installation-path dialogue and the move of the compiler into the SDK."""

import io
import os
import tarfile
import unittest
import zipfile

from ostrelle_testbed.bed import GREEN, RED, RESET, Bed

TESTBED_HTTP = os.environ.get('OSTRELLE_TESTBED_HTTP', 'http://127.0.0.1:8480')

LINARO = 'gcc-linaro-4.9-2014.11-x86_64_aarch64-linux-gnu'
LINARO_PATH = ('/archive/14.11/components/toolchain/binaries/aarch64-linux-gnu/' + LINARO +
               '.tar.xz')

# The vendor installer: creates the SDK below the fake state directory, in a
# version directory one level below the path the user is asked for.
INSTALLER = b'''#!/bin/sh
python3 -m ostrelle_testbed.log_args hexagon_installer "$@"
mkdir -p "$OSTRELLE_FAKE_STATE/Qualcomm/Hexagon_SDK/3.5.2/tools"
echo "Hexagon SDK installed"
'''

PROMPT = b'Enter the absolute path where you installed Hexagon SDK (press Enter to quit): '
AGAIN = b'You are not entering an absolute path, please re-enter one.\n\n'


def tar_bytes(mode, members):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode=mode) as tar:
        for name, data, perm in members:
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), perm
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def prepare(bed, target=None):
    """Puts the compiler on the mirror and the vendor package (a zip holding
    a tar holding a not yet executable installer) in the SDK directory."""
    target = target or bed.target + '/'
    os.makedirs(target + 'SDKs')
    archive = tar_bytes('w:xz', [(LINARO + '/bin/aarch64-linux-gnu-gcc', b'gcc\n', 0o755)])
    bed.mirror.put_path(LINARO_PATH, archive)
    with zipfile.ZipFile(target + 'SDKs/hexagon_3.5.2.zip', 'w') as z:
        z.writestr('Hexagon_3.5.2.tar',
                   tar_bytes('w', [('qualcomm_hexagon_sdk_3_5_2.bin', INSTALLER, 0o644)]))
    return target, archive


class Hexagon(unittest.TestCase):
    def test_installs_with_the_path_typed_with_or_without_the_final_slash(self):
        for slash in ('', '/'):
            with self.subTest(slash=slash), Bed() as bed:
                # A target with a blank shows that paths reach the shell quoted.
                target, _ = prepare(bed, os.path.join(bed.tmp, 'my target') + '/')
                sdk = os.path.join(bed.state, 'Qualcomm', 'Hexagon_SDK')
                r = bed.call('sdk_dl_hexagon', input='Qualcomm\n' + sdk + slash + '\n',
                             target=target)
                self.assertEqual(r.status, 0, r.output)
                self.assertIn(GREEN + b'Extract Linaro compiler ... done' + RESET, r.output)
                self.assertIn(b'Hexagon SDK installed\n' + PROMPT + AGAIN + PROMPT +
                              b'\n' + GREEN + b'Copy Linaro compiler to Hexagon SDK tools ... '
                              b'done' + RESET + b'\n' + GREEN + b'*' * 41 +
                              b'\n         Hexagon DSP SDK is ready\n' + b'*' * 41 + RESET + b'\n',
                              r.output)
                self.assertEqual(bed.tool_log('wget'), [[
                    '--retry-connrefused', '-t', '5', '-T', '30', '-q', '-c', '--passive-ftp'] +
                    bed.tls_args() + ['--show-progress', '-P', target + 'SDKs/',
                    TESTBED_HTTP + LINARO_PATH]])
                self.assertEqual(bed.tool_log('sudo'), [
                    ['chmod', '+x', target + 'SDKs/qualcomm_hexagon_sdk_3_5_2.bin']])
                self.assertEqual(bed.tool_log('hexagon_installer'), [[]])
                self.assertTrue(os.path.isfile(os.path.join(
                    sdk, '3.5.2/tools/linaro64/bin/aarch64-linux-gnu-gcc')))
                self.assertFalse(os.path.exists(target + 'SDKs/linaro64'))
                self.assertTrue(os.path.isfile(target + 'SDKs/' + LINARO + '.tar.xz'))

    def test_enter_and_end_of_input_stop_with_the_compiler_left_in_place(self):
        for answer, last in ((b'\n', b'Need to enter the installation path of Hexagon SDK\n'),
                             (b'', b'sdk_dl_hexagon: get hexagon sdk dir internal error\n')):
            with self.subTest(answer=answer), Bed() as bed:
                target, _ = prepare(bed)
                r = bed.call('sdk_dl_hexagon', input=answer, target=target, timeout=60)
                self.assertEqual(r.status, 1, r.output)
                self.assertTrue(r.output.endswith(b'installed\n' + PROMPT + last), r.output)
                self.assertTrue(os.path.isdir(target + 'SDKs/linaro64/bin'))

    def test_move_fails_without_a_tools_directory_below_the_path(self):
        with Bed() as bed:
            target, _ = prepare(bed)
            # One level too deep: no "*/tools/" below it.
            path = os.path.join(bed.state, 'Qualcomm', 'Hexagon_SDK', '3.5.2')
            r = bed.call('sdk_dl_hexagon', input=path + '\n', target=target)
            self.assertEqual(r.status, 1)
            self.assertTrue(r.output.endswith(b'\n' + RED + b'Copy Linaro compiler to Hexagon SDK '
                                              b'tools failed. Check errors above' + RESET +
                                              b'\n'), r.output)
            self.assertTrue(os.path.isdir(target + 'SDKs/linaro64'))

    def test_a_partial_archive_is_continued(self):
        with Bed() as bed:
            target, archive = prepare(bed)
            half = len(archive) // 2
            with open(target + 'SDKs/' + LINARO + '.tar.xz', 'wb') as f:
                f.write(archive[:half])
            r = bed.call('sdk_dl_hexagon', input=b'\n', target=target)
            self.assertIn(GREEN + b'Extract Linaro compiler ... done' + RESET, r.output)
            self.assertEqual([q.range for q in bed.mirror.requests_for(LINARO_PATH, 'GET')],
                             ['bytes=%d-' % half])
            with open(target + 'SDKs/' + LINARO + '.tar.xz', 'rb') as f:
                self.assertEqual(f.read(), archive)


if __name__ == '__main__':
    unittest.main()
