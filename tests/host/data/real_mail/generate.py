#!/usr/bin/env python3
"""Makes the messages in this folder with real mail programs, as Debian packages
them: Mutt, s-nail, mpack, Perl's MIME::Lite, Email::MIME and MIME-tools, and
Python's email package. Nothing is sent: each program hands its message to a
script that keeps it (or writes it to a file itself).

The messages are committed, so the tests need none of these programs. To make
them again (dates, message ids and boundaries then change):

    apt-get install mutt s-nail mpack libmime-lite-perl libemail-mime-perl \
        libmime-tools-perl
    python3 tests/host/data/real_mail/generate.py
"""

import email.charset
import email.generator
import email.header
import email.message
import email.mime.multipart
import email.mime.text
import email.policy
import io
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

BODY = 'Dobrý den,\n\nposílám poznámky z porady. Řešíme rozpočet na čtvrtek.\n\nVěra\n'
NOTES = 'Poznámky z porady:\n- úspora 5 %\n- nábor do října, řeší Dvořák\n'
LONG_NAME = 'poznámky k jednání o rozpočtu na rok 2027 – finální verze pro vedení.txt'
SHORT_NAME = 'poznámky – čtvrtek.txt'


def keep(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)
    print(name, len(data))


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode('utf-8'))
    return path


MUTTRC = '''set sendmail="{capture}"
set charset="utf-8"
set from="Věra Šťastná <vera@example.cz>"
set use_from=yes
set hostname="example.cz"
set edit_headers=no
set copy=no
set record=""
'''


def mutt(work, name, args, body=BODY, extra=()):
    """Mutt in batch mode; its sendmail is a script that keeps the message."""
    capture = write(work, 'capture.sh', '#!/bin/sh\ncat > "$CAPTURE_FILE"\n')
    os.chmod(capture, 0o755)
    rc = write(work, 'muttrc', MUTTRC.format(capture=capture))
    out = os.path.join(work, 'out.eml')
    env = dict(os.environ, CAPTURE_FILE=out)
    cmd = ['mutt', '-n', '-F', rc]
    for e in extra:
        cmd += ['-e', e]
    subprocess.run(cmd + args, input=body.encode(), env=env, cwd=work, check=True)
    with open(out, 'rb') as f:
        keep(name, f.read())


def s_nail(work, name, args, body=BODY):
    capture = write(work, 'capture.sh', '#!/bin/sh\ncat > "$CAPTURE_FILE"\n')
    os.chmod(capture, 0o755)
    out = os.path.join(work, 'out.eml')
    env = dict(os.environ, CAPTURE_FILE=out, LC_ALL='C.UTF-8')
    subprocess.run(['s-nail', '-:/', '-Sv15-compat', '-Smta=file://' + capture, '-Sttycharset=utf-8',
                    '-Sexpandaddr', '-Sfullnames', '-Shostname=example.cz', '-Sfrom=Věra Šťastná <vera@example.cz>'] + args,
                   input=body.encode(), env=env, cwd=work, check=True)
    with open(out, 'rb') as f:
        keep(name, f.read())


def perl(work, name, script):
    path = write(work, 'make.pl', script)
    keep(name, subprocess.run(['perl', path], cwd=work, check=True, stdout=subprocess.PIPE).stdout)


def python_message(name, msg, policy):
    out = io.BytesIO()
    email.generator.BytesGenerator(out, policy=policy).flatten(msg)
    keep(name, out.getvalue())


