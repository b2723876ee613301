"""Realistic messages through the module, each output checked by an independent
parser: Python's email package reads input and output, and every part's decoded
content must agree (attachments byte for byte, converted text equal except where
ISO-8859-2 cannot hold a character)."""

import email
import email.header
import email.policy
import os
import re
import shutil
import tempfile
import unittest

import hosttest
import messages
from hosttest import TAG_TEXT

CONFIGURED = 'iso-8859-2'
SYSTEM = 'cp1250'  # LUMARO_CODEPAGE=1250: the charset of decoded header text
TAG_LINE = b'X-LUMARO' + TAG_TEXT.encode() + b'mx.example.cz'


def parse(data):
    return email.message_from_bytes(data, policy=email.policy.compat32)


def raw_header(part, name):
    """The header as the message holds it (8-bit bytes kept as surrogates): the
    parser's own accessors would turn 8-bit text into replacement characters."""
    return next((v for k, v in part.raw_items() if k.lower() == name.lower()), None)


def raw_header_text(value):
    """A header value as text: 8-bit bytes are in the system charset, encoded words
    are decoded."""
    if value is None:
        return None
    if any('\udc80' <= c <= '\udcff' for c in value):
        value = value.encode('ascii', 'surrogateescape').decode(SYSTEM)
    if '=?' in value:
        value = str(email.header.make_header(email.header.decode_header(value)))
    return ' '.join(value.replace('"', '').split())


def holds(charset, c):
    try:
        c.encode(charset)
        return True
    except UnicodeEncodeError:
        return False


def loosely_equal(expected, actual, charset):
    """Equal, except that a run of characters the charset cannot hold may have become
    any short text (a substitute, a transliteration, or nothing)."""
    pattern, lost = '', 0
    for c in expected + '\0':
        if c != '\0' and not holds(charset, c):
            lost += 1
            continue
        if lost:
            pattern += '[^\n]{0,%d}' % (4 * lost)
            lost = 0
        if c != '\0':
            pattern += re.escape(c)
    return re.fullmatch(pattern, actual) is not None


def text_of(part):
    payload = part.get_payload(decode=True) or b''
    charset = part.get_content_charset() or 'us-ascii'
    text = payload.decode(charset).replace('\ufeff', '')
    return text.replace('\r\n', '\n').replace('\r', '\n').rstrip('\n')


def parameter(value, name):
    found = re.search(r'(?i)(?:^|;)\s*' + name + r'\s*=\s*(?:"([^"]*)"|([^;\s]*))', value or '')
    return None if found is None else found[1] if found[1] is not None else found[2]


def file_names(part):
    """The file name as the disposition gives it and as the content type gives it."""
    names = (parameter(raw_header(part, 'Content-Disposition'), 'filename'),
             parameter(raw_header(part, 'Content-Type'), 'name'))
    return [raw_header_text(name) if name else None for name in names]


