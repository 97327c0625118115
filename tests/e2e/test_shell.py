"""The command shell after set-up: help, unknown words, word splitting,
quitting and end of input, on a terminal and driven by a pipe."""

import unittest

from ostrelle_testbed.bed import Bed, setup_to_shell

LE_HELP = (b'commands:\nhelp = Show usage help for LE platform\n1 = Download LE resources\n'
           b'2 = Flash full build\n3 = Download LE SDK toolchain\nq = exit ostrelle\n')
LU_HELP = (b'commands:\nhelp = Show usage help for LU platform\n'
           b'1 = Download LU resources and generate system.img with current release\n'
           b'2 = Flash full build (require system.img generation first)\nq = exit ostrelle\n')


def unknown(word, listing):
    return b"Unknown command '" + word + b"'\n\n" + listing


class Shell(unittest.TestCase):
    def run_lines(self, product, lines, platform=()):
        """Sets up, types each line and returns what followed each, up to the
        next prompt."""
        with Bed() as bed:
            s = bed.spawn()
            setup_to_shell(bed, s, product=product, platform=platform)
            replies = []
            for line in lines:
                s.send(line + b'\n')
                s.expect(b'\n')  # the editor's echo of the line
                replies.append(s.expect(b'> ')[:-2])
            s.sendline('q')
            self.assertEqual(s.wait(), 0)
            return replies

    def test_help_lists_le_table(self):
        self.assertEqual(self.run_lines('2', [b'help', b'  help  extra words ']),
                         [LE_HELP, LE_HELP])

    def test_help_lists_lu_table(self):
        self.assertEqual(self.run_lines('3', [b'help']), [LU_HELP])

    def test_unknown_words_and_blanks(self):
        # (A tab typed at the prompt is the editor's completion key and never
        # reaches the shell; a tab inside a word is covered by the unit tests.)
        got = self.run_lines('1', [b'Q', b'Quit', b'he', b'   '])
        self.assertEqual(got, [unknown(b'Q', LE_HELP), unknown(b'Quit', LE_HELP),
                               unknown(b'he', LE_HELP), b'could not sdk_cmd_select\n'])

    def test_eleven_words_and_a_quoted_word(self):
        got = self.run_lines('1', [b'w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11', b'"help"',
                                   b'help 1 2 3 4 5 6 7 8 9 10'])
        self.assertEqual(got, [unknown(b'w1', LE_HELP), unknown(b'"help"', LE_HELP), LE_HELP])

    def test_three_is_no_command_on_lu(self):
        self.assertEqual(self.run_lines('4', [b'3'], platform=('1', '2')),
                         [unknown(b'3', LU_HELP)])

    def test_q_with_blanks_quits_with_status_0(self):
        with Bed() as bed:
            s = bed.spawn()
            setup_to_shell(bed, s, product='6')
            s.sendline('  q  ')
            self.assertEqual(s.wait(), 0)

    def test_quit_and_exit_leave_like_q(self):
        for word in ('quit', 'exit'):
            with self.subTest(word=word), Bed() as bed:
                s = bed.spawn()
                setup_to_shell(bed, s, product='6')
                s.sendline(word)
                self.assertEqual(s.wait(), 0)
                self.assertNotIn(b'Unknown command', s.output)

    def test_end_of_input_at_the_prompt_exits_0(self):
        with Bed() as bed:
            s = bed.spawn()
            setup_to_shell(bed, s, product='7')
            s.eof()
            self.assertEqual(s.wait(), 0)


class PipeDriven(unittest.TestCase):
    def answers(self, bed):
        bed.put_list('kt6', '_lu_', ['r2 aaaa', 'r1 bbbb'])
        return b'me@example.com\npw\n' + bed.target.encode() + b'\ny\n6\n2\n'

    def test_whole_run_from_a_pipe_ends_0_when_it_closes(self):
        with Bed() as bed:
            s = bed.spawn(stdin='pipe')
            s.send(self.answers(bed) + b'help\n   \n')
            s.eof()
            self.assertEqual(s.wait(), 0)
            out = s.output
            self.assertIn(b'Selected version: r1\n', out)
            self.assertIn(b'> help\n' + LU_HELP, out)
            self.assertIn(b'could not sdk_cmd_select\n', out)

    def test_q_from_a_pipe(self):
        with Bed() as bed:
            s = bed.spawn(stdin='pipe')
            s.send(self.answers(bed) + b'q\nhelp\n')
            self.assertEqual(s.wait(), 0)
            # Nothing after q runs.
            self.assertNotIn(b'commands:', s.output)


if __name__ == '__main__':
    unittest.main()