def make_mutt(work):
    write(work, LONG_NAME, NOTES)
    # An attached Latin-2 file: without attach_charset Mutt labels it utf-8.
    write(work, 'zapis.txt', NOTES.encode('iso-8859-2'))
    mutt(work, 'mutt-flowed-attachments.eml',
         ['-s', 'Poznámky k jednání', '-c', '"Dvořák: Petr" <petr.d@example.cz>', '-a', LONG_NAME, 'zapis.txt',
          '--', '"Dvořák, Petr" <petr@example.cz>'],
         extra=['set text_flowed=yes'])
    mutt(work, 'mutt-address-quoting.eml',
         ['-s', 'Seznam adres', '-c', '"Šárka: Malá" <sarka@example.cz>', '--',
          '"Dvořák; Petr" <a@example.cz>', '"Dvořák <Petr>" <b@example.cz>', '"Dvořák @ Brno" <c@example.cz>',
          '"Dvořák \\"Petr\\"" <d@example.cz>', '"Dvořák \\\\ Petr" <e@example.cz>',
          '"Dvořák (Petr)" <f@example.cz>', '"Dvořák, Petr" <g@example.cz>', 'Jiří Novák <h@example.cz>'],
         body='Hello,\nplain ASCII text.\n')
    # Nothing for the module to do: Latin-2 text and Latin-2 words.
    mutt(work, 'mutt-latin2-control.eml',
         ['-s', 'Poznámky', '-a', 'zapis.txt', '--', '"Dvořák, Petr" <petr@example.cz>'],
         extra=['set send_charset="us-ascii:iso-8859-2"', 'set attach_charset="iso-8859-2"'])


def make_s_nail(work):
    write(work, SHORT_NAME, NOTES)
    s_nail(work, 's-nail-attachment.eml',
           ['-s', 'Poznámky z porady', '-a', SHORT_NAME, '-c', 'Šárka Malá <sarka@example.cz>',
            '"Dvořák, Petr" <petr@example.cz>'])


def make_mpack(work):
    # mpack writes the file as it is: an application/octet-stream with a raw name.
    path = write(work, 'rozpočet.csv', 'položka;částka\nnábor;120000\n')
    out = os.path.join(work, 'mpack.eml')
    subprocess.run(['mpack', '-s', 'Rozpocet', '-o', out, path], cwd=work, check=True)
    with open(out, 'rb') as f:
        keep('mpack-control.eml', f.read())


MIME_LITE = r'''
use strict; use warnings;
use MIME::Lite;
my $m = MIME::Lite->new(From => 'vera@example.cz', To => "Petr Dvo\xc5\x99\xc3\xa1k <petr\@example.cz>",
    Subject => 'Poznamky', Type => 'multipart/mixed');
$m->attach(Type => 'text/plain; charset=UTF-8', Data => "Dobr\xc3\xbd den,\n\xc5\x99e\xc5\xa1\xc3\xad se.\n");
$m->attach(Type => 'text/plain; charset=UTF-8', Path => 'notes.txt', Disposition => 'attachment',
    Filename => "pozn\xc3\xa1mky.txt");
binmode STDOUT;
print $m->as_string;
'''

EMAIL_MIME = r'''
use strict; use warnings; use utf8;
use Email::MIME;
my @parts = (
  Email::MIME->create(attributes => {content_type => 'text/plain', charset => 'UTF-8', encoding => '8bit'},
                      body_str => "Dobrý den,\nřešíme rozpočet.\n"),
  Email::MIME->create(attributes => {content_type => 'text/plain', charset => 'UTF-8',
                      encoding => 'quoted-printable', disposition => 'attachment',
                      filename => 'poznámky – čtvrtek.txt', name => 'poznámky – čtvrtek.txt'},
                      body_str => "Poznámky: řeší se.\n"),
);
my $m = Email::MIME->create(header_str => [From => 'Věra Šťastná <vera@example.cz>',
    To => ['"Dvořák, Petr" <petr@example.cz>', 'Šárka Malá <sarka@example.cz>'],
    Subject => 'Poznámky'], parts => \@parts);
binmode STDOUT;
print $m->as_string;
'''

MIME_TOOLS = r'''
use strict; use warnings;
use MIME::Entity;
my $e = MIME::Entity->build(From => 'vera@example.cz', To => 'petr@example.cz', Subject => 'Poznamky',
    Type => 'multipart/mixed');
$e->attach(Type => 'text/plain', Charset => 'UTF-8', Encoding => 'quoted-printable',
    Data => ["Dobr\xc3\xbd den,\n\xc5\x99e\xc5\xa1\xc3\xad se.\n"]);
$e->attach(Type => 'text/plain', Charset => 'UTF-8', Path => 'notes.txt', Disposition => 'attachment',
    Filename => "pozn\xc3\xa1mky \xc5\x99\xc3\xadjen.txt", Encoding => 'base64');
binmode STDOUT;
$e->print(\*STDOUT);
'''


