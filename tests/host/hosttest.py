"""Shared pieces of the host-level tests: running lumaro-host (natively or under an
emulator such as Wine) over scratch server folders.

Every test script takes --host PATH (the lumaro-host executable), optionally
--module PATH (the module to load) and --emulator CMD (a ';'-separated command
that runs the Windows build), and passes the rest to unittest."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

# The version the build gave the module; the test list passes it on.
PRODUCT = 'Lumaro ' + os.environ['LUMARO_TEST_VERSION']
TAG_TEXT = ': normalization conversion made by ' + PRODUCT + ' on '
CRASH = PRODUCT + ' - CRASH: '


class Host:
    """lumaro-host as the tests run it."""

    def __init__(self, exe, module, emulator):
        self.exe = exe
        self.module = module
        self.emulator = [e for e in emulator.split(';') if e] if emulator else []

    @property
    def windows(self):
        return bool(self.emulator) or self.exe.lower().endswith('.exe')

    def path(self, p):
        """A path as the host program sees it: Wine maps the Unix root to Z:."""
        p = os.path.abspath(p)
        if self.emulator:
            return 'Z:' + p.replace('/', '\\')
        return p

    def command(self, *args, module=True):
        args = list(args)
        if module and self.module and args and not args[0].startswith('-'):
            args[1:1] = ['--module', self.path(self.module)]
        return self.emulator + [self.exe] + args

    @staticmethod
    def environment(env):
        # Decoded headers are in the system charset: fix it at Windows-1250, as on a
        # Czech server, unless the test says otherwise.
        full_env = dict(os.environ)
        full_env.setdefault('LUMARO_CODEPAGE', '1250')
        full_env.setdefault('WINEDEBUG', '-all')
        full_env.update(env or {})
        return full_env

    def run(self, *args, stdin=b'', env=None, module=True, timeout=240, **kw):
        # Output goes through files: Wine's helper processes inherit the program's
        # handles and would hold a pipe open long after the program has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            r = subprocess.run(self.command(*args, module=module), input=stdin, stdout=out,
                               stderr=err, env=self.environment(env), timeout=timeout, **kw)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(r.args, r.returncode, out.read(), err.read())

    def popen(self, *args, env=None, **kw):
        return subprocess.Popen(self.command(*args), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=self.environment(env), **kw)


class Server:
    """A scratch server base folder with lumaro.ini, QUEUE/ and the logs."""

    def __init__(self, host, ini=None, tag='X-LUMARO', charset='ISO-8859-2', parent=None):
        self.host = host
        self.root = tempfile.mkdtemp(prefix='lumaro-host-test-', dir=parent)
        self.queue = os.path.join(self.root, 'QUEUE')
        os.mkdir(self.queue)
        self.log = os.path.join(self.root, 'lumaro.log')
        if ini is None:
            ini = {'LogFile': host.path(self.log), 'TagName': tag, 'Queue': '', 'CharSet': charset}
        self.write_ini(ini)

    def write_ini(self, keys):
        text = '[Lumaro]\r\n' + ''.join(f'{k}={v}\r\n' for k, v in keys.items())
        with open(os.path.join(self.root, 'lumaro.ini'), 'w', newline='') as f:
            f.write(text)

    def put(self, job, data):
        with open(self.qdf(job), 'wb') as f:
            f.write(data)

    def qdf(self, job):
        return os.path.join(self.queue, job + '.QDF')

    def read(self, job):
        with open(self.qdf(job), 'rb') as f:
            return f.read()

    def log_lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, 'rb') as f:
            return f.read().decode('latin-1').split('\r\n')[:-1]

    def server_log(self):
        path = os.path.join(self.root, 'server.log')
        if not os.path.exists(path):
            return ''
        with open(path, 'rb') as f:
            return f.read().decode('latin-1')

    def run(self, *args, **kw):
        return self.host.run(args[0], '--base', self.host.path(self.root), '--host', 'mx.example.cz',
                             *args[1:], **kw)

    def cleanup(self):
        for folder, _, _ in os.walk(self.root):
            os.chmod(folder, 0o755)
        shutil.rmtree(self.root, ignore_errors=True)


HOST = None


class ServerTestCase(unittest.TestCase):
    """A test with lumaro-host and a fresh scratch server of its own."""
    server_options = {}

    def setUp(self):
        self.host = HOST
        self.server = Server(self.host, **self.server_options)

    def tearDown(self):
        self.server.cleanup()


def main():
    global HOST
    parser = argparse.ArgumentParser()
    parser.add_argument('--host', required=True)
    parser.add_argument('--module', default='')
    parser.add_argument('--emulator', default='')
    args, rest = parser.parse_known_args()
    HOST = Host(args.host, args.module, args.emulator)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
