"""lumaro-host's command line and the server side it plays: arguments, entry points,
the version gate, job identity and the queue summary."""

import os

import hosttest
from hosttest import CRASH, TAG_TEXT

UTF_SUBJECT_MESSAGE = (b'Subject: =?UTF-8?Q?P=C5=99=C3=ADloha?=\r\n'
                       b'From: a@example.cz\r\n'
                       b'\r\n'
                       b'Body\r\n')
PLAIN_MESSAGE = b'Subject: plain\r\nFrom: a@example.cz\r\n\r\nBody\r\n'


class Arguments(hosttest.ServerTestCase):
    def test_help_names_every_command_and_option(self):
        r = self.host.run('--help', module=False)
        self.assertEqual(r.returncode, 0)
        text = r.stdout.decode()
        for word in ['run', 'queue', 'filter', 'check-config', 'startup', 'closedown', 'configure',
                     '--module', '--base', '--queue', '--host', '--interface', '--version', '--charset',
                     'SENDER', 'MB/s']:
            self.assertIn(word, text)

    def test_version_prints_the_version(self):
        r = self.host.run('--version', module=False)
        self.assertEqual((r.returncode, r.stdout.decode().split()), (0, ['lumaro-host', hosttest.PRODUCT.split()[1]]))

    def test_bad_arguments_give_one_line_and_status_2(self):
        base = self.host.path(self.server.root)
        cases = [
            [],
            ['frobnicate'],
            ['run', 'JOB1'],
            ['run', '--base', base],
            ['run', '--base', base, 'A', 'B', 'C'],
            ['queue', '--base', base, 'EXTRA'],
            ['queue'],
            ['run', '--base', base, '--interface', '2', 'A'],
            ['run', '--base', base, '--interface', '2.256', 'A'],
            ['run', '--base', base, '--interface', '2.x', 'A'],
            ['run', '--base', base, '--interface', '.1', 'A'],
            ['run', '--base'],
            ['run', '--base', base, '--version=2.20', 'A'],
            ['check-config', '--queue', base],
            ['run', '--base=', 'A'],
            ['run', '--bogus', 'x', 'A'],
            ['filter', '--queue', base],
            ['filter', 'JOB'],
            ['closedown', '--charset', 'x'],
            ['startup', '--module', self.host.path('/nonexistent/lumaro.so')],
        ]
        for args in cases:
            with self.subTest(args=args):
                r = self.host.run(*args, module=args[:1] != ['startup'])
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout, b'')
                lines = r.stderr.decode(errors='replace').splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith('lumaro-host: '), lines)


class EntryPoints(hosttest.ServerTestCase):
    def test_startup_closedown_configure_print_their_results(self):
        cases = [('startup', 'STARTUP returned 1'), ('closedown', 'CLOSEDOWN returned 0'),
                 ('configure', 'CONFIGURE returned 1')]
        for command, expected in cases:
            with self.subTest(command=command):
                args = [command] + (['--base', self.host.path(self.server.root)]
                                    if command == 'startup' else [])
                r = self.host.run(*args)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout.decode().strip(), expected)
        self.assertRegex(self.server.server_log(), r'^\S+ \S+ Lumaro 2\.1\.0 started\r?\n$')

    def test_missing_queue_file_fails_the_job_once(self):
        r = self.server.run('run', 'NOSUCHJOB', 'Jana <jana@example.cz>')
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode().strip(), 'DAEMON returned 0 (failed)')
        log = self.server.log_lines()
        self.assertEqual(len(log), 1, log)
        self.assertTrue(log[0].startswith('F '), log)
        self.assertIn(' NOSUCHJOB jana@example.cz ', log[0])
        self.assertIn('Cannot open file ', log[0])
        messages = self.server.server_log().splitlines()
        self.assertEqual(len(messages), 1, messages)
        self.assertIn(CRASH + 'Cannot open file ', messages[0])
        self.assertIn('NOSUCHJOB.QDF', messages[0])
        self.assertIn(CRASH, r.stderr.decode(errors='replace'))

    def test_version_gate(self):
        cases = [('1.99', False), ('2.19', False), ('2.20', True), ('2.255', True), ('3.0', True)]
        for version, runs in cases:
            with self.subTest(version=version):
                server = hosttest.Server(self.host)
                try:
                    r = server.run('run', '--interface', version, 'NOSUCHJOB')
                    self.assertEqual(r.returncode, 1 if runs else 0, r.stderr)
                    self.assertEqual(CRASH in server.server_log(), runs)
                    self.assertEqual(len(server.log_lines()), 1 if runs else 0)
                finally:
                    server.cleanup()


