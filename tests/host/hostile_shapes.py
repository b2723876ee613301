"""Messages shaped to make a MIME reader spend memory: many or deeply nested parts,
long boundaries, lines of a byte or two, huge header sections, bodies that grow
when they are converted. Each maker gives a message of about the size asked for,
with a UTF-8 encoded word in its Subject, so that the module changes it and
writes it back. The memory benchmark (bench/hostile_memory.py) and the host
tests share them."""

SUBJECT = b'Subject: =?UTF-8?Q?P=C5=99=C3=ADli=C5=A1?=\r\n'


def _head(content_type, extra=b''):
    return (b'From: a@example.cz\r\nTo: b@example.cz\r\n' + SUBJECT + b'MIME-Version: 1.0\r\n'
            b'Content-Type: ' + content_type + b'\r\n' + extra + b'\r\n')


def _repeat(unit, size):
    return unit * max(1, size // len(unit))


def _nested(boundaries, unit, size):
    """Multiparts nested one in another, the innermost holding copies of unit."""
    head = _head(b'multipart/mixed; boundary="' + boundaries[0] + b'"')
    opening = b''
    for level in range(1, len(boundaries)):
        opening += (b'--' + boundaries[level - 1] + b'\r\nContent-Type: multipart/mixed; boundary="'
                    + boundaries[level] + b'"\r\n\r\n')
    closing = b''.join(b'--' + b + b'--\r\n' for b in reversed(boundaries))
    return head + opening + _repeat(unit, size - len(head) - len(opening) - len(closing)) + closing


LONG_BOUNDARIES = [(b'%02d' % level) + b'b' * 10_000 for level in range(10)]


def nested_long_boundaries(size):
    """Ten nested multiparts with boundaries of 10 KB; the innermost holds small
    parts, each after a delimiter of 10 KB."""
    return _nested(LONG_BOUNDARIES, b'--' + LONG_BOUNDARIES[-1] + b'\r\nContent-Type: text/plain\r\n\r\nsmall\r\n',
                   size)


def nested_around_empty_parts(size):
    """Nine nested multiparts with boundaries of 10 KB around one with a boundary of
    a byte and a great many empty parts."""
    return _nested(LONG_BOUNDARIES[:9] + [b'e'], b'--e\r\n', size)


def empty_parts(size):
    """One multipart of empty parts: nothing but delimiter lines."""
    head = _head(b'multipart/mixed; boundary="q"')
    return head + _repeat(b'--q\r\n', size - len(head)) + b'--q--\r\n'


def delimiter_prefix_lines(size):
    """Lines that begin with the delimiter and go on ("--qx"): content, not parts."""
    head = _head(b'multipart/mixed; boundary="q"')
    return head + b'--q\r\n\r\n' + _repeat(b'--qx\r\n', size - len(head)) + b'--q--\r\n'


def lone_carriage_returns(size):
    """A body of lone CRs, each an empty line, in a file without any LF."""
    return _head(b'text/plain').replace(b'\r\n', b'\r') + b'x' + b'\r' * size


def empty_lines(size):
    """A body of LFs: a line for every byte."""
    return _head(b'text/plain') + b'\n' * size


def tiny_header_lines(size):
    """A header section of a great many fields of three bytes."""
    return SUBJECT + _repeat(b'a:\n', size) + b'\r\nbody\r\n'


def many_small_converted_parts(size):
    """A multipart of small UTF-8 text parts, each converted."""
    head = _head(b'multipart/mixed; boundary="q"')
    unit = (b'--q\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n'
            b'\xc5\x99\r\n')
    return head + _repeat(unit, size - len(head)) + b'--q--\r\n'


def converted_empty_lines(size):
    """A UTF-8 text of empty lines, converted: the new body has a line for every two bytes."""
    head = _head(b'text/plain; charset=utf-8', b'Content-Transfer-Encoding: 8bit\r\n')
    return head + b'\xc5\x99\r\n' + b'\r\n' * (size // 2)


def converted_control_bytes(size):
    """A UTF-8 quoted-printable text of raw control bytes: each becomes a three-byte escape."""
    head = _head(b'text/plain; charset=utf-8', b'Content-Transfer-Encoding: quoted-printable\r\n')
    line = b'=C5=99' + b'\x01' * 70 + b'\r\n'
    return head + _repeat(line, size)


def converted_control_line(size):
    """A UTF-8 quoted-printable text of one line of raw control bytes."""
    head = _head(b'text/plain; charset=utf-8', b'Content-Transfer-Encoding: quoted-printable\r\n')
    return head + b'=C5=99' + b'\x01' * size + b'\r\n'


def converted_text(size):
    """Ordinary Czech text in UTF-8, quoted-printable, converted: the bound holds for
    mail as it comes too."""
    head = _head(b'text/plain; charset=utf-8', b'Content-Transfer-Encoding: quoted-printable\r\n')
    line = (b'P=C5=99=C3=ADli=C5=A1 =C5=BElu=C5=A5ou=C4=8Dk=C3=BD k=C5=AF=C5=88 =C3=BAp=C4=9Bl '
            b'=C4=8F=C3=A1belsk=C3=A9 =C3=B3dy.\r\n')
    return head + _repeat(line, size)


def many_parameters(size):
    """A Content-Type line of a great many parameters."""
    return (SUBJECT + b'Content-Type: text/plain; charset=us-ascii' + _repeat(b'; a=b', size)
            + b'\r\n\r\nbody\r\n')


def nested_messages(size):
    """Encapsulated messages nested far beyond the nesting limit, around a large body."""
    head = _head(b'message/rfc822')
    inner = b''.join(b'Subject: level %d\r\nContent-Type: message/rfc822\r\n\r\n' % k for k in range(200))
    return head + inner + b'Subject: innermost\r\n\r\n' + _repeat(b'x' * 70 + b'\r\n', size)


def long_header_line(size):
    """One header field of many words."""
    return (SUBJECT + b'X-Long: ' + _repeat(b'word ', size) + b'\r\nContent-Type: text/plain\r\n\r\nbody\r\n')


SHAPES = {
    'nested-long-boundaries': nested_long_boundaries,
    'nested-around-empty-parts': nested_around_empty_parts,
    'empty-parts': empty_parts,
    'delimiter-prefix-lines': delimiter_prefix_lines,
    'lone-carriage-returns': lone_carriage_returns,
    'empty-lines': empty_lines,
    'tiny-header-lines': tiny_header_lines,
    'many-small-converted-parts': many_small_converted_parts,
    'converted-empty-lines': converted_empty_lines,
    'converted-control-bytes': converted_control_bytes,
    'converted-control-line': converted_control_line,
    'converted-text': converted_text,
    'many-parameters': many_parameters,
    'nested-messages': nested_messages,
    'long-header-line': long_header_line,
}
