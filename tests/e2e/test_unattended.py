"""Runs with commands: every answer as an option, the commands in order, exit
statuses that say how the run went, the dry run and the run's log."""

import glob
import json
import os
import re
import unittest

from ostrelle_testbed import storage
from ostrelle_testbed.soak import receipt_differences, soak
from ostrelle_testbed.bed import Bed
from ostrelle_testbed.release_files import release_package, sha256
from flashing import board_in_download_mode
from unattended_runs import (PASSWORD, answers, catalogue, password_file, result_line, run,
                             run_apart)

def the_log(bed):
    logs = glob.glob(os.path.join(bed.home, '.local', 'state', 'ostrelle', 'logs', '*.log'))
    assert len(logs) == 1, logs
    with open(logs[0]) as f:
        return f.read()


class Unattended(unittest.TestCase):
    def test_download_and_flash_on_le_and_lu_reach_the_board(self):
        for product, tag, platform, release in (('kt1', '_le_', None, 'kt1-le-1'),
                                                ('kt6', '_lu_', 'LU', 'kt6-lu-1')):
            with self.subTest(product=product), Bed() as bed:
                catalogue(bed, product, tag, release,
                          flashable='lu' if tag == '_lu_' else 'le')
                board_in_download_mode(bed, node='/dev/ttyUSB0', boot_after_polls=1,
                                       progress_seconds=0.2)
                status, out = run(bed, ['--yes'] + answers(bed, product, platform) +
                                  ['download', 'flash'])
                self.assertEqual(status, 0, out)
                self.assertIn(b'Robotics device is ready to use.', out)
                # Into a pipe: fh_loader's progress as lines, one per ten
                # percent; the unpack as one line; no probe's complaint, no
                # adb daemon notice.
                self.assertNotIn(b'\r', out)
                self.assertIn(b'fh_loader: erasing ', out)
                self.assertEqual(len(re.findall(rb'^fh_loader: \S+ .* +\d+%$', out, re.M)),
                                 11 * len(bed.tool_log('fh_loader')), out)
                self.assertRegex(out, rb'\nunzip: \d+ entries unpacked into %s/\n'
                                 % re.escape(bed.target.encode()))
                for noise in (b'inflating:', b'.ostrelle-unpack', b'ls: cannot access',
                              b'daemon', b'No such file'):
                    self.assertNotIn(noise, out)
                # The adb server the run started is stopped at its end.
                adb = bed.tool_log('adb')
                self.assertEqual((adb[0], adb[-1]), (['start-server'], ['kill-server']))
                self.assertFalse(os.path.exists(os.path.join(bed.state, 'adb_server_running')))
                self.assertEqual(result_line(out), {
                    'status': 0, 'commands': [{'command': 'download', 'result': 'pass'},
                                              {'command': 'flash', 'result': 'pass'}]})
                # One sign-in, with the password from the file.
                posts = bed.mirror.requests_for('/ldap.php', method='POST')
                self.assertEqual(len(posts), 1)
                self.assertIn(b'pwd=' + PASSWORD.encode(), posts[0].body)
                self.assertTrue(bed.tool_log('fh_loader'))
                # No colour escapes into a pipe.
                self.assertNotIn(b'\x1b[', out)

    def test_flash_only_a_part_without_a_question(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1', flashable='le')
            board_in_download_mode(bed, node='/dev/ttyUSB0')
            status, out = run(bed, answers(bed, 'kt1') + ['download', 'flash', '--only', 'cdt'])
            self.assertEqual(status, 0, out)
            self.assertNotIn(b"Enter 'y' to continue", out)
            self.assertIn(b'Ostrelle flashing CDT...\nInitializing flash...\n', out)
            self.assertIn(b'Waiting 10s for device to reboot ...\nFlashing cdt ... done\n', out)
            self.assertEqual(result_line(out)['commands'][1],
                             {'command': 'flash', 'result': 'pass'})
            # The release has an eMMC build: the CDT alone went to its place.
            held = storage.storage(bed.state)
            self.assertEqual([(e['label'], e['file']) for e in held.values()], [('cdt', 'cdt.bin')])

            # NON-HLOS onto a board that stays in download mode: the run fails.
            board_in_download_mode(bed, node='/dev/ttyUSB0', reset_leaves_download=False)
            status, out = run(bed, answers(bed, 'kt1') + ['flash', '--only', 'non-hlos'])
            self.assertEqual(status, 1, out)
            self.assertIn(b'You may need to flash HLOS image in order to boot up the device\n',
                          out)
            self.assertEqual(result_line(out)['commands'], [{'command': 'flash',
                                                             'result': 'fail'}])
            self.assertEqual(sorted(e['label'] for e in storage.storage(bed.state).values()),
                             ['dsp_a', 'modem_a'])

            # A board lost in the middle of the write, not back within the
            # wait, has left download mode without restarting: no success,
            # and the lab's status.
            board_in_download_mode(bed, node='/dev/ttyUSB0', lose_probability=1,
                                   lost_return_seconds=None)
            status, out = run(bed, answers(bed, 'kt1') + ['flash', '--only', 'cdt'])
            self.assertEqual(status, 6, out)
            self.assertIn(b'Download Fail:Could not read from port /dev/ttyUSB0\n', out)
            self.assertIn(b'Waiting 10s for device to reboot ...\n'
                          b'fh_loader failed: the cdt files may be written only in part\n', out)
            self.assertNotIn(b'Flashing cdt ... done', out)
            self.assertTrue(storage.storage(bed.state)['0:730146'].get('partial'))

    def test_lost_board_is_flashed_again_when_it_is_back(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1', flashable='le')
            # Half of the writes lose the board, which is back in download
            # mode on its USB path moments later; with this seed the first
            # attempt loses it and the second flashes it whole.
            board_in_download_mode(bed, node='/dev/ttyUSB0', lose_probability=0.5,
                                   lost_return_seconds=0.2, seed=0)
            status, out = run(bed, answers(bed, 'kt1') + ['--retries', '2', 'download', 'flash'])
            self.assertEqual(status, 0, out)
            self.assertIn(b'Download Fail:Could not read from port /dev/ttyUSB0\n', out)
            self.assertIn(b'Attempt 1 of 3 failed: ', out)
            # The failed attempt ended at its failed step: the next one
            # loads the programmer again, on the board found anew.
            again = out.index(b'Flashing again: attempt 2 of 3\n')
            self.assertIn(b'Device found: /dev/ttyUSB0 (USB 1-2, serial 7A3C11F0)\n'
                          b'Flashing again: attempt 2 of 3\nOstrelle flashing full build...\n'
                          b'Initializing flash ...\n', out)
            self.assertEqual(out.count(b'Waiting for device to reboot ...'), 1)
            self.assertIn(b'Robotics device is ready to use.', out[again:])
            self.assertIn(b'The board booted on attempt 2 of 3\n', out)
            self.assertEqual(len(bed.tool_log('QSaharaServer')), 2)
            self.assertEqual(storage.differences(bed.state, os.path.join(bed.target, 'kt1-le-1'),
                                                 memory='eMMC'), [])
            self.assertEqual(result_line(out)['status'], 0)
            self.assertIn('flash attempt 2 of 3', the_log(bed))

            # A board that never comes back: the lab's status once the wait
            # is over, without another attempt.
            board_in_download_mode(bed, node='/dev/ttyUSB0', lose_probability=1,
                                   lost_return_seconds=None)
            status, out = run(bed, answers(bed, 'kt1') + ['--retries=2', '--board-timeout=1',
                                                          'flash'])
            self.assertEqual(status, 6, out)
            self.assertIn(b'Attempt 1 of 3 failed: the board was lost\n'
                          b'Waiting up to 1s for the board to come back in download mode on '
                          b'USB 1-2 ...\n'
                          b'The board did not come back in download mode on USB 1-2 within 1s\n',
                          out)
            self.assertNotIn(b'Waiting for device to reboot', out)
            self.assertEqual(result_line(out)['status'], 6)

    def test_short_soak_every_flash_ends_booted_with_the_release(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1', flashable='le')
            options = answers(bed, 'kt1')
            status, out = run(bed, options + ['download'])
            self.assertEqual(status, 0, out)
            # 5% of the images written lose the board; with this seed three
            # of the 20 flashes lose it and need another attempt.
            tally = soak(bed, options, os.path.join(bed.target, 'kt1-le-1'), 20, 2, seed=40,
                         memory='eMMC', receipt_check=receipt_differences)
            self.assertEqual((tally.flashes, tally.good), (20, 20), tally.bad)
            self.assertEqual(sum(n for attempts, n in tally.attempts.items() if attempts > 1), 3,
                             tally.attempts)

    def test_json_events_on_standard_output_end_with_the_result(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1', flashable='le')
            board_in_download_mode(bed, node='/dev/ttyUSB0', progress_seconds=0.2)
            status, out, err = run_apart(bed, answers(bed, 'kt1') + ['--json', 'download', 'flash'])
            self.assertEqual(status, 0, err)
            events = [json.loads(line) for line in out.decode().splitlines()]
            self.assertEqual(events[-1], {'event': 'result', 'status': 0, 'commands': [
                {'command': 'download', 'result': 'pass'},
                {'command': 'flash', 'result': 'pass'}]})
            self.assertEqual([e['phase'] for e in events if e.get('command') == 'download'],
                             ['downloading', 'verifying', 'unpacking'])
            flash = [e for e in events if e.get('command') == 'flash']
            self.assertEqual(flash[0], {'event': 'phase', 'command': 'flash', 'board': '7A3C11F0',
                                        'usb_path': '1-2', 'phase': 'loading', 'attempt': 1})
            self.assertIn('writing build', [e['phase'] for e in flash if e['event'] == 'phase'])
            self.assertEqual(flash[-1], {'event': 'board', 'command': 'flash',
                                         'board': '7A3C11F0', 'usb_path': '1-2',
                                         'result': 'booted', 'attempts': 1})
            # The messages are on standard error, the result line too is an event.
            self.assertIn(b'Robotics device is ready to use.', err)
            self.assertNotIn(b'ostrelle-result', out + err)

            # Flashed, never booted: status 7, said in the events with the reason.
            board_in_download_mode(bed, node='/dev/ttyUSB0', boot_after_polls=None)
            status, out, err = run_apart(bed, answers(bed, 'kt1') + ['--json', 'flash'])
            self.assertEqual(status, 7, err)
            events = [json.loads(line) for line in out.decode().splitlines()]
            self.assertEqual(events[-2]['result'], 'not booted')
            self.assertEqual(events[-1], {
                'event': 'result', 'status': 7,
                'commands': [{'command': 'flash', 'result': 'fail'}],
                'reason': 'There is something wrong happened in Boot up process'})

    def test_failing_download_gives_its_status_and_skips_the_flash(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            bed.mirror.fail(bed.list_url_path('kt1', '_le_').replace(
                'kt1_le_release_ver.txt', 'kt1-le-1.zip'))
            board_in_download_mode(bed, node='/dev/ttyUSB0')
            status, out = run(bed, answers(bed, 'kt1') + ['download', 'flash'])
            self.assertEqual(status, 1, out)
            self.assertEqual(result_line(out)['commands'], [
                {'command': 'download', 'result': 'fail'},
                {'command': 'flash', 'result': 'not run'}])
            self.assertEqual(bed.tool_log('QSaharaServer'), [])
            self.assertEqual(bed.tool_log('fh_loader'), [])

    def test_unanswered_question_stops_without_reading_the_pipe(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            args = [a for a in answers(bed, 'kt1') if a not in ('--release', 'latest')]
            read_end, write_end = os.pipe()
            os.write(write_end, b'1\ny\n')
            try:
                status, out = run(bed, args + ['download'], stdin=read_end)
                self.assertEqual(status, 2, out)
                self.assertIn(b'give --release NAME', out)
                # Every byte is still in the pipe.
                os.set_blocking(read_end, False)
                self.assertEqual(os.read(read_end, 100), b'1\ny\n')
            finally:
                os.close(read_end)
                os.close(write_end)
            self.assertEqual((result_line(out)['status'], result_line(out)['stopped_at']),
                             (2, 'options'))
            # Every missing option and a platform that does not fit, in one
            # line, before the banner, the host check and any sign-in.
            status, out = run(bed, ['--product', 'kt6', '--platform', 'LE', 'download', 'flash'])
            self.assertEqual(status, 2, out)
            refusal = out.split(b'\n')[0]
            for named in (b'--email', b'--password-file', b'--target', b'--release',
                          b"platform 'LE' does not fit kt6"):
                self.assertIn(named, refusal)
            self.assertEqual(result_line(out), {'status': 2, 'stopped_at': 'options', 'commands': [
                {'command': 'download', 'result': 'not run'},
                {'command': 'flash', 'result': 'not run'}]})
            self.assertEqual(len(out.split(b'\n')), 3, out)
            self.assertEqual(bed.mirror.requests_for('/ldap.php'), [])
            self.assertEqual(bed.tool_log('apt-cache'), [])

    def test_wrong_password_is_tried_once(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            bed.mirror.set_ldap_reply(b'{"status": -1}\n')
            status, out = run(bed, answers(bed, 'kt1') + ['download'])
            self.assertEqual(status, 3, out)
            self.assertEqual(len(bed.mirror.requests_for('/ldap.php', method='POST')), 1)
            self.assertEqual(result_line(out)['stopped_at'], 'sign-in')
            # One line says what happened; no words of a dialogue that would try again.
            self.assertIn(b'The sign-in as ci@lab.example was refused.\n', out)
            self.assertNotIn(b'try again', out)
            self.assertNotIn(b'Need a valid user account', out)
            # A password file others may read is refused before anything is sent.
            args = answers(bed, 'kt1')
            os.chmod(os.path.join(bed.tmp, 'velmora-password'), 0o644)
            status, out = run(bed, args + ['download'])
            self.assertEqual(status, 2, out)
            self.assertIn(b'is readable by group or others', out)
            self.assertEqual(len(bed.mirror.requests_for('/ldap.php', method='POST')), 1)

    def test_list_releases_as_json_and_refused_names(self):
        with Bed() as bed:
            bed.put_list('kt5', '_lu2.0_', ['r2 ' + 'a' * 64, 'r1 ' + 'b' * 64])
            status, out = run(bed, ['list', 'releases', '--product', 'KT5', '--platform',
                                    'lu2.0', '--json'])
            self.assertEqual(status, 0, out)
            self.assertEqual(json.loads(out), {
                'product': 'kt5', 'platform': 'LU2.0',
                'releases': [{'name': 'r2', 'sha256': 'a' * 64, 'latest': True},
                             {'name': 'r1', 'sha256': 'b' * 64, 'latest': False}]})
            # No host preparation, no sign-in.
            self.assertEqual(bed.tool_log('sudo'), [])
            self.assertEqual(bed.mirror.requests_for('/ldap.php'), [])
            status, out = run(bed, ['list', 'platforms', '--product', 'kt6', '--json'])
            self.assertEqual((status, json.loads(out)), (0, {'product': 'kt6',
                                                             'platforms': ['LU']}))
            status, out = run(bed, ['list', 'releases', '--product', 'kt6', '--platform', 'LE'])
            self.assertEqual(status, 2)
            self.assertIn(b"platform 'LE' does not fit kt6 (LU)", out)

    def test_dry_flash_shows_the_sequence_and_touches_nothing(self):
        with Bed() as bed:
            pkg = catalogue(bed, 'kt1', '_le_', 'kt1-le-1', flashable='le')
            # A dry download names what would change, in the user's own
            # paths: neither the staging directory nor a status echo.
            status, out = run(bed, ['--dry-run'] + answers(bed, 'kt1') + ['download'])
            self.assertEqual(status, 0, out)
            self.assertIn(('\nwould run: mkdir -p %s/files/\n' % bed.target).encode(), out)
            self.assertIn(('\nwould unpack %s/kt1-le-1.zip into %s/\n'
                           % (bed.target, bed.target)).encode(), out)
            for internal in (b'.ostrelle-unpack', b'echo $?', b'unzip'):
                self.assertNotIn(internal, out)
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'kt1-le-1')))
            # The release is on disk already, as command "1" left it.
            status, out = run(bed, ['--yes'] + answers(bed, 'kt1') + ['download'])
            self.assertEqual(status, 0, out)
            for name in ('sudo', 'wget', 'QSaharaServer', 'fh_loader', 'unzip'):
                try:
                    os.remove(os.path.join(bed.logs, name + '.log'))
                except FileNotFoundError:
                    pass
            board_in_download_mode(bed, node='/dev/ttyUSB0')
            status, out = run(bed, ['--dry-run'] + answers(bed, 'kt1') + ['flash'])
            self.assertEqual(status, 0, out)
            rel = os.path.join(bed.target, 'kt1-le-1')
            self.assertIn(('would run: sudo QSaharaServer -p /dev/ttyUSB0 -s 13:%s/full_build/'
                           'emmc/prog_firehose_ddr.elf > %s/QSahara_fullbuild.log'
                           % (rel, rel)).encode(), out)
            self.assertIn(('would run: sudo fh_loader --port=/dev/ttyUSB0 --erase=0 --noprompt '
                           '--showpercentagecomplete --memoryname=eMMC --loglevel=1 '
                           '--porttracename=%s/erase0.log' % rel).encode(), out)
            self.assertIn(b'Device found: /dev/ttyUSB0', out)
            for name in ('sudo', 'QSaharaServer', 'fh_loader', 'unzip'):
                self.assertEqual(bed.tool_log(name), [], name)
            self.assertNotIn(b'echo $?', out)
            # Only the list was downloaded, no package.
            self.assertTrue(all(a[-1].endswith("release_ver.txt'") or
                                a[-1].endswith('release_ver.txt') or '/ldap.php' in ' '.join(a)
                                for a in bed.tool_log('wget')), bed.tool_log('wget'))
            del pkg

    def test_package_from_a_file_instead_of_the_server(self):
        with Bed() as bed:
            # The server lists another release only; a lab's own build is used.
            listed_pkg = catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            pkg = release_package('labbuild-7')
            path = os.path.join(bed.tmp, 'labbuild-7.zip')
            with open(path, 'wb') as f:
                f.write(pkg)
            args = [a for a in answers(bed, 'kt1') if a not in ('--release', 'latest')]
            # Not a release of the list and no digest given: nothing vouches
            # for it, so nothing of it is unpacked.
            status, out = run(bed, args + ['--package', path, 'download'])
            self.assertEqual(status, 2, out)
            self.assertIn(b'has no digest to be checked against: give its SHA-256 with '
                          b'--package-sha256 HEX', out)
            # A digest that is not the file's.
            status, out = run(bed, args + ['--package', path, '--package-sha256', 'ab' * 32,
                                           'download'])
            self.assertEqual(status, 2, out)
            self.assertIn(('has the SHA-256 %s, not %s' % (sha256(pkg), 'ab' * 32)).encode(), out)
            self.assertEqual(bed.tool_log('unzip'), [])
            self.assertFalse(os.path.exists(os.path.join(bed.target, 'labbuild-7')))

            status, out = run(bed, args + ['--package', path, '--package-sha256',
                                           sha256(pkg).upper(), 'download'])
            self.assertEqual(status, 0, out)
            with open(os.path.join(bed.target, 'labbuild-7', '.ostrelle-complete')) as f:
                self.assertEqual(f.read().split('\n')[0], sha256(pkg))
            lists = len(bed.mirror.requests_for(bed.list_url_path('kt1', '_le_')))

            # A copy of a listed release's package is vouched for by the list.
            listed = os.path.join(bed.tmp, 'kt1-le-1.zip')
            with open(listed, 'wb') as f:
                f.write(listed_pkg)
            status, out = run(bed, args + ['--package', listed, 'download'])
            self.assertEqual(status, 0, out)
            self.assertEqual(len(bed.mirror.requests_for(bed.list_url_path('kt1', '_le_'))),
                             lists + 1)

    def test_the_log_holds_the_command_lines_and_no_password(self):
        with Bed() as bed:
            catalogue(bed, 'kt1', '_le_', 'kt1-le-1')
            status, out = run(bed, answers(bed, 'kt1') + ['download'])
            self.assertEqual(status, 0, out)
            log = the_log(bed)
            self.assertIn('answer release (option): kt1-le-1', log)
            self.assertIn('run: unzip -o %s/kt1-le-1.zip -d %s/' % (bed.target, bed.target), log)
            self.assertIn('command download: ok', log)
            self.assertIn('exit status 0', log)
            self.assertNotIn(PASSWORD, log)
            logs = os.path.dirname(glob.glob(os.path.join(bed.home, '.local', 'state', 'ostrelle',
                                                          'logs', '*.log'))[0])
            self.assertEqual(os.stat(logs).st_mode & 0o777, 0o700)


if __name__ == '__main__':
    unittest.main()
