#!/usr/bin/env python3
"""Postfix with and without lumaro-milter: the 2,000-message mix of job_bench.py
sent by 8 SMTP clients at once through a throwaway Postfix on loopback, delivered
to Postfix's smtp-sink. Needs root and postfix installed.

    sudo python3 bench/milter_bench.py --milter build/rel/tools/lumaro-milter \\
        --module build/rel/lumaro/lumaro.so [--passthrough build/rel/bench/lumaro-passthrough.so]

Runs, in turn and --repeat times each: Postfix alone; the milter on a unix socket
with its scratch folder where the shipped systemd unit puts it (a tmpfs); the
same on a TCP socket; with --passthrough, the unix run with a module that changes
nothing (what the MTA and the milter cost without any job or edit); with
--disk-scratch, the unix run with the scratch folder on a disk.

For each run: messages per second from the first send to the last delivery, and
CPU milliseconds per message by process group, from /proc: Postfix's processes by
name (what exited before a sample is counted as "gone"), the milter, the clients,
the sink, this script, and what the rest of the machine used meanwhile. On a
machine whose cores are all busy the throughput ratio is a ratio of CPU costs.
From the milter's own summary: its time per message, its lock wait, and its peak
memory against the limit of --jobs times 3 times the largest message plus 20 MB.

With --side-by-side, two measurements at the milter protocol level come first (a
client of our own plays the MTA, so they need neither root nor Postfix):
- 8 connections sending 1 MB UTF-8 quoted-printable messages, messages per second
  with --jobs 1 and with --jobs 2 (and more, with --jobs-list);
- head of line: the median time of 100 small messages on 4 other connections while
  one 40 MB message converts, against their median on an idle milter, with --jobs 1
  and with --jobs 2.
--side-by-side-only stops after them."""

import argparse
import multiprocessing
import os
import random
import re
import shlex
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'mta'))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'milter'))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'host'))
import job_bench  # noqa: E402
from milterclient import FINAL, BaseFolder, Milter, free_port, listens, loopback, split_message  # noqa: E402
import messages as test_messages  # noqa: E402
from postfix_end_to_end import Postfix, PostfixGroupSocket, tagged  # noqa: E402

CLIENTS = 8
UNIT = os.path.join(HERE, '..', 'packaging', 'debian', 'lumaro-milter.service')
TICK = os.sysconf('SC_CLK_TCK')
POSTFIX_NAMES = ('smtpd', 'cleanup', 'qmgr', 'smtp', 'trivial-rewrite')


def mix():
    rng = random.Random(20261208)
    return [tagged(job_bench.typical(rng, n), f'B{n}') for n in range(2000)]


def smtp_data(message):
    """The message as the DATA command carries it, dot-stuffed and ended."""
    return re.sub(rb'(?m)^\.', b'..', message) + b'.\r\n'


# --- the clients and the sink -----------------------------------------------

def expect(reader, code):
    while True:
        line = reader.readline()
        if not line.startswith(code):
            raise RuntimeError(f'wanted {code.decode()}, got {line!r}')
        if line[3:4] != b'-':
            return


def send(port, data):
    """One message on a connection of its own, the commands pipelined."""
    with socket.create_connection(('127.0.0.1', port), timeout=300) as sock:
        reader = sock.makefile('rb')
        expect(reader, b'220')
        sock.sendall(b'EHLO client.example.cz\r\n')
        expect(reader, b'250')
        sock.sendall(b'MAIL FROM:<vera@example.cz>\r\nRCPT TO:<rozpocet@example.cz>\r\nDATA\r\n')
        for code in (b'250', b'250', b'354'):
            expect(reader, code)
        sock.sendall(data)
        expect(reader, b'250')
        sock.sendall(b'QUIT\r\n')


