"""lumaro-milter at the protocol level, without an MTA: a client of our own plays
Postfix's side of the milter protocol. What the milter's edits make of a message
must be what `lumaro-host filter` makes of it."""

import ctypes
import errno
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'host'))
import messages  # noqa: E402
from milterclient import (NO_FLAGS, NO_REPLY, BaseFolder, Milter, MilterClient, apply_edits,  # noqa: E402
                          header_set, queue_file, run_filter, split_message, test_arguments)

ARGS = None
TAG = b'normalization conversion made by Lumaro 2.1.0 on mx.example.cz'

UTF8_8BIT = ('Subject: ' + messages.ew('Žluťoučký kůň') + '\r\n'
             'From: ' + messages.ew('Věra Šťastná', kind='B') + ' <vera@example.cz>\r\n'
             'To: uctarna@example.cz\r\nMIME-Version: 1.0\r\n'
             'Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n'
             'Content-Description: =?UTF-8?Q?pozn=C3=A1mka?=\r\n\r\n' +
             messages.lines(messages.CZECH, '\r\n')).encode('utf-8')


class MilterTestCase(unittest.TestCase):
    milter_args = ()

    @classmethod
    def setUpClass(cls):
        cls.folder = BaseFolder()
        cls.base = cls.folder.path
        cls.milter = Milter(ARGS.milter, ARGS.module, '--base', cls.base, *cls.milter_args)

    @classmethod
    def tearDownClass(cls):
        cls.milter.cleanup()
        cls.folder.cleanup()

    def setUp(self):
        self.client = self.milter.client()

    def tearDown(self):
        self.client.close()

    def through_milter(self, data, client=None, **kw):
        fields, body = split_message(data)
        verdict, edits = (client or self.client).message(fields, body, **kw)
        return verdict, edits, fields, body

    def assert_as_filter(self, data, client=None, **kw):
        """Sends the message; what the edits make of it equals the filter's result."""
        verdict, edits, fields, body = self.through_milter(data, client, **kw)
        self.assertEqual(verdict, 'continue')
        got_fields, got_body = apply_edits(fields, body, edits)
        expected, _, status = run_filter(ARGS.host, ARGS.module, queue_file(fields, body), self.base)
        self.assertEqual(status, 0)
        want_fields, want_body = split_message(expected)
        self.assertEqual(header_set(got_fields), header_set(want_fields))
        self.assertEqual(got_body, want_body)
        return edits


class Conversions(MilterTestCase):
    def test_realistic_messages_come_out_as_the_filter_makes_them(self):
        for job, (data, unchanged) in messages.realistic().items():
            with self.subTest(job=job):
                edits = self.assert_as_filter(data)
                self.assertEqual(edits == [], unchanged, edits[:3])

    def test_edits_are_the_smallest_set_in_the_form_the_mta_wants(self):
        edits = self.assert_as_filter(UTF8_8BIT)
        by_kind = {}
        for cmd, data in edits:
            by_kind.setdefault(cmd, []).append(data)
        # The tag line on top; Subject and From rewritten in place; Content-Type
        # changed under the MTA's own spelling; the rebuilt lines that say what
        # they said before are left alone.
        self.assertEqual(by_kind[b'i'], [b'\0\0\0\0X-LUMARO\0' + TAG + b'\0'])
        changed = {d[4:].split(b'\0')[0]: d[4:].split(b'\0')[1] for d in by_kind[b'm']}
        self.assertEqual(set(changed), {b'Subject', b'From', b'Content-Type'})
        self.assertEqual(changed[b'Content-Type'], b'TEXT/PLAIN; charset=ISO-8859-2')
        self.assertNotIn(b'h', by_kind)
        self.assertEqual(len(by_kind[b'b']), 1)
        for value in changed.values():
            self.assertNotIn(b'\r', value)

    def test_refolded_and_reordered_fields_are_left_alone(self):
        long_to = ', '.join(f'prijemce{n}@example.cz' for n in range(12))
        data = ('To: ' + long_to.replace(', ', ',\r\n\t', 3) + '\r\n'
                'Content-Type: text/plain; charset=utf-8\r\nSubject: plain\r\n'
                'Content-Transfer-Encoding: 8bit\r\n\r\nDobrý den\r\n').encode('utf-8')
        edits = self.assert_as_filter(data)
        names = sorted(d[4:].split(b'\0')[0] for c, d in edits if c == b'm')
        self.assertEqual(names, [b'Content-Type'])

    def test_folded_values_are_written_with_lf_and_tab(self):
        subject = messages.ew('Příliš žluťoučký kůň úpěl ďábelské ódy ' * 4)
        data = f'Subject: {subject}\r\nFrom: a@example.cz\r\n\r\nbody\r\n'.encode()
        edits = self.assert_as_filter(data)
        value = next(d[4:].split(b'\0')[1] for c, d in edits if c == b'm')
        self.assertIn(b'\n\t', value)
        self.assertNotIn(b'\r', value)
        # The job left the body as it was: it is not replaced.
        self.assertNotIn(b'b', [c for c, _ in edits])

    def test_the_configuration_is_read_afresh_for_every_message(self):
        tags = []
        for ini in ('[Lumaro]\nLogFile=activity.log\nTagName=X-Prevedeno\n', BaseFolder.GOOD):
            self.folder.write_ini(ini)
            edits = self.assert_as_filter(UTF8_8BIT)
            tags += [d[4:].split(b'\0')[0] for c, d in edits if c == b'i']
        self.assertEqual(tags, [b'X-Prevedeno', b'X-LUMARO'])


