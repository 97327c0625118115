"""Product, platform and release choice: the list fetched from the
resource server, how it is offered and how a release is picked."""

import os
import unittest

from ostrelle_testbed.bed import GREEN, RED, RESET, TESTBED_HTTPS, YELLOW, Bed, set_target, sign_in

SUM = 'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855'
BOX = (b'\n' + GREEN + b'-' * 56 + RESET + b'\n'
       + GREEN + b'SDK has been successfully set up and is ready to be used' + RESET + b'\n'
       + GREEN + b"Type 'help' for commands" + RESET + b'\n'
       + GREEN + b'-' * 56 + RESET + b'\n')
PROMPT_TAIL = b') to continue with: '
LE_HELP = (b'commands:\nhelp = Show usage help for LE platform\n1 = Download LE resources\n'
           b'2 = Flash full build\n3 = Download LE SDK toolchain\nq = exit ostrelle\n')
LU_HELP = (b'commands:\nhelp = Show usage help for LU platform\n'
           b'1 = Download LU resources and generate system.img with current release\n'
           b'2 = Flash full build (require system.img generation first)\nq = exit ostrelle\n')


def releases(n):
    return ['rel-%d.0 %s' % (n - i, SUM) for i in range(n)]


def to_product(bed):
    s = bed.spawn()
    sign_in(s)
    set_target(s, bed.target)
    s.expect('to continue with: ')
    return s


def wget_list_args(bed, product, tag):
    return ['--retry-connrefused', '-t', '5', '-T', '30', '-q', '-c', '--passive-ftp'] + \
        bed.tls_args() + ['-P', bed.target + '/files/',
            TESTBED_HTTPS + '/uploads/web/ostrelle/%s/sdk/%s%srelease_ver.txt' % (product, product, tag)]


def help_and_quit(test, s, listing, prompt_seen=False):
    if not prompt_seen:
        s.expect('> ')
    s.sendline('help')
    s.expect(listing)
    s.sendline('q')
    test.assertEqual(s.wait(), 0)


