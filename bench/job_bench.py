#!/usr/bin/env python3
"""The whole job through lumaro-host: generates the workloads deterministically,
runs each through `lumaro-host queue` with the iconv library and with the module's
own code (LUMARO_ICONV=none), and beside them through a GMime 3 peer doing the same
job (bench/gmime_peer, built with -DLUMARO_BENCH=ON where GMime is installed), and
prints MB/s, messages per second, peak memory and our ratio to the peer.

    python3 bench/job_bench.py --host build/rel/tools/lumaro-host [--dir /dev/shm]
    python3 bench/job_bench.py --host build/win/tools/lumaro-host.exe --emulator wine \
        --module build/win/lumaro/lumaro.dll --peer build/rel/bench/gmime_peer/gmime-peer
    python3 bench/job_bench.py --calls --host build/count/tools/lumaro-host \
        --module build/count/lumaro/lumaro.so

With --calls it prints instead the system calls one job makes (files, the
registry, libraries), by function, for a small message that needs no change and
for one that is rewritten, with the library and with the own code; the module
must come from a build configured with -DLUMARO_COUNT_CALLS=ON, which counts them.

Workloads: 2,000 typical messages of 2 to 50 KB (UTF-8 quoted-printable text,
multipart/alternative with HTML, some with a 100-300 KB base64 attachment,
ISO-8859-2 messages that need no change, encoded-word subjects); one 20 MB UTF-8
text message each as quoted-printable, base64 and 8bit; one message with a 40 MB
base64 attachment and a small UTF-8 text part; and the 20 MB texts again as Czech
is typed, with typographic quotes, dashes, ellipses and euro signs every few lines
and an emoji now and then, none of which ISO-8859-2 holds. Timing is each program's own (its
jobs only, no process start); peak memory is the maximum resident size of the
process, as it reports it itself. The default folder is tmpfs, so the flush of
the rewritten file costs nothing; give --dir on a real disk to include it."""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'host'))
import messages  # noqa: E402

SUBJECTS = ['Faktura č. {n} - splatnost', 'Objednávka kancelářských potřeb {n}',
            'Pozvánka na poradu oddělení', 'Re: Připomínky k rozpočtu {n}',
            'Žádost o dovolenou', 'Výkaz práce za listopad', 'Úprava smlouvy č. {n}']

# Floors: workload -> (own code, library) in MB/s, or messages per second for the mix.
FLOORS = {'qp20': (260, 220), 'b64text20': (320, 270), 'text8bit20': (260, 220), 'attach40': (800, 800),
          'mix': (7000, 7000), 'typoqp20': (260, 220), 'typob64': (320, 270), 'typo8bit': (260, 220)}
# The least ratio of our CPU rate to the GMime peer's, both paths.
PEER_RATIOS = {'qp20': 3, 'b64text20': 3, 'text8bit20': 3, 'attach40': 2.5, 'mix': 4,
               'typoqp20': 3, 'typob64': 3, 'typo8bit': 3}
# Workloads where the library's CPU time may exceed the own code's by this factor at most.
LIBRARY_SHARES = {'typoqp20': 1.15, 'typob64': 1.15, 'typo8bit': 1.15}
MEMORY_FACTOR = 3


def paragraph_text(rng, size):
    words = messages.CZECH.split()
    out, length = [], 0
    while length < size:
        line = ' '.join(rng.choice(words) for _ in range(rng.randint(6, 12)))
        out.append(line)
        length += len(line.encode()) + 1
    return '\n'.join(out) + '\n'


# What a Czech writer's keyboard adds to the letters of ISO-8859-2.
EMOJI = ['😀', '👍', '🙂', '📎', '☺️']