def converted(part):
    return (part.get_content_maintype() == 'text' and part.get_content_subtype() != 'html'
            and (part.get_content_charset() or '') in ('utf-8', 'utf-7'))


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.host = hosttest.HOST

    def compare_headers(self, before, after):
        for name in ['Subject', 'From', 'To', 'CC']:
            expected = raw_header_text(raw_header(before, name))
            actual = raw_header_text(raw_header(after, name))
            if expected is None:
                self.assertIsNone(actual, name)
                continue
            charset = SYSTEM if name in ('To', 'CC') else CONFIGURED
            self.assertTrue(loosely_equal(expected, actual, charset), f'{name}: {expected!r} / {actual!r}')

    def compare_leaf(self, before, after, configured):
        self.assertEqual(after.get_content_type(), before.get_content_type())
        self.assertEqual(after.get_content_disposition(), before.get_content_disposition())
        for expected_name, actual_name in zip(file_names(before), file_names(after)):
            if expected_name is None:
                self.assertIsNone(actual_name)
            else:
                self.assertTrue(loosely_equal(expected_name, actual_name or '', CONFIGURED),
                                f'{expected_name!r} / {actual_name!r}')
        if before.get_content_maintype() != 'text':
            self.assertEqual(after.get_payload(decode=True), before.get_payload(decode=True))
        elif converted(before):
            self.assertEqual(after.get_content_charset(), configured)
            expected, actual = text_of(before), text_of(after)
            self.assertTrue(loosely_equal(expected, actual, configured), f'{expected!r}\n{actual!r}')
        else:
            self.assertEqual(after.get_content_charset(), before.get_content_charset())
            self.assertEqual(text_of(after), text_of(before))

    def compare(self, before_bytes, after_bytes, configured=CONFIGURED):
        before, after = list(parse(before_bytes).walk()), list(parse(after_bytes).walk())
        self.assertEqual([p.get_content_type() for p in after], [p.get_content_type() for p in before])
        for b, a in zip(before, after):
            self.compare_headers(b, a)
            if not b.is_multipart() and b.get_content_type() != 'message/rfc822':
                self.compare_leaf(b, a, configured)

    def assert_rewritten(self, data, tags=1):
        lines = data.split(b'\r\n')
        self.assertEqual(lines[:tags], [TAG_LINE] * tags)
        self.assertNotEqual(lines[tags], TAG_LINE)
        self.assertEqual(lines[-1], b'', 'the last line ends with CR LF')
        self.assertFalse(any(b'\r' in line or b'\n' in line for line in lines),
                         'every line ends with CR LF')

    def test_realistic_messages(self):
        server = hosttest.Server(self.host)
        try:
            cases = messages.realistic()
            for job, (data, _) in cases.items():
                server.put(job, data)
            r = server.run('queue')
            self.assertEqual(r.returncode, 0, r.stderr)
            changed = sum(1 for _, untouched in cases.values() if not untouched)
            self.assertTrue(r.stdout.startswith(f'jobs {len(cases)}, changed {changed}, failed 0'.encode()),
                            r.stdout)
            for job, (before, untouched) in cases.items():
                with self.subTest(job=job):
                    after = server.read(job)
                    if untouched:
                        self.assertEqual(after, before)
                        continue
                    self.assert_rewritten(after)
                    self.compare(before, after)
            self.check_log(server.log_lines())
        finally:
            server.cleanup()

    def check_log(self, log):
        events = [(line.split()[3], line[0], line.split()[-2]) for line in log]
        # Every job that changed logs its events; the untouched ones log nothing.
        self.assertEqual({job for job, _, _ in events},
                         {'ALTERNATIVE', 'FORWARDED', 'ATTACHMENTS', 'UTF7', 'LFONLY'})
        self.assertIn(('UTF7', 'C', 'UTF-7'), events)
        self.assertIn(('ATTACHMENTS', 'H', 'content-disposion'), events)
        self.assertIn(('ATTACHMENTS', 'H', 'cc'), events)
        self.assertEqual([e for e in events if e[0] == 'ALTERNATIVE'],
                         [('ALTERNATIVE', 'H', 'from'), ('ALTERNATIVE', 'H', 'subject'),
                          ('ALTERNATIVE', 'C', 'UTF-8')])

    # A file with CR alone at each line end keeps its empty lines (the one after
    # the header above all), although the queue file's line list otherwise takes
    # CR CR as one line break.
    def test_cr_only_line_ends(self):
        server = hosttest.Server(self.host)
        try:
            before = messages.cr_only()
            server.put('CRONLY', before)
            r = server.run('run', 'CRONLY')
            self.assertEqual(r.returncode, 0, r.stderr)
            after = server.read('CRONLY')
            self.assert_rewritten(after)
            self.compare(before, after)
        finally:
            server.cleanup()

    def test_example_server(self):
        examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'examples',
                                'server')
        scratch = tempfile.mkdtemp(prefix='lumaro-example-')
        try:
            base = os.path.join(scratch, 'server')
            shutil.copytree(examples, base)
            # The example's LogFile has no folder: it lands in the server's current folder.
            r = self.host.run('queue', '--base', self.host.path(base), '--host', 'mx.example.cz',
                              cwd=base)
            self.assertTrue(r.stdout.startswith(b'jobs 4, changed 3, failed 0,'), r.stdout + r.stderr)
            with open(os.path.join(base, 'lumaro.log'), 'rb') as f:
                events = [line.split()[3] + ' ' + line.split()[-2] for line in f.read().decode().splitlines()]
            self.assertEqual(events, ['00000001 UTF-8', '00000002 from', '00000002 subject',
                                      '00000002 UTF-8', '00000003 to', '00000003 subject'])
            for name in sorted(os.listdir(os.path.join(examples, 'QUEUE'))):
                with self.subTest(message=name):
                    with open(os.path.join(examples, 'QUEUE', name), 'rb') as f:
                        before = f.read()
                    with open(os.path.join(base, 'QUEUE', name), 'rb') as f:
                        after = f.read()
                    if b'charset=ISO-8859-2' in before:
                        self.assertEqual(after, before)
                    else:
                        self.assert_rewritten(after)
                        self.compare(before, after)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def test_second_pass_adds_a_second_tag_line(self):
        # Converting into UTF-8 leaves a UTF-8 text part, so every pass changes it again.
        server = hosttest.Server(self.host, charset='UTF-8')
        try:
            before = messages.alternative()
            server.put('TWICE', before)
            for passes in (1, 2):
                r = server.run('run', 'TWICE')
                self.assertEqual(r.returncode, 0, r.stderr)
                after = server.read('TWICE')
                self.assert_rewritten(after, tags=passes)
                self.compare(before, after, configured='utf-8')
        finally:
            server.cleanup()


if __name__ == '__main__':
    hosttest.main()