def accepted_socket_option(pid, client, level, option):
    """An option of the milter's own end of the client's connection, read through
    a copy of its descriptor (pidfd_getfd: root, Linux 5.6 or later)."""
    port = client.sock.getsockname()[1]
    with open('/proc/net/tcp') as table:
        rows = [line.split() for line in table.readlines()[1:]]
    inode = next(r[9] for r in rows if int(r[2].split(':')[1], 16) == port and r[3] == '01')
    fd_folder = f'/proc/{pid}/fd'
    target = next(int(n) for n in os.listdir(fd_folder) if os.readlink(f'{fd_folder}/{n}') == f'socket:[{inode}]')
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    try:
        copy = libc.syscall(438, pidfd, target, 0)  # pidfd_getfd
        if copy < 0:
            raise OSError(ctypes.get_errno(), 'pidfd_getfd')
    finally:
        os.close(pidfd)
    with socket.socket(fileno=copy) as server_end:
        return server_end.getsockopt(level, option)


class Negotiation(MilterTestCase):
    # HELO, recipients and unknown commands are of no use to the milter. DATA is
    # not skipped: its macros would still come, alone and unanswered.
    SKIPPED = NO_FLAGS['H'] | NO_FLAGS['R'] | 0x100
    NEEDED = NO_FLAGS['C'] | NO_FLAGS['M'] | NO_FLAGS['T'] | NO_FLAGS['L'] | NO_FLAGS['N'] | NO_FLAGS['B']

    def test_unused_steps_are_skipped_and_header_fields_get_no_reply(self):
        self.assertEqual(self.client.protocol & (self.SKIPPED | self.NEEDED), self.SKIPPED)
        self.assertTrue(self.client.protocol & NO_REPLY['L'])
        self.assertTrue(self.assert_as_filter(UTF8_8BIT))

    def test_an_mta_that_offers_no_skipping_gets_a_reply_for_every_step(self):
        client = self.milter.client(protocol=0)
        try:
            self.assertFalse(client.protocol & NO_REPLY['L'])
            self.assertTrue(self.assert_as_filter(UTF8_8BIT, client))
            client.macros(b'M', i='REPLIES')
            self.assertEqual(client.step(b'M', b'<a@example.cz>\0'), 'continue')
            self.assertEqual(client.step(b'L', b'Subject\0plain\0'), 'continue')
            client.abort()
        finally:
            client.close()

    def test_the_milter_sends_without_delay_on_tcp(self):
        try:
            nodelay = accepted_socket_option(self.milter.process.pid, self.client, socket.IPPROTO_TCP,
                                             socket.TCP_NODELAY)
        except OSError as e:
            if e.errno not in (errno.EPERM, errno.ENOSYS):
                raise
            self.skipTest(f'the milter\'s socket cannot be read here: {e}')
        self.assertTrue(nodelay)


