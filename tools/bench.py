#!/usr/bin/env python3
"""Ostrelle's cost beside the bare tools it runs, measured on the test bed.

Prints one table; asserts nothing. Every figure is the median of several
runs and stands beside its baseline, measured in the same run:

1. command "1" on LE with a 256 MiB release package already present, against
   a bare `sha256sum` plus `unzip -o` of the same file;
2. the same with a fresh download from the loopback mirror, against a bare
   `wget` (the same command line) plus `sha256sum` plus `unzip -o`; and the
   unattended `ostrelle ... download` of it (host check, sign-in, release
   list, package) against the same exchanges made with the bare tools;
3. CPU time used at the shell prompt while idle for 5 seconds, and the time
   from end of input (Ctrl-D) to the end of the process, against
   `bash --norc -i` on the same kind of pseudo-terminal;
4. peak resident memory of a whole session (set-up, help, typing, idling),
   against `bash --norc -i` idling on the same kind of pseudo-terminal;
5. keystroke echo latency at the prompt (byte written to the terminal to
   byte echoed back), against `bash --norc -i`;
6. the full build flashed onto four simulated boards at once, against the
   same flash onto one board alone (the ratio of the wall times shows what
   flashing in parallel costs; the boards' own work, simulated by fh_loader's
   progress, takes the same time on each board);
7. a re-flash after one of the release's images changed (an eighth of the
   bytes): `flash --changed-only` against the full sequence on the same
   simulated board, which writes at a fixed speed; the wall times and the
   bytes fh_loader wrote.
8. the soak: 200 flashes of a downloaded release onto a simulated board
   that drops off USB in 5% of the images written (back in download mode
   1 s later), with --retries 2 against the same flashes without retries:
   the share that ended booted with the board's storage equal to the
   release (--soak alone runs only this one).

Everything runs inside the test bed (ostrelle_testbed, beside this file): its
mirror on loopback and its fake host tools, so no real apt-get, sudo or
device is touched. Usage: tools/bench.py [--build-dir build] [--runs 5]
"""

import argparse
import hashlib
import io
import os
import platform
import statistics
import subprocess
import sys
import time
import zipfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_MIB = 256
IDLE_SECONDS = 5
KEYSTROKES = 100
RELEASE = 'bench1.0'


def configure(build_dir):
    """Points the test bed at build_dir and its configured mirror addresses."""
    os.environ['OSTRELLE_BUILD_DIR'] = build_dir
    os.environ['OSTRELLE_SOURCE_DIR'] = SOURCE_DIR
    os.environ.pop('OSTRELLE_SANITIZE', None)
    cache = os.path.join(build_dir, 'CMakeCache.txt')
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                for name in ('OSTRELLE_TESTBED_HTTPS', 'OSTRELLE_TESTBED_HTTP'):
                    if line.startswith(name + ':'):
                        os.environ[name] = line.split('=', 1)[1].strip()


def machine():
    name = platform.system()
    try:
        with open('/etc/os-release') as f:
            fields = dict(line.rstrip('\n').split('=', 1) for line in f if '=' in line)
        name = fields.get('PRETTY_NAME', name).strip('"')
    except OSError:
        pass
    cpu = 'unknown CPU'
    try:
        with open('/proc/cpuinfo') as f:
            for line in f:
                if line.startswith('model name'):
                    cpu = line.split(':', 1)[1].strip()
                    break
    except OSError:
        pass
    return '%s, %d cores, %s' % (name, os.cpu_count() or 0, cpu)


def median(values):
    return statistics.median(values)


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def make_package(path):
    """A release package of PACKAGE_MIB MiB of incompressible files, stored."""
    chunk = 32 << 20
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_STORED) as z:
        z.writestr(RELEASE + '/build-system.sh', '#!/bin/sh\n')
        for n in range((PACKAGE_MIB << 20) // chunk):
            z.writestr('%s/full_build/ufs/part%d.img' % (RELEASE, n), os.urandom(chunk))
    h = hashlib.sha256()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(1 << 20), b''):
            h.update(block)
    return h.hexdigest()


