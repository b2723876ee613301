"""Realistic messages for the end-to-end tests, built byte by byte so that every
line end and every encoding is exactly what a mail client would have sent."""

import base64
import email.quoprimime
import random

CZECH = ('Dobrý den,\n\n'
         'v příloze posílám podklady k jednání o rozpočtu. Žádám o připomínky do\n'
         'čtvrtka; ve středu se ještě sejdeme s panem Kovářem v kanceláři č. 214.\n\n'
         'Příliš žluťoučký kůň úpěl ďábelské ódy.\n'
         'PŘÍLIŠ ŽLUŤOUČKÝ KŮŇ ÚPĚL ĎÁBELSKÉ ÓDY.\n\n'
         'S pozdravem\nIng. Věra Šťastná\n')
# Characters ISO-8859-2 cannot hold: the module substitutes something for them.
BEYOND = ('Cena: 1 250 € (sleva 10 %) – „uvozovky“ … a smajlík 😀.\n'
          'Ruština: Здравствуйте. Řecky: Καλημέρα.\n')
HTML = ('<!DOCTYPE html>\n<html><head><title>Rozpočet</title></head><body>\n'
        '<p>Dobrý den,</p>\n<p>v příloze posílám <b>podklady</b> k jednání o rozpočtu.</p>\n'
        '<p>Příliš žluťoučký kůň úpěl ďábelské ódy – „citace“ €.</p>\n'
        '</body></html>\n')


def lines(text, eol):
    return text.replace('\r\n', '\n').replace('\n', eol)


def qp(text, charset, eol='\r\n'):
    raw = text.encode(charset).decode('latin-1')
    return email.quoprimime.body_encode(lines(raw, '\n'), maxlinelen=76, eol=eol) + eol


def b64(data, eol='\r\n'):
    encoded = base64.b64encode(data).decode()
    return ''.join(encoded[i:i + 76] + eol for i in range(0, len(encoded), 76))


def ew(text, charset='UTF-8', kind='Q'):
    raw = text.encode(charset)
    if kind == 'B':
        return f'=?{charset}?B?{base64.b64encode(raw).decode()}?='
    return f'=?{charset}?Q?{email.quoprimime.header_encode(raw).split("?")[3]}?='


def binary(seed, size, head=b''):
    return head + random.Random(seed).randbytes(size - len(head))


def message(head, body, eol='\r\n', body_charset='ascii'):
    """Header text and body text (str, or bytes taken as they are) with the given line end."""
    data = lines(head, eol).encode('ascii') + eol.encode()
    data += body if isinstance(body, bytes) else lines(body, eol).encode(body_charset)
    return data


def part(headers, body):
    return headers + '\n\n' + body


def multipart(boundary, parts, preamble='', epilogue=''):
    text = preamble
    for p in parts:
        text += f'--{boundary}\n{p}\n'
    return text + f'--{boundary}--\n' + epilogue


def common_head(subject, sender='Věra Šťastná <vera.stastna@example.cz>', to='rozpocet@example.cz',
                extra=''):
    name, _, address = sender.partition(' <')
    return ('Received: from smtp.example.cz (smtp.example.cz [192.0.2.25])\n'
            '\tby mx.example.cz with ESMTPS id 7F3A21; Tue, 8 Dec 2026 08:15:02 +0100\n'
            'Message-ID: <7f3a21.2026@example.cz>\n'
            'Date: Tue, 8 Dec 2026 08:15:00 +0100\n'
            f'From: {ew(name, kind="B")} <{address}\n'
            f'To: {to}\n'
            f'Subject: {subject}\n' + extra + 'MIME-Version: 1.0\n')


def alternative(eol='\r\n'):
    body = multipart('=_alt_01', [
        part('Content-Type: text/plain; charset="utf-8"\nContent-Transfer-Encoding: quoted-printable',
             qp(CZECH + BEYOND, 'utf-8', '\n')),
        part('Content-Type: text/html; charset="utf-8"\nContent-Transfer-Encoding: quoted-printable',
             qp(HTML, 'utf-8', '\n')),
    ], preamble='This is a multi-part message in MIME format.\n\n')
    head = common_head(ew('Rozpočet na rok 2027 – podklady')) + \
        'Content-Type: multipart/alternative; boundary="=_alt_01"\n'
    return message(head, body, eol)


