"""What an administrator's settings and environment give: the header charset
whatever the locale, the CodePage key, a table of bad settings (the message, the
server-log line, check-config's verdict), and a clean unload after conversions on
every path of the conversion engine."""

import email.header
import os
import re
import subprocess
import tempfile

import hosttest
from messages import ew, message, multipart, part
from hosttest import CRASH

SETTING = hosttest.PRODUCT + ' - SETTING: '
NOT_FORCED = {'LUMARO_CODEPAGE': ''}

CZECH = message(
    'Subject: ' + ew('Přehled objednávek za září') + '\r\n'
    'From: ' + ew('Zbigniew Łukasiewicz') + ' <zbigniew@example.pl>\r\n'
    'To: ' + ew('Věra Šťastná') + ' <vera@example.cz>\r\n'
    'MIME-Version: 1.0\r\n'
    'Content-Type: multipart/mixed; boundary="b"\r\n',
    multipart('b', [
        part('Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n',
             'Dobrý den, v příloze je faktura.\r\n'),
        part('Content-Type: application/pdf\r\nContent-Disposition: attachment; filename="'
             + ew('Faktura číslo 118.pdf') + '"\r\nContent-Transfer-Encoding: base64\r\n', 'JVBERi0=\r\n'),
    ]), body_charset='utf-8')


class HeaderCharset(hosttest.ServerTestCase):
    def test_the_locale_changes_nothing(self):
        if self.host.windows:
            self.skipTest('Windows has an ANSI code page of its own')
        outputs = set()
        for env in ({}, {'LANG': 'C.UTF-8'}, {'LANG': 'cs_CZ.ISO-8859-2', 'LC_ALL': 'cs_CZ.ISO-8859-2'}):
            with self.subTest(env=env):
                r = subprocess.run(self.host.command('filter', '--base', self.server.root), input=CZECH,
                                   capture_output=True, env=env, timeout=120)
                self.assertEqual(r.returncode, 0, r.stderr)
                outputs.add(r.stdout)
        self.assertEqual(len(outputs), 1)
        # CharSet ISO-8859-2 reads headers in its script's code page, 1250.
        out = outputs.pop()
        for text in ['Zbigniew Łukasiewicz', 'Věra Šťastná', 'Faktura číslo 118.pdf']:
            self.assertNotIn(text.encode('utf-8'), out)
        self.assertIn('To: Věra Šťastná <vera@example.cz>'.encode('cp1250'), out)
        self.assertIn('filename="Faktura číslo 118.pdf"'.encode('cp1250'), out)
        subject = re.search(rb'\r\nSubject: ([^\r]*)', out).group(1).decode('ascii')
        self.assertEqual(str(email.header.make_header(email.header.decode_header(subject))),
                         'Přehled objednávek za září')

    def test_codepage_key_on_both_builds(self):
        self.server.write_ini({'LogFile': self.host.path(self.server.log), 'CodePage': '1251'})
        self.server.put('J', message('To: ' + ew('Юрий Гагарин') + ' <yuri@example.ru>\r\n', b'x\r\n'))
        r = self.server.run('run', 'J', env=dict(NOT_FORCED, LANG='C'))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('To: Юрий Гагарин <yuri@example.ru>'.encode('cp1251'), self.server.read('J'))


UTF8_TEXT = message('Subject: ' + ew('Změna termínu') + '\r\nMIME-Version: 1.0\r\n'
                    'Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n',
                    'Příliš žluťoučký kůň.\r\n'.encode('utf-8'))
CONVERTED = 'Příliš žluťoučký kůň.'.encode('iso-8859-2')
UNCONVERTED = 'Příliš žluťoučký kůň.'.encode('utf-8')

