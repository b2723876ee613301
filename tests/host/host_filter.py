"""lumaro-host filter: one message from standard input to standard output, the
activity log to standard error, and an exit status that tells a failed job."""

import os
import resource
import signal

import hosttest
from hosttest import CRASH, TAG_TEXT

CONVERTIBLE = ('Subject: =?UTF-8?Q?Faktura_=C4=8D=2E_7?=\r\n'
               'MIME-Version: 1.0\r\n'
               'Content-Type: text/plain; charset=utf-8\r\n'
               'Content-Transfer-Encoding: 8bit\r\n'
               '\r\n'
               'Dobrý den, posíláme fakturu č. 7 za měsíc listopad.\r\n').encode('utf-8')

# Bytes that a text-mode stream would change: lone LF and CR, Ctrl-Z, NUL, 8-bit.
UNTOUCHED = (b'Subject: binary-safe\nFrom: a@example.cz\r\n\r\n'
             b'line\x1a with ctrl-z\rline \x00 with nul\n\xe8\xe1st\r\n')


class Filter(hosttest.ServerTestCase):
    server_options = {'tag': 'X-NORMALIZED'}

    def filter(self, message, *args, **kw):
        return self.host.run('filter', *args, stdin=message, **kw)

    def test_converts_and_logs_to_stderr(self):
        r = self.filter(CONVERTIBLE, '--host', 'relay.example.cz')
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.split(b'\r\n')
        self.assertEqual(lines[0], b'X-LUMARO' + TAG_TEXT.encode() + b'relay.example.cz')
        self.assertIn(b'Content-type: TEXT/PLAIN; charset=ISO-8859-2', lines)
        self.assertIn('Dobrý den, posíláme fakturu č. 7 za měsíc listopad.'.encode('iso-8859-2'), lines)
        log = r.stderr.decode('latin-1')
        self.assertRegex(log, r'(?m)^H \d{8} \d{4} STDIN +subject +0\r$')
        self.assertRegex(log, r'(?m)^C \d{8} \d{4} STDIN +UTF-8 +0\r$')

    def test_configuration_from_base_and_charset_option(self):
        cases = [([], b'X-NORMALIZED', b'ISO-8859-2'),
                 (['--charset', 'WINDOWS-1250'], b'X-NORMALIZED', b'WINDOWS-1250')]
        # The base's own LogFile points nowhere: the filter keeps its log in scratch.
        self.server.write_ini({'LogFile': self.host.path(self.server.root + '/no/such/folder/x.log'),
                               'TagName': 'X-NORMALIZED', 'CharSet': 'ISO-8859-2'})
        for args, tag, charset in cases:
            with self.subTest(args=args):
                r = self.filter(CONVERTIBLE, '--base', self.host.path(self.server.root), *args)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stdout.startswith(tag + TAG_TEXT.encode()), r.stdout[:80])
                self.assertIn(b'charset=' + charset + b'\r\n', r.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.server.root, 'server.log')))

    def test_untouched_message_passes_byte_for_byte(self):
        r = self.filter(UNTOUCHED)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, UNTOUCHED)
        self.assertEqual(r.stderr, b'')

    def test_failed_job_gives_status_1_and_the_message_unchanged(self):
        if self.host.windows:
            self.skipTest('the file-size limit is a Linux means')
        # Room for the copy of the input, not for the rewritten message.
        limit = len(CONVERTIBLE) + 8

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        r = self.filter(CONVERTIBLE, preexec_fn=limit_file_size, restore_signals=False)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, CONVERTIBLE)
        self.assertIn(CRASH.encode() + b'Cannot create file ', r.stderr)


if __name__ == '__main__':
    hosttest.main()