class JobIdentity(hosttest.ServerTestCase):
    def test_long_job_id_is_cut_and_sender_reduced_to_its_address(self):
        self.server.put('ABCDEFGHIJKLMNOPQRST', UTF_SUBJECT_MESSAGE)
        r = self.server.run('run', 'ABCDEFGHIJKLMNOPQRSTUVWXYZ', '"Novak, Jan" <jan.novak@example.cz>')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.decode().strip(), 'DAEMON returned 0 (changed)')
        log = self.server.log_lines()
        self.assertEqual(len(log), 1, log)
        self.assertRegex(log[0], r'^H \d{8} \d{4} ABCDEFGHIJKLMNOPQRST jan\.novak@example\.cz {21}subject {14}0$')
        data = self.server.read('ABCDEFGHIJKLMNOPQRST')
        self.assertTrue(data.startswith(b'X-LUMARO' + TAG_TEXT.encode() + b'mx.example.cz\r\n'), data)

    def test_host_without_a_name_is_unknown_in_the_tag(self):
        self.server.put('J1', UTF_SUBJECT_MESSAGE)
        r = self.host.run('run', '--base', self.host.path(self.server.root), 'J1')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(self.server.read('J1').startswith(b'X-LUMARO' + TAG_TEXT.encode() +
                                                          b'-unknown-\r\n'))

    def test_queue_option_is_the_servers_queue_folder(self):
        other = os.path.join(self.server.root, 'elsewhere')
        os.mkdir(other)
        with open(os.path.join(other, 'J2.QDF'), 'wb') as f:
            f.write(UTF_SUBJECT_MESSAGE)
        r = self.server.run('run', '--queue', self.host.path(other), 'J2')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b'(changed)', r.stdout)


class Queue(hosttest.ServerTestCase):
    def test_every_qdf_file_in_name_order_then_a_summary(self):
        self.server.put('B-CHANGED', UTF_SUBJECT_MESSAGE)
        self.server.put('A-PLAIN', PLAIN_MESSAGE)
        # 22 characters: the module cuts the identifier to 20 and finds no such file.
        self.server.put('ABCDEFGHIJKLMNOPQRSTUV', PLAIN_MESSAGE)
        with open(os.path.join(self.server.queue, 'C-SKIPPED.tmp'), 'wb') as f:
            f.write(UTF_SUBJECT_MESSAGE)
        os.mkdir(os.path.join(self.server.queue, 'D-FOLDER.QDF'))
        r = self.server.run('queue')
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertRegex(r.stdout.decode(),
                         r'^jobs 3, changed 1, failed 1, \d+\.\d{3} seconds, \d+\.\d MB/s, '
                         r'peak memory \d+\.\d MB\n$')
        self.assertNotIn(b'\r', r.stderr, 'no progress line when stderr is not a terminal')
        self.assertEqual(self.server.read('A-PLAIN'), PLAIN_MESSAGE)
        with open(os.path.join(self.server.queue, 'C-SKIPPED.tmp'), 'rb') as f:
            self.assertEqual(f.read(), UTF_SUBJECT_MESSAGE)
        jobs = [line.split()[3] for line in self.server.log_lines()]
        self.assertEqual(jobs, ['ABCDEFGHIJKLMNOPQRST', 'B-CHANGED'])

    def test_empty_queue_and_missing_queue_folder(self):
        r = self.server.run('queue')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.decode().startswith('jobs 0, changed 0, failed 0, '))
        r = self.server.run('queue', '--queue', self.host.path(self.server.root + '/missing'))
        self.assertEqual(r.returncode, 2)


if __name__ == '__main__':
    hosttest.main()