# Settings: the body that comes out, the tag's name, a text the server-log line
# holds (None: no line), and whether check-config finds a problem.
BAD_SETTINGS = [
    ({'CharSet': 'LATIN-2'}, UNCONVERTED, 'X-LUMARO', 'CharSet "LATIN-2"', True),
    ({'CharSet': 'bogus'}, UNCONVERTED, 'X-LUMARO', 'CharSet "bogus"', True),
    ({'CharSet': 'ISO8859-2x'}, UNCONVERTED, 'X-LUMARO', 'CharSet "ISO8859-2x"', True),
    ({'CharSet': ''}, UNCONVERTED, 'X-LUMARO', 'CharSet ""', True),
    ({'CharSet': 'WINDOWS-1250 ; Czech'}, UNCONVERTED, 'X-LUMARO', 'CharSet "WINDOWS-1250 ; Czech"', True),
    ({'CharSet': 'latin2'}, CONVERTED, 'X-LUMARO', None, False),
    ({'CharSet': 'CP1250'}, 'Příliš žluťoučký kůň.'.encode('cp1250'), 'X-LUMARO', None, False),
    ({'TagName': ''}, CONVERTED, 'X-LUMARO', 'TagName ""', True),
    ({'TagName': 'X LUMARO'}, CONVERTED, 'X-LUMARO', 'TagName "X LUMARO"', True),
    ({'TagName': 'X-Lumaro:1'}, CONVERTED, 'X-LUMARO', 'TagName "X-Lumaro:1"', True),
    ({'TagName': 'X-Converted'}, CONVERTED, 'X-Converted', None, False),
    ({'CodePage': '12a'}, CONVERTED, 'X-LUMARO', 'CodePage "12a"', True),
    ({'Colour': 'red'}, CONVERTED, 'X-LUMARO', None, True),
]


