"""A small client of the milter protocol (version 6), playing the MTA's side the
way Postfix does, and the pieces the milter tests share: starting lumaro-milter,
cutting a message into the fields an MTA hands over, and applying the edits a
milter sends back."""

import argparse
import contextlib
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

ACTIONS_ALL = 0x1FF
# Every step and reply flag of version 6, and the larger data sizes.
PROTOCOL_ALL = 0x1FFFFF | 0x30000000
NO_FLAGS = {'C': 0x1, 'H': 0x2, 'M': 0x4, 'R': 0x8, 'B': 0x10, 'L': 0x20, 'N': 0x40, 'T': 0x200}
NO_REPLY = {'C': 0x1000, 'H': 0x2000, 'M': 0x4000, 'R': 0x8000, 'T': 0x10000, 'N': 0x40000,
            'B': 0x80000, 'L': 0x80}
FINAL = {b'c': 'continue', b'a': 'accept', b'r': 'reject', b't': 'tempfail', b'd': 'discard'}
CHUNK = 65535


class MilterClient:
    def __init__(self, port, timeout=60, protocol=PROTOCOL_ALL):
        """port: a loopback port, or the path of a unix socket. Offers the milter the
        steps it may skip and leave unanswered in protocol."""
        if isinstance(port, str):
            self.sock = socket.socket(socket.AF_UNIX)
            self.sock.settimeout(timeout)
            try:
                self.sock.connect(port)
            except OSError:
                self.sock.close()
                raise
        else:
            self.sock = socket.create_connection(('127.0.0.1', port), timeout=timeout)
            # Many small packets, each waiting for its reply: no delayed sending.
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.send(b'O', struct.pack('>III', 6, ACTIONS_ALL, protocol))
        cmd, data = self.recv()
        assert cmd == b'O', cmd
        self.version, self.actions, self.protocol = struct.unpack('>III', data[:12])
        self.macros(b'C', j='mx.example.cz')
        verdict = self.step(b'C', b'client.example.cz\0' + b'4' + struct.pack('>H', 40000) + b'127.0.0.1\0')
        assert verdict in (None, 'continue'), verdict

    def close(self):
        try:
            self.send(b'Q')
        except OSError:
            pass
        self.sock.close()

    def send(self, cmd, data=b''):
        self.sock.sendall(struct.pack('>I', len(data) + 1) + cmd + data)

    def recv_exact(self, n):
        out = b''
        while len(out) < n:
            piece = self.sock.recv(n - len(out))
            if not piece:
                raise ConnectionError('the milter closed the connection')
            out += piece
        return out

    def recv(self):
        (length,) = struct.unpack('>I', self.recv_exact(4))
        data = self.recv_exact(length)
        return data[:1], data[1:]

    def step(self, cmd, data=b''):
        """Sends one step; gives the milter's reply, or None when none is due."""
        letter = cmd.decode()
        if self.protocol & NO_FLAGS.get(letter, 0):
            return None
        self.send(cmd, data)
        if self.protocol & NO_REPLY.get(letter, 0):
            return None
        while True:
            reply, _ = self.recv()
            if reply != b'p':
                return FINAL.get(reply, reply)

    def macros(self, stage, **values):
        self.send(b'D', stage + b''.join(k.encode() + b'\0' + v.encode() + b'\0' for k, v in values.items()))

    def message(self, fields, body, sender='<sender@example.cz>', esmtp=(), queue_id='4AB12C3D4E',
                cuts=None, end=True):
        """One whole transaction. Gives (verdict, edits); the verdict of the first
        step that does not continue ends it early."""
        self.macros(b'M', i=queue_id)
        steps = [(b'M', b''.join(a.encode() + b'\0' for a in (sender,) + tuple(esmtp))),
                 (b'R', b'<rcpt@example.cz>\0')]
        for name, value in fields:
            steps.append((b'L', name.encode('latin-1') + b'\0' + value + b'\0'))
        steps.append((b'N', b''))
        for chunk in body_chunks(body, cuts):
            steps.append((b'B', chunk))
        for cmd, data in steps:
            if cmd in (b'N', b'B', b'L'):
                self.macros(cmd, i=queue_id)
            verdict = self.step(cmd, data)
            if verdict not in (None, 'continue'):
                return verdict, []
        if not end:
            return 'continue', []
        self.macros(b'E', i=queue_id)
        self.send(b'E')
        edits = []
        while True:
            reply, data = self.recv()
            if reply in FINAL:
                return FINAL[reply], edits
            if reply != b'p':
                edits.append((reply, data))

    def abort(self):
        self.send(b'A')


def body_chunks(body, cuts):
    """The body in pieces: at the given offsets, and never more than the protocol's
    65,535 bytes at once."""
    points = sorted(set([0, len(body)] + list(cuts or [])))
    for a, b in zip(points, points[1:]):
        for at in range(a, b, CHUNK):
            yield body[at:min(b, at + CHUNK)]


def split_message(data):
    """A message as an MTA hands it to a milter: header fields with folds kept as
    LF plus blanks, the blank after the colon gone, and the body with CR LF."""
    data = re.sub(rb'\r?\n', b'\r\n', data)
    head, sep, body = data.partition(b'\r\n\r\n')
    if not sep:
        head, body = data, b''
    fields = []
    for line in head.split(b'\r\n'):
        if line[:1] in (b' ', b'\t') and fields:
            fields[-1][1] += b'\n' + line
        elif line:
            name, _, value = line.partition(b':')
            fields.append([name.decode('latin-1'), value.lstrip(b' \t')])
    return [(n, v) for n, v in fields], body


