"""Standard input closing in the middle of every dialogue: the program runs
from a pipe that is closed after the answers given so far. In the set-up
dialogue it says so and ends with status 1; in a command's dialogue the
command does nothing, and the shell then ends with status 0 as at any end
of input. Nothing may hang."""

import os
import unittest

from ostrelle_testbed.bed import Bed
from ostrelle_testbed.release_files import release_package, sha256

NO_MORE = b'\nNo more input, exit ostrelle now ...\n'
SIGN_IN = b'me@example.com\nsecret\n'
CMD_NOT_CONFIRMED = b'\n input version internal error\n\nUnknown option, return to main menu\n'


class InputCloses(unittest.TestCase):
    def run_until_closed(self, bed, answers, state_file=None):
        if state_file:
            with open(os.path.join(bed.home, 'ostrelle_dir.txt'), 'w') as f:
                f.write(state_file + ' \n')
        s = bed.spawn(stdin='pipe')
        s.send(answers)
        s.eof()
        return s.wait(timeout=60), s.output

    def test_set_up_dialogues(self):
        # (dialogue, answers before the pipe closes, end of the output)
        cases = (
            ('e-mail', b'', b'check_vl_user: get username internal error\n' + NO_MORE),
            ('e-mail cut', b'me@exa', b'Enter your Velmora password: ' + NO_MORE),
            ('password', b'me@example.com\n', b'Enter your Velmora password: ' + NO_MORE),
            ('password cut', b'me@example.com\nsec', b'***' + NO_MORE),
            ('stored path', SIGN_IN, b'set_target_path: proceed dir internal error\n' + NO_MORE),
            ('target path', SIGN_IN + b'n\n',
             b'set_target_path: get target dir internal error\n' + NO_MORE),
            ('confirmation', SIGN_IN + b'n\n/x\n',
             b'set_target_path: proceed dir internal error\n' + NO_MORE),
            ('product', SIGN_IN + b'n\n{target}\ny\n',
             b'select_product: proceed dir internal error\n' + NO_MORE),
            ('kt5 platform', SIGN_IN + b'n\n{target}\ny\n4\n',
             b'check_version: proceed dir internal error\n' + NO_MORE),
            ('kt5 generation', SIGN_IN + b'n\n{target}\ny\n4\n1\n',
             b'check_version: proceed dir internal error\n' + NO_MORE),
            ('release', SIGN_IN + b'n\n{target}\ny\n1\n',
             b'check_version: image version internal error\n' + NO_MORE),
        )
        for name, answers, tail in cases:
            with self.subTest(dialogue=name), Bed() as bed:
                bed.put_list('kt1', '_le_', ['r1 ' + 'a' * 64])
                status, out = self.run_until_closed(
                    bed, answers.replace(b'{target}', bed.target.encode()),
                    state_file='/stored/dir/')
                self.assertEqual(status, 1, out)
                self.assertTrue(out.endswith(tail), out)
                self.assertNotIn(b'ready to be used', out)

    def test_command_dialogues(self):
        pkg = release_package('r1', extra_debs=('my-own.deb',))
        le = SIGN_IN + b'{target}\ny\n1\n1\n'
        lu = SIGN_IN + b'{target}\ny\n6\n1\n'
        cases = (
            # The line is echoed, then blanked by the editor's shutdown.
            ('line being typed', le + b'hel', b'> hel\r'),
            # After a command the prompt comes back before the shell ends.
            ('command 1 on LE', le + b'1\n', CMD_NOT_CONFIRMED + b'> '),
            ('command 1 on LU, repack question', lu + b'1\ny\n',
             b'Do you still want to repack? [Y/n] \n input repack cmd internal error\n'
             b'\nRemove your own file or all files in {target}/r1/packages/deb-files/ before '
             b'you resume step 1\n> '),
            ('command 2', le + b'2\n', CMD_NOT_CONFIRMED + b'\n> '),
        )
        for name, answers, tail in cases:
            with self.subTest(dialogue=name), Bed() as bed:
                target = bed.target.encode()
                bed.put('kt1', 'r1.zip', pkg)
                bed.put_list('kt1', '_le_', ['r1 ' + sha256(pkg)])
                bed.put('kt6', 'r1.zip', pkg)
                bed.put_list('kt6', '_lu_', ['r1 ' + sha256(pkg)])
                status, out = self.run_until_closed(bed, answers.replace(b'{target}', target))
                self.assertEqual(status, 0, out)
                self.assertIn(tail.replace(b'{target}', target), out)
                self.assertNotIn(b'commands:', out)
                self.assertNotIn(b'Download LE resources ... Done', out)
                self.assertNotIn(b'Checking system.img', out)
                for tool in ('QSaharaServer', 'fh_loader'):
                    self.assertEqual(bed.tool_log(tool), [], tool)
                self.assertEqual([a for a in bed.tool_log('sudo') if a[:1] == ['sh']], [])


if __name__ == '__main__':
    unittest.main()
