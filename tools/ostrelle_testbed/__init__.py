"""Ostrelle's test bed: the program's surroundings without a server, a board
or a change to the machine.

- bed: Bed (one scenario: a temporary HOME, the fakes, a mirror) and
  Session (the program on a pseudo-terminal or a pipe), the set-up dialogue
  driver; the end-to-end tests and the benchmark run the program through it.
- mirror: Mirror, the account and resource servers on loopback (also the
  lab mirror's command, tools/mirror/mirror.py).
- world: fills a bin directory with the fake host tools (fakes/) and builds
  the environment of a run among them.
- hosts: the host kinds the fakes can play (package databases of Debian 12
  and Ubuntu 18.04, 22.04, 24.04; their cross loader files) and the
  simulated host file system the test-bed build reads.
- board: the simulated board the fake find, udevadm, QSaharaServer,
  fh_loader and adb share.
- log_args: what every fake shares: its argument log and its state files.
- release_files: release and SDK toolchain packages as the server holds them.
- catalogue: the demo's whole sample catalogue, built from release_files.
- demo: make demo (tools/demo/demo.py).

The package is found through its parent directory, tools/: scripts in
tools/ have it on their path already, the two commands below tools/mirror/
and tools/demo/ add it, CTest sets PYTHONPATH for the end-to-end tests, and
world.environment() sets PYTHONPATH for every child of a run, so the fakes
import it from wherever they were copied.
"""
