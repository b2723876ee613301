"""lumaro-milter started as systemd starts it from the package's unit file: its
command line, user, groups, umask and environment, with standard error going to
a stand-in for the journal, which keeps each line with the priority and facility
that journald would give it."""

import os
import re
import shlex

# What systemd puts into every service's environment, beside the unit's own
# Environment= and what it derives from User=.
SYSTEMD_PATH = '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
FACILITIES = {'mail': 2, 'daemon': 3}
LEVELS = {'err': 3, 'warning': 4, 'info': 6}


def unit_entries(text):
    """(section, key, value) of a unit file, continued lines joined."""
    entries, section, pending = [], None, ''
    for line in text.splitlines():
        if pending:
            line, pending = pending + ' ' + line.strip(), ''
        elif not line.strip() or line.lstrip()[0] in '#;':
            continue
        if line.endswith('\\'):
            pending = line[:-1].rstrip()
            continue
        if line.startswith('['):
            section = line.strip('[]')
        else:
            key, _, value = line.partition('=')
            entries.append((section, key.strip(), value.strip()))
    return entries


def option_values(command):
    """--name VALUE and --name=VALUE of a command line, as a dict."""
    values, args = {}, iter(command[1:])
    for arg in args:
        name, eq, value = arg.partition('=')
        values[name] = value if eq else next(args)
    return values


def account_entries(path):
    """name: fields of a passwd or group file."""
    with open(path) as f:
        return {fields[0]: fields for fields in (line.rstrip('\n').split(':') for line in f) if fields[0]}


class Service:
    """The [Service] section of a unit, and how a process is started from it on
    a system whose accounts are in etc_folder (passwd, group)."""

    def __init__(self, unit_text, etc_folder='/etc'):
        self.entries = [(k, v) for s, k, v in unit_entries(unit_text) if s == 'Service']
        self.etc = etc_folder

    def value(self, key, default=None):
        values = [v for k, v in self.entries if k == key]
        return values[-1] if values else default

    def values(self, key):
        return [w for k, v in self.entries if k == key for w in shlex.split(v)]

    def command(self):
        return shlex.split(self.value('ExecStart'))

    def options(self):
        return option_values(self.command())

    def popen_arguments(self, stderr, runtime_directory):
        """Keyword arguments of subprocess.Popen that start the process as systemd
        would: the unit's user and group with the user's supplementary groups, its
        umask, its environment, and stderr (a file) as the journal's stream."""
        users = account_entries(os.path.join(self.etc, 'passwd'))
        groups = account_entries(os.path.join(self.etc, 'group'))
        user = users[self.value('User')]
        gid = int(groups[self.value('Group')][2])
        extra = [int(g[2]) for g in groups.values() if user[0] in g[3].split(',') and int(g[2]) != gid]
        env = {'PATH': SYSTEMD_PATH, 'USER': user[0], 'LOGNAME': user[0], 'HOME': user[5], 'SHELL': user[6],
               'RUNTIME_DIRECTORY': runtime_directory}
        for assignment in self.values('Environment'):
            name, _, value = assignment.partition('=')
            env[name] = value
        info = os.fstat(stderr.fileno())
        env['JOURNAL_STREAM'] = f'{info.st_dev}:{info.st_ino}'
        return dict(user=int(user[2]), group=gid, extra_groups=extra, umask=int(self.value('UMask', '0022'), 8),
                    env=env, stderr=stderr)

    def journal_records(self, stderr_bytes):
        """The lines written to stderr as journald keeps them: (facility, level,
        identifier, text). A leading "<N>" sets the level; the facility, the
        identifier and the level of a line without one come from the unit."""
        facility = FACILITIES[self.value('SyslogFacility', 'daemon')]
        default = LEVELS[self.value('SyslogLevel', 'info')]
        identifier = self.value('SyslogIdentifier', os.path.basename(self.command()[0]))
        records = []
        for line in stderr_bytes.decode('latin-1').splitlines():
            found = re.match(r'<([0-7])>', line)
            records.append((facility, int(found[1]) if found else default, identifier,
                            line[found.end():] if found else line))
        return records