def make_perl(work):
    write(work, 'notes.txt', NOTES)
    perl(work, 'mime-lite-raw-name.eml', MIME_LITE)
    perl(work, 'email-mime-fallback-name.eml', EMAIL_MIME)
    perl(work, 'mime-tools-raw-name.eml', MIME_TOOLS)


def make_python_default():
    """The current API: RFC 2231 names, and an invitation with its method."""
    msg = email.message.EmailMessage()
    msg['From'] = 'Věra Šťastná <vera@example.cz>'
    msg['To'] = 'Dvořák, Petr <petr@example.cz>, Šárka Malá <sarka@example.cz>'
    msg['Subject'] = 'Porada – pozvánka'
    msg.set_content(BODY)
    msg.add_attachment(NOTES.encode('utf-8'), maintype='text', subtype='plain', filename=SHORT_NAME,
                       params={'charset': 'utf-8'})
    msg.add_attachment(NOTES, subtype='plain', filename=LONG_NAME)
    invitation = ('BEGIN:VCALENDAR\nMETHOD:REQUEST\nBEGIN:VEVENT\nSUMMARY:Porada o rozpočtu\n'
                  'LOCATION:Kancelář č. 214\nEND:VEVENT\nEND:VCALENDAR\n')
    msg.add_attachment(invitation, subtype='calendar', params={'method': 'REQUEST'},
                       disposition='inline')
    python_message('python-default-calendar.eml', msg, email.policy.SMTP)


MIXED_PLACEHOLDER = 'mixed-name-placeholder.txt'


def encoded_name(text, charset):
    return email.header.Header(text, charset).encode()


def make_python_compat32():
    """The older API with header objects: names as encoded words in three charsets,
    and whole addresses inside encoded words."""
    utf8 = email.charset.Charset('utf-8')
    utf8.body_encoding = email.charset.QP
    msg = email.mime.multipart.MIMEMultipart()
    msg['From'] = email.header.Header('Věra Šťastná <vera@example.cz>', 'utf-8')
    msg['To'] = email.header.Header('Petr Dvořák <petr@example.cz>', 'utf-8')
    msg['CC'] = email.header.Header('Šárka Malá <sarka@example.cz>, Jiří Novák <jiri@example.cz>', 'utf-8')
    msg['Subject'] = email.header.Header('Poznámky', 'utf-8')
    msg.attach(email.mime.text.MIMEText(BODY, 'plain', utf8))
    names = [
        encoded_name('poznámky řízení.txt', 'utf-8'),
        encoded_name('poznámky řízení.txt', 'iso-8859-2'),
        encoded_name('poznámky řízení.txt', 'windows-1250'),
        MIXED_PLACEHOLDER,
    ]
    for name in names:
        part = email.mime.text.MIMEText(NOTES, 'plain', utf8)
        part.add_header('Content-Disposition', 'attachment', filename=name)
        msg.attach(part)
    out = io.BytesIO()
    email.generator.BytesGenerator(out, policy=email.policy.compat32.clone(linesep='\r\n')).flatten(msg)
    # Both kinds in one name, an encoded word and then raw UTF-8 bytes: the package
    # would write such a name as RFC 2231, so it goes in as bytes afterwards.
    mixed = (encoded_name('poznámky', 'utf-8') + ' řízení.txt').encode('utf-8')
    keep('python-compat32-names.eml', out.getvalue().replace(MIXED_PLACEHOLDER.encode(), mixed))


def main():
    with tempfile.TemporaryDirectory() as work:
        for make in (make_mutt, make_s_nail, make_mpack, make_perl):
            make(work)
    make_python_default()
    make_python_compat32()


if __name__ == '__main__':
    sys.exit(main())
