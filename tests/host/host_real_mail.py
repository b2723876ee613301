"""Messages that real mail programs wrote (tests/host/data/real_mail, made by its
generate.py) through the whole job, read back by Python's email package: every
attachment keeps its file name and its parameters (the charset aside), To and CC
keep their addresses, text keeps its characters, and malformed UTF-8 turns into
no control byte. Messages the module has nothing to do with stay byte for byte."""

import email
import email.header
import email.policy
import email.utils
import glob
import os
import re
import unittest

import hosttest
from host_end_to_end import SYSTEM, TAG_LINE, loosely_equal

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'data', 'real_mail')
CONFIGURED = 'iso-8859-2'
# Nothing in these is for the module: no Unicode word, no UTF-8 text part.
UNTOUCHED = {'mutt-latin2-control', 'mpack-control'}


def fixtures():
    """Job identifier -> (fixture name, bytes), in name order."""
    cases = {}
    for i, path in enumerate(sorted(glob.glob(os.path.join(DATA, '*.eml')))):
        with open(path, 'rb') as f:
            cases[f'REAL{i:02d}'] = (os.path.basename(path)[:-4], f.read())
    return cases


class Parsed:
    """A message read twice: from its bytes for the structure and the bodies, and
    as Latin-1 text for the headers, whose 8-bit bytes the parser's accessors would
    otherwise turn into replacement characters."""

    def __init__(self, data):
        self.message = email.message_from_bytes(data, policy=email.policy.compat32)
        self.headers = email.message_from_string(data.decode('latin-1'), policy=email.policy.compat32)
        # The current parser: of a name and its RFC 2231 form it takes the first.
        self.current = email.message_from_bytes(data, policy=email.policy.default)

    def leaves(self):
        """(bodies, headers) of every part that is no multipart."""
        return [(b, h) for b, h in zip(self.message.walk(), self.headers.walk()) if not b.is_multipart()]


ENCODED_WORD = re.compile(r'=\?[^?\s]+\?[bBqQ]\?[^?\s]*\?=')


def raw_text(value):
    """8-bit bytes as a program wrote them (UTF-8), or as the module writes decoded
    words (the system charset)."""
    raw = value.encode('latin-1', 'replace')
    try:
        return raw.decode('utf-8')
    except UnicodeDecodeError:
        return raw.decode(SYSTEM)


def header_text(value):
    """A header value (read as Latin-1) as text: its words decoded, its raw 8-bit
    bytes read by raw_text, its blanks collapsed."""
    if value is None:
        return None
    if isinstance(value, tuple):
        value = email.utils.collapse_rfc2231_value(value, fallback_charset='latin-1')
    pieces, rest = [], 0
    for word in ENCODED_WORD.finditer(value):
        between = value[rest:word.start()]
        if not (pieces and pieces[-1][0] == 'word' and not between.strip()):
            pieces.append(('raw', between))
        data, charset = email.header.decode_header(word.group())[0]
        pieces.append(('word', data.decode(charset or 'ascii')))
        rest = word.end()
    pieces.append(('raw', value[rest:]))
    text = ''.join(raw_text(piece) if kind == 'raw' else piece for kind, piece in pieces)
    return ' '.join(text.split())


def parameters(part, header):
    """The parameters of a content header, names lower-cased, values as text; the
    charset aside, which the conversion rewrites."""
    if part.get(header) is None:
        return {}
    found = {}
    for name, value in part.get_params(header=header)[1:]:
        if name != 'charset':
            found[name] = header_text(value)
    return found


def addresses(message, name):
    """The entries getaddresses finds in a header. A whole address inside encoded
    words is found only once the words are decoded."""
    values = [str(v) for v in message.get_all(name, [])]
    found = email.utils.getaddresses(values)
    if any('=?' in address for _, address in found):
        found = email.utils.getaddresses([header_text(v) for v in values])
    # A name without an address counts as an entry of its own: it is what a comma
    # from inside a decoded word leaves behind.
    return [address.lower() if '@' in address else '(no address)' for _, address in found]


