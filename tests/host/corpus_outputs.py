#!/usr/bin/env python3
"""Runs a fixed corpus of messages through lumaro-host and keeps every output, so
that two builds can be compared byte for byte (`diff -r OUT1 OUT2`): a change
meant to make the module faster must not change a single output byte.

    python3 tests/host/corpus_outputs.py --host H [--module M] [--emulator CMD] --out DIR
        [--bench-workloads] [--codes library own]

The corpus: the realistic messages of the end-to-end tests and the example
server's queue; messages holding every BMP character, invalid bytes, astral
characters and byte-order marks, as 8bit, quoted-printable and base64 text and
in encoded words, one of them long enough to be converted in pieces; each under
every configured charset that has a code table of its own, and a few others.
With --bench-workloads the job benchmark's workloads go through too (configured
charset ISO-8859-2). Every run happens with the iconv library and with the own
code (LUMARO_ICONV=none). The activity log is kept with its date and time masked."""

import argparse
import base64
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import hosttest  # noqa: E402
import messages  # noqa: E402

# Configured charset -> the code page the system charset is taken from.
CONFIGURATIONS = {
    'ISO-8859-1': 28591, 'ISO-8859-2': 1250, 'ISO-8859-3': 28593, 'ISO-8859-4': 28594,
    'ISO-8859-5': 28595, 'ISO-8859-6': 28596, 'ISO-8859-7': 28597, 'ISO-8859-8': 28598,
    'ISO-8859-9': 28599, 'ISO-8859-10': 1250, 'ISO-8859-13': 1257, 'ISO-8859-14': 1252,
    'ISO-8859-15': 28605, 'WINDOWS-1250': 1250, 'WINDOWS-1251': 1251, 'WINDOWS-1252': 1252,
    'WINDOWS-1253': 1253, 'WINDOWS-1254': 1254, 'WINDOWS-1255': 1255, 'WINDOWS-1256': 1256,
    'WINDOWS-1257': 1257, 'WINDOWS-1258': 1258, 'KOI8-R': 20866, 'CP-895': 895, 'CP852': 852,
    'UTF-8': 65001, 'KOI8-U': 21866, 'UTF-7': 1250,
}


def every_bmp_character():
    """Every BMP scalar value but the surrogates, 64 to a line, as UTF-8."""
    chars = [chr(c) for c in range(0x20, 0x10000) if not 0xD800 <= c <= 0xDFFF and chr(c) not in '\r\n']
    return '\n'.join(''.join(chars[i:i + 64]) for i in range(0, len(chars), 64)).encode('utf-8',
                                                                                       'surrogatepass')


# Bytes no valid UTF-8 holds, astral characters, byte-order marks and the reversed
# mark, beside ordinary text.
TROUBLE = (b'plain ' + '\u010d\u0159\u017e'.encode() + b' \xc3 \xe9t \x80\x80 \xf0\x9f\x98\x80 '
           b'\xef\xbb\xbf mark \xef\xbf\xbe reversed \xed\xa0\x80 surrogate \xc0\xaf overlong '
           b'\xf4\x90\x80\x80 beyond \xfe\xff end\n')