def typographic_text(rng, size):
    """Czech text as it is typed: about every other line holds typographic quotes,
    a dash, an ellipsis or a sum in euros, and about one line in forty an emoji."""
    words = messages.CZECH.split()
    marks = [lambda w: f'„{w}“', lambda w: f'{w} –', lambda w: f'{w}…', lambda w: f'{rng.randint(2, 9999)} €']
    out, length = [], 0
    while length < size:
        line = [rng.choice(words) for _ in range(rng.randint(6, 12))]
        if rng.random() < 0.5:
            k = rng.randrange(len(line))
            line[k] = rng.choice(marks)(line[k])
        if rng.random() < 1 / 40:
            line.append(rng.choice(EMOJI))
        text = ' '.join(line)
        out.append(text)
        length += len(text.encode()) + 1
    return '\n'.join(out) + '\n'


def head(rng, n, content_type, extra='', charset='UTF-8'):
    subject = messages.ew(rng.choice(SUBJECTS).format(n=n), charset, rng.choice('QB'))
    return (f'Received: from relay{n % 7}.example.cz by mx.example.cz; Tue, 8 Dec 2026 08:00:00 +0100\n'
            f'Message-ID: <{n}.bench@example.cz>\nFrom: odesilatel{n}@example.cz\n'
            f'To: prijemce@example.cz\nSubject: {subject}\nMIME-Version: 1.0\n'
            f'Content-Type: {content_type}\n' + extra)