def text_of(part, errors='strict'):
    payload = part.get_payload(decode=True) or b''
    return payload.decode(part.get_content_charset() or 'us-ascii', errors).replace('\r\n', '\n').rstrip('\n')


class RealMail(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = hosttest.Server(hosttest.HOST)
        cls.cases = fixtures()
        for job, (_, data) in cls.cases.items():
            cls.server.put(job, data)
        cls.run_result = cls.server.run('queue')
        cls.outputs = {job: cls.server.read(job) for job in cls.cases}

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def changed(self):
        """(fixture name, input, output) of every message the module rewrites."""
        return [(name, Parsed(before), Parsed(self.outputs[job]))
                for job, (name, before) in self.cases.items() if name not in UNTOUCHED]

    def test_every_job_succeeds(self):
        r = self.run_result
        self.assertEqual(r.returncode, 0, r.stderr)
        total, changed = len(self.cases), len(self.cases) - len(UNTOUCHED)
        self.assertTrue(r.stdout.startswith(f'jobs {total}, changed {changed}, failed 0'.encode()), r.stdout)

    def test_lines_and_tags(self):
        for job, (name, before) in self.cases.items():
            with self.subTest(fixture=name):
                after = self.outputs[job]
                if name in UNTOUCHED:
                    self.assertEqual(after, before)
                    continue
                lines = after.split(b'\r\n')
                self.assertEqual(lines[0], TAG_LINE)
                self.assertEqual(lines[-1], b'')
                self.assertFalse(any(b'\r' in line or b'\n' in line for line in lines))

    def test_structure_and_file_names(self):
        for name, before, after in self.changed():
            with self.subTest(fixture=name):
                self.assertEqual([p.get_content_type() for p in after.message.walk()],
                                 [p.get_content_type() for p in before.message.walk()])
                for (_, b), (_, a) in zip(before.leaves(), after.leaves()):
                    self.assertEqual(header_text(a.get_filename()), header_text(b.get_filename()))
                self.assertEqual([p.get_filename() for p in after.current.walk()],
                                 [p.get_filename() for p in before.current.walk()])

    def test_parameters(self):
        for name, before, after in self.changed():
            with self.subTest(fixture=name):
                for (_, b), (_, a) in zip(before.leaves(), after.leaves()):
                    self.assertEqual(parameters(a, 'content-disposition'), parameters(b, 'content-disposition'))
                    expected, actual = parameters(b, 'content-type'), parameters(a, 'content-type')
                    # The rebuilt line names the file in the content type too.
                    if 'name' not in expected and 'name' in actual:
                        self.assertEqual(actual.pop('name'), header_text(b.get_filename()))
                    self.assertEqual(actual, expected)

    def test_addresses(self):
        for name, before, after in self.changed():
            with self.subTest(fixture=name):
                for header in ('To', 'CC'):
                    self.assertEqual(addresses(after.headers, header), addresses(before.headers, header), header)

    def test_whole_addresses_inside_words_are_found(self):
        job = next(j for j, (name, _) in self.cases.items() if name == 'python-compat32-names')
        after = Parsed(self.outputs[job]).headers
        self.assertEqual(addresses(after, 'To'), ['petr@example.cz'])
        self.assertEqual(addresses(after, 'CC'), ['sarka@example.cz', 'jiri@example.cz'])

    def test_text(self):
        for name, before, after in self.changed():
            with self.subTest(fixture=name):
                for (b, _), (a, _) in zip(before.leaves(), after.leaves()):
                    if b.get_content_maintype() != 'text':
                        self.assertEqual(a.get_payload(decode=True), b.get_payload(decode=True))
                    elif (b.get_content_charset() or '') not in ('utf-8', 'utf-7'):
                        self.assertEqual(text_of(a), text_of(b))
                    else:
                        self.assertEqual(a.get_content_charset(), CONFIGURED)
                        # Malformed UTF-8 loses the bytes it cannot read and nothing
                        # else: no control byte, no new line break.
                        expected, actual = text_of(b, 'ignore'), text_of(a)
                        self.assertTrue(loosely_equal(expected, actual, CONFIGURED), f'{expected!r}\n{actual!r}')


if __name__ == '__main__':
    hosttest.main()