class BadSettings(hosttest.ServerTestCase):
    def test_each_setting_gives_its_message_log_line_and_verdict(self):
        for keys, body, tag, logged, problem in BAD_SETTINGS:
            with self.subTest(keys=keys):
                server = hosttest.Server(self.host)
                try:
                    server.write_ini(dict({'LogFile': self.host.path(server.log)}, **keys))
                    server.put('J', UTF8_TEXT)
                    r = server.run('run', 'J', env=NOT_FORCED)
                    self.assertEqual(r.returncode, 1 if logged else 0, r.stderr)
                    out = server.read('J')
                    self.assertTrue(out.startswith(tag.encode() + b': normalization'), out[:60])
                    self.assertIn(body, out)
                    self.assertNotIn(CRASH, server.server_log())
                    lines = [l for l in server.server_log().splitlines() if SETTING in l]
                    self.assertEqual(len(lines), 1 if logged else 0, lines)
                    if logged:
                        self.assertIn(logged, lines[0])
                    check = self.host.run('check-config', '--base', self.host.path(server.root), module=False,
                                          env=NOT_FORCED)
                    self.assertEqual(check.returncode, 1 if problem else 0, check.stdout)
                finally:
                    server.cleanup()

    def test_check_config_lists_what_a_job_reads(self):
        self.server.write_ini({'LogFile': self.host.path(os.path.join(self.server.root, 'no', 'x.log')),
                               'CharSet': 'WINDOWS-1251', 'CodePage': '1250'})
        r = self.host.run('check-config', '--base', self.host.path(self.server.root), module=False,
                          env=NOT_FORCED)
        text = r.stdout.decode('latin-1')
        self.assertEqual(r.returncode, 1, text)
        self.assertRegex(text, r'CharSet=WINDOWS-1251 +\(from the file\)')
        self.assertRegex(text, r'TagName=X-LUMARO +\(default\)')
        self.assertIn('code page 1250 (WINDOWS-1250), from the CodePage setting', text)
        self.assertRegex(text, r'Problems:\n  the activity log .*x\.log cannot be appended to')
        # A log that does not exist yet but can be made is fine, and the check leaves none.
        log = os.path.join(self.server.root, 'new.log')
        self.server.write_ini({'LogFile': self.host.path(log)})
        r = self.host.run('check-config', '--base', self.host.path(self.server.root), module=False)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn(b'can be appended to', r.stdout)
        self.assertFalse(os.path.exists(log))
        # A file of other sections is read as defaults, and said so.
        with open(os.path.join(self.server.root, 'lumaro.ini'), 'w') as f:
            f.write('[Server]\nLogFile=x\n')
        r = self.host.run('check-config', '--base', self.host.path(self.server.root), module=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn('no section [Lumaro]', r.stdout.decode('latin-1'))


class CodePageFolders(hosttest.ServerTestCase):
    def test_a_base_folder_named_in_the_code_page(self):
        parent = tempfile.mkdtemp(prefix='Pošta-')
        server = hosttest.Server(self.host, parent=parent)
        # The module and the host name files in the ANSI code page, where "š" is the
        # byte 9A in 1250 and 1252 alike (Wine takes one or the other from LANG).
        env = {'LANG': 'C.UTF-8'}
        encoding = 'cp1252' if self.host.windows else 'utf-8'
        try:
            with open(os.path.join(server.root, 'lumaro.ini'), 'wb') as f:
                f.write(f'[Lumaro]\r\nLogFile={self.host.path(server.log)}\r\n'.encode(encoding))
            server.put('J', UTF8_TEXT)
            r = server.run('run', 'J', env=env)
            self.assertEqual((r.returncode, r.stdout), (0, b'DAEMON returned 0 (changed)\n'), r.stderr)
            server.put('J', UTF8_TEXT)
            r = server.run('queue', env=env)
            self.assertTrue(r.stdout.startswith(b'jobs 1, changed 1, failed 0,'), r.stdout + r.stderr)
        finally:
            server.cleanup()
            os.rmdir(parent)


def engine_paths():
    """Messages that take every path of the conversion engine: our tables and the
    library, pieces of a long text, invalid bytes, characters beyond the BMP and
    outside the target, UTF-7, and header charsets found by trial."""
    def text_part(body, charset='UTF-8', cte='8bit'):
        return message('Subject: ' + ew('Spotkanie – piątek 😀') + '\r\nMIME-Version: 1.0\r\n'
                       f'Content-Type: text/plain; charset={charset}\r\nContent-Transfer-Encoding: {cte}\r\n',
                       body.encode('utf-8', 'surrogateescape'))
    long_line = 'Žluťoučký kůň – úpěl ďábelské ódy € ' * 30 + '\r\n'
    return {
        'TABLE': text_part('Příliš žluťoučký kůň.\r\n'),
        'LIBRARY': text_part('Spotkanie – piątek, 😀 „Změna termínu“ 東京\r\n'),
        'LONG': text_part(long_line * 300),
        'INVALID': text_part('bad \udcff byte\r\n'),
        'UTF7': text_part('Hi Mom -+Jjo--!\r\n', charset='UTF-7', cte='7bit'),
        'HEADERS': message('Subject: ' + ew('Ελληνικά και русский 中文') + '\r\nFrom: ' + ew('Łukasz') +
                           ' <l@example.pl>\r\n', b'x\r\n'),
    }


class Unload(hosttest.ServerTestCase):
    def test_unloading_after_conversions_exits_cleanly(self):
        for name, data in engine_paths().items():
            self.server.put(name, data)
        originals = {name: self.server.read(name) for name in engine_paths()}
        locales = [{}] if self.host.windows else [{'LANG': 'C'}, {'LANG': 'C.UTF-8'}]
        for charset in ['ISO-8859-2', 'KOI8-R', 'ISO-2022-JP', 'UTF-7']:
            for env in locales:
                with self.subTest(charset=charset, env=env):
                    for name, data in originals.items():
                        self.server.put(name, data)
                    self.server.write_ini({'LogFile': self.host.path(self.server.log), 'CharSet': charset})
                    r = self.server.run('queue', env=dict(NOT_FORCED, **env))
                    # A crash on the way out shows as a signal (natively) or a status
                    # other than 0 (under Wine), after the summary was written.
                    self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                    self.assertTrue(r.stdout.startswith(b'jobs 6, changed 6, failed 0,'), r.stdout)


if __name__ == '__main__':
    hosttest.main()