def long_mixed_text():
    """About 1.2 MB, so that the library converts it in pieces; multi-byte
    characters of every length fall on the cuts."""
    unit = messages.CZECH.encode() + 'Здравствуйте Καλημέρα € „“ …\n'.encode()
    body = unit * (1_200_000 // len(unit) + 1)
    return body[:600_000] + TROUBLE + body[600_000:]


def text_message(subject_words, body, cte):
    head = messages.common_head(subject_words) + \
        f'Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: {cte}\n'
    if cte == 'base64':
        encoded = messages.b64(body, '\n').encode()
    elif cte == 'quoted-printable':
        encoded = messages.qp(body.decode('latin-1'), 'latin-1', '\n').encode('latin-1')
    else:
        encoded = body
    return messages.message(head, encoded, body_charset='latin-1')


def raw_words(data):
    return '=?UTF-8?B?' + base64.b64encode(data).decode() + '?='


def stress_messages():
    bmp = every_bmp_character()
    subjects = [messages.ew('Příliš žluťoučký kůň – „€“'), messages.ew('Здравствуйте Καλημέρα', kind='B'),
                raw_words(TROUBLE[:40]), raw_words(bmp[3000:3900]), raw_words(b'\xef\xbb\xbfmark')]
    found = {}
    for n, cte in enumerate(['8bit', 'quoted-printable', 'base64']):
        found[f'BMP{n}'] = text_message(subjects[n % len(subjects)], bmp, cte)
        found[f'TROUBLE{n}'] = text_message(subjects[(n + 2) % len(subjects)], TROUBLE * 3, cte)
        found[f'LONG{n}'] = text_message(subjects[(n + 3) % len(subjects)], long_mixed_text(), cte)
    for n, subject in enumerate(subjects):
        found[f'SUBJECT{n}'] = text_message(subject, b'ok\n', '8bit')
    return found


def corpus():
    found = {job: data for job, (data, _) in messages.realistic().items()}
    found['CRONLY'] = messages.cr_only()
    examples = os.path.join(HERE, '..', '..', 'examples', 'server', 'QUEUE')
    for name in sorted(os.listdir(examples)):
        with open(os.path.join(examples, name), 'rb') as f:
            found['EXAMPLE' + name.split('.')[0]] = f.read()
    found.update(stress_messages())
    return found


def masked_log(path):
    if not os.path.exists(path):
        return b''
    with open(path, 'rb') as f:
        # Columns 2 to 14 hold the local date and time.
        return b''.join(line[:2] + b'X' * 13 + line[15:] for line in f.read().splitlines(keepends=True))


def run_queue(host, queue_files, charset, codepage, own_code, out):
    server = hosttest.Server(host, charset=charset)
    try:
        for job, data in queue_files.items():
            server.put(job, data)
        env = {'LUMARO_CODEPAGE': str(codepage)}
        if own_code:
            env['LUMARO_ICONV'] = 'none'
        else:
            env.pop('LUMARO_ICONV', None)
        r = server.run('queue', env=env, timeout=1200)
        if r.returncode != 0:
            raise RuntimeError(r.stdout.decode() + r.stderr.decode())
        os.makedirs(out, exist_ok=True)
        for job in queue_files:
            shutil.copyfile(server.qdf(job), os.path.join(out, job + '.QDF'))
        with open(os.path.join(out, 'activity.log'), 'wb') as f:
            f.write(masked_log(server.log))
        with open(os.path.join(out, 'summary'), 'wb') as f:
            f.write(r.stdout.split(b',')[0] + b'\n')
    finally:
        server.cleanup()


def bench_workloads(folder):
    subprocess.run([sys.executable, os.path.join(HERE, '..', '..', 'bench', 'job_bench.py'),
                    '--generate-into', folder], check=True)
    found = {}
    for workload in sorted(os.listdir(folder)):
        files = {}
        for name in sorted(os.listdir(os.path.join(folder, workload))):
            with open(os.path.join(folder, workload, name), 'rb') as f:
                files[name[:-4]] = f.read()
        found[workload] = files
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--host', required=True)
    parser.add_argument('--module', default='')
    parser.add_argument('--emulator', default='')
    parser.add_argument('--out', required=True)
    parser.add_argument('--bench-workloads', action='store_true')
    parser.add_argument('--codes', nargs='*', default=['library', 'own'])
    args = parser.parse_args()
    host = hosttest.Host(args.host, args.module, args.emulator)
    queue_files = corpus()
    for code in args.codes:
        for charset, codepage in CONFIGURATIONS.items():
            run_queue(host, queue_files, charset, codepage, code == 'own',
                      os.path.join(args.out, code, charset))
            print(code, charset, flush=True)
    if args.bench_workloads:
        scratch = tempfile.mkdtemp(prefix='lumaro-corpus-', dir='/dev/shm')
        try:
            for workload, files in bench_workloads(os.path.join(scratch, 'sources')).items():
                for code in args.codes:
                    run_queue(host, files, 'ISO-8859-2', 1250, code == 'own',
                              os.path.join(args.out, code, 'bench-' + workload))
                    print(code, workload, flush=True)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == '__main__':
    main()
