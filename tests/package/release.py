"""What every package test needs: a message that the module converts, and the
check that a host program from a package converted it."""

import re

MESSAGE = ('Subject: =?UTF-8?Q?Faktura_=C4=8D=2E_7?=\r\n'
           'MIME-Version: 1.0\r\n'
           'Content-Type: text/plain; charset=utf-8\r\n'
           'Content-Transfer-Encoding: 8bit\r\n'
           '\r\n'
           'Dobrý den, posíláme fakturu č. 7 za měsíc listopad.\r\n').encode('utf-8')
HOST_NAME = 'mail.example.cz'


def check_converted(test, version, status, out, err, job='STDIN'):
    """`lumaro-host filter --host HOST_NAME` of MESSAGE gave status, out, err (or
    a milter gave out, and err is its activity log; job matches the log line's
    job identifier and sender)."""
    test.assertEqual(status, 0, err)
    lines = out.split(b'\r\n')
    test.assertEqual(lines[0], f'X-LUMARO: normalization conversion made by Lumaro {version} '
                               f'on {HOST_NAME}'.encode())
    # The name as the module writes it, or as a milter's MTA had it.
    test.assertIn(b'content-type: TEXT/PLAIN; charset=ISO-8859-2', [line[:13].lower() + line[13:] for line in lines])
    test.assertIn('Dobrý den, posíláme fakturu č. 7 za měsíc listopad.'.encode('iso-8859-2'), lines)
    test.assertRegex(err.decode('latin-1'), re.compile(r'^C \d{8} \d{4} ' + job + r' +UTF-8 +0\r$', re.M))
