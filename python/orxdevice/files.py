"""Files that are whole under their final name or not there at all.

Each file is written to a hidden temporary name in the target folder
(``.<name>.<random>.part``), flushed to disk, and only then given its final
name by a hard link, which fails rather than replace a name that exists: a
final name holds a whole file or nothing, whenever the process is interrupted
or killed, and no other process writing to the same folder can take or
overwrite it. Ctrl-C and SIGTERM (in the main thread) are held back for the
few steps that create temporary files and claim final names, so that the
temporary files are always removed (a kill -9 can leave one, never a final
name) and the caller's list of claimed files is exact.

Only the standard library is used.
"""
from __future__ import annotations

import contextlib
import errno
import itertools
import os
import pathlib
import secrets
import signal
import threading
from typing import IO, Callable, Dict, Iterator, List, Mapping, Optional, Tuple, Union

Writer = Callable[[IO[bytes]], None]
PathLike = Union[str, os.PathLike]
TEMP_SUFFIX = ".part"
_NO_LINKS = {errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK, errno.ENOSYS}


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Ctrl-C and SIGTERM arriving inside the block take effect when it ends
    (only the main thread runs signal handlers; elsewhere nothing changes)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    pending: List[int] = []
    old: Dict[int, object] = {}
    try:
        for signum in (signal.SIGINT, signal.SIGTERM):
            old[signum] = signal.signal(signum, lambda n, _f: pending.append(n))
        yield
    finally:
        _restore(list(old.items()))
        for signum in pending:
            handler = old[signum]
            if callable(handler):
                handler(signum, None)
            elif handler == signal.SIG_DFL:
                signal.raise_signal(signum)


def _restore(handlers: List[Tuple[int, object]]) -> None:
    """Put the handlers back, each of them even when a signal whose handler is
    already back raises on the way."""
    if handlers:
        signum, handler = handlers[0]
        try:
            signal.signal(signum, handler)  # type: ignore[arg-type]
        finally:
            _restore(handlers[1:])


def _new_temporary(folder: pathlib.Path, name: str, temps: List[pathlib.Path]) -> pathlib.Path:
    """Create an empty hidden file for ``name`` in ``folder``, listed in
    ``temps`` (for the caller to remove) before anything can interrupt."""
    while True:
        path = folder / f".{name}.{secrets.token_hex(4)}{TEMP_SUFFIX}"
        with _signals_held():
            try:
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            except FileExistsError:
                continue
            temps.append(path)
            os.close(fd)
            return path


def _fill(path: pathlib.Path, write: Writer) -> None:
    with open(path, "wb") as f:
        write(f)
        f.flush()
        os.fsync(f.fileno())


def _fsync_dir(folder: pathlib.Path) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _claim(tmp: pathlib.Path, final: pathlib.Path) -> bool:
    """Give the whole file at ``tmp`` the name ``final`` unless it is taken
    (False). A hard link never replaces a name; on a file system without
    links the name is created exclusively, then replaced by the file."""
    try:
        os.link(tmp, final)
        return True
    except FileExistsError:
        return False
    except OSError as e:
        if e.errno not in _NO_LINKS:
            raise
    try:
        open(final, "xb").close()
    except FileExistsError:
        return False
    os.replace(tmp, final)
    return True


def _remove(paths: List[pathlib.Path]) -> None:
    """Remove the files even when Ctrl-C or SIGTERM comes before the signals
    are held (its KeyboardInterrupt is raised once they are gone)."""
    interrupt: Optional[KeyboardInterrupt] = None
    while True:
        try:
            with _signals_held():
                for path in paths:
                    with contextlib.suppress(FileNotFoundError):
                        path.unlink()
            break
        except KeyboardInterrupt as e:
            interrupt = e
    if interrupt is not None:
        raise interrupt


def write_new(folder: PathLike, stem: str, writers: Mapping[str, Writer],
              claimed: Optional[List[pathlib.Path]] = None) -> Tuple[pathlib.Path, ...]:
    """Write files ``<stem><ext>`` in ``folder``, one per (ext, writer), each
    writer filling a binary file object, and return their paths in order.

    Nothing is ever overwritten: when any of the names is taken (another
    file, another process's frame of the same second), the stem gets a suffix
    _2, _3, ... and all files move on together. Each file is whole under its
    final name or not there at all; an exception (KeyboardInterrupt too)
    leaves no temporary file behind. ``claimed``, when given, lists the final
    names as they appear, so that a caller interrupted half way knows which
    files are there.
    """
    folder = pathlib.Path(folder)
    claimed = [] if claimed is None else claimed
    temps: List[pathlib.Path] = []
    try:
        for ext, write in writers.items():
            _fill(_new_temporary(folder, stem + ext, temps), write)
        with _signals_held():
            for n in itertools.count(1):
                name = stem if n == 1 else f"{stem}_{n}"
                done: List[pathlib.Path] = []
                for ext, tmp in zip(writers, temps):
                    final = folder / f"{name}{ext}"
                    if not _claim(tmp, final):
                        break
                    done.append(final)
                    claimed.append(final)
                else:
                    _fsync_dir(folder)
                    return tuple(done)
                for final, tmp in zip(done, temps):  # a name of this stem is taken: give back the others
                    claimed.remove(final)
                    if tmp.exists():
                        final.unlink()
                    else:  # moved there on a file system without links
                        os.replace(final, tmp)
    finally:
        _remove(temps)
    raise AssertionError("unreachable")


def write_replacing(path: PathLike, write: Writer, claimed: Optional[List[pathlib.Path]] = None) -> pathlib.Path:
    """Write one file whole under ``path``, replacing the file of that name
    if there is one: an interrupted write leaves the old file or none, never
    a part. ``claimed`` as for :func:`write_new`."""
    path = pathlib.Path(path)
    claimed = [] if claimed is None else claimed
    temps: List[pathlib.Path] = []
    try:
        tmp = _new_temporary(path.parent, path.name, temps)
        _fill(tmp, write)
        with _signals_held():
            os.replace(tmp, path)
            claimed.append(path)
        _fsync_dir(path.parent)
        return path
    finally:
        _remove(temps)


def check_folder(folder: PathLike) -> Optional[str]:
    """Why files cannot be written in ``folder`` (created if missing, with
    its parents), or ``None`` when they can: to be asked before anything is
    exposed, so that no exposure is lost to a bad output folder."""
    path = pathlib.Path(folder)
    try:
        path.mkdir(parents=True, exist_ok=True)
    except FileExistsError:
        return f"{folder} is not a folder"
    except OSError as e:
        return f"cannot create {folder}: {e.strerror}"
    if not path.is_dir():
        return f"{folder} is not a folder"
    temps: List[pathlib.Path] = []
    try:
        _new_temporary(path, "check", temps)
    except OSError as e:
        return f"cannot write in {folder}: {e.strerror}"
    finally:
        _remove(temps)
    return None
