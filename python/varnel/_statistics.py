"""`Statistics`: what a board's parser in the library has done."""

import dataclasses

from ._packages import ReceiveTime


@dataclasses.dataclass(frozen=True)
class Statistics:
    """A snapshot of the library's figures for one board, counted since the
    board was made (nothing resets them). Each figure is read on its own,
    so a snapshot taken while packages arrive may, say, count the packages
    of a read but not yet their bytes.

    connections: connections established.
    failures: failures recorded: failed connects and connections that
        failed later, one each.
    packages, bytes: packages received complete and accepted, and their
        bytes on the wire (package sizes, headers included).
    hand_overs: hand-overs of the library to the package (empty ones
        included); empty_hand_overs of them without a package, and
        largest_hand_over the most packages one held.
    packages_not_popped: packages the library destroyed because they were
        not taken out of a hand-over (0 for this package, which takes all).
    callback_total_ns, callback_longest_ns: the time the package's
        callback took in the library's thread, all hand-overs and the
        longest one, in nanoseconds.
    last_receive_time: the `ReceiveTime` of the last package; zeros before
        the first.
    connected_time: when the current connection was established, as a
        `ReceiveTime`; zeros while there is none."""

    connections: int
    failures: int
    packages: int
    bytes: int
    hand_overs: int
    empty_hand_overs: int
    largest_hand_over: int
    packages_not_popped: int
    callback_total_ns: int
    callback_longest_ns: int
    last_receive_time: ReceiveTime
    connected_time: ReceiveTime

    @classmethod
    def from_record(cls, record):
        """From the C record mirt_varnel_statistics."""

        def time(t):
            return ReceiveTime(t.systemTimeNs, t.steadyTimeNs)

        return cls(
            record.connections,
            record.failures,
            record.packages,
            record.bytes,
            record.handOvers,
            record.emptyHandOvers,
            record.largestHandOver,
            record.packagesNotPopped,
            record.callbackTotalNs,
            record.callbackLongestNs,
            time(record.lastReceiveTime),
            time(record.connectedTime),
        )
