"""Hostile header lines through the whole job, each read before and after by Python's
email package: the address lines (From, To, CC) by email.utils.getaddresses, with
its strict reader and its lenient one where this Python has both, the content lines
(Content-Type, Content-Disposition) by the parameter parsers of the compat32 and
the default policy. A reader finds the same addresses, in the same number and
order, and the same parameter names, none new: only display names, comments and
parameter values may change from encoded words into text.

The lines are generated from a fixed seed out of quotes, backslashes, comments,
groups, specials, line breaks and NUL bytes, written raw or inside encoded words,
words the system charset cannot hold, and characters split between two words."""

import base64
import email
import email.policy
import email.utils
import os
import random
import re
import unittest

import hosttest

COUNT = 1500
# Another seed tries other lines: LUMARO_TEST_SEED=N.
SEED = int(os.environ.get('LUMARO_TEST_SEED', '17'))
HOSTILE = ['"', '\\', '(', ')', ',', ';', '<', '>', '@', ':', '[', ']', '.', '=', '?', '_', ' ', '\t',
           '\r', '\n', '\0', 'a', 'Jan', 'evil@evil.example', 'Petr Nov\u00e1k', '\u0159\u00ed',
           '\u03b5\u03b9\u03ba\u03cc\u03bd\u03b1', '\U0001F600', 'boundary="evil"', 'filename=x.exe']


def encoded_words(text, rng):
    """Text as adjacent UTF-8 words, B or Q, cut anywhere (inside a character too)."""
    raw = text.encode('utf-8')
    cuts = sorted(rng.sample(range(1, len(raw)), min(rng.randint(0, 2), len(raw) - 1))) if len(raw) > 1 else []
    words = []
    for piece in (raw[a:b] for a, b in zip([0] + cuts, cuts + [len(raw)])):
        if rng.random() < 0.5:
            words.append('=?UTF-8?B?' + base64.b64encode(piece).decode() + '?=')
        else:
            # Some senders write specials raw inside a Q word: to a reader they are
            # structure, whatever the word decodes to.
            safe = (lambda b: chr(b).isalnum()) if rng.random() < 0.8 else (lambda b: 32 < b < 127 and b != 63)
            words.append('=?UTF-8?Q?' + ''.join(chr(b) if safe(b) else '=%02X' % b for b in piece) + '?=')
    return rng.choice([' ', '', '\t']).join(words)


def text(rng):
    return ''.join(rng.choice(HOSTILE) for _ in range(rng.randint(1, 6)))


def phrase(rng):
    choice = rng.random()
    if choice < 0.5:
        return encoded_words(text(rng), rng)
    if choice < 0.7:
        return '"' + encoded_words(text(rng), rng) + '"'
    # Structure written raw around the words: an unclosed quote, a stray backslash
    # or parenthesis.
    return (rng.choice(['Jan ', '', 'x.y ', '\\', '(']) + encoded_words(text(rng), rng) +
            rng.choice(['', ' Novák', '"', ')']))


def mailbox(rng):
    address = rng.choice(['a@x.example', 'b@y.example', '"q r"@z.example', 'c@[192.0.2.1]'])
    shape = rng.random()
    if shape < 0.5:
        return f'{phrase(rng)} <{address}>'
    if shape < 0.75:
        return f'{address} ({encoded_words(text(rng), rng)})'
    if shape < 0.85:
        return encoded_words(text(rng), rng)
    return address


def address_list(rng):
    entries = [mailbox(rng) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.2:
        entries.insert(0, phrase(rng) + ': ' + ', '.join(mailbox(rng) for _ in range(2)) + ';')
    return ', '.join(entries)


def parameter_value(rng):
    words = encoded_words(text(rng), rng)
    return '"' + words + '"' if rng.random() < 0.7 else words


def message(rng):
    content = rng.choice(['multipart/mixed', 'application/octet-stream', 'image/png'])
    body = b'--good\r\n\r\nx\r\n--good--\r\n' if content.startswith('multipart') else b'body\r\n'
    head = (f'From: {address_list(rng)}\r\n'
            f'To: {address_list(rng)}\r\n'
            f'CC: {address_list(rng)}\r\n'
            f'Content-Type: {content}; x={parameter_value(rng)}; boundary="good"\r\n'
            f'Content-Disposition: attachment; filename={parameter_value(rng)}; size=3\r\n\r\n')
    return head.encode('utf-8', 'surrogatepass') + body


def unfolded(value):
    return re.sub(r'\r?\n(?=[ \t])', '', str(value))


def addr_specs(data, name):
    """The addresses of every reader this Python has."""
    values = [unfolded(v) for v in email.message_from_bytes(data, policy=email.policy.compat32).get_all(name, [])]
    found = {'lenient': [a for _, a in email.utils.getaddresses(values, **LENIENT)]}
    if LENIENT:
        found['strict'] = [a for _, a in email.utils.getaddresses(values)]
    return found


def parameter_names(data, name):
    compat = email.message_from_bytes(data, policy=email.policy.compat32)
    current = email.message_from_bytes(data, policy=email.policy.default)
    return ([n for n, _ in compat.get_params(header=name, failobj=[])],
            sorted(current[name].params) if current[name] is not None else None)


LENIENT = {'strict': False} if getattr(email.utils, 'supports_strict_parsing', False) else {}


class HeaderStructure(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rng = random.Random(SEED)
        cls.server = hosttest.Server(hosttest.HOST)
        cls.cases = {f'H{i:04d}': message(rng) for i in range(COUNT)}
        for job, data in cls.cases.items():
            cls.server.put(job, data)
        cls.run_result = cls.server.run('queue', timeout=600)

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def outputs(self):
        for job, before in self.cases.items():
            yield job, before, self.server.read(job)

    def test_every_job_rewrites_its_message(self):
        self.assertEqual(self.run_result.returncode, 0, self.run_result.stderr)
        self.assertTrue(self.run_result.stdout.startswith(f'jobs {COUNT}, changed {COUNT}, failed 0'.encode()),
                        self.run_result.stdout)

    def test_address_lines_keep_their_addresses(self):
        for job, before, after in self.outputs():
            for name in ('From', 'To', 'CC'):
                with self.subTest(job=job, header=name):
                    self.assertEqual(addr_specs(after, name), addr_specs(before, name))

    def test_content_lines_keep_their_parameters(self):
        for job, before, after in self.outputs():
            for name in ('Content-Type', 'Content-Disposition'):
                with self.subTest(job=job, header=name):
                    self.assertEqual(parameter_names(after, name), parameter_names(before, name))


if __name__ == '__main__':
    hosttest.main()
