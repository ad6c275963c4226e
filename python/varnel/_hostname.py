"""Host names to addresses: a board's name is resolved once, by Python's
resolver, before the library is given the address."""

import socket

from ._errors import ConnectionFailed

PORT = 63751


def resolve(address):
    """The numeric address for `address`, which may be a host name; IPv4
    before IPv6, since that is what a board usually has."""
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            socket.inet_pton(family, address)
            return address
        except (OSError, ValueError):
            pass
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
