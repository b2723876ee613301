#!/usr/bin/env python3
"""Peak memory of one job on messages shaped to make a MIME reader spend memory
(tests/host/hostile_shapes.py), at several sizes: each message alone in a queue
through `lumaro-host queue`, whose summary gives the peak memory of the whole
program. Prints the peak as a multiple of the message and checks it against the
bound the module keeps: three times the message plus 64 MB.

    python3 bench/hostile_memory.py --host build/rel/tools/lumaro-host [--sizes 1 4 16 64]
        [--only SHAPE ...] [--limit-mb 4096]
    python3 bench/hostile_memory.py --host build/win/tools/lumaro-host.exe --emulator wine \\
        --module build/win/lumaro/lumaro.dll

--limit-mb caps the address space of each run (Linux), so that a build without
the bound fails its run instead of taking the machine's memory."""

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'host'))
import hostile_shapes  # noqa: E402

MB = 1_000_000
BOUND_FACTOR, BOUND_EXTRA = 3, 64 * MB


def run(args, folder, data):
    queue = os.path.join(folder, 'QUEUE')
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(queue)
    if data is not None:
        with open(os.path.join(queue, 'HOSTILE.QDF'), 'wb') as f:
            f.write(data)
    path = (lambda p: 'Z:' + p.replace('/', '\\')) if args.emulator else (lambda p: p)
    with open(os.path.join(folder, 'lumaro.ini'), 'w') as f:
        f.write(f'[Lumaro]\nLogFile={path(os.path.join(folder, "lumaro.log"))}\nCharSet=ISO-8859-2\n')
    cmd = [e for e in args.emulator.split(';') if e] + [args.host, 'queue', '--base', path(folder)]
    if args.module:
        cmd += ['--module', path(args.module)]
    limit = args.limit_mb * 1024 * 1024

    def cap():
        if args.limit_mb and not args.emulator:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    env = dict(os.environ, LUMARO_CODEPAGE='1250', WINEDEBUG='-all')
    r = subprocess.run(cmd, capture_output=True, env=env, preexec_fn=cap, timeout=3600)
    text = r.stdout.decode(errors='replace')
    found = re.search(r'jobs \d+, changed (\d+), failed (\d+), ([\d.]+) seconds.*peak memory ([\d.]+) MB', text)
    if not found:
        return None, None, 'no summary (exit %d): %s' % (r.returncode, (text + r.stderr.decode())[-200:])
    outcome = 'failed' if found[2] != '0' else 'changed' if found[1] != '0' else 'unchanged'
    return float(found[4]) * MB, float(found[3]), outcome


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--host', required=True)
    parser.add_argument('--module', default='')
    parser.add_argument('--emulator', default='')
    parser.add_argument('--sizes', nargs='*', type=float, default=[1, 4, 16], help='message sizes in MB')
    parser.add_argument('--only', nargs='*', help='shapes to run (' + ' '.join(hostile_shapes.SHAPES) + ')')
    parser.add_argument('--dir', default='/dev/shm')
    parser.add_argument('--limit-mb', type=int, default=0)
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix='lumaro-hostile-', dir=args.dir)
    over = 0
    try:
        idle, _, _ = run(args, os.path.join(root, 'run'), None)
        print(f'peak memory over an empty queue: {idle / MB:.1f} MB')
        print(f'{"shape":28} {"MB":>6} {"peak MB":>8} {"x msg":>6} {"seconds":>8} {"outcome":>9}  bound '
              f'{BOUND_FACTOR} x message + {BOUND_EXTRA // MB} MB')
        for name, make in hostile_shapes.SHAPES.items():
            if args.only and name not in args.only:
                continue
            for size in args.sizes:
                data = make(int(size * MB))
                peak, seconds, outcome = run(args, os.path.join(root, 'run'), data)
                del data
                if peak is None:
                    over += 1
                    print(f'{name:28} {size:6.1f} {outcome}', flush=True)
                    continue
                bytes_ = int(size * MB)
                verdict = 'ok' if peak <= BOUND_FACTOR * bytes_ + BOUND_EXTRA else 'OVER'
                over += verdict != 'ok'
                print(f'{name:28} {size:6.1f} {peak / MB:8.1f} {peak / bytes_:6.1f} {seconds:8.2f} '
                      f'{outcome:>9}  {verdict}', flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    sys.exit(1 if over else 0)


if __name__ == '__main__':
    main()