def queue_file(fields, body):
    """The bytes the milter spools for a message: what the filter is given."""
    head = b''.join(n.encode('latin-1') + b': ' + re.sub(rb'(?<!\r)\n', b'\r\n', v) + b'\r\n'
                    for n, v in fields)
    return head + b'\r\n' + body


def apply_edits(fields, body, edits):
    """The message as the MTA makes it after the milter's edits."""
    fields = [list(f) for f in fields]
    replaced = None
    for cmd, data in edits:
        if cmd == b'h':
            name, value = data.split(b'\0')[:2]
            fields.append([name.decode('latin-1'), value])
        elif cmd == b'i':
            (index,) = struct.unpack('>I', data[:4])
            name, value = data[4:].split(b'\0')[:2]
            fields.insert(index, [name.decode('latin-1'), value])
        elif cmd == b'm':
            (index,) = struct.unpack('>I', data[:4])
            name, value = data[4:].split(b'\0')[:2]
            same = [f for f in fields if f[0].lower() == name.decode('latin-1').lower()]
            target = same[index - 1]
            if value:
                target[1] = value
            else:
                fields.remove(target)
        elif cmd == b'b':
            replaced = (replaced or b'') + data
        else:
            raise AssertionError(f'unexpected edit {cmd!r}')
    return [(n, v) for n, v in fields], body if replaced is None else replaced


def words(value):
    return b' '.join(value.split())


def header_set(fields):
    """Fields as the comparison sees them: names without regard to case, values
    unfolded, in order within a name."""
    return sorted(((n.lower(), words(v)) for n, v in fields), key=lambda f: f[0])


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def listens(connect, process=None, timeout=20):
    """Whether connect() gives a connection before the time is up (and while
    process, when given, still runs)."""
    deadline = time.time() + timeout
    while time.time() < deadline and (process is None or process.poll() is None):
        try:
            connect().close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def loopback(port):
    return lambda: socket.create_connection(('127.0.0.1', port), timeout=1)


def unix_connection(path):
    sock = socket.socket(socket.AF_UNIX)
    sock.settimeout(1)
    try:
        sock.connect(path)
    except OSError:
        sock.close()
        raise
    return sock


class Milter:
    """lumaro-milter on a loopback port, or on the unix socket `unix` when given,
    its stderr in a file. Its private scratch folder goes into a new folder in
    `scratch` (default: the system's folder for temporary files)."""

    def __init__(self, exe, module, *args, env=None, port=None, unix=None, scratch=None):
        self.port = None if unix else port or free_port()
        self.unix = unix
        # How the MTA names the socket.
        self.address = f'unix:{unix}' if unix else f'inet:127.0.0.1:{self.port}'
        self.scratch = tempfile.mkdtemp(prefix='lumaro-milter-test-', dir=scratch)
        self.log_path = os.path.join(self.scratch, 'stderr.log')
        self.log_file = open(self.log_path, 'wb')
        command = [exe, '--socket', f'unix:{unix}' if unix else f'inet:{self.port}@127.0.0.1',
                   '--scratch', self.scratch, '--module', module, '--host', 'mx.example.cz', *args]
        full_env = dict(os.environ, LUMARO_CODEPAGE='1250', **(env or {}))
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=self.log_file, env=full_env)
        if not listens(self.connect, self.process):
            raise RuntimeError('lumaro-milter does not listen: ' + self.log())

    def connect(self):
        return unix_connection(self.unix) if self.unix else loopback(self.port)()

    def client(self, **kw):
        return MilterClient(self.port, **kw)

    def log(self):
        with open(self.log_path, 'rb') as f:
            return f.read().decode('latin-1')

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log_file.close()
        return self.process.returncode

    def cleanup(self):
        self.stop(signal.SIGKILL)
        shutil.rmtree(self.scratch, ignore_errors=True)

    def private_folders(self):
        return [n for n in os.listdir(self.scratch) if n.startswith('lumaro-milter.')]


class BaseFolder:
    """A --base folder whose lumaro.ini names activity.log in it as the log."""
    GOOD = '[Lumaro]\nLogFile=activity.log\n'

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix='lumaro-milter-base-')
        self.activity = os.path.join(self.path, 'activity.log')
        self.write_ini(self.GOOD)

    def write_ini(self, text):
        with open(os.path.join(self.path, 'lumaro.ini'), 'w') as f:
            f.write(text)

    @contextlib.contextmanager
    def unwritable_log(self):
        """Every job fails while the activity log points into a missing folder."""
        self.write_ini(f'[Lumaro]\nLogFile={self.path}/no/such/folder/activity.log\n')
        try:
            yield
        finally:
            self.write_ini(self.GOOD)

    def activity_lines(self):
        try:
            with open(self.activity, 'rb') as f:
                return f.read().decode('latin-1').splitlines()
        except OSError:
            return []

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


def run_filter(host, module, data, base=None):
    args = [host, 'filter', '--module', module, '--host', 'mx.example.cz']
    if base:
        args += ['--base', base]
    r = subprocess.run(args, input=data, capture_output=True,
                       env=dict(os.environ, LUMARO_CODEPAGE='1250'), timeout=120)
    return r.stdout, r.stderr, r.returncode


def parse_filtered(data):
    fields, body = split_message(data)
    return fields, body


def test_arguments():
    """--milter, --host and --module of a milter test script; the rest is unittest's."""
    parser = argparse.ArgumentParser()
    parser.add_argument('--milter', required=True)
    parser.add_argument('--host', required=True)
    parser.add_argument('--module', required=True)
    args, rest = parser.parse_known_args()
    return args, [sys.argv[0]] + rest


if __name__ == '__main__':
    sys.exit('a module for the milter tests')