def forwarded():
    inner = (f'From: {ew("Jiří Dvořák")} <jiri.dvorak@example.cz>\n'
             'To: vera.stastna@example.cz\n'
             f'Subject: {ew("Připomínky k rozpočtu", kind="B")}\n'
             'Date: Mon, 7 Dec 2026 17:40:00 +0100\n'
             'MIME-Version: 1.0\n'
             'Content-Type: text/plain; charset=UTF-8\n'
             'Content-Transfer-Encoding: base64\n\n' +
             b64(('Věro,\nposílám připomínky: položka 12 je nadhodnocená.\nJiří\n').encode(),
                 '\n'))
    body = multipart('fwd-boundary-77', [
        part('Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: 8bit',
             'Přeposílám zprávu od Jiřího.\n'),
        part('Content-Type: message/rfc822\nContent-Disposition: inline', inner),
    ])
    head = common_head('Fwd: ' + ew('Připomínky k rozpočtu')) + \
        'Content-Type: multipart/mixed; boundary="fwd-boundary-77"\n'
    return message(head, body, body_charset='utf-8')


def attachments():
    pdf = binary(1, 9000, b'%PDF-1.4\n%\xe2\xe3\xcf\xd3\n')
    png = binary(2, 3000, b'\x89PNG\r\n\x1a\n')
    pdf_name = ew('Rozpočet_2027_návrh č.1.pdf')
    png_name = ew('graf výdajů.png', kind='B')
    txt_name = ew('poznámky – čtvrtek.txt')
    body = multipart('mixed-5cd', [
        part('Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable',
             qp(CZECH, 'utf-8', '\n')),
        part(f'Content-Type: application/pdf; name="{pdf_name}"\n'
             'Content-Transfer-Encoding: base64\n'
             f'Content-Disposition: attachment; filename="{pdf_name}"', b64(pdf, '\n')),
        part(f'Content-Type: image/png; name="{png_name}"\n'
             'Content-Transfer-Encoding: base64\n'
             f'Content-Disposition: inline; filename="{png_name}"', b64(png, '\n')),
        part(f'Content-Type: text/plain; charset=utf-8; name="{txt_name}"\n'
             'Content-Transfer-Encoding: base64\n'
             f'Content-Disposition: attachment; filename="{txt_name}"',
             b64('Poznámky z porady:\n- úspora 5 %\n- nábor do října\n'.encode(), '\n')),
    ])
    head = common_head(ew('Podklady a přílohy'), to=f'{ew("Účtárna")} <uctarna@example.cz>',
                       extra=f'CC: {ew("Kovář, Jan")} <jan.kovar@example.cz>, '
                             f'{ew("Šárka Malá", kind="B")} <sarka.mala@example.cz>\n') + \
        'Content-Type: multipart/mixed; boundary="mixed-5cd"\n'
    return message(head, body)


def utf7():
    text = 'Dobrý večer, posílám opravenou verzi. Díky! Žádné změny v příloze.\n'
    head = common_head('UTF-7 text') + 'Content-Type: text/plain; charset=UTF-7\n'
    return message(head, text.encode('utf-7').decode('ascii').replace('\n', '\r\n'))


def iso_8859_2():
    body = multipart('iso-part', [
        part('Content-Type: text/plain; charset=ISO-8859-2\nContent-Transfer-Encoding: quoted-printable',
             qp(CZECH, 'iso-8859-2', '\n')),
        part('Content-Type: text/plain; charset=ISO-8859-2\nContent-Transfer-Encoding: 8bit',
             lines(CZECH, '\r\n').encode('iso-8859-2').decode('latin-1')),
    ])
    head = ('From: ' + ew('Věra Šťastná', 'ISO-8859-2') + ' <vera@example.cz>\n'
            'To: ' + ew('Účtárna', 'ISO-8859-2', 'B') + ' <uctarna@example.cz>\n'
            'Subject: ' + ew('Rozpočet - ISO-8859-2', 'ISO-8859-2') + '\n'
            'MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary="iso-part"\n')
    return message(head, body, body_charset='latin-1')


def windows_1250():
    head = ('From: Vera Stastna <vera@example.cz>\n'
            'Subject: ' + ew('Žádost o schválení', 'windows-1250') + '\n'
            'MIME-Version: 1.0\nContent-Type: text/plain; charset="windows-1250"\n'
            'Content-Transfer-Encoding: 8bit\n')
    return message(head, lines(CZECH + 'Cena 1 250 € – „schváleno“.\n', '\r\n').encode('cp1250'))


def cr_only():
    head = common_head(ew('Jen CR na konci řádků')) + \
        'Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n'
    return message(head, CZECH, '\r', 'utf-8')


def lf_only():
    return alternative('\n')


# Job identifier -> (message bytes, the message must stay byte for byte).
def realistic():
    return {
        'ALTERNATIVE': (alternative(), False),
        'FORWARDED': (forwarded(), False),
        'ATTACHMENTS': (attachments(), False),
        'UTF7': (utf7(), False),
        'ISO88592': (iso_8859_2(), True),
        'WINDOWS1250': (windows_1250(), True),
        'LFONLY': (lf_only(), False),
    }
