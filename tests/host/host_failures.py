"""Failure paths end to end: a job killed while it rewrites a message, a queue
folder the module cannot write, an activity log it cannot write, and a message
nested far deeper than any real one."""

import os
import pwd
import random
import resource
import shutil
import signal
import stat
import tempfile
import time

import hosttest
import messages
from hosttest import CRASH

UTF_SUBJECT = (b'Subject: =?UTF-8?Q?Upom=C3=ADnka?=\r\nFrom: a@example.cz\r\n'
               b'MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n'
               b'Content-Transfer-Encoding: quoted-printable\r\n\r\n'
               b'Dobr=C3=BD den, faktura je po splatnosti.\r\n')


def large_message(megabytes):
    """A UTF-8 quoted-printable text message of about the given size."""
    paragraph = messages.qp(messages.CZECH, 'utf-8')
    body = paragraph * (megabytes * 1_000_000 // len(paragraph) + 1)
    head = ('Subject: ' + messages.ew('Velká zpráva') + '\nMIME-Version: 1.0\n'
            'Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n')
    return messages.message(head, body)


def wait_until(condition, process):
    """Polls until condition() holds; False when the process ended first."""
    while not condition():
        if process.poll() is not None:
            return bool(condition())
        time.sleep(0.001)
    return True


def write_file(path, data, mode='wb'):
    with open(path, mode) as f:
        f.write(data)


def read_or_none(path):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except FileNotFoundError:
        return None


def unprivileged_user():
    try:
        return pwd.getpwnam('nobody')
    except KeyError:
        return None


def open_to_everyone(path):
    """True when every folder from the root down to path may be entered by anyone."""
    path = os.path.abspath(path)
    while True:
        try:
            mode = os.stat(path).st_mode
        except OSError:
            return False
        if not stat.S_ISDIR(mode) or not mode & stat.S_IXOTH:
            return False
        if path == os.path.dirname(path):
            return True
        path = os.path.dirname(path)


def reachable_parent():
    """A folder an ordinary user can reach, wherever the build and TMPDIR lie."""
    for candidate in (tempfile.gettempdir(), '/tmp', '/var/tmp', '/dev/shm'):
        if open_to_everyone(candidate):
            return candidate
    return None


def as_user(user):
    def drop():
        os.setgroups([])
        os.setgid(user.pw_gid)
        os.setuid(user.pw_uid)
    return drop


class Failures(hosttest.ServerTestCase):

    def assert_failed_intact(self, r, job, data, error):
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout.decode().strip(), 'DAEMON returned 0 (failed)')
        self.assertEqual(self.server.read(job), data)
        self.assertEqual(os.listdir(self.server.queue), [job + '.QDF'], 'no temporary file is left')
        # The rules log their work before the rewrite; the failed rewrite adds one "F".
        log = self.server.log_lines()
        self.assertEqual([line[0] for line in log if line[0] == 'F'], ['F'], log)
        self.assertTrue(log[-1].startswith('F '), log)
        self.assertIn(error, log[-1])
        self.assertIn(CRASH + error, self.server.server_log())

    def test_read_only_queue_folder_leaves_the_message(self):
        self.server.put('RO', UTF_SUBJECT)
        os.chmod(self.server.queue, 0o555)
        if not os.access(self.server.queue, os.W_OK):
            r = self.server.run('run', 'RO')
            self.assert_failed_intact(r, 'RO', UTF_SUBJECT, 'Cannot create file ')
            return
        # Root writes anywhere: the job then runs as an ordinary user, for whom the
        # folder is read-only.
        if self.host.windows or os.geteuid() != 0:
            self.skipTest('the folder stays writable for this user')
        user = unprivileged_user()
        if user is None:
            self.skipTest('this machine has no unprivileged user "nobody" to run the job as')
        self.run_as_user_in_scratch(user)

    def run_as_user_in_scratch(self, user):
        """The build may lie where the user cannot enter (under /root, in a folder of
        mode 700): the host program, the module and a server of their own go into a
        scratch folder the user can reach."""
        parent = reachable_parent()
        self.assertIsNotNone(parent, 'no folder that an ordinary user can reach')
        scratch = tempfile.mkdtemp(prefix='lumaro-as-user-', dir=parent)
        try:
            os.chmod(scratch, 0o755)
            copies = []
            for original in (self.host.exe, self.host.module):
                copy = os.path.join(scratch, os.path.basename(original))
                shutil.copyfile(original, copy)
                os.chmod(copy, 0o755)
                copies.append(copy)
            host = hosttest.Host(copies[0], copies[1], '')
            server = hosttest.Server(host, parent=scratch)
            self.server.cleanup()
            self.server = server
            os.chmod(server.root, 0o777)
            server.put('RO', UTF_SUBJECT)
            os.chmod(server.queue, 0o555)
            ran = host.run('closedown', preexec_fn=as_user(user))
            self.assertEqual(ran.returncode, 0, f'{user.pw_name} cannot run {copies[0]}: '
                             f'{ran.stderr.decode(errors="replace")}')
            r = server.run('run', 'RO', preexec_fn=as_user(user))
            self.assert_failed_intact(r, 'RO', UTF_SUBJECT, 'Cannot create file ')
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def test_failing_rewrite_leaves_the_message(self):
        if self.host.windows:
            self.skipTest('the file-size limit is a Linux means')
        data = large_message(1)

        def limit_file_size():
            # Writes past the limit fail (EFBIG) instead of killing the process.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (len(data) // 2, len(data) // 2))

        self.server.put('BIG', data)
        r = self.server.run('run', 'BIG', preexec_fn=limit_file_size, restore_signals=False)
        self.assert_failed_intact(r, 'BIG', data, 'Cannot create file ')

    def test_unwritable_activity_log_still_reaches_the_server_log(self):
        missing = os.path.join(self.server.root, 'no-such-folder', 'lumaro.log')
        self.server.write_ini({'LogFile': self.host.path(missing), 'CharSet': 'ISO-8859-2'})
        self.server.put('NOLOG', UTF_SUBJECT)
        r = self.server.run('run', 'NOLOG')
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout.decode().strip(), 'DAEMON returned 0 (failed)')
        self.assertEqual(self.server.read('NOLOG'), UTF_SUBJECT)
        self.assertFalse(os.path.exists(os.path.dirname(missing)))
        self.assertEqual(self.server.server_log().count(CRASH), 1)
        self.assertIn(CRASH + 'Cannot open file ' + self.host.path(missing), self.server.server_log())

    def test_deeply_nested_multiparts_lose_no_line(self):
        depth = 5000
        # No boundary is the beginning of another, so every delimiter has one owner.
        head = [f'Subject: {messages.ew("Hluboko vnořená zpráva")}', 'MIME-Version: 1.0']
        lines = list(head)
        for level in range(depth):
            lines += [f'Content-Type: multipart/mixed; boundary="b{level:05d}x"', '',
                      f'preamble {level}', f'--b{level:05d}x']
        inner = ['Content-Type: text/plain; charset=utf-8', 'Content-Transfer-Encoding: 8bit', '',
                 'plain line', 'Příliš žluťoučký kůň']
        lines += inner
        for level in reversed(range(depth)):
            lines += [f'--b{level:05d}x--', f'epilogue {level}']
        data = ('\r\n'.join(lines) + '\r\n').encode('utf-8')
        self.server.put('DEEP', data)
        r = self.server.run('run', 'DEEP')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.decode().strip(), 'DAEMON returned 0 (changed)')
        out = self.server.read('DEEP').decode('latin-1').split('\r\n')
        # Every line but the rewritten Subject and the innermost part (which may be
        # converted) comes back, in order.
        kept = [line for line in lines[len(head) - 1:] if line and line not in inner]
        position = 0
        for line in kept:
            position = out.index(line, position) + 1
        self.assertTrue('Příliš žluťoučký kůň'.encode('iso-8859-2').decode('latin-1') in out
                        or 'Příliš žluťoučký kůň'.encode('utf-8').decode('latin-1') in out)

    def start_job(self, job):
        return self.host.popen('run', '--base', self.host.path(self.server.root), '--host', 'mx.example.cz', job)

    def test_a_change_by_another_program_during_the_job_survives(self):
        # The Subject rule logs its work once the message is read; the body of 30 MB
        # is converted long before the message is written back. A change made after
        # that line is a change made during the job, unless the job has already
        # written the message back, which its result tells.
        data = large_message(30)
        changes = {
            'truncated': lambda path: os.truncate(path, 1000),
            'replaced': lambda path: (write_file(path + '.new', UTF_SUBJECT), os.replace(path + '.new', path)),
            'appended': lambda path: write_file(path, UTF_SUBJECT, 'ab'),
            'deleted': os.remove,
        }
        path = self.server.qdf('BUSY')
        for name, change in changes.items():
            with self.subTest(change=name):
                for _ in range(3):
                    self.server.put('BUSY', data)
                    if os.path.exists(self.server.log):
                        os.remove(self.server.log)
                    process = self.start_job('BUSY')
                    wait_until(self.server.log_lines, process)
                    change(path)
                    theirs = read_or_none(path)
                    process.wait()
                    if process.returncode != 0:
                        break
                else:
                    self.fail('the job was too quick for the change, three times')
                self.assertEqual(process.returncode, 1, 'the job is reported as failed')
                self.assertEqual(read_or_none(path), theirs)
                self.assertEqual(os.listdir(self.server.queue), ['BUSY.QDF'] if theirs is not None else [])
                error = f'File {self.host.path(path)} was changed by another program since it was read'
                self.assertTrue(self.server.log_lines()[-1].startswith('F '))
                self.assertIn(error, self.server.log_lines()[-1])
                self.assertIn(CRASH + error, self.server.server_log())

    def test_the_next_job_removes_what_a_killed_rewrite_left(self):
        data = large_message(30)
        queue = self.server.queue

        def leftovers():
            return [name for name in os.listdir(queue) if name.startswith('KILL.QDF.lumaro-tmp.')]
        for _ in range(5):
            self.server.put('KILL', data)
            process = self.start_job('KILL')
            wait_until(leftovers, process)
            process.send_signal(signal.SIGKILL)
            process.wait()
            if leftovers():
                break
        else:
            self.fail('no kill struck while the message was rewritten')
        self.assertEqual(self.server.read('KILL'), data)
        self.server.put('SAME', data)
        for job in ('KILL', 'SAME'):
            r = self.server.run('run', job)
            self.assertEqual(r.stdout.decode().strip(), 'DAEMON returned 0 (changed)', r.stderr)
        self.assertEqual(sorted(os.listdir(queue)), ['KILL.QDF', 'SAME.QDF'])
        self.assertEqual(self.server.read('KILL'), self.server.read('SAME'))

    def test_killed_rewrite_leaves_old_or_new_file(self):
        if self.host.windows:
            self.skipTest('killing at random moments is tested on Linux')
        data = large_message(4)
        self.server.put('KILL', data)
        started = time.monotonic()
        r = self.server.run('run', 'KILL')
        duration = time.monotonic() - started
        self.assertEqual(r.returncode, 0, r.stderr)
        complete = self.server.read('KILL')
        self.assertNotEqual(complete, data)
        rng = random.Random(20261208)
        outcomes = set()
        for trial in range(10):
            self.server.put('KILL', data)
            process = self.host.popen('run', '--base', self.host.path(self.server.root), '--host',
                                      'mx.example.cz', 'KILL')
            # The rewrite comes at the end of the job: aim most kills there.
            time.sleep(duration * rng.uniform(0.3, 1.1))
            process.send_signal(signal.SIGKILL)
            process.wait()
            after = self.server.read('KILL')
            self.assertIn(after, (data, complete), f'trial {trial}: the queue file is half-written')
            outcomes.add(after == complete)
            for name in os.listdir(self.server.queue):
                if name != 'KILL.QDF':
                    self.assertFalse(name.upper().endswith('.QDF'), name)
                    os.remove(os.path.join(self.server.queue, name))
        print(f'killed jobs left the old file: {False in outcomes}, the new one: {True in outcomes}')


if __name__ == '__main__':
    hosttest.main()
