"""Failure paths end to end: a job killed while it rewrites a message, a queue
folder the module cannot write, an activity log it cannot write, and a message
nested far deeper than any real one."""

import os
import random
import resource
import signal
import time

import hosttest
import messages
from hosttest import CRASH

NOBODY = 65534

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


def drop_to_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


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
        as_user = {}
        if os.access(self.server.queue, os.W_OK):
            # Root writes anywhere: the job then runs as an ordinary user, for whom
            # the folder is read-only, while the base folder stays open to it.
            if self.host.windows or os.geteuid() != 0:
                self.skipTest('the folder stays writable for this user')
            os.chmod(self.server.root, 0o777)
            as_user = {'preexec_fn': drop_to_nobody}
            if self.host.run('closedown', **as_user).returncode != 0:
                self.skipTest('an ordinary user cannot run the program from its folder')
        r = self.server.run('run', 'RO', **as_user)
        self.assert_failed_intact(r, 'RO', UTF_SUBJECT, 'Cannot create file ')

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
