"""An example test: the board flashed with Ostrelle boots to its shell.

    pytest --lg-env board01.yaml test_board.py
"""


def test_flashed_board_boots_to_its_shell(target, strategy):
    strategy.transition('shell')
    # Ostrelle flashed the release and restarted the board ...
    assert strategy.flash_report.result['status'] == 0
    # ... which booted its kernel up to the login prompt on the console.
    assert 'Linux version' in strategy.boot_log
    assert strategy.boot_log.endswith(strategy.login_prompt)
    console = target.get_driver('ConsoleProtocol')
    console.sendline('uname -a')
    console.expect(strategy.prompt)
