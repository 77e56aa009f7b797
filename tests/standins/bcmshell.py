"""Stand-in for the chip SDK shell client.

Tests install the shell's answers in `answers` (command text -> answer text;
an exception class or instance is raised instead; a callable is called with
the command and gives the answer) and the memory-table entries that
`gettable` hands out in `tables` ((table, start) -> list of entry dicts).
Every client made is in `clients`, with the arguments it was made with;
every command run, by any client, is appended to `commands`, and every table
read to `reads`.
"""

answers = {}
tables = {}
clients = []
commands = []
reads = []


def reset():
    """Forgets all answers, tables, clients and recorded requests."""
    answers.clear()
    tables.clear()
    del clients[:]
    del commands[:]
    del reads[:]


class bcmshell(object):
    def __init__(self, *args, **kwargs):
        self.args = args
        self.kwargs = kwargs
        clients.append(self)

    def run(self, command):
        commands.append(command)
        try:
            answer = answers[command]
        except KeyError:
            raise LookupError("no canned answer for %r" % (command,))
        if isinstance(answer, BaseException) or (
                isinstance(answer, type) and issubclass(answer, BaseException)):
            raise answer
        if callable(answer):
            return answer(command)
        return answer

    def gettable(self, table, fields=False, start=0, entries=1):
        reads.append((table, fields, start, entries))
        return tables[(table, start)]