class ChunksAndShapes(MilterTestCase):
    milter_args = ()

    def expected_body(self, data):
        fields, body = split_message(data)
        verdict, edits = self.client.message(fields, body)
        self.assertEqual(verdict, 'continue')
        return apply_edits(fields, body, edits)

    def test_chunk_cuts_at_every_offset_of_a_crlf_and_a_utf8_sequence(self):
        fields, body = split_message(UTF8_8BIT)
        whole = self.expected_body(UTF8_8BIT)
        crlf = body.index(b'\r\n')
        sequence = body.index('ř'.encode())
        for at in list(range(crlf - 1, crlf + 3)) + list(range(sequence - 1, sequence + 3)):
            with self.subTest(cut=at):
                verdict, edits = self.client.message(fields, body, cuts=[at])
                self.assertEqual(verdict, 'continue')
                self.assertEqual(apply_edits(fields, body, edits), whole)
        with self.subTest(cut='every byte of the first line'):
            verdict, edits = self.client.message(fields, body, cuts=range(crlf + 2))
            self.assertEqual(apply_edits(fields, body, edits), whole)

    def test_shapes(self):
        subject = 'Subject: ' + messages.ew('Žádost') + '\r\n'
        utf8 = 'Content-Type: text/plain; charset=utf-8\r\n'
        cases = {
            'empty body': (subject + utf8 + '\r\n').encode(),
            'headers only': (subject + 'From: a@example.cz').encode(),
            '1,000 headers': (''.join(f'X-Trace-{n}: hop {n}\r\n' for n in range(1000)) + subject +
                              utf8 + '\r\nDobrý den\r\n').encode(),
            'a header of 1 MB': ('X-Long: ' + 'abcdefghi ' * 100_000 + '\r\n' + subject + '\r\nbody\r\n').encode(),
            'an 8-bit body': UTF8_8BIT,
            'a 30 MB body': (subject + utf8 + 'Content-Transfer-Encoding: 8bit\r\n\r\n').encode() +
                            messages.lines(messages.CZECH, '\r\n').encode() * 65_000,
        }
        for name, data in cases.items():
            with self.subTest(name):
                edits = self.assert_as_filter(data)
                self.assertTrue(edits)
                if name == '1,000 headers':
                    # Subject, Content-Type, the new transfer encoding and the tag.
                    self.assertEqual(len([e for e in edits if e[0] in b'imh']), 4)
                    self.assertFalse([e for e in edits if b'X-Trace' in e[1]])

    def test_an_aborted_message_leaves_the_connection_usable(self):
        fields, body = split_message(UTF8_8BIT)
        self.assertEqual(self.client.message(fields, body, end=False)[0], 'continue')
        self.client.abort()
        self.assertEqual(apply_edits(fields, body, self.client.message(fields, body)[1]),
                         self.expected_body(UTF8_8BIT))