class Release(unittest.TestCase):
    def test_five_releases_prompt_retry_and_fifth_selected(self):
        with Bed() as bed:
            bed.put_list('kt6', '_lu_', releases(5))
            s = to_product(bed)
            s.sendline('6')
            got = s.expect(PROMPT_TAIL)
            self.assertEqual(
                got, b'6\n' + YELLOW + b'You chose KT6 product' + RESET + b'\n'
                b'Use platform: LU platform\nChecking current versions of release ...\n'
                b'Available versions: \n1: rel-5.0 (latest version)\n2: rel-4.0\n3: rel-3.0\n'
                b'4: rel-2.0\n5: rel-1.0\n\nRecommended version: rel-5.0\n\n'
                b'Select one number of available version ( 1 | 2 | 3 ...) to continue with: ')
            s.sendline('01')
            self.assertEqual(s.expect(PROMPT_TAIL),
                             b"01\nUnknown version '01', please pick one from available versions\n"
                             b'Select one number of available version ( 1 | 2 | 3 ...) to '
                             b'continue with: ')
            s.sendline('6')
            s.expect(PROMPT_TAIL)
            s.sendline('12345678')
            self.assertIn(b'Answer too long, at most 7 characters\n', s.expect(PROMPT_TAIL))
            s.sendline('   5')
            self.assertEqual(s.expect(BOX), b'   5\nSelected version: rel-1.0\n' + BOX)
            self.assertEqual(bed.tool_log('wget')[-1], wget_list_args(bed, 'kt6', '_lu_'))
            help_and_quit(self, s, LU_HELP)

    def test_one_and_three_releases(self):
        for count, numbers in ((1, b'( 1 ) '), (3, b'( 1 | 2 | 3 ) ')):
            with Bed() as bed:
                bed.put_list('kt1', '_le_', releases(count))
                s = to_product(bed)
                s.sendline('1')
                got = s.expect(PROMPT_TAIL)
                self.assertIn(b'Use platform: LE platform\nChecking', got)
                self.assertIn(b'1: rel-%d.0 (latest version)\n' % count, got)
                self.assertIn(b'\nRecommended version: rel-%d.0\n\n' % count, got)
                self.assertTrue(got.endswith(b'version ' + numbers + PROMPT_TAIL[2:]), got)
                s.sendline(str(count))
                s.expect(b'Selected version: rel-1.0\n' + BOX)
                help_and_quit(self, s, LE_HELP)

    def test_last_line_without_line_feed_is_not_offered(self):
        with Bed() as bed:
            bed.put_list('kt2', '_le_', ('r2 %s\nr1 %s' % (SUM, SUM)).encode())
            s = to_product(bed)
            s.sendline('2')
            got = s.expect(PROMPT_TAIL)
            self.assertIn(b'Available versions: \n1: r2 (latest version)\n\n', got)
            self.assertNotIn(b'r1', got)
            s.sendline('2')
            s.expect("Unknown version '2'")

    def test_crlf_list_keeps_names(self):
        with Bed() as bed:
            bed.put_list('mx7200', '_lu_', ('r2 %s\r\nr1 %s\r\n' % (SUM, SUM)).encode())
            s = to_product(bed)
            s.sendline('7')
            got = s.expect(PROMPT_TAIL)
            self.assertIn(b'1: r2 (latest version)\n2: r1\n', got)
            s.sendline('2')
            s.expect(b'Selected version: r1\n' + BOX)

    def test_release_names_that_leave_the_target_are_refused(self):
        with Bed() as bed:
            bed.put_list('kt1', '_le_', ['../../escape %s' % SUM, '.. %s' % SUM, 'r1 %s' % SUM])
            s = to_product(bed)
            s.sendline('1')
            s.expect(PROMPT_TAIL)
            for answer, name in (('1', b'../../escape'), ('2', b'..')):
                s.sendline(answer)
                got = s.expect(PROMPT_TAIL)
                self.assertIn(RED + b"Release name '" + name + b"' is not a usable file name, "
                              b"please pick another version" + RESET + b'\n', got)
                self.assertNotIn(b'Unknown version', got)
            s.sendline('3')
            s.expect(b'Selected version: r1\n' + BOX)

    def test_empty_list_ends_with_status_1(self):
        with Bed() as bed:
            bed.put_list('kt3gen2', '_lu_', b'')
            s = to_product(bed)
            s.sendline('3')
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(
                b'Checking current versions of release ...\n'
                b'No released version found\n\nExit ostrelle now ...\n'), s.output)

    def test_list_missing_on_the_server_still_starts_the_shell(self):
        with Bed() as bed:
            s = to_product(bed)
            s.sendline('5')
            got = s.expect('> ')
            self.assertIn(b'Use platform: LU2.0 platform\nChecking current versions of release '
                          b'...\n\n' + RED + b'Download config file failed.\nCheck target '
                          b'directory input or check the internet connection.' + RESET + b'\n',
                          got)
            self.assertEqual(bed.tool_log('wget')[-1], wget_list_args(bed, 'kt5n', '_lu2.0_'))
            help_and_quit(self, s, LU_HELP, prompt_seen=True)

    def test_stale_local_list_is_removed_not_continued(self):
        with Bed() as bed:
            os.makedirs(os.path.join(bed.target, 'files'))
            local = os.path.join(bed.target, 'files', 'kt1_le_release_ver.txt')
            with open(local, 'w') as f:
                f.write('old-release %s\nanother %s\n' % (SUM, SUM))
            data = bed.put_list('kt1', '_le_', ['new %s' % SUM])
            s = to_product(bed)
            s.sendline('1')
            got = s.expect(PROMPT_TAIL)
            self.assertIn(b'1: new (latest version)\n\n', got)
            with open(local, 'rb') as f:
                self.assertEqual(f.read(), data)
            path = bed.list_url_path('kt1', '_le_')
            self.assertEqual([r.range for r in bed.mirror.requests_for(path, 'GET')], [None])