def typical(rng, n):
    kind = rng.choices(['qp', 'alternative', 'attachment', 'iso'], [40, 30, 5, 25])[0]
    # Quoted-printable Czech text grows by about a half; the alternative carries it twice.
    encoded_size = rng.randint(2_000, 50_000)
    text = paragraph_text(rng, encoded_size * 2 // (3 if kind != 'alternative' else 7))
    if kind == 'qp':
        return messages.message(head(rng, n, 'text/plain; charset=utf-8',
                                     'Content-Transfer-Encoding: quoted-printable\n'),
                                messages.qp(text, 'utf-8'))
    if kind == 'iso':
        return messages.message(head(rng, n, 'text/plain; charset=ISO-8859-2',
                                     'Content-Transfer-Encoding: quoted-printable\n', 'ISO-8859-2'),
                                messages.qp(text, 'iso-8859-2'))
    plain = messages.part('Content-Type: text/plain; charset=utf-8\n'
                          'Content-Transfer-Encoding: quoted-printable', messages.qp(text, 'utf-8', '\n'))
    html = '<html><body><p>' + text.replace('\n', '</p>\n<p>') + '</p></body></html>\n'
    parts = [plain, messages.part('Content-Type: text/html; charset=utf-8\n'
                                  'Content-Transfer-Encoding: quoted-printable',
                                  messages.qp(html, 'utf-8', '\n'))]
    if kind == 'attachment':
        data = rng.randbytes(rng.randint(75_000, 225_000))
        parts = [plain, messages.part('Content-Type: application/pdf; name="priloha.pdf"\n'
                                      'Content-Transfer-Encoding: base64\n'
                                      'Content-Disposition: attachment; filename="priloha.pdf"',
                                      messages.b64(data, '\n'))]
    subtype = 'mixed' if kind == 'attachment' else 'alternative'
    return messages.message(head(rng, n, f'multipart/{subtype}; boundary="b{n}"'),
                            messages.multipart(f'b{n}', parts))


def large_text(rng, megabytes, encoding, make_text=paragraph_text):
    text = make_text(rng, 200_000)
    if encoding == 'qp':
        unit = messages.qp(text, 'utf-8')
    elif encoding == 'base64':
        data = text.encode('utf-8')
        if make_text is typographic_text:
            # Whole characters, a multiple of 3 bytes: the unit repeats as valid UTF-8.
            data = data[:len(data.decode('utf-8', 'ignore')[:199_000].encode())]
            data += b'\n' * (-len(data) % 3)
        else:
            data = data[:199_980]  # a multiple of 3 bytes
        unit = messages.b64(data)
    else:
        unit = messages.lines(text, '\r\n').encode('utf-8')
    body = unit * (megabytes * 1_000_000 // len(unit) + 1)
    cte = {'qp': 'quoted-printable', 'base64': 'base64', '8bit': '8bit'}[encoding]
    return messages.message(head(rng, 0, 'text/plain; charset=utf-8',
                                 f'Content-Transfer-Encoding: {cte}\n'), body)


def large_attachment(rng, megabytes):
    data = rng.randbytes(megabytes * 750_000)
    parts = [messages.part('Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit',
                           'Dobrý den, v příloze je záloha databáze.\n'),
             messages.part('Content-Type: application/octet-stream; name="zaloha.bin"\n'
                           'Content-Transfer-Encoding: base64\n'
                           'Content-Disposition: attachment; filename="zaloha.bin"',
                           messages.b64(data, '\n'))]
    return messages.message(head(rng, 0, 'multipart/mixed; boundary="big"'),
                            messages.multipart('big', parts), body_charset='utf-8')


def small_message(rng, n, changed):
    """About 900 bytes: Czech text in ISO-8859-2 that needs nothing, or in UTF-8
    quoted-printable under an encoded-word subject, which is rewritten."""
    charset = 'UTF-8' if changed else 'ISO-8859-2'
    text = paragraph_text(rng, 500)
    return messages.message(head(rng, n, f'text/plain; charset={charset}',
                                 'Content-Transfer-Encoding: quoted-printable\n', charset),
                            messages.qp(text, charset.lower()))


CALL_WORKLOADS = {'small unchanged': False, 'small rewritten': True}
CALL_JOBS = 100

WORKLOADS = ['mix', 'qp20', 'b64text20', 'text8bit20', 'attach40', 'typoqp20', 'typob64', 'typo8bit']


def generate(folder, calls=False):
    """Writes every workload's queue files, one message at a time; with calls, those
    of the small messages whose system calls are counted instead."""
    rng = random.Random(20261208)
    makers = {
        'mix': lambda: ((f'M{n:06d}', typical(rng, n)) for n in range(2000)),
        'qp20': lambda: [('QP20', large_text(rng, 20, 'qp'))],
        'b64text20': lambda: [('B64TEXT20', large_text(rng, 20, 'base64'))],
        'text8bit20': lambda: [('TEXT8BIT20', large_text(rng, 20, '8bit'))],
        'attach40': lambda: [('ATTACH40', large_attachment(rng, 40))],
        'typoqp20': lambda: [('TYPOQP20', large_text(rng, 20, 'qp', typographic_text))],
        'typob64': lambda: [('TYPOB64', large_text(rng, 20, 'base64', typographic_text))],
        'typo8bit': lambda: [('TYPO8BIT', large_text(rng, 20, '8bit', typographic_text))],
    }
    if calls:
        makers = {name: lambda changed=changed: ((f'S{n:04d}', small_message(rng, n, changed))
                                                 for n in range(CALL_JOBS))
                  for name, changed in CALL_WORKLOADS.items()}
    for name in makers:
        os.makedirs(os.path.join(folder, name))
        for job, data in makers[name]():
            with open(os.path.join(folder, name, job + '.QDF'), 'wb') as f:
                f.write(data)


def sizes_of(folder):
    sizes = [os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)]
    return len(sizes), sum(sizes), max(sizes, default=0)


class Runner:
    """How one program runs a queue: lumaro-host with the module's own code or with
    the library (natively, or the Windows build under an emulator), or the GMime peer."""

    def __init__(self, host, module, emulator, peer):
        self.host, self.module, self.peer = host, module, peer
        self.emulator = [e for e in emulator.split(';') if e] if emulator else []

    def path(self, p):
        return 'Z:' + p.replace('/', '\\') if self.emulator else p

    def command(self, code, base):
        if code == 'peer':
            return [self.peer, 'queue', os.path.join(base, 'QUEUE')], dict(os.environ)
        with open(os.path.join(base, 'lumaro.ini'), 'w') as f:
            f.write(f'[Lumaro]\nLogFile={self.path(os.path.join(base, "lumaro.log"))}\nCharSet=ISO-8859-2\n')
        env = dict(os.environ, LUMARO_CODEPAGE='1250', WINEDEBUG='-all')
        env.pop('LUMARO_ICONV', None)
        if code == 'own':
            env['LUMARO_ICONV'] = 'none'
        cmd = self.emulator + [self.host, 'queue', '--base', self.path(base), '--host', 'bench.example.cz']
        if self.module:
            cmd += ['--module', self.path(self.module)]
        return cmd, env


def measure(runner, code, source, base):
    queue = os.path.join(base, 'QUEUE')
    shutil.rmtree(base, ignore_errors=True)
    shutil.copytree(source, queue)
    cmd, env = runner.command(code, base)
    with tempfile.TemporaryFile() as out:
        process = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env)
        # wait4 gives this one child's CPU time, where getrusage would give that of
        # every child so far. Its peak memory would count this process's size at
        # the fork as well, so the peak is the one the program reports.
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        text = out.read().decode(errors='replace')
    summary = re.search(r'jobs (\d+), changed (\d+), failed (\d+), ([\d.]+) seconds, [\d.]+ MB/s, '
                        r'peak memory ([\d.]+) MB', text)
    if process.returncode != 0 or not summary:
        raise RuntimeError(f'{" ".join(cmd)} failed: {text}')
    calls = re.search(r'system calls per job: (.*)', text)
    return (int(summary[2]), float(summary[4]), float(summary[5]) * 1e6, usage.ru_utime + usage.ru_stime,
            calls[1] if calls else None)