def alternate(one_ostrelle, one_bare, runs, before_each):
    """(Ostrelle seconds, baseline seconds) medians of runs timed rounds. A
    first round of each warms the page cache; then they alternate, each
    after before_each."""
    own, base = [], []
    for n in range(runs + 1):
        order = (('o', one_ostrelle), ('b', one_bare)) if n % 2 else \
            (('b', one_bare), ('o', one_ostrelle))
        for which, fn in order:
            before_each()
            elapsed = timed(fn)
            if n > 0:
                (own if which == 'o' else base).append(elapsed)
    return median(own), median(base)


def clean_release(target, package_too):
    subprocess.run(['rm', '-rf', os.path.join(target, RELEASE)], check=True)
    if package_too:
        subprocess.run(['rm', '-f', os.path.join(target, RELEASE + '.zip')], check=True)


def run_quiet(bed, argv, stdin=b''):
    proc = subprocess.run(argv, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env=bed.env(), cwd=bed.tmp)
    return proc.returncode, proc.stdout


def bench_command_1(bed, digest, runs, download):
    """(Ostrelle seconds, baseline seconds) medians for command "1" on LE."""
    from ostrelle_testbed.bed import TESTBED_HTTPS, driver_path
    from ostrelle_testbed.mirror import resource_path
    target = bed.target
    package = os.path.join(target, RELEASE + '.zip')
    ostrelle = [driver_path(), '--target', target + '/', '--product', 'kt5', '--platform', '2',
                '--release', RELEASE, '--checksum', digest, 'sdk_make_sys']
    fetch = ('wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp --ca-certificate=%s '
             "--show-progress -P %s/ '%s%s'" % (bed.mirror.ca_file, target, TESTBED_HTTPS,
                                                resource_path('kt5', RELEASE + '.zip')))
    bare = 'sha256sum %s && unzip -o %s -d %s/' % (package, package, target)
    if download:
        bare = fetch + ' && ' + bare

    def one_ostrelle():
        status, out = run_quiet(bed, ostrelle, b'y\n')
        if b'Download LE resources ... Done' not in out:
            raise RuntimeError('command 1 failed:\n' + out.decode(errors='replace')[-2000:])

    def one_bare():
        status, out = run_quiet(bed, ['sh', '-c', bare])
        if status != 0:
            raise RuntimeError('baseline failed:\n' + out.decode(errors='replace')[-2000:])

    return alternate(one_ostrelle, one_bare, runs,
                     lambda: clean_release(target, package_too=download))


def bench_unattended_download(bed, digest, runs):
    """(Ostrelle seconds, baseline seconds) medians for the unattended
    `download` of the package from the loopback mirror, with everything a
    run with commands does: the host check, the sign-in, the release list,
    the package. The baseline runs the same exchanges with the bare tools:
    the sign-in POST, the list and the package with wget, then sha256sum and
    unzip -o."""
    from ostrelle_testbed.bed import TESTBED_HTTPS, program_path
    from ostrelle_testbed.mirror import resource_path
    target = bed.target
    package = os.path.join(target, RELEASE + '.zip')
    bed.put_list('kt5', '_le1.0_', ['%s %s' % (RELEASE, digest)])
    password = os.path.join(bed.tmp, 'bench-password')
    with open(password, 'w') as f:
        f.write('secret\n')
    os.chmod(password, 0o600)
    ostrelle = [program_path(), '--yes', '--target', target, '--product', 'kt5', '--platform',
                'LE1.0', '--release', RELEASE, '--email', 'bench@example.com',
                '--password-file', password, 'download']
    body = os.path.join(bed.tmp, 'bench-body')
    with open(body, 'w') as f:
        f.write('mail=bench@example.com&pwd=secret')
    ca = '--ca-certificate=' + bed.mirror.ca_file
    wget = 'wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp ' + ca
    bare = ('wget %s --post-file %s %s/ldap.php -q -O - -T 30 -t 1 '
            '> /dev/null && rm -f %s/files/kt5_le1.0_release_ver.txt && '
            "%s -P %s/files/ '%s%s' && %s --show-progress -P %s/ '%s%s' && sha256sum %s && "
            'unzip -o %s -d %s/'
            % (ca, body, TESTBED_HTTPS, target, wget, target, TESTBED_HTTPS,
               resource_path('kt5', 'kt5_le1.0_release_ver.txt'), wget, target, TESTBED_HTTPS,
               resource_path('kt5', RELEASE + '.zip'), package, package, target))

    def one_ostrelle():
        status, out = run_quiet(bed, ostrelle)
        if status != 0:
            raise RuntimeError('unattended download failed:\n' +
                               out.decode(errors='replace')[-2000:])

    def one_bare():
        status, out = run_quiet(bed, ['sh', '-c', bare])
        if status != 0:
            raise RuntimeError('baseline failed:\n' + out.decode(errors='replace')[-2000:])

    return alternate(one_ostrelle, one_bare, runs,
                     lambda: clean_release(target, package_too=True))