class Platform(unittest.TestCase):
    def kt5(self, answers, tag, expected_output, listing):
        with Bed() as bed:
            bed.put_list('kt5', tag, releases(1))
            s = to_product(bed)
            s.sendline('4')
            got = s.expect(' platform: ')
            self.assertTrue(got.endswith(
                b'4\n' + YELLOW + b'You chose KT5 product' + RESET + b'\n'
                b'\nChoose a platform for Vavevuro KT5 device\n'
                b'Enter 1 to use LU platform, 2 to use LE platform: '), got)
            got = b''
            for n, answer in enumerate(answers):
                if n:
                    got += s.expect(' platform: ')
                s.sendline(answer)
            got += s.expect('Checking current versions of release ...\n')
            self.assertEqual(got, expected_output + b'\nChecking current versions of release ...\n')
            s.expect(PROMPT_TAIL)
            self.assertEqual(bed.tool_log('wget')[-1], wget_list_args(bed, 'kt5', tag))
            s.sendline('1')
            help_and_quit(self, s, listing)

    def test_kt5_lu_then_unknown_generation_is_asked_again(self):
        self.kt5(['1', '3', '2'], '_lu2.0_',
                 b'1\n' + YELLOW + b'You chose LU platform' + RESET + b'\n'
                 b'Enter 1 to use LU1.0 platform, 2 to use LU2.0 platform: 3\n'
                 b"Unknown LU platform '3', please pick 1 or 2\n"
                 b'Enter 1 to use LU1.0 platform, 2 to use LU2.0 platform: 2\n'
                 + YELLOW + b'You chose LU2.0 platform' + RESET + b'\n', LU_HELP)

    def test_kt5_le2(self):
        self.kt5(['2', '2'], '_le2.0_',
                 b'2\n' + YELLOW + b'You chose LE platform' + RESET + b'\n'
                 b'Enter 1 to use LE1.0 platform, 2 to use LE2.0 platform: 2\n'
                 + YELLOW + b'You chose LE2.0 platform' + RESET + b'\n', LE_HELP)

    def test_kt5_lu1(self):
        self.kt5(['1', '1'], '_lu1.0_',
                 b'1\n' + YELLOW + b'You chose LU platform' + RESET + b'\n'
                 b'Enter 1 to use LU1.0 platform, 2 to use LU2.0 platform: 1\n'
                 + YELLOW + b'You chose LU1.0 platform' + RESET + b'\n', LU_HELP)

    def test_kt5_wrong_answer_is_asked_again(self):
        self.kt5(['7', '2', '1'], '_le1.0_',
                 b"7\nUnknown platform '7', please pick 1 or 2\n"
                 b'Enter 1 to use LU platform, 2 to use LE platform: 2\n'
                 + YELLOW + b'You chose LE platform' + RESET + b'\n'
                 b'Enter 1 to use LE1.0 platform, 2 to use LE2.0 platform: 1\n'
                 + YELLOW + b'You chose LE1.0 platform' + RESET + b'\n', LE_HELP)

    def test_invalid_product_answers_are_asked_again(self):
        with Bed() as bed:
            bed.put_list('kt1', '_le_', releases(1))
            s = to_product(bed)
            ask = b'Select one number of product( 1 | 2 | 3 ...) to continue with: '
            for answer, refusal in (('8', b"Unknown product '8', please pick one of 1 to 7\n"),
                                    ('kt5', b"Unknown product 'kt5', please pick one of 1 to 7\n"),
                                    ('12345678', b'Answer too long, at most 7 characters\n')):
                s.sendline(answer)
                self.assertEqual(s.expect(ask), answer.encode() + b'\n' + refusal + ask)
            s.sendline('1')
            got = s.expect(PROMPT_TAIL)
            self.assertIn(YELLOW + b'You chose KT1 product' + RESET, got)
            self.assertNotIn(b'Wrong input', s.output)
            s.sendline('1')
            help_and_quit(self, s, LE_HELP)

    def test_end_of_input_at_platform_or_release(self):
        with Bed() as bed:
            s = to_product(bed)
            s.sendline('4')
            s.expect(' platform: ')
            s.eof()
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(b'check_version: proceed dir internal error\n'
                                              b'\nNo more input, exit ostrelle now ...\n'))
        with Bed() as bed:
            bed.put_list('kt1', '_le_', releases(2))
            s = to_product(bed)
            s.sendline('1')
            s.expect(PROMPT_TAIL)
            s.eof()
            self.assertEqual(s.wait(), 1)
            self.assertTrue(s.output.endswith(b'check_version: image version internal error\n'
                                              b'\nNo more input, exit ostrelle now ...\n'))


if __name__ == '__main__':
    unittest.main()