def print_calls(runner, sources, base):
    """The system calls per job of the small workloads, both paths."""
    for name in CALL_WORKLOADS:
        for code in ('own', 'library'):
            changed, *_, calls = measure(runner, code, os.path.join(sources, name), base)
            if calls is None:
                raise SystemExit('the module does not count its system calls: build it with '
                                 '-DLUMARO_COUNT_CALLS=ON')
            print(f'{name:16} {code:8} changed {changed:3}/{CALL_JOBS}: {calls}', flush=True)


def default_peer(host):
    """The peer of the same build folder as the host, if it was built."""
    peer = os.path.join(os.path.dirname(os.path.abspath(host)), '..', 'bench', 'gmime_peer', 'gmime-peer')
    return os.path.normpath(peer) if os.path.exists(peer) else ''


def main():
    if sys.argv[1:2] == ['--generate-into']:
        generate(sys.argv[2], sys.argv[3:] == ['--calls'])
        return
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--host', required=True, help='the lumaro-host executable')
    parser.add_argument('--module', default='', help='the module (default: the host finds it)')
    parser.add_argument('--emulator', default='', help="a ';'-separated command that runs a Windows host (wine)")
    parser.add_argument('--peer', default=None, help='the GMime peer (default: the one built beside the host; '
                        '"" for none)')
    parser.add_argument('--dir', default='/dev/shm', help='where the queues live (default tmpfs)')
    parser.add_argument('--repeat', type=int, default=3, help='runs per figure; the best counts')
    parser.add_argument('--only', nargs='*', help='workloads to run (' + ' '.join(WORKLOADS) + ')')
    parser.add_argument('--calls', action='store_true', help='print the system calls per job of small '
                        'messages instead (a module built with -DLUMARO_COUNT_CALLS=ON)')
    args = parser.parse_args()
    peer = '' if args.calls else default_peer(args.host) if args.peer is None else args.peer
    runner = Runner(args.host, args.module, args.emulator, peer)
    codes = ['own', 'library'] + (['peer'] if peer else [])

    root = tempfile.mkdtemp(prefix='lumaro-bench-', dir=args.dir)
    try:
        sources = os.path.join(root, 'sources')
        # A child makes the messages: a process started from this one counts this
        # one's size in its peak, so this one stays small.
        subprocess.run([sys.executable, __file__, '--generate-into', sources] + (['--calls'] if args.calls else []),
                       check=True)
        if args.calls:
            print_calls(runner, sources, os.path.join(root, 'run'))
            return
        empty = os.path.join(root, 'empty')
        os.makedirs(empty)
        idle = {code: measure(runner, code, empty, os.path.join(root, 'run')) for code in codes}
        print(f'peak memory over an empty queue: lumaro-host {idle["own"][2] / 1e6:.1f} MB'
              + (f', GMime peer {idle["peer"][2] / 1e6:.1f} MB' if peer else '')
              + '; the memory check counts what a workload adds to it')
        print('Rates from wall-clock time (each program\'s own timing of its jobs) and from CPU time')
        print('(user + system of the process, less that of an empty run), which stays true on a busy')
        print('machine; the floor is checked on the CPU figure. "x peer" is the CPU rate over the')
        print("GMime peer's on the same files in the same run; \"spread\" how much the slowest run's CPU")
        print('time exceeds the fastest one\'s, of which the figures are.')
        print(f'{"workload":10} {"code":8} {"jobs":>5} {"changed":>7} {"MB":>6} {"wall s":>7} {"cpu s":>6} '
              f'{"MB/s":>6} {"cpu MB/s":>8} {"msg/s":>7} {"cpu msg/s":>9} {"peak MB":>7} {"x peer":>6} {"spread":>7}  floor')
        for name in WORKLOADS:
            if args.only and name not in args.only:
                continue
            jobs, total, largest = sizes_of(os.path.join(sources, name))
            rows, spreads = {}, {}
            for code in codes:
                results = [measure(runner, code, os.path.join(sources, name), os.path.join(root, 'run'))
                           for _ in range(args.repeat)]
                changed, seconds, peak, cpu, _ = min(results, key=lambda r: r[3])
                rows[code] = changed, seconds, peak, max(cpu - idle[code][3], 1e-6)
                spreads[code] = max(r[3] for r in results) / cpu - 1
            for code, (changed, seconds, peak, cpu) in rows.items():
                rate, per_second = total / 1e6 / seconds, jobs / seconds
                cpu_rate, cpu_per_second = total / 1e6 / cpu, jobs / cpu
                ratio = f'{rows["peer"][3] / cpu:6.2f}' if peer and code != 'peer' else f'{"":6}'
                verdict = ''
                if code != 'peer':
                    floor = FLOORS[name][0 if code == 'own' else 1]
                    figure = cpu_per_second if name == 'mix' else cpu_rate
                    memory = 'ok' if peak - idle[code][2] <= MEMORY_FACTOR * largest else 'OVER'
                    paced = 'no peer' if not peer else 'ok' if rows['peer'][3] / cpu >= PEER_RATIOS[name] else 'BELOW'
                    verdict = (f'{"ok" if figure >= floor else "BELOW"} (>= {floor}'
                               f'{" msg/s" if name == "mix" else " MB/s"}), '
                               f'{paced} (>= x{PEER_RATIOS[name]} peer), '
                               f'memory {memory} (<= {MEMORY_FACTOR} x {largest / 1e6:.1f} MB)')
                    if code == 'library' and name in LIBRARY_SHARES:
                        share = cpu / rows['own'][3]
                        verdict += (f', {"ok" if share <= LIBRARY_SHARES[name] else "OVER"} '
                                    f'(x{share:.2f} own, <= x{LIBRARY_SHARES[name]})')
                print(f'{name:10} {code:8} {jobs:5} {changed:7} '
                      f'{total / 1e6:6.1f} {seconds:7.3f} {cpu:6.3f} {rate:6.1f} {cpu_rate:8.1f} '
                      f'{per_second:7.0f} {cpu_per_second:9.0f} {peak / 1e6:7.1f} {ratio} '
                      f'{spreads[code] * 100:6.0f}%  {verdict}', flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == '__main__':
    main()