def cpu_ticks(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return int(fields[11]) + int(fields[12])


def peak_rss_kib(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmHWM:'):
                return int(line.split()[1])
    return 0


def echo_latencies(session):
    out = []
    for _ in range(KEYSTROKES):
        start = time.perf_counter()
        session.send(b'x')
        session.expect(b'x', timeout=10)
        out.append(time.perf_counter() - start)
    return out


def interactive_round(session, ready_prompt, clear_line):
    """Idle CPU ticks, echo latencies, peak RSS and Ctrl-D-to-exit seconds of
    one process sitting at its prompt."""
    pid = session.pid
    time.sleep(0.5)
    before = cpu_ticks(pid)
    time.sleep(IDLE_SECONDS)
    idle = cpu_ticks(pid) - before
    latencies = echo_latencies(session)
    session.send(clear_line)
    session.expect(ready_prompt, timeout=10)
    peak = peak_rss_kib(pid)
    start = time.perf_counter()
    session.send(b'\x04')
    session.proc.wait(timeout=30)
    to_exit = time.perf_counter() - start
    return idle, latencies, peak, to_exit


def bench_interactive(runs):
    from ostrelle_testbed.bed import Bed, setup_to_shell
    own = {'idle': [], 'lat': [], 'rss': [], 'exit': []}
    base = {'idle': [], 'lat': [], 'rss': [], 'exit': []}
    for _ in range(runs):
        with Bed() as bed:
            s = bed.spawn()
            setup_to_shell(bed, s, product='1')
            s.sendline('help')
            s.expect('q = exit ostrelle\n')
            s.expect('> ')
            # Ctrl-U blanks the typed line; the prompt is drawn again.
            idle, lat, rss, to_exit = interactive_round(s, b'> ', b'\x15')
            own['idle'].append(idle)
            own['lat'] += lat
            own['rss'].append(rss)
            own['exit'].append(to_exit)

            b = bed.spawn(program='/bin/bash', args=['--norc', '--noprofile', '-i'],
                          env={'PS1': 'bench$ ', 'HISTFILE': os.path.join(bed.tmp, 'hist')})
            b.expect('bench$ ')
            idle, lat, rss, to_exit = interactive_round(b, b'bench$ ', b'\x15\n')
            base['idle'].append(idle)
            base['lat'] += lat
            base['rss'].append(rss)
            base['exit'].append(to_exit)
    return own, base


# The simulated boards of figure 6: each fh_loader call takes this long, and
# a board boots this long after its reset; the flashing pauses run at a
# twentieth of their length.
BOARD_TOOL_SECONDS = 1.0
BOARD_BOOT_SECONDS = 1.0
BOARD_PAUSE_SCALE = '0.05'


def bench_boards(runs):
    """(seconds for four boards at once, seconds for one board) medians."""
    from ostrelle_testbed import board
    from ostrelle_testbed.bed import Bed, driver_path
    digest = 'b' * 64
    with Bed() as bed:
        rel = os.path.join(bed.target, RELEASE)
        # A whole release as command "1" leaves it, completion record included.
        for name, text in (('full_build/ufs/rawprogram_unsparse0.xml', ''),
                           ('full_build/ufs/prog_firehose_ddr.elf', ''),
                           ('cdt/rawprogram3_iot_qrd.xml', ''), ('cdt/patch3.xml', ''),
                           ('.ostrelle-complete', digest + '\n')):
            os.makedirs(os.path.dirname(os.path.join(rel, name)), exist_ok=True)
            with open(os.path.join(rel, name), 'w') as f:
                f.write(text or name + '\n')
        argv = [driver_path(), '--target', bed.target + '/', '--release', RELEASE,
                '--checksum', digest, 'flash_boards', '--all-boards']
        env = dict(bed.env(), OSTRELLE_PAUSE_SCALE=BOARD_PAUSE_SCALE)

        def flash(count):
            board.configure(bed.state, ports=[board.download_port(i) for i in range(count)],
                            boot_after_polls=None, boot_after_seconds=BOARD_BOOT_SECONDS,
                            progress_seconds=BOARD_TOOL_SECONDS)
            proc = subprocess.run(argv, env=env, cwd=bed.tmp, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if proc.returncode != 0:
                raise RuntimeError('flashing %d boards failed:\n%s'
                                   % (count, proc.stdout.decode(errors='replace')[-2000:]))

        return alternate(lambda: flash(4), lambda: flash(1), runs, lambda: None)


CHANGED_SECTOR = 4096
CHANGED_IMAGE_BYTES = 32 * CHANGED_SECTOR  # the CDT partition's size: 32 sectors
CHANGED_WRITE_BYTES_PER_SECOND = 4096       # before the pause scale
CHANGED_PAUSE_SCALE = '0.05'


def bench_changed_only(runs):
    """(changed-only seconds, full seconds, changed-only bytes, full bytes,
    changed image bytes + patch bytes) medians. Two releases differ in
    boot.img alone; images of S bytes each and a system image of 3 S make 8 S
    sent by a full flash (xbl.elf goes to both slots), S by a changed-only
    one."""
    from ostrelle_testbed import board, storage
    from ostrelle_testbed.bed import Bed, driver_path
    from ostrelle_testbed.release_files import release_package
    size = CHANGED_IMAGE_BYTES
    with Bed() as bed:
        releases = {}
        with zipfile.ZipFile(io.BytesIO(release_package('benchA', flashable='le',
                                                        storages=('ufs',)))) as z:
            for name, release in (('benchA', b'A'), ('benchB', b'B')):
                rel = os.path.join(bed.target, name)
                for info in z.infolist():
                    path = os.path.join(rel, info.filename.split('/', 1)[1])
                    if info.filename.endswith('/'):
                        os.makedirs(path, exist_ok=True)
                        continue
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    data = z.read(info)
                    base = os.path.basename(path)
                    if base in ('cdt.bin', 'xbl.elf', 'abl.elf', 'boot.img', 'system.img'):
                        fill = (base.encode() + (release if base == 'boot.img' else b'')) * size
                        data = fill[:3 * size if base == 'system.img' else size]
                    with open(path, 'wb') as f:
                        f.write(data)
                with open(os.path.join(rel, '.ostrelle-complete'), 'w') as f:
                    f.write('%s\n' % ('c' * 64))
                releases[name] = rel
        env = dict(bed.env(), OSTRELLE_PAUSE_SCALE=CHANGED_PAUSE_SCALE)
        board.configure(bed.state, ports=[board.download_port(0)], boot_after_polls=1,
                        write_bytes_per_second=CHANGED_WRITE_BYTES_PER_SECOND)

        def flash(release, *args, speed=CHANGED_WRITE_BYTES_PER_SECOND):
            def back(state):
                for b in board.boards(state):
                    board.enter_download_mode(b)
                    b['write_bytes_per_second'] = speed
                return state
            board.update(back, bed.state)
            before = storage.bytes_written(bed.state)
            argv = [driver_path(), '--target', bed.target + '/', '--release', release,
                    '--checksum', 'c' * 64, 'flash_boards'] + list(args) + ['--all-boards']
            proc = subprocess.run(argv, env=env, cwd=bed.tmp, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if proc.returncode != 0:
                raise RuntimeError('flashing %s failed:\n%s'
                                   % (release, proc.stdout.decode(errors='replace')[-2000:]))
            return storage.bytes_written(bed.state) - before

        written = {'o': [], 'b': []}

        def changed_only():
            written['o'].append(flash('benchB', '--changed-only'))

        def full():
            written['b'].append(flash('benchB'))

        # Each timed flash starts from a board that holds benchA, with its
        # receipt, as a full flash of benchA leaves it.
        # (That flash writes at once: it is not measured.)
        own, base = alternate(changed_only, full, runs, lambda: flash('benchA', speed=None))
        if storage.differences(bed.state, releases['benchB']):
            raise RuntimeError('the board does not hold benchB after the flashes')
        return own, base, median(written['o']), median(written['b']), size


SOAK_FLASHES = 200
SOAK_SEED = 7


def bench_soak(flashes=SOAK_FLASHES, seed=SOAK_SEED):
    """(tally with --retries 2, tally without retries) of the soak."""
    sys.path.insert(0, os.path.join(SOURCE_DIR, 'tests', 'e2e'))
    from ostrelle_testbed.bed import Bed
    from ostrelle_testbed.soak import receipt_differences, soak
    from unattended_runs import answers, catalogue, run
    with Bed() as bed:
        catalogue(bed, 'kt1', '_le_', 'kt1-le-1', flashable='le')
        options = answers(bed, 'kt1')
        status, out = run(bed, options + ['download'])
        if status != 0:
            raise RuntimeError('the soak release was not downloaded:\n%s'
                               % out.decode(errors='replace')[-2000:])
        release = os.path.join(bed.target, 'kt1-le-1')
        return (soak(bed, options, release, flashes, 2, seed, memory='eMMC',
                     receipt_check=receipt_differences),
                soak(bed, options, release, flashes, 0, seed, memory='eMMC',
                     receipt_check=receipt_differences))


def soak_rows(retried, plain):
    attempts = ', '.join('%d: %d' % (k, v) for k, v in sorted(retried.attempts.items()))
    return '\n'.join([
        '| 8. soak: %d flashes, 5%% of images written lose the board, booted with the '
        'storage equal to the release (baseline: no retries) | %.1f %% | %.1f %% | - |'
        % (retried.flashes, 100 * retried.share(), 100 * plain.share()),
        '',
        'soak exit statuses: --retries 2 %s, no retries %s; attempts of the good flashes '
        'with --retries 2: %s' % (retried.statuses, plain.statuses, attempts or '-')])


def row(label, own, base, unit, fmt, ratio=True):
    r = ('%.2f' % (own / base)) if ratio and base else '-'
    return '| %s | %s %s | %s %s | %s |' % (label, fmt % own, unit, fmt % base, unit, r)


def main():
    parser = argparse.ArgumentParser(description='Ostrelle benchmarks (a table, no verdict)')
    parser.add_argument('--build-dir', default=os.path.join(SOURCE_DIR, 'build'))
    parser.add_argument('--runs', type=int, default=5,
                        help='runs per file figure (interactive figures: runs - 2, at least 3)')
    parser.add_argument('--soak', action='store_true', help='only the soak (figure 7)')
    args = parser.parse_args()
    configure(os.path.abspath(args.build_dir))
    if args.soak:
        started = time.monotonic()
        print('| measure | Ostrelle | baseline | ratio |')
        print('|---|---|---|---|')
        print(soak_rows(*bench_soak()))
        print('total time of this benchmark: %.0f s' % (time.monotonic() - started))
        return
    from ostrelle_testbed.bed import Bed

    started = time.monotonic()
    print('Ostrelle benchmarks, median of %d runs each (interactive: %d sessions)'
          % (args.runs, max(3, args.runs - 2)))
    print('machine: %s' % machine())
    sys.stdout.flush()

    with Bed() as bed:
        os.makedirs(bed.target)
        package = os.path.join(bed.target, RELEASE + '.zip')
        digest = make_package(package)
        present = bench_command_1(bed, digest, args.runs, download=False)
        # The same package, served by the loopback mirror.
        os.makedirs(os.path.join(bed.mirror.root, 'uploads/web/ostrelle/kt5/sdk'), exist_ok=True)
        os.rename(package, os.path.join(bed.mirror.root, 'uploads/web/ostrelle/kt5/sdk',
                                        RELEASE + '.zip'))
        fresh = bench_command_1(bed, digest, args.runs, download=True)
        unattended = bench_unattended_download(bed, digest, args.runs)

    own, base = bench_interactive(max(3, args.runs - 2))
    boards = bench_boards(args.runs)
    changed = bench_changed_only(args.runs)
    soaked = bench_soak()

    print()
    print('| measure | Ostrelle | baseline | ratio |')
    print('|---|---|---|---|')
    print(row('1. command "1", LE, %d MiB package present (baseline: sha256sum + unzip -o)'
              % PACKAGE_MIB, present[0], present[1], 's', '%.2f'))
    print(row('2. command "1", LE, fresh download from the loopback mirror (baseline: wget + '
              'sha256sum + unzip -o)', fresh[0], fresh[1], 's', '%.2f'))
    print(row('2b. unattended `download` of the same package: host check, sign-in, list, '
              'package (baseline: the same exchanges with wget + sha256sum + unzip -o)',
              unattended[0], unattended[1], 's', '%.2f'))
    print(row('3a. CPU used at the prompt, idle %d s (baseline: bash --norc -i)' % IDLE_SECONDS,
              median(own['idle']), median(base['idle']), 'ticks', '%d', ratio=False))
    print(row('3b. end of input (Ctrl-D) to exit (baseline: bash --norc -i)',
              median(own['exit']) * 1000, median(base['exit']) * 1000, 'ms', '%.1f'))
    print(row('4. peak resident memory of a session (baseline: bash --norc -i idling)',
              median(own['rss']) / 1024, median(base['rss']) / 1024, 'MiB', '%.1f'))
    print(row('5. keystroke echo latency at the prompt, %d keys per session (baseline: bash '
              '--norc -i)' % KEYSTROKES, median(own['lat']) * 1e6, median(base['lat']) * 1e6,
              'us', '%.0f'))
    print(row('6. full build flashed onto 4 simulated boards at once (baseline: onto 1 board)',
              boards[0], boards[1], 's', '%.2f'))
    print(row('7. re-flash after one image changed (an eighth of the bytes): flash '
              '--changed-only (baseline: the full sequence)', changed[0], changed[1], 's',
              '%.2f'))
    print(row('7b. bytes fh_loader wrote in that re-flash (baseline: the full sequence; the '
              'changed image: %d bytes, patches: 0)' % changed[4], changed[2], changed[3],
              'bytes', '%d'))
    print(soak_rows(*soaked))
    print()
    print('idle CPU ticks per session: Ostrelle %s, bash %s (a tick is 1/%d s)'
          % (own['idle'], base['idle'], os.sysconf('SC_CLK_TCK')))
    print('total time of this benchmark: %.0f s' % (time.monotonic() - started))
    return 0


if __name__ == '__main__':
    sys.exit(main())
