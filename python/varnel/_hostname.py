"""Host names to addresses: a board's name is resolved once, by Python's
resolver, before the library is given the address."""

import re
import socket

from ._errors import ConnectionFailed

PORT = 63751

# Numbers between dots (decimal, octal with a leading 0, hexadecimal with
# 0x): the old forms of an IPv4 address that the system's resolver still
# takes, where 0127.0.0.1 is 87.0.0.1 and 127.1 is 127.0.0.1. No host name
# looks like that (its last part is never a number).
_OLD_IPV4_FORM = re.compile(r"(?:0[xX][0-9a-fA-F]+|[0-9]+)(?:\.(?:0[xX][0-9a-fA-F]+|[0-9]+))*")


def resolve(address):
    """The numeric address for `address`, which may be a host name; IPv4
    before IPv6, since that is what a board usually has."""
    if "\0" in address:
        # The resolver would read up to it and find the first part.
        error = ConnectionFailed("an address holds no NUL character", summary="{!r}: not an address".format(address))
        error.code = None
        raise error
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            socket.inet_pton(family, address)
            return address
        except (OSError, ValueError):
            pass
    if _OLD_IPV4_FORM.fullmatch(address):
        # Taken as such, a mistyped address (a leading zero, a missing part)
        # would reach another host without a word.
        error = ConnectionFailed(
            "write four decimal numbers 0 to 255 without leading zeros, such as 192.168.1.20",
            summary="{}: not an IPv4 address".format(address),
        )
        error.code = None
        raise error
    try:
        found = socket.getaddrinfo(address, PORT, type=socket.SOCK_STREAM)
        cause = "it has no IPv4 or IPv6 address"
    except (OSError, UnicodeError) as e:
        found = []
        cause = getattr(e, "strerror", None) or str(e)
    found = sorted(
        (f for f in found if f[0] in (socket.AF_INET, socket.AF_INET6)), key=lambda f: f[0] != socket.AF_INET
    )
    if not found:
        error = ConnectionFailed(cause, summary="{}: the host name cannot be resolved".format(address))
        error.code = None  # the resolver's failure, not the library's
        raise error
    return found[0][4][0]