def clients(port, wire, report):
    """The client process: CLIENTS threads share the messages; reports its CPU
    seconds and any error."""
    errors = []

    def client(mine):
        try:
            for data in mine:
                send(port, data)
        except Exception as e:  # noqa: BLE001 - reported to the parent
            errors.append(repr(e))

    threads = [threading.Thread(target=client, args=(wire[i::CLIENTS],)) for i in range(CLIENTS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    times = os.times()
    report.send((times.user + times.system, errors))


class Sink:
    """Postfix's smtp-sink, counting the messages it was given."""

    def __init__(self):
        self.port = free_port()
        self.process = subprocess.Popen(['smtp-sink', '-u', 'postfix', '-c', f'127.0.0.1:{self.port}', '256'],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.count = 0
        self.changed = threading.Condition()
        threading.Thread(target=self.read_counters, daemon=True).start()
        if not listens(loopback(self.port), self.process):
            raise RuntimeError('smtp-sink does not listen')

    def read_counters(self):
        """smtp-sink -c rewrites one line of counters, ended by CR, after each event."""
        pending = b''
        while chunk := self.process.stdout.read1(4096):
            *records, pending = (pending + chunk).split(b'\r')
            found = [re.search(rb'mesg=(\d+)', r) for r in records]
            counts = [int(f[1]) for f in found if f]
            if counts:
                with self.changed:
                    self.count = counts[-1]
                    self.changed.notify_all()

    def wait_for(self, count, timeout=1200):
        deadline = time.time() + timeout
        with self.changed:
            while self.count < count:
                if time.time() > deadline:
                    raise RuntimeError(f'only {self.count} of {count} messages delivered')
                self.changed.wait(1)

    def close(self):
        self.process.terminate()
        self.process.wait()


# --- CPU time by process group ----------------------------------------------

def stat_of(pid):
    """(name, own CPU ticks, ticks of waited-for children) of a process, or None."""
    try:
        with open(f'/proc/{pid}/stat', 'rb') as f:
            data = f.read()
    except OSError:
        return None
    name = data[data.index(b'(') + 1:data.rindex(b')')].decode(errors='replace')
    fields = data[data.rindex(b')') + 2:].split()
    return name, int(fields[11]) + int(fields[12]), int(fields[13]) + int(fields[14])


def children_of(pid):
    out = []
    try:
        for task in os.listdir(f'/proc/{pid}/task'):
            with open(f'/proc/{pid}/task/{task}/children') as f:
                out += [int(c) for c in f.read().split()]
    except OSError:
        pass
    return out


def machine_busy_ticks():
    with open('/proc/stat') as f:
        values = [int(v) for v in f.readline().split()[1:]]
    return sum(values) - values[3] - values[4]  # less idle and iowait


class CpuSampler:
    """Samples the CPU ticks of Postfix's processes (by name) and of the given
    ones, often enough that few ticks of a Postfix process that exits are missed;
    the master's count of its reaped children gives the exact total."""

    def __init__(self, master, others):
        self.master, self.others = master, others
        self.last = {}  # pid -> (group, ticks)
        self.first = {}
        self.stop_event = threading.Event()
        self.sample()
        self.first = dict(self.last)
        self.start_reaped = stat_of(master)[2]
        self.start_busy = machine_busy_ticks()
        self.start_self = os.times()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def sample(self):
        for pid in [self.master] + children_of(self.master):
            stat = stat_of(pid)
            if stat:
                name = stat[0] if stat[0] in POSTFIX_NAMES else 'other postfix'
                self.last[pid] = ('postfix ' + name, stat[1])
        for group, pid in self.others.items():
            stat = stat_of(pid)
            if stat:
                self.last[pid] = (group, stat[1])

    def run(self):
        while not self.stop_event.wait(0.2):
            self.sample()

    def finish(self):
        """CPU seconds by group over the sampled span."""
        self.stop_event.set()
        self.thread.join()
        self.sample()
        groups = {}
        for pid, (group, ticks) in self.last.items():
            groups[group] = groups.get(group, 0) + ticks - self.first.get(pid, (group, 0))[1]
        live = [self.master] + children_of(self.master)
        postfix_now = sum(stat_of(p)[1] for p in live if stat_of(p)) + stat_of(self.master)[2]
        postfix_then = sum(t for p, (g, t) in self.first.items() if g.startswith('postfix')) + self.start_reaped
        seen = sum(t for g, t in groups.items() if g.startswith('postfix'))
        groups['postfix gone'] = max(0, postfix_now - postfix_then - seen)
        seconds = {g: t / TICK for g, t in groups.items()}
        own = os.times()
        seconds['this script'] = own.user + own.system - self.start_self.user - self.start_self.system
        seconds['machine busy'] = (machine_busy_ticks() - self.start_busy) / TICK
        return seconds


# --- one run -----------------------------------------------------------------

def postfix_master(postfix):
    with open(os.path.join(postfix.root, 'queue', 'pid', 'master.pid')) as f:
        return int(f.read().split()[0])


def scratch_bytes(folder):
    total = 0
    for root, _, files in os.walk(folder):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
    return total


def run(wire, milter=None):
    """Messages per second, CPU seconds by group, and the peak size of the
    milter's scratch files."""
    sink = Sink()
    postfix = Postfix(milter.address if milter else None, sink.port)
    try:
        warm_up = smtp_data(tagged(b'Subject: warm-up\r\n\r\nwarm\r\n', 'WARMUP'))
        send(postfix.smtp_port, warm_up)
        sink.wait_for(1)
        others = {'sink': sink.process.pid}
        if milter:
            others['milter'] = milter.process.pid
        receive, report = multiprocessing.Pipe(duplex=False)
        sender = multiprocessing.Process(target=clients, args=(postfix.smtp_port, wire, report))
        start = time.time()
        sampler = CpuSampler(postfix_master(postfix), others)
        sender.start()
        peak_scratch = 0
        while sink.count < len(wire) + 1 and sender.is_alive():
            if milter:
                peak_scratch = max(peak_scratch, scratch_bytes(milter.scratch))
            time.sleep(0.1)
        client_cpu, errors = receive.recv()
        sender.join()
        if errors:
            raise RuntimeError(f'{len(errors)} clients failed: {errors[:3]}')
        sink.wait_for(len(wire) + 1)
        elapsed = time.time() - start
        cpu = sampler.finish()
        cpu['clients'] = client_cpu
        return len(wire) / elapsed, cpu, peak_scratch
    finally:
        postfix.stop()
        sink.close()


def unit_scratch():
    """The folder the shipped unit gives --scratch, or None."""
    with open(UNIT) as f:
        text = f.read().replace('\\\n', ' ')
    command = shlex.split(re.search(r'(?m)^ExecStart=(.*)$', text)[1])
    return command[command.index('--scratch') + 1] if '--scratch' in command else None


def filesystem_of(path):
    """The type of the file system that holds path (or its nearest existing parent)."""
    while not os.path.exists(path):
        path = os.path.dirname(path)
    best, kind = '', '?'
    with open('/proc/mounts') as f:
        for line in f:
            _, point, fstype = line.split()[:3]
            if (path + '/').startswith(point.rstrip('/') + '/') and len(point) >= len(best):
                best, kind = point, fstype
    return kind


def scratch_parent(args):
    """Where the runs put their scratch folders, and a line that says why."""
    if args.scratch:
        return args.scratch, f'scratch in {args.scratch} ({filesystem_of(args.scratch)}, as given)'
    wanted = unit_scratch() or tempfile.gettempdir()
    parent = wanted
    while not os.path.isdir(parent):
        parent = os.path.dirname(parent)
    kind = filesystem_of(parent)
    if kind == 'tmpfs' or wanted == tempfile.gettempdir():
        return parent, f'scratch in {parent} ({kind}), as the shipped unit has it ({wanted})'
    # A systemd machine has /run on a tmpfs; a container may not.
    return '/dev/shm', (f'scratch in /dev/shm (tmpfs): the shipped unit has it in {wanted}, which is a '
                        f'tmpfs where systemd runs, but {kind} on this machine')


class MilterRun:
    """lumaro-milter as one run starts it: on a unix socket in a folder the
    postfix group may enter, or on a loopback port."""

    def __init__(self, args, module, unix, scratch):
        self.folder = BaseFolder()
        self.socket = PostfixGroupSocket()
        jobs = ('--jobs', args.milter_jobs) if args.milter_jobs else ()
        self.milter = Milter(args.milter, module, '--base', self.folder.path, *jobs,
                             unix=self.socket.path if unix else None, scratch=scratch)
        if unix:
            self.socket.admit()

    def summary(self):
        self.milter.stop(signal.SIGTERM)
        found = re.search(r'stopped: (.*)', self.milter.log())
        return found[1] if found else 'no summary: ' + self.milter.log()[-2000:]

    def cleanup(self):
        self.milter.cleanup()
        self.folder.cleanup()
        self.socket.cleanup()


def one_run(args, wire, kind, scratch):
    if kind == 'alone':
        return run(wire) + ('',)
    module = args.passthrough if kind == 'passthrough' else args.module
    where = args.disk_scratch if kind == 'disk scratch' else scratch
    started = MilterRun(args, module, kind != 'inet', where)
    try:
        result = run(wire, started.milter)
        return result + (started.summary(),)
    finally:
        started.cleanup()


# --- jobs side by side, at the milter protocol level -------------------------

def qp_message(key, size):
    """About size bytes of Czech UTF-8 text in quoted-printable, under a subject of
    its own."""
    unit = test_messages.qp(test_messages.CZECH, 'utf-8', '\r\n')
    body = unit * max(1, size // len(unit))
    head = (f'Subject: {test_messages.ew("Žádost " + key)}\r\nFrom: vera@example.cz\r\nMIME-Version: 1.0\r\n'
            'Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n')
    return split_message(head.encode() + body.encode())


class SideBySideMilter:
    """lumaro-milter with --jobs N on a loopback port."""

    def __init__(self, args, jobs):
        self.folder = BaseFolder()
        self.milter = Milter(args.milter, args.module, '--base', self.folder.path, '--jobs', str(jobs))

    def __enter__(self):
        return self.milter

    def __exit__(self, *exc):
        self.milter.cleanup()
        self.folder.cleanup()


def timed_messages(milter, shares, times, errors):
    """One thread and connection per share, each sending its messages in turn;
    each message's seconds from its first byte to the verdict go into times."""
    def connection(share):
        client = milter.client()
        try:
            for key, (fields, body) in share:
                start = time.perf_counter()
                verdict, _ = client.message(fields, body, queue_id='Q' + key)
                if verdict != 'continue':
                    raise RuntimeError(f'{key}: {verdict}')
                times[key] = time.perf_counter() - start
        except Exception as e:  # noqa: BLE001 - reported by the caller
            errors.append(repr(e))
        finally:
            client.close()

    threads = [threading.Thread(target=connection, args=(share,)) for share in shares]
    for t in threads:
        t.start()
    return threads


def cpu_seconds(pid):
    """User and system CPU seconds of a process so far."""
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rate_with_jobs(args, jobs, connections=8, per_connection=4):
    """Messages per second of 1 MB quoted-printable messages on 8 connections, and
    the milter's CPU milliseconds per message."""
    keys = [f'R{n}' for n in range(connections * per_connection)]
    wire = {key: qp_message(key, 1_000_000) for key in keys}
    with SideBySideMilter(args, jobs) as milter:
        times, errors = {}, []
        cpu_before = cpu_seconds(milter.process.pid)
        start = time.perf_counter()
        shares = [[(k, wire[k]) for k in keys[i::connections]] for i in range(connections)]
        for t in timed_messages(milter, shares, times, errors):
            t.join()
        elapsed = time.perf_counter() - start
        cpu = cpu_seconds(milter.process.pid) - cpu_before
    if errors:
        raise RuntimeError(f'{len(errors)} connections failed: {errors[:3]}')
    return len(keys) / elapsed, 1000 * cpu / len(keys)


def head_of_line(args, jobs, connections=4, small=100):
    """Median seconds of the small messages on an idle milter, and of those that
    started while the job of a 40 MB message ran on another connection (by the job
    time the milter logs; each connection sends small messages until the big one
    has its verdict); how many those were, and that job time."""
    keys = [f'S{n}' for n in range(small)]
    wire = {key: qp_message(key, 2_000) for key in keys}
    shares = [[(k, wire[k]) for k in keys[i::connections]] for i in range(connections)]
    big_fields, big_body = qp_message('BIG', 40_000_000)
    with SideBySideMilter(args, jobs) as milter:
        idle, errors = {}, []
        for t in timed_messages(milter, shares, idle, errors):
            t.join()
        big = milter.client()
        # The big message is spooled first; its job starts with the end of the message.
        big.message(big_fields, big_body, queue_id='QBIG', end=False)
        big.macros(b'E', i='QBIG')
        done = threading.Event()
        beside = []

        def connection(n):
            client = milter.client()
            try:
                while not done.is_set():
                    fields, body = wire[keys[n]]
                    start = time.perf_counter()
                    client.message(fields, body, queue_id=f'QL{n}')
                    beside.append((start - job_start, time.perf_counter() - start))
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))
            finally:
                client.close()

        job_start = time.perf_counter()
        big.send(b'E')
        threads = [threading.Thread(target=connection, args=(n,)) for n in range(connections)]
        for t in threads:
            t.start()
        while big.recv()[0] not in FINAL:
            pass
        done.set()
        for t in threads:
            t.join()
        big.close()
        found = re.search(r'QBIG: \w+.*? job ([\d.]+) ms', milter.log())
    if errors:
        raise RuntimeError(f'{len(errors)} connections failed: {errors[:3]}')
    job = float(found[1]) / 1000 if found else float('inf')
    during = [seconds for started, seconds in beside if started < job]
    return (statistics.median(idle.values()), statistics.median(during) if during else float('nan'), len(during),
            job)


def side_by_side(args):
    print(f'jobs side by side, milter protocol level; {os.cpu_count()} cores, shared with whatever else '
          f'runs on this machine (load average {os.getloadavg()[0]:.1f} at the start)')
    rates = {jobs: rate_with_jobs(args, jobs) for jobs in args.jobs_list}
    first = rates[args.jobs_list[0]][0]
    for jobs, (rate, cpu) in rates.items():
        print(f'  --jobs {jobs}: {rate:6.1f} messages/s of 1 MB quoted-printable on 8 connections '
              f'({rate / first:.2f} times --jobs {args.jobs_list[0]}); milter CPU {cpu:.1f} ms a message')
    for jobs in (1, 2):
        idle, beside, count, job = head_of_line(args, jobs)
        print(f'  head of line, --jobs {jobs}: small messages on 4 connections, median {1000 * idle:.1f} ms idle, '
              f'{1000 * beside:.1f} ms for the {count} sent while the job of a 40 MB message ran '
              f'({beside / idle:.1f} times; that job took {job:.2f} s)', flush=True)
    print()


# --- the report --------------------------------------------------------------

GROUPS = ['postfix smtpd', 'postfix cleanup', 'postfix qmgr', 'postfix smtp', 'postfix trivial-rewrite',
          'postfix other postfix', 'postfix gone', 'milter', 'clients', 'sink', 'this script']
SHORT = {'postfix smtpd': 'smtpd', 'postfix cleanup': 'cleanup', 'postfix qmgr': 'qmgr', 'postfix smtp': 'smtp',
         'postfix trivial-rewrite': 'rewrite', 'postfix other postfix': 'pf-other', 'postfix gone': 'pf-gone',
         'this script': 'script'}
COLUMNS = ['postfix'] + GROUPS + ['ours', 'others']


def per_message(cpu, messages):
    """CPU milliseconds per message by column: Postfix as a whole and by process,
    the milter, the bench's own processes, all of ours, and the rest of the machine."""
    ms = {g: 1000 * cpu.get(g, 0.0) / messages for g in GROUPS}
    ms['postfix'] = sum(v for g, v in ms.items() if g.startswith('postfix'))
    ms['ours'] = sum(ms[g] for g in GROUPS)
    ms['others'] = max(0.0, 1000 * cpu['machine busy'] / messages - ms['ours'])
    return ms


def width(column):
    return max(len(SHORT.get(column, column)), 5)


def header_line():
    names = ' '.join(f'{SHORT.get(c, c):>{width(c)}}' for c in COLUMNS)
    return f'{"run":13} {"msg/s":>6} {names} {"busy%":>5}'


def run_line(kind, rate, ms, busy):
    cells = ' '.join(f'{ms[c]:{width(c)}.2f}' for c in COLUMNS)
    return f'{kind:13} {rate:6.1f} {cells} {busy:5.0f}'


def summary(results, largest, jobs):
    """Medians per kind: throughput and CPU per message, each against Postfix alone."""
    lines = []
    alone = results.get('alone')
    for kind, runs in results.items():
        rates = [r['rate'] for r in runs]
        rate = statistics.median(rates)
        mta = statistics.median(r['ms']['postfix'] + r['ms']['milter'] for r in runs)
        ours = statistics.median(r['ms']['ours'] for r in runs)
        line = (f'{kind:13} {rate:6.1f} messages/s (median of {", ".join(f"{x:.1f}" for x in rates)}); '
                f'CPU per message: Postfix and milter {mta:.2f} ms, with clients and sink {ours:.2f} ms')
        if alone and kind != 'alone':
            base_rate = statistics.median(r['rate'] for r in alone)
            base_mta = statistics.median(r['ms']['postfix'] for r in alone)
            base_ours = statistics.median(r['ms']['ours'] for r in alone)
            line += (f'\n{"":13} against Postfix alone: {100 * (1 - rate / base_rate):.1f} % fewer messages/s; '
                     f'as CPU cost {100 * (1 - base_mta / mta):.1f} % (Postfix and milter), '
                     f'{100 * (1 - base_ours / ours):.1f} % (with clients and sink)')
        lines.append(line)
    limit = jobs * 3 * largest + 20e6
    for kind, runs in results.items():
        for r in runs:
            if not r['summary']:
                continue
            peak = re.search(r'peak memory ([\d.]+) MB', r['summary'])
            within = 'within' if peak and float(peak[1]) * 1e6 <= limit else 'OVER'
            lines.append(f'lumaro-milter, {kind}: {r["summary"]}; {within} the limit of {limit / 1e6:.1f} MB; '
                         f'scratch files at most {r["scratch"] / 1e6:.1f} MB')
    return '\n'.join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--milter', required=True)
    parser.add_argument('--module', required=True)
    parser.add_argument('--passthrough', help='a module whose jobs change nothing: adds a pass-through run')
    parser.add_argument('--disk-scratch', help='a folder on a disk: adds a run with the scratch folder there')
    parser.add_argument('--scratch', help='where the scratch folders go (default: as the shipped unit has it)')
    parser.add_argument('--repeat', type=int, default=1, help='rounds of runs; the median counts')
    parser.add_argument('--runs', default='alone,unix,inet', help='of alone, unix, inet (comma-separated)')
    parser.add_argument('--side-by-side', action='store_true', help='the --jobs measurements first')
    parser.add_argument('--side-by-side-only', action='store_true', help='the --jobs measurements only')
    parser.add_argument('--jobs-list', default='1,2', help='the --jobs values of the rate measurement')
    parser.add_argument('--milter-jobs', help='--jobs of the milter in the Postfix runs (default: its own)')
    args = parser.parse_args()
    args.jobs_list = [int(j) for j in args.jobs_list.split(',')]
    if args.side_by_side or args.side_by_side_only:
        side_by_side(args)
        if args.side_by_side_only:
            return
    if os.geteuid() != 0:
        sys.exit('the benchmark runs a Postfix instance and needs root')
    messages = mix()
    wire = [smtp_data(m) for m in messages]
    largest = max(map(len, messages))
    scratch, where = scratch_parent(args)
    kinds = args.runs.split(',') + (['passthrough'] if args.passthrough else []) + \
        (['disk scratch'] if args.disk_scratch else [])
    cores = os.cpu_count()
    print(f'{len(messages)} messages, {sum(map(len, messages)) / 1e6:.1f} MB, largest {largest / 1e6:.2f} MB, '
          f'{CLIENTS} clients, one message per connection; {cores} cores; {where}')
    print('CPU milliseconds per message by process group; others: the rest of the machine meanwhile; '
          'busy%: of all cores')
    print(header_line())
    results = {k: [] for k in kinds}
    for _ in range(args.repeat):
        for kind in kinds:
            rate, cpu, scratch_peak, milter_summary = one_run(args, wire, kind, scratch)
            ms = per_message(cpu, len(wire))
            results[kind].append({'rate': rate, 'ms': ms, 'scratch': scratch_peak, 'summary': milter_summary})
            busy = 100 * cpu['machine busy'] * rate / (cores * len(wire))
            print(run_line(kind, rate, ms, busy), flush=True)
    print()
    print(summary(results, largest, int(args.milter_jobs or cores)))


if __name__ == '__main__':
    main()
