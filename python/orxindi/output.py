"""The driver's output: every message to indiserver goes through one writer
thread, whole and in order.

The protocol loop only queues a message; the thread writes it to standard
output (a pipe to indiserver), so a slow reader never blocks the loop. An
image BLOB is queued as one item: its base64 text is made off the loop and
nothing can be written in the middle of it (INDI has no framing of its own:
a status update written between two chunks of a BLOB corrupts the stream).
"""
from __future__ import annotations

import asyncio
import base64
import logging
import mmap
import os
import queue
import select
import socket
import threading
import weakref
import xml.etree.ElementTree as ET
from concurrent.futures import Future
from typing import Callable, Iterable, Iterator, Optional, Sequence, Union

#: what a message is written from: bytes, or pieces of bytes made as they are written
Part = Union[bytes, bytearray, Iterable[bytes]]

log = logging.getLogger(__name__)

_STOP = object()


def _is_unix_socket(fd: int) -> bool:
    copy = os.dup(fd)
    try:
        sock = socket.socket(fileno=copy)
    except OSError:               # not a socket
        os.close(copy)
        return False
    try:
        return sock.family == socket.AF_UNIX and sock.type == socket.SOCK_STREAM
    finally:
        sock.close()


def start_tag(element: ET.Element) -> bytes:
    """``<tag attr="...">`` of an element, escaped as ElementTree escapes it."""
    text = ET.tostring(ET.Element(element.tag, element.attrib), encoding="unicode", short_empty_elements=True)
    return text[:-2].rstrip().encode() + b">"     # "<tag a='1' />" -> "<tag a='1'>"


B64_CHUNK = 3 << 20            # bytes of payload per piece of base64 text (a multiple of 3)


def base64_pieces(payload: bytes) -> Iterator[bytes]:
    """The base64 text of ``payload``, made a piece at a time as the writer
    asks for it: indiserver reads the first pieces while the next are made,
    and the whole text never exists at once."""
    view = memoryview(payload)
    for at in range(0, len(view), B64_CHUNK):
        yield base64.b64encode(view[at:at + B64_CHUNK])


def blob_message(vector: ET.Element, member: ET.Element, payload: bytes) -> list[Part]:
    """A ``setBLOBVector`` carrying ``payload`` in one ``oneBLOB`` (its
    attributes on ``member``), as the parts to write in order."""
    return [start_tag(vector), start_tag(member), base64_pieces(payload),
            f"</{member.tag}></{vector.tag}>\n".encode()]


class SharedBuffer(mmap.mmap):
    """Bytes made straight in shared memory (an anonymous memory file, mapped
    here), so a BLOB built in it goes to indiserver as it is, without the copy
    into a new memory file. Otherwise a writable buffer like any other: read,
    saved and sent as base64 as bytes are."""

    fd: int

    def __new__(cls, size: int, ready: bool = False) -> "SharedBuffer":
        """``ready``: every page mapped now (the kernel zeroes a new page the
        first time it is touched: most of the time a full frame's FITS
        file took to build), so that can be done before the image is there."""
        fd = os.memfd_create("indi-blob", os.MFD_CLOEXEC)
        try:
            os.ftruncate(fd, size)
            flags = mmap.MAP_SHARED | (getattr(mmap, "MAP_POPULATE", 0) if ready else 0)
            self = super().__new__(cls, fd, size, flags)
        except BaseException:
            os.close(fd)
            raise
        self.fd = fd
        weakref.finalize(self, os.close, fd)
        return self


class Attached:
    """A BLOB's bytes handed to indiserver as shared memory beside its
    message (``attached='true'``) where the driver's output is the Unix
    socket indiserver gives its drivers: no base64 for the driver to make and
    none for indiserver to read through; indiserver encodes it for the
    clients that need text."""

    def __init__(self, head: bytes, payload: "bytes | bytearray | memoryview", tail: bytes, fallback: list) -> None:
        self.head, self.payload, self.tail, self.fallback = head, payload, tail, fallback


def attached_blob_message(vector: ET.Element, member: ET.Element, payload: "bytes | bytearray | memoryview"
                          ) -> list[Part]:
    """Like :func:`blob_message`, sent as shared memory where the output allows it."""
    size = len(memoryview(payload).cast("B"))
    shared = ET.Element(member.tag, dict(member.attrib, len=str(size), attached="true"))
    return [Attached(start_tag(vector) + start_tag(shared), payload, f"</{member.tag}></{vector.tag}>\n".encode(),
                     blob_message(vector, member, payload))]


class Output:
    """Writes queued messages to a file descriptor from a thread of its own."""

    def __init__(self, fd: int = 1, on_broken: Optional[Callable[[], None]] = None) -> None:
        self._fd = fd
        self._unix = _is_unix_socket(fd)
        self._queue: "queue.SimpleQueue[object]" = queue.SimpleQueue()
        self.on_broken = on_broken
        self.broken = False
        self._thread = threading.Thread(target=self._run, name="indi-output", daemon=True)
        self._thread.start()

    def put(self, parts: Sequence[Part]) -> Future:
        """Queue one message; the future is done once it is written (or the
        output is broken)."""
        done: Future = Future()
        if self.broken:
            done.set_result(False)
        else:
            self._queue.put((parts, done))
        return done

    async def write(self, parts: Sequence[Part]) -> bool:
        """Queue one message and wait until it is written; False when the
        reader has gone."""
        return await asyncio.wrap_future(self.put(parts))

    def close(self, timeout: float = 5.0) -> None:
        """Write what is queued, then stop the thread."""
        self._queue.put(_STOP)
        self._thread.join(timeout)

    def _write_all(self, view: memoryview) -> None:
        # the descriptor may be non-blocking (indiserver hands a driver one
        # socket for input and output, and the input side is read without
        # blocking): wait until it takes more
        while view:
            try:
                view = view[os.write(self._fd, view):]
            except BlockingIOError:
                select.select([], [self._fd], [])

    def _write_attached(self, part: Attached) -> None:
        if not self._unix:
            for piece in part.fallback:
                for p in (piece,) if isinstance(piece, (bytes, bytearray)) else piece:
                    self._write_all(memoryview(p))
            return
        shared = isinstance(part.payload, SharedBuffer)
        fd = os.dup(part.payload.fd) if shared else os.memfd_create("indi-blob", os.MFD_CLOEXEC)
        try:
            view = memoryview(b"" if shared else part.payload).cast("B")
            while view:
                view = view[os.write(fd, view):]
            sock = socket.socket(fileno=os.dup(self._fd))
            try:
                while True:
                    select.select([], [self._fd], [])
                    try:            # the descriptor goes with the message's first bytes
                        sent = socket.send_fds(sock, [part.head], [fd])
                        break
                    except BlockingIOError:
                        continue
            finally:
                sock.close()
            self._write_all(memoryview(part.head)[sent:])
            self._write_all(memoryview(part.tail))
        finally:
            os.close(fd)

    def _run(self) -> None:
        while True:
            item = self._queue.get()
            if item is _STOP:
                return
            parts, done = item  # type: ignore[misc]
            if not self.broken:
                try:
                    for part in parts:
                        if isinstance(part, Attached):
                            self._write_attached(part)
                            continue
                        for piece in (part,) if isinstance(part, (bytes, bytearray)) else part:
                            self._write_all(memoryview(piece))
                except OSError as exc:     # indiserver closed the pipe: the driver ends
                    self.broken = True
                    log.warning("output closed: %s", exc)
                    if self.on_broken is not None:
                        self.on_broken()
            done.set_result(not self.broken)