class SideBySide(MilterTestCase):
    """Connections at once, more of them than jobs: each message comes out as it
    does alone, and the activity log holds whole lines only."""
    milter_args = ('--jobs', '4')
    clients, per_client = 8, 5

    @staticmethod
    def message(key):
        return UTF8_8BIT.replace('Žluťoučký'.encode(), f'Žluťoučký {key}'.encode()) + \
            f'{key} Příliš\r\n'.encode() * 2000

    def activity_lines(self):
        with open(self.folder.activity, encoding='latin-1', newline='') as f:
            return [line for line in f.read().split('\r\n') if ' QC' in line]

    def outcome(self, client, key):
        verdict, edits, fields, body = self.through_milter(self.message(key), client, queue_id='Q' + key)
        return verdict, apply_edits(fields, body, edits)

    def test_connections_at_once_get_what_each_gets_alone(self):
        keys = [f'C{n}' for n in range(self.clients * self.per_client)]
        alone = {key: self.outcome(self.client, key) for key in keys}
        logged_alone = len(self.activity_lines())
        got, errors = {}, []

        def connection(mine):
            client = self.milter.client()
            try:
                for key in mine:
                    got[key] = self.outcome(client, key)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))
            finally:
                client.close()

        threads = [threading.Thread(target=connection, args=(keys[i::self.clients],)) for i in range(self.clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        for key in keys:
            self.assertEqual(got[key], alone[key], key)
        lines = self.activity_lines()
        self.assertEqual(len(lines), 2 * logged_alone)
        for line in lines:
            self.assertRegex(line, r'^[HC] \d{8} \d{4} QC\d+ sender@example.cz +[-a-zA-Z0-9]+ +0$')


class Failures(MilterTestCase):
    milter_args = ('--max-size', '100000')

    def test_a_message_over_max_size_passes_unchanged_and_is_not_kept(self):
        fields, body = split_message(UTF8_8BIT)
        big = body * (100_000 // len(body) + 2)
        self.assertEqual(self.client.message(fields, big, queue_id='TOOBIG', cuts=[40_000]), ('accept', []))
        self.assertEqual(self.client.message(fields, body, esmtp=('SIZE=200000',), queue_id='SAIDBIG'),
                         ('accept', []))
        log = self.milter.log()
        self.assertRegex(log, r'TOOBIG: passed on unchanged \(larger than --max-size\)')
        self.assertRegex(log, r'SAIDBIG: passed on unchanged \(announced larger than --max-size\)')
        # A header field gets no reply of its own: the message is let go at its end.
        huge = [('X-Long', b'abcdefghi ' * 15_000)] + fields
        self.assertEqual(self.client.message(huge, body, queue_id='BIGHEAD'), ('continue', []))
        self.assertRegex(self.milter.log(), r'BIGHEAD: passed on unchanged \(larger than --max-size\)')
        folder = os.path.join(self.milter.scratch, self.milter.private_folders()[0])
        self.assertEqual([n for n in os.listdir(folder) if n.endswith('.in')], [])

    def test_a_failed_job_passes_the_message_unchanged(self):
        with self.folder.unwritable_log():
            verdict, edits, _, _ = self.through_milter(UTF8_8BIT, queue_id='BROKENLOG')
        self.assertEqual((verdict, edits), ('continue', []))
        log = self.milter.log()
        self.assertIn('BROKENLOG: server log: Lumaro 2.1.0 - CRASH: ', log)
        self.assertRegex(log, r'BROKENLOG: failed \(the job failed; passed on unchanged\)')

    def test_the_activity_log_is_the_configured_one(self):
        verdict, _, _, _ = self.through_milter(UTF8_8BIT, queue_id='LOGGED1')
        self.assertEqual(verdict, 'continue')
        lines = self.folder.activity_lines()
        self.assertTrue(any(line.startswith('C ') and ' LOGGED1 ' in line and 'sender@example.cz' in line
                            for line in lines), lines)


class HostileHeaders(MilterTestCase):
    def test_a_line_break_that_is_no_fold_passes_the_message_unchanged(self):
        # The job would change the message; the one hostile field keeps it as it is.
        fields, body = split_message(UTF8_8BIT)
        hostile = {
            'bare CR': ('X-Foo', b'a\rBcc: evil@evil.example'),
            'bare LF': ('X-Foo', b'a\nBcc: evil@evil.example'),
            'CR LF': ('X-Foo', b'a\r\nBcc: evil@evil.example'),
            'CRs that end the header': ('X-Foo', b'a\r\r\r'),
            'LF at the end': ('X-Foo', b'a\n'),
            'LF in the name': ('X-Foo\nBcc', b'evil@evil.example'),
        }
        for n, (case, field) in enumerate(hostile.items()):
            with self.subTest(case):
                queue_id = f'HOSTILE{n}'
                self.assertEqual(self.client.message([field] + fields, body, queue_id=queue_id), ('continue', []))
                lines = [line for line in self.milter.log().splitlines() if f' {queue_id}:' in line]
                self.assertEqual(len(lines), 1, lines)
                self.assertIn('passed on unchanged (a header field holds a CR, LF or NUL that is no fold)', lines[0])

    def test_what_follows_a_nul_never_reaches_a_field(self):
        # libmilter hands the milter a field up to its first NUL and drops the rest
        # unseen: the milter cannot tell, but it changes only fields the job rewrote.
        fields, body = split_message(UTF8_8BIT)
        verdict, edits = self.client.message([('X-Foo', b'a\0\rBcc: evil@evil.example')] + fields, body)
        self.assertEqual(verdict, 'continue')
        self.assertNotIn(b'h', [cmd for cmd, _ in edits])
        self.assertFalse([data for _, data in edits if b'X-Foo' in data or b'evil' in data])


class Settings(unittest.TestCase):
    def test_a_setting_jobs_cannot_use_is_told_at_start_on_demand_and_by_each_job(self):
        folder = BaseFolder()
        folder.write_ini('[Lumaro]\nLogFile=activity.log\nCharSet=LATIN-2\n')
        try:
            def run(*args):
                return subprocess.run([ARGS.milter, *args], capture_output=True, text=True, timeout=60)
            self.assertEqual(run('--version').stdout, 'lumaro-milter 2.1.0\n')
            check = run('--check-config', '--base', folder.path)
            self.assertEqual(check.returncode, 1, check.stdout)
            self.assertIn('CharSet "LATIN-2" names no charset', check.stdout)
            milter = Milter(ARGS.milter, ARGS.module, '--base', folder.path)
            try:
                self.assertIn('lumaro-milter: configuration: CharSet "LATIN-2"', milter.log())
                fields, body = split_message(UTF8_8BIT)
                verdict, edits = milter.client().message(fields, body, queue_id='LATIN2')
                # The header rule still runs; the text part stays as the sender wrote it.
                self.assertEqual(verdict, 'continue')
                replies = [reply for reply, _ in edits]
                self.assertIn(b'm', replies)
                self.assertNotIn(b'b', replies)
                log = milter.log()
                self.assertIn('LATIN2: server log: Lumaro 2.1.0 - SETTING: CharSet "LATIN-2"', log)
                self.assertNotIn('LATIN2: failed', log)
            finally:
                milter.cleanup()
        finally:
            folder.cleanup()


class Stopping(unittest.TestCase):
    def test_sigterm_and_sigint_stop_it_cleanly_and_at_once(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                milter = Milter(ARGS.milter, ARGS.module)
                try:
                    client = milter.client()
                    fields, body = split_message(UTF8_8BIT)
                    self.assertEqual(client.message(fields, body)[0], 'continue')
                    client.close()
                    self.assertEqual(len(milter.private_folders()), 1)
                    started = time.time()
                    self.assertEqual(milter.stop(sig), 0, milter.log())
                    # Not after libmilter's next poll of its listener, 4 to 5 s later.
                    self.assertLess(time.time() - started, 2)
                    self.assertEqual(milter.private_folders(), [])
                    self.assertRegex(milter.log(), r'stopped: messages 1, changed 1,')
                finally:
                    milter.cleanup()


    def test_sighup_leaves_it_running_and_its_socket_takes_no_second_milter(self):
        folder = tempfile.mkdtemp(prefix='lumaro-milter-socket-')
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, 'milter.sock')
        # A socket file that nobody answers on, as a killed milter leaves it, is replaced.
        stale = socket.socket(socket.AF_UNIX)
        stale.bind(path)
        stale.close()
        milter = Milter(ARGS.milter, ARGS.module, unix=path)
        self.addCleanup(milter.cleanup)
        fields, body = split_message(UTF8_8BIT)
        second = subprocess.run([ARGS.milter, '--socket', f'unix:{path}', '--module', ARGS.module],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(second.returncode, 1, second.stderr)
        self.assertIn(f'a milter already answers on {path}', second.stderr)
        for round_ in range(1, 3):
            client = MilterClient(path)
            self.assertEqual(client.message(fields, body)[0], 'continue')
            client.close()
            milter.process.send_signal(signal.SIGHUP)
            # Each signal is awaited before the next: two sent at once may arrive as one,
            # and a loaded machine may take a while to run the handler.
            deadline = time.monotonic() + 20
            while milter.log().count('SIGHUP: nothing to reload') < round_ and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(milter.log().count('SIGHUP: nothing to reload'), round_)
        self.assertIsNone(milter.process.poll())


def main():
    global ARGS
    ARGS, argv = test_arguments()
    unittest.main(argv=argv, verbosity=2)


if __name__ == '__main__':
    main()
