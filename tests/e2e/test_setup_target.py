"""Target directory: the state file in HOME, the path prompt, the
confirmation and the directory probe."""

import os
import unittest

from ostrelle_testbed.bed import RESET, Bed, set_target, sign_in

PRODUCT_PROMPT = b'Select one number of product( 1 | 2 | 3 ...) to continue with: '
STATE = 'ostrelle_dir.txt'


def to_target(bed, **kw):
    s = bed.spawn(**kw)
    sign_in(s)
    s.expect(b'Successful authentication.' + RESET)
    return s


def state_file(bed):
    with open(os.path.join(bed.home, STATE), 'rb') as f:
        return f.read()


class TargetDirectory(unittest.TestCase):
    def test_empty_answer_takes_home_and_state_file_is_written(self):
        with Bed() as bed:
            s = to_target(bed)
            home = bed.home.encode()
            self.assertEqual(
                s.expect(': \n'),
                b'\n\nEnter absolute target directory for Image resources (overwrites existing '
                b'files, default: ' + home + b'/): \n')
            s.sendline('')
            self.assertEqual(s.expect('Proceed [Y/n]? '),
                             b"\nYou are about to install the SDK to '" + home
                             + b"/'. Proceed [Y/n]? ")
            s.sendline('Y')
            self.assertEqual(s.expect(PRODUCT_PROMPT)[:len('Y\nSetting it up ... done\n')],
                             b'Y\nSetting it up ... done\n')
            self.assertTrue(os.path.isdir(os.path.join(bed.home, 'files')))
            self.assertEqual(state_file(bed), home + b'/ \n')

    def test_relative_path_refused_and_slash_added_once(self):
        with Bed() as bed:
            s = to_target(bed)
            s.expect(': \n')
            s.sendline('data/work')
            got = s.expect(': \n')
            self.assertTrue(got.startswith(
                b'data/work\nYou are not entering an absolute path, please re-enter one.\n\n'
                b'Enter absolute target directory'), got)
            s.sendline(bed.target + '/')
            self.assertIn(b"install the SDK to '" + bed.target.encode() + b"/'.",
                          s.expect('Proceed [Y/n]? '))
            s.sendline('y')
            s.expect(PRODUCT_PROMPT)
            self.assertTrue(os.path.isdir(os.path.join(bed.target, 'files')))
            self.assertEqual(state_file(bed), bed.target.encode() + b'/ \n')

    def test_stored_path_accepted_skips_prompt_and_confirmation(self):
        with Bed() as bed:
            with open(os.path.join(bed.home, STATE), 'w') as f:
                f.write(bed.target + '/ \n')
            s = to_target(bed)
            got = s.expect('[Y/n]? ')
            self.assertEqual(got, b'\n\nTarget directory stored: ' + bed.target.encode()
                             + b'/\nContinue with this path(overwrites existing files) [Y/n]? ')
            s.sendline('y')
            got = s.expect(PRODUCT_PROMPT)
            self.assertTrue(got.startswith(b'y\nSetting it up ... done\n'), got)
            self.assertNotIn(b'Enter absolute', got)
            self.assertTrue(os.path.isdir(os.path.join(bed.target, 'files')))

    def test_stored_path_declined_becomes_the_default(self):
        with Bed() as bed:
            stored = os.path.join(bed.tmp, 'stored') + '/'
            with open(os.path.join(bed.home, STATE), 'w') as f:
                f.write(stored + ' \n')
            s = to_target(bed)
            s.expect('[Y/n]? ')
            s.sendline('no')
            self.assertIn(b'default: ' + stored.encode() + b'): \n', s.expect(': \n'))
            s.sendline('')
            self.assertIn(b"install the SDK to '" + stored.encode() + b"'", s.expect('[Y/n]? '))
            s.sendline('y')
            s.expect(PRODUCT_PROMPT)
            self.assertTrue(os.path.isdir(stored + 'files'))

    def test_mkdir_failure_prints_its_error_and_starts_over(self):
        with Bed() as bed:
            blocker = os.path.join(bed.tmp, 'plainfile')
            open(blocker, 'w').close()
            s = to_target(bed)
            set_target(s, blocker + '/sub')
            got = s.expect('Retry target directory setup\n')
            self.assertIn(b'mkdir: ', got)
            self.assertTrue(got.endswith(b'Cannot create target directory, check error message '
                                         b'above\n\nRetry target directory setup\n'), got)
            # Starts again from HOME: no state file was written.
            self.assertIn(b'default: ' + bed.home.encode() + b'/): \n', s.expect(': \n'))
            self.assertFalse(os.path.exists(os.path.join(bed.home, STATE)))
            s.sendline(bed.target)
            s.expect('[Y/n]? ')
            s.sendline('y')
            s.expect(PRODUCT_PROMPT)
            self.assertEqual(state_file(bed), bed.target.encode() + b'/ \n')

    def test_declining_ends_with_minus_one(self):
        with Bed() as bed:
            s = to_target(bed)
            set_target(s, bed.target, confirm='n')
            self.assertEqual(s.wait(), 255)
            self.assertTrue(s.output.endswith(
                b"Proceed [Y/n]? n\nSetup Stopped\nFailed to set up SDK\nExit ostrelle now ...\n"),
                s.output)
            self.assertFalse(os.path.exists(bed.target))

    def test_confirmation_asks_again_until_yes_or_no(self):
        with Bed() as bed:
            s = to_target(bed)
            set_target(s, bed.target, confirm='maybe')
            question = b"You are about to install the SDK to '" + bed.target.encode() + \
                b"/'. Proceed [Y/n]? "
            self.assertEqual(s.expect('[Y/n]? '), b"maybe\nUnknown answer 'maybe', please answer "
                             b'y or n\n' + question)
            s.sendline('\x1b[A')
            self.assertTrue(s.expect('[Y/n]? ').endswith(
                b'Answer contained control characters, please type it again\n' + question))
            s.sendline('yes')
            s.expect(PRODUCT_PROMPT)
            self.assertTrue(os.path.isdir(os.path.join(bed.target, 'files')))

    def test_stored_path_without_slash_taken_with_enter(self):
        with Bed() as bed:
            with open(os.path.join(bed.home, STATE), 'w') as f:
                f.write(bed.target + ' \n')
            s = to_target(bed)
            self.assertIn(b'Target directory stored: ' + bed.target.encode() + b'/\n',
                          s.expect('[Y/n]? '))
            s.sendline('')
            got = s.expect(PRODUCT_PROMPT)
            self.assertTrue(got.startswith(b'\nSetting it up ... done\n'), got)
            self.assertTrue(os.path.isdir(os.path.join(bed.target, 'files')))
            self.assertFalse(os.path.exists(bed.target + 'files'))
            self.assertEqual(state_file(bed), bed.target.encode() + b'/ \n')

    def test_tilde_stands_for_home(self):
        with Bed() as bed:
            s = to_target(bed)
            set_target(s, '~/boards')
            s.expect(PRODUCT_PROMPT)
            self.assertIn(b"install the SDK to '" + bed.home.encode() + b"/boards/'.", s.output)
            self.assertTrue(os.path.isdir(os.path.join(bed.home, 'boards', 'files')))

    def test_quotes_and_commands_in_the_path_stay_text(self):
        with Bed() as bed:
            odd = os.path.join(bed.tmp, "it's $(touch pwned) `touch pwned2`; x")
            bed.put_list('kt1', '_le_', ['r1 ' + 'a' * 64])
            s = to_target(bed)
            set_target(s, odd)
            s.expect(PRODUCT_PROMPT)
            s.sendline('1')
            s.expect('continue with: ')
            s.sendline('1')
            s.expect('Selected version: r1\n')
            self.assertTrue(os.path.isfile(os.path.join(odd, 'files', 'kt1_le_release_ver.txt')))
            self.assertEqual(bed.tool_log('wget')[-1][10], odd + '/files/')
            self.assertEqual(state_file(bed), odd.encode() + b'/ \n')
            for name in ('pwned', 'pwned2'):
                self.assertFalse(os.path.exists(os.path.join(bed.tmp, name)))
                self.assertFalse(os.path.exists(os.path.join(bed.home, name)))

    def test_missing_home_ends_with_status_1(self):
        with Bed() as bed:
            s = to_target(bed, env={'HOME': None})
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(b'HOME is not set, cannot find the target '
                                              b'directory file. Exit ostrelle now ...\n'),
                            s.output)

    def test_end_of_input_at_path_or_confirmation(self):
        with Bed() as bed:
            s = to_target(bed)
            s.expect(': \n')
            s.eof()
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(b'set_target_path: get target dir internal error\n'
                                              b'\nNo more input, exit ostrelle now ...\n'))
        with Bed() as bed:
            s = to_target(bed)
            s.expect(': \n')
            s.sendline('/x')
            s.expect('[Y/n]? ')
            s.eof()
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(b'set_target_path: proceed dir internal error\n'
                                              b'\nNo more input, exit ostrelle now ...\n'))

    def test_end_of_input_at_product(self):
        with Bed() as bed:
            s = to_target(bed)
            set_target(s, bed.target)
            s.expect(PRODUCT_PROMPT)
            s.eof()
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(b'select_product: proceed dir internal error\n'
                                              b'\nNo more input, exit ostrelle now ...\n'))


if __name__ == '__main__':
    unittest.main()
