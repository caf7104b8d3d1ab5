"""Signed publications of the update folder: the descriptor version.txt and the files it names.

The tool reads version.txt as GBK `key=value` lines ending CR LF. A signed one ends with
`zt_sig=<base64 of r||s>`, an ECDSA P-256 signature over the SHA-256 of every byte before that line.
The key names are base/descriptor_keys.h's and the executable's name res/version.h's, read from
there. Signing and verifying go through the openssl command line; everything else is the standard
library. A private key may be encrypted (PKCS#8, AES-256): its passphrase reaches openssl through a
pipe, never on a command line.
"""
from __future__ import annotations

import base64
import binascii
import dataclasses
import functools
import gzip
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import urllib.error
import urllib.parse
import urllib.request
import zlib
from collections import Counter
from pathlib import Path
from typing import Callable, NamedTuple

import ztfleet

ROOT = Path(__file__).resolve().parents[1]
VERSION_HEADER = ROOT / "res" / "version.h"
KEYS_HEADER = ROOT / "base" / "descriptor_keys.h"
DESCRIPTOR = "version.txt"
# The tools ask for /autoupdate/report?... after each outcome: this empty file answers them on any
# static server, whose access log keeps them for scripts/fleet and --fleet-log.
REPORT_NAME = "report"
PASSPHRASE_ENV = "ZT_PUBLISH_PASSPHRASE"
# openssl reads at most 1023 bytes of a passphrase from a descriptor and drops the rest unsaid.
MAX_PASSPHRASE = 1000
# The largest data package or executable every tool in the field takes (30 MiB).
MAX_FILE = 31_457_280
# The tool reads data versions into an unsigned 32-bit int.
MAX_DATA_VERSION = 2**32 - 1
# DER SubjectPublicKeyInfo of a P-256 key, up to the 65-byte point.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
# update/net/server_setting_win.cpp's kServerMark: the server a build talks to, then a NUL.
SERVER_MARK = b"ZT_UPDATE_SERVER="


class PublishError(Exception):
    """A refusal; its text is the one-line reason."""


@dataclasses.dataclass(frozen=True)
class KeyNames:
    """The descriptor's key names: each field is named as its constant in base/descriptor_keys.h
    without the kKey prefix (DataVersion is kKeyDataVersion)."""
    DataVersion: str
    DataTime: str
    DataDesc: str
    DataFile: str
    DataLength: str
    DataSha256: str
    DataRollout: str
    UpdaterVersion: str
    UpdaterFile: str
    UpdaterLength: str
    UpdaterSha256: str
    UpdaterRollout: str
    Sequence: str
    Signature: str
    X64Suffix: str


def _header_text(header: Path, what: str) -> str:
    try:
        return header.read_text(encoding="utf-8")
    except OSError as e:
        raise PublishError(f"{header}: {e.strerror} (it gives {what})") from None


@functools.cache
def keys(header: Path = KEYS_HEADER) -> KeyNames:
    """The key names as the tool looks them up: one `inline constexpr char kKey...[] = "...";` a line."""
    text = _header_text(header, "the descriptor's key names")
    found = dict(re.findall(r'^\s*inline constexpr char kKey(\w+)\[\] = "([a-z0-9_]+)";\s*$', text, re.M))
    missing = [f"kKey{field.name}" for field in dataclasses.fields(KeyNames) if field.name not in found]
    if missing:
        raise PublishError(f"{header}: no {', '.join(missing)} (inline constexpr char kKey...[] = \"name\";)")
    return KeyNames(**{field.name: found[field.name] for field in dataclasses.fields(KeyNames)})


def _define(header: Path, name: str, what: str) -> str:
    found = re.search(rf'^#define {name} "([^"\r\n]+)"\r?$', _header_text(header, what), re.M)
    if not found:
        raise PublishError(f"{header}: no #define {name} \"...\" (it gives {what})")
    return found.group(1)


def exe_name(header: Path = VERSION_HEADER) -> str:
    """The executable's installed name: ZT_EXE_NAME of res/version.h."""
    return _define(header, "ZT_EXE_NAME", "the executable's name")


def _sig_key() -> bytes:
    return keys().Signature.encode("ascii") + b"="


def rollout_value(option: str, value: str | int | None) -> int | None:
    """A rollout share as given on the command line or by a descriptor: a whole percentage 0 to 100."""
    if value is None:
        return None
    text = str(value) if type(value) is int else value
    if not isinstance(text, str) or not re.fullmatch(r"[0-9]{1,3}", text) or int(text) > 100:
        raise PublishError(f"{option} {value!r}: must be a whole percentage from 0 to 100")
    return int(text)


# --- names and values -------------------------------------------------------------------------

_DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CLOCK$"} | {f"{p}{d}" for p in ("COM", "LPT") for d in range(10)}


def name_problem(name: str) -> str | None:
    """Why `name` may not be published (the tool would refuse it, or it is taken), or None."""
    if not re.fullmatch(r"[A-Za-z0-9._-]{1,100}", name):
        return "only ASCII letters, digits, '.', '_' and '-', 1 to 100 characters"
    if name.startswith(".") or name.endswith(".") or ".." in name:
        return "must not start or end with '.' or hold '..'"
    if name.lower() in (DESCRIPTOR, "delete.bat"):
        return "the tool uses that name itself"
    if name.lower() == REPORT_NAME:
        return "the tools' outcome reports are asked for under that name"
    # Earlier publications named their executable entry this, with length 0, when they had none: a
    # cached copy of one would have an earlier tool take whatever is served under the name.
    if name.lower() == exe_name().lower():
        return "the name of the placeholder entry of earlier publications; publish under a name of its own"
    if name.split(".")[0].upper() in _DEVICE_NAMES:
        return "a Windows device name"
    return None


def _check_value(key: str, value: str) -> bytes:
    # The tool finds a key by searching for "key=" anywhere and trims blanks off values, so a value
    # holding '=' or a line break could pass for another key, and outer blanks would not survive.
    if not value or value != value.strip() or "=" in value or any(ord(c) < 0x20 or c == "\x7f" for c in value):
        raise PublishError(f"{key} {value!r}: must be non-empty, without '=', control characters or outer blanks")
    try:
        return value.encode("gbk")
    except UnicodeEncodeError:
        raise PublishError(f"{key} {value!r}: not representable in GBK") from None


class Entry(NamedTuple):
    """An executable a descriptor offers: its updater_* values for one processor."""
    version: str
    file: str
    length: int
    sha256: str | None = None
    rollout: int | None = None


def updater_keys(x64: bool) -> tuple[str, str, str, str, str]:
    """The version, file, length, SHA-256 and rollout keys of the x86 (plain) or the x64 executable."""
    k = keys()
    suffix = k.X64Suffix if x64 else ""
    return tuple(name + suffix for name in (k.UpdaterVersion, k.UpdaterFile, k.UpdaterLength, k.UpdaterSha256,
                                            k.UpdaterRollout))


def descriptor_text(data_version: str, data_time: str, data_desc: str, data_file: str, data_length: int,
                    updater_version: str, updater_file: str, updater_length: int,
                    data_sha256: str | None = None, updater_sha256: str | None = None,
                    seq: int | None = None, data_rollout: int | None = None,
                    updater_rollout: int | None = None, updater_x64: Entry | None = None) -> bytes:
    """The GBK bytes of the unsigned descriptor, CR LF line ends; a rollout of None writes no key.
    The x64 executable's keys, when there is one, follow all the others."""
    k = keys()
    plain = updater_keys(False)
    lines = [(k.DataVersion, data_version), (k.DataTime, data_time), (k.DataDesc, data_desc),
             (k.DataFile, data_file), (k.DataLength, str(data_length)),
             (plain[0], updater_version), (plain[1], updater_file), (plain[2], str(updater_length))]
    digests = [(k.DataSha256, data_sha256), (plain[3], updater_sha256)]
    lines += [(key, _digest(key, digest)) for key, digest in digests if digest is not None]
    if seq is not None:
        lines.append((k.Sequence, str(seq)))
    for key, share in ((k.DataRollout, data_rollout), (plain[4], updater_rollout)):
        if share is not None:
            lines.append((key, str(rollout_value(key, share))))
    if updater_x64 is not None:
        version, file, length, digest, share = updater_keys(True)
        lines += [(version, updater_x64.version), (file, updater_x64.file), (length, str(updater_x64.length))]
        if updater_x64.sha256 is not None:
            lines.append((digest, _digest(digest, updater_x64.sha256)))
        if updater_x64.rollout is not None:
            lines.append((share, str(rollout_value(share, updater_x64.rollout))))
    return b"".join(key.encode("ascii") + b"=" + _check_value(key, value) + b"\r\n" for key, value in lines)


def _digest(key: str, digest: str) -> str:
    if not re.fullmatch(r"[0-9a-f]{64}", digest):
        raise PublishError(f"{key} {digest!r}: not 64 lowercase hex digits")
    return digest


def parse_descriptor(text: bytes) -> dict[str, str]:
    """Key/value pairs of a descriptor (the first of a repeated key counts, as in the tool)."""
    try:
        decoded = text.decode("gbk")
    except UnicodeDecodeError:
        raise PublishError("descriptor is not GBK text") from None
    values: dict[str, str] = {}
    for line in decoded.split("\n"):
        key, sep, value = line.partition("=")
        if sep:
            values.setdefault(key.strip(), value.strip())
    return values


def sha256_file(path: str | os.PathLike) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


# --- signatures -------------------------------------------------------------------------------

def _openssl(args: list[str], data: bytes = b"", passphrase: bytes | None = None) -> bytes:
    """openssl's output; a passphrase goes through a pipe (-passin fd:N), out of sight of ps."""
    fds: tuple[int, ...] = ()
    if passphrase is not None:
        read_end, write_end = os.pipe()
        try:
            os.write(write_end, passphrase + b"\n")
        finally:
            os.close(write_end)
        fds, args = (read_end,), [*args, "-passin", f"fd:{read_end}"]
    try:
        done = subprocess.run(["openssl", *args], input=data, capture_output=True, pass_fds=fds)
    except FileNotFoundError:
        raise PublishError("the openssl command is not installed") from None
    finally:
        for fd in fds:
            os.close(fd)
    if done.returncode != 0:
        last = (done.stderr.decode(errors="replace").strip().splitlines() or ["no message"])[0]
        raise PublishError(f"openssl {args[0]} failed: {last}")
    return done.stdout


def _der_element(buf: bytes, pos: int, tag: int) -> tuple[bytes, int]:
    # A P-256 signature is at most 72 bytes, so every length has the short form.
    if pos + 2 > len(buf) or buf[pos] != tag or buf[pos + 1] & 0x80:
        raise PublishError("signature is not DER of two integers")
    end = pos + 2 + buf[pos + 1]
    if end > len(buf):
        raise PublishError("signature is not DER of two integers")
    return buf[pos + 2:end], end


def _scalar32(value: bytes) -> bytes:
    if not value or value[0] & 0x80:
        raise PublishError("signature holds an empty or negative integer")
    n = int.from_bytes(value, "big")
    if n == 0 or n >= 1 << 256:
        raise PublishError("signature integer out of range for P-256")
    return n.to_bytes(32, "big")


def der_to_raw(der: bytes) -> bytes:
    """openssl's DER ECDSA signature (SEQUENCE of INTEGER r, INTEGER s) as r||s, 32 bytes each."""
    seq, end = _der_element(der, 0, 0x30)
    r, pos = _der_element(seq, 0, 0x02)
    s, pos = _der_element(seq, pos, 0x02)
    if end != len(der) or pos != len(seq):
        raise PublishError("signature has bytes after its integers")
    return _scalar32(r) + _scalar32(s)


def raw_to_der(raw: bytes) -> bytes:
    def integer(part: bytes) -> bytes:
        part = part.lstrip(b"\0") or b"\0"
        if part[0] & 0x80:
            part = b"\0" + part
        return b"\x02" + bytes([len(part)]) + part

    body = integer(raw[:32]) + integer(raw[32:])
    return b"\x30" + bytes([len(body)]) + body


def passphrase_problem(passphrase: bytes) -> str | None:
    """Why openssl would not take `passphrase` whole from a pipe, or None."""
    if not passphrase:
        return "it is empty"
    if b"\n" in passphrase or b"\r" in passphrase or b"\0" in passphrase:
        return "it holds a line break or NUL"
    if len(passphrase) > MAX_PASSPHRASE:
        return f"it is longer than {MAX_PASSPHRASE} bytes"
    return None


def key_is_encrypted(private_key_path: str | os.PathLike) -> bool:
    try:
        head = Path(private_key_path).read_bytes()[:200]
    except OSError as e:
        raise PublishError(f"{private_key_path}: {e.strerror}") from None
    # PKCS#8 ("ENCRYPTED PRIVATE KEY") or the older PEM encryption ("Proc-Type: 4,ENCRYPTED").
    return b"ENCRYPTED" in head


def read_passphrase(what: str, passphrase_file: str | os.PathLike | None, confirm: bool = False) -> bytes:
    """The passphrase of `what`: the first line of passphrase_file, else $ZT_PUBLISH_PASSPHRASE, else
    asked on the terminal (twice when `confirm`)."""
    if passphrase_file is not None:
        try:
            text = Path(passphrase_file).read_bytes()
        except OSError as e:
            raise PublishError(f"passphrase file {passphrase_file}: {e.strerror}") from None
        passphrase, source = text.split(b"\n", 1)[0].removesuffix(b"\r"), f"passphrase file {passphrase_file}"
    elif os.environb.get(PASSPHRASE_ENV.encode()) is not None:
        passphrase, source = os.environb[PASSPHRASE_ENV.encode()], PASSPHRASE_ENV
    elif sys.stdin.isatty():
        import getpass
        passphrase, source = getpass.getpass(f"Passphrase for {what}: ").encode(), "the passphrase typed"
        if confirm and getpass.getpass("The same passphrase again: ").encode() != passphrase:
            raise PublishError("the two passphrases typed differ")
    else:
        raise PublishError(f"{what} needs a passphrase: give --passphrase-file F, set {PASSPHRASE_ENV} "
                           "or run on a terminal")
    if problem := passphrase_problem(passphrase):
        raise PublishError(f"{source}: not usable as a passphrase: {problem}")
    return passphrase


def _passin(private_key_path: str | os.PathLike, passphrase: bytes | None) -> bytes | None:
    # openssl asks on the terminal for an encrypted key it is given no passphrase for: never let it.
    if passphrase is None and key_is_encrypted(private_key_path):
        raise PublishError(f"{private_key_path}: the key is encrypted and no passphrase was given")
    return passphrase


def public_key_pem(private_key_path: str | os.PathLike, passphrase: bytes | None = None) -> bytes:
    """The public half of a private key; refuses any key that is not P-256."""
    passin = _passin(private_key_path, passphrase)
    try:
        pem = _openssl(["pkey", "-in", str(private_key_path), "-pubout"], passphrase=passin)
    except PublishError:
        if passin is not None and key_is_encrypted(private_key_path):
            raise PublishError(f"{private_key_path}: cannot decrypt the key: wrong passphrase") from None
        raise
    body = b"".join(line for line in pem.splitlines() if line and not line.startswith(b"-----"))
    der = base64.b64decode(body)
    if len(der) != len(P256_SPKI_PREFIX) + 65 or not der.startswith(P256_SPKI_PREFIX):
        raise PublishError(f"{private_key_path}: not a P-256 key")
    return pem


def sign(unsigned: bytes, private_key_path: str | os.PathLike, passphrase: bytes | None = None) -> bytes:
    """`unsigned` followed by its zt_sig= line."""
    if _sig_key() in unsigned:
        raise PublishError(f"descriptor already holds a {keys().Signature}= line")
    if not unsigned.endswith(b"\r\n"):
        raise PublishError("descriptor must end with CR LF before it is signed")
    public_key_pem(private_key_path, passphrase)
    raw = der_to_raw(_openssl(["dgst", "-sha256", "-sign", str(private_key_path)], unsigned,
                              passphrase=_passin(private_key_path, passphrase)))
    return unsigned + _sig_key() + base64.b64encode(raw) + b"\r\n"


def split_signed(signed: bytes) -> tuple[bytes, bytes] | None:
    """(signed part, r||s) of a signed descriptor, or None when it has no well-formed last zt_sig= line."""
    body = signed.rstrip(b"\r\n")
    start = body.rfind(b"\n") + 1
    line = body[start:]
    sig_key = _sig_key()
    if start == 0 or not line.startswith(sig_key) or not signed[:start].endswith(b"\r\n"):
        return None
    if sig_key in signed[:start]:
        return None
    text = line[len(sig_key):]
    try:
        raw = base64.b64decode(text, validate=True)
    except binascii.Error:
        return None
    # Only the canonical text: unused bits of the last character would otherwise go unsigned.
    if len(raw) != 64 or base64.b64encode(raw) != text:
        return None
    return signed[:start], raw


def verify(signed: bytes, public_key_path: str | os.PathLike) -> bool:
    parts = split_signed(signed)
    if parts is None:
        return False
    body, raw = parts
    if not any(raw[:32]) or not any(raw[32:]):
        return False
    with tempfile.TemporaryDirectory() as tmp:
        sig = Path(tmp, "sig.der")
        sig.write_bytes(raw_to_der(raw))
        done = subprocess.run(["openssl", "dgst", "-sha256", "-verify", str(public_key_path), "-signature", str(sig)],
                              input=body, capture_output=True)
    if done.returncode == 0 and done.stdout.strip() == b"Verified OK":
        return True
    if b"Verification failure" in done.stdout:
        return False
    raise PublishError(f"openssl cannot check with {public_key_path}: {done.stderr.decode(errors='replace').strip()}")


# --- executables ------------------------------------------------------------------------------

RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
_VERSION_INFO_KEY = "VS_VERSION_INFO\0".encode("utf-16-le")


def _u16(buf: bytes, pos: int) -> int:
    if pos < 0 or pos + 2 > len(buf):
        raise PublishError("malformed PE image: a header runs past the end")
    return struct.unpack_from("<H", buf, pos)[0]


def _u32(buf: bytes, pos: int) -> int:
    if pos < 0 or pos + 4 > len(buf):
        raise PublishError("malformed PE image: a header runs past the end")
    return struct.unpack_from("<I", buf, pos)[0]


def _pe_header(image: bytes) -> int:
    """Where a PE image's signature is; the COFF header follows it."""
    if image[:2] != b"MZ":
        raise PublishError("not an executable image (no MZ header)")
    pe = _u32(image, 0x3C)
    if image[pe:pe + 4] != b"PE\0\0":
        raise PublishError("not a PE image (no PE signature where the MZ header points)")
    return pe


def pe_machine(image: bytes) -> int:
    """The COFF header's Machine: 0x14c for x86, 0x8664 for x64."""
    return _u16(image, _pe_header(image) + 4)


def machine_name(machine: int) -> str:
    return {0x14C: "x86", 0x8664: "x64"}.get(machine, f"machine 0x{machine:x}")


def file_version(image: bytes) -> tuple[int, int] | None:
    """(major, minor) of a PE image's version resource (VS_FIXEDFILEINFO's file version), or None when
    the image has no version resource. A malformed image raises PublishError."""
    u16, u32 = _u16, _u32
    pe = _pe_header(image)
    section_count, optional_size = u16(image, pe + 6), u16(image, pe + 20)
    optional = pe + 24
    # PE32 (x86) and PE32+ (x64) differ in where the data directories start.
    count_at, directories = {0x10B: (92, 96), 0x20B: (108, 112)}.get(u16(image, optional), (None, None))
    if count_at is None:
        raise PublishError("malformed PE image: unknown optional header")
    resource_entry = directories + 2 * 8
    if u32(image, optional + count_at) <= 2 or resource_entry + 8 > optional_size:
        return None
    resource_rva = u32(image, optional + resource_entry)
    if resource_rva == 0:
        return None
    table = optional + optional_size
    if table + 40 * section_count > len(image):
        raise PublishError("malformed PE image: the section table runs past the end")
    # VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData of each section.
    sections = [struct.unpack_from("<IIII", image, table + 40 * i + 8) for i in range(section_count)]

    def read(rva: int, length: int) -> bytes:
        """`length` bytes at `rva`, from the section's bytes in the file."""
        for virtual_size, virtual_address, raw_size, raw_pointer in sections:
            span = min(virtual_size, raw_size) if virtual_size else raw_size
            if virtual_address <= rva and rva + length <= virtual_address + span:
                start = raw_pointer + rva - virtual_address
                if start + length <= len(image):
                    return image[start:start + length]
        raise PublishError(f"malformed PE image: resource bytes at RVA 0x{rva:x} are not in the file")

    def directory_entries(offset: int) -> list[tuple[int, int]]:
        """(name or id, target) of each entry of the resource directory at `offset` in the tree."""
        head = read(resource_rva + offset, 16)
        count = u16(head, 12) + u16(head, 14)
        body = read(resource_rva + offset + 16, 8 * count)
        return [struct.unpack_from("<II", body, 8 * i) for i in range(count)]

    subdirectory = 0x80000000
    # Type, then name, then language: the first name and language of type RT_VERSION. Named entries
    # carry the high bit, so an id compares equal only to an id.
    targets = [target for name, target in directory_entries(0) if name == RT_VERSION]
    for level in ("name", "language"):
        if not targets:
            return None
        if not targets[0] & subdirectory:
            raise PublishError(f"malformed PE image: the version resource has no {level} directory")
        targets = [target for _, target in directory_entries(targets[0] & ~subdirectory)]
    if not targets:
        return None
    if targets[0] & subdirectory:
        raise PublishError("malformed PE image: the version resource's language entry is a directory")
    data_rva, data_size = struct.unpack_from("<II", read(resource_rva + targets[0], 8))
    # VS_VERSIONINFO: wLength, wValueLength, wType, its key in UTF-16, padding to 32 bits, then
    # VS_FIXEDFILEINFO (52 bytes) whose third and fourth words are the file version.
    fixed = 6 + len(_VERSION_INFO_KEY)
    fixed += -fixed % 4
    info = read(data_rva, min(data_size, fixed + 52))
    if len(info) < fixed + 52 or info[6:6 + len(_VERSION_INFO_KEY)] != _VERSION_INFO_KEY or u16(info, 2) < 52 \
            or u32(info, fixed) != VS_FIXEDFILEINFO_SIGNATURE:
        raise PublishError("malformed version resource (no VS_VERSIONINFO with a VS_FIXEDFILEINFO)")
    version_ms = u32(info, fixed + 8)
    return version_ms >> 16, version_ms & 0xFFFF


def carries_public_key(image: bytes, public_pem: bytes) -> bool:
    """Whether the image holds every base64 line of `public_pem`, as a build trusting that key does
    (it carries each trusted key's PEM text verbatim)."""
    lines = [line.strip() for line in public_pem.splitlines() if line.strip() and not line.startswith(b"-----")]
    return bool(lines) and all(line in image for line in lines)


def check_updater_image(path: Path, version: str, public_pem: bytes, private_key: str | os.PathLike,
                        cpu: Cpu | None = None) -> bytes:
    """The image at `path`; refuses one built for another processor than `cpu`'s, one whose version
    resource is not `version`, or one which would not trust the key this publication is signed with
    (a test build, say)."""
    image = path.read_bytes()
    what = f"{cpu.name} executable" if cpu else "executable"
    try:
        machine = pe_machine(image)
        found = file_version(image)
    except PublishError as e:
        raise PublishError(f"{what} {path}: {e}") from None
    if cpu is not None and machine != cpu.machine:
        raise PublishError(f"{what} {path}: built for {machine_name(machine)}; {cpu.option} takes the {cpu.name} "
                           f"one ({cpu.keys_text()})")
    if found is None:
        raise PublishError(f"{what} {path}: has no version resource, so its version cannot be checked")
    if f"{found[0]}.{found[1]}" != version:
        raise PublishError(f"{what} {path}: its version resource says {found[0]}.{found[1]}, "
                           f"not --updater-version {version}")
    if not carries_public_key(image, public_pem):
        raise PublishError(f"{what} {path}: does not carry the public key of {private_key}, so it would "
                           "refuse what this key signs (a build trusting another key?)")
    return image


def server_mark(image: bytes) -> str | None:
    """The update server a build talks to, as its mark "ZT_UPDATE_SERVER=<server>\\0" says; None for a
    build without the mark (older ones)."""
    found = set(re.findall(re.escape(SERVER_MARK) + rb"([\x21-\x7e]{1,255})\0", image))
    if len(found) > 1:
        raise PublishError(f"the image carries {len(found)} update-server marks")
    return found.pop().decode("ascii") if found else None


def server_origin(text: str) -> str | None:
    """"http(s)://host:port" of a server as the tool's setting names it (host[:port], http://host[:port]
    or https://host[:port]), or None when the tool would not read it as a server."""
    found = re.fullmatch(r"(?i)(https?://)?([A-Za-z0-9._-]+)(?::([0-9]{1,5}))?/?", text)
    if not found or (found[3] is not None and not 0 < int(found[3]) <= 65535):
        return None
    secure = (found[1] or "").lower() == "https://"
    port = int(found[3]) if found[3] else 443 if secure else 80
    return f"{'https' if secure else 'http'}://{found[2].lower()}:{port}"


# --- publishing -------------------------------------------------------------------------------

class Cpu(NamedTuple):
    name: str  # as the tools' User-Agent and reports say it
    machine: int  # the COFF header's Machine
    option: str
    x64: bool

    def keys_text(self) -> str:
        """The entry's keys, for messages: "updater_*" or "updater_*_x64"."""
        return f"{os.path.commonprefix(updater_keys(False))}*{keys().X64Suffix if self.x64 else ''}"


X86 = Cpu("x86", 0x14C, "--updater", False)
X64 = Cpu("x64", 0x8664, "--updater-x64", True)
CPUS = (X86, X64)


def _descriptor_folder(folder: Path) -> Path:
    """A publication folder given either as the autoupdate folder itself or as its parent."""
    return folder if (folder / DESCRIPTOR).is_file() else folder / "autoupdate"


def _read_seq(values: dict[str, str], where: Path) -> int | None:
    seq = values.get(keys().Sequence)
    if seq is None:
        return None
    if not re.fullmatch(r"[0-9]{1,18}", seq):
        raise PublishError(f"{where}: {keys().Sequence} {seq!r} is not a number")
    return int(seq)


def _executable(path: Path, what: str) -> int:
    try:
        with open(path, "rb") as f:
            head = f.read(2)
        size = path.stat().st_size
    except OSError as e:
        raise PublishError(f"{what} {path}: {e.strerror}") from None
    # The tool deletes a download that does not start like an executable image.
    if head != b"MZ":
        raise PublishError(f"{what} {path}: not an executable image (no MZ header)")
    if size > MAX_FILE:
        raise PublishError(f"{what} {path}: {size} bytes, above the {MAX_FILE} bytes (30 MiB) every tool in the "
                           "field accepts")
    return size


def _verifies_with(signed: bytes, public_pem: bytes) -> bool:
    with tempfile.TemporaryDirectory() as tmp:
        pub = Path(tmp, "public.pem")
        pub.write_bytes(public_pem)
        return verify(signed, pub)


def previous_updater(values: dict[str, str], cpu: Cpu, where: Path) -> tuple[Entry | None, str | None]:
    """(the executable a descriptor offers for `cpu`, or None; why an entry there is not usable)."""
    version, file, length, digest, share = (values.get(key) for key in updater_keys(cpu.x64))
    if version is None and file is None and length is None:
        return None, None
    if not (version and file and length and re.fullmatch(r"[0-9]{1,10}", length)):
        return None, f"{where / DESCRIPTOR} has no complete {cpu.keys_text()} entry"
    if int(length) == 0:
        return None, f"{where / DESCRIPTOR} offers no executable there ({updater_keys(cpu.x64)[2]}=0)"
    rollout = rollout_value(f"{where / DESCRIPTOR}: {updater_keys(cpu.x64)[4]}", share)
    return Entry(version, file, int(length), digest, rollout), None


class Offer(NamedTuple):
    """A file of the publication as a rollout sees it."""
    label: str  # for messages
    what: str  # the tools' reports: data or updater
    version: str  # as the reports name it
    now: int  # the share published now for these bytes (0: not offered)
    new: int  # the share this publication offers


def _check_fleet(raises: list[Offer], logs, max_failure: float, min_reports: int, force: bool,
                 say: Callable[[str], None]) -> None:
    """Refuses to widen an offer whose reports in the access logs fail above `max_failure` %."""
    widened = "; ".join(f"{o.label} from {o.now} % to {o.new} %" for o in raises)
    if not logs:
        say(f"fleet: failure reports not checked (no --fleet-log) for: {widened}")
        return
    try:
        totals = ztfleet.tally(ztfleet.read_reports(logs)[0], by_day=False)
    except OSError as e:
        raise PublishError(f"fleet log {e.filename}: {e.strerror}") from None
    except (EOFError, gzip.BadGzipFile, zlib.error) as e:
        raise PublishError(f"fleet log: a compressed log is damaged: {e}") from None
    refusals = []
    for o in raises:
        failures, reports = ztfleet.failure_figures(totals.get((o.what, o.version), Counter()))
        figures = f"{failures} of {reports} report(s) failed"
        if reports:
            figures += f" ({100 * failures / reports:.1f} %)"
        if reports < min_reports:
            say(f"fleet: {o.label}: {figures}, fewer than {min_reports} (--fleet-min-reports), not judged; widened "
                f"from {o.now} % to {o.new} %")
        elif 100 * failures <= max_failure * reports:
            say(f"fleet: {o.label}: {figures}, not above {max_failure:g} %; widened from {o.now} % to {o.new} %")
        elif force:
            say(f"fleet: --force: {o.label} widened from {o.now} % to {o.new} % although {figures}, above "
                f"{max_failure:g} %")
        else:
            refusals.append(f"{o.label}: {figures}, above {max_failure:g} % (--fleet-max-failure), so not widened "
                            f"from {o.now} % to {o.new} %")
    if refusals:
        raise PublishError("; ".join(refusals) + "; halt it with a share of 0, or give --force")


def publish(out_dir: str | os.PathLike, data_path: str | os.PathLike, *, data_version: str, data_time: str,
            data_desc: str, private_key: str | os.PathLike, updater_path: str | os.PathLike | None = None,
            updater_version: str | None = None, previous_dir: str | os.PathLike | None = None,
            previous_seq: int | None = None, data_name: str | None = None,
            updater_name: str | None = None, data_rollout: str | int | None = None,
            updater_rollout: str | int | None = None, passphrase: bytes | None = None,
            updater_x64_path: str | os.PathLike | None = None, updater_x64_name: str | None = None,
            fleet_logs: list | None = None, fleet_max_failure: float = 5.0, fleet_min_reports: int = 20,
            force: bool = False, say: Callable[[str], None] | None = None) -> Path:
    """Writes OUT/autoupdate/ (the files, the empty report file, then the signed version.txt) and returns
    that folder. `say` hears what the fleet check found."""
    say = say or (lambda text: None)
    k = keys()
    data_path = Path(data_path)
    target = Path(out_dir) / "autoupdate"
    if previous_dir is not None and previous_seq is not None:
        raise PublishError("give the previous publication's folder or its sequence number, not both")
    if not re.fullmatch(r"[0-9]{1,10}", data_version) or int(data_version) > MAX_DATA_VERSION:
        raise PublishError(f"data version {data_version!r}: must be a decimal number below 2^32")
    data_rollout = rollout_value("--data-rollout", data_rollout)
    updater_rollout = rollout_value("--updater-rollout", updater_rollout)
    if not 0 <= fleet_max_failure <= 100:
        raise PublishError(f"--fleet-max-failure {fleet_max_failure:g}: must be a percentage from 0 to 100")
    if fleet_min_reports < 1:
        raise PublishError(f"--fleet-min-reports {fleet_min_reports}: must be at least 1")
    # First, so a wrong passphrase or key ends the run before anything is read or written.
    public_pem = public_key_pem(private_key, passphrase)

    data_name = data_name or data_path.name
    data_length = _executable(data_path, "data package")
    sources = {data_name: data_path}  # published name -> source

    # The previous publication: --previous, else the one in OUT when this one replaces it in place.
    previous: dict[str, str] = {}
    prev_folder = None
    if previous_dir is not None:
        prev_folder = _descriptor_folder(Path(previous_dir))
        if not (prev_folder / DESCRIPTOR).is_file():
            raise PublishError(f"{previous_dir}: no {DESCRIPTOR} of a previous publication")
    elif (target / DESCRIPTOR).is_file():
        prev_folder = target
    if prev_folder is not None:
        prev_text = (prev_folder / DESCRIPTOR).read_bytes()
        if _sig_key() in prev_text and not _verifies_with(prev_text, public_pem):
            raise PublishError(f"{prev_folder / DESCRIPTOR}: its signature does not verify with this key")
        previous = parse_descriptor(prev_text)
    if previous_seq is not None:
        seq = previous_seq + 1
    elif previous_dir is not None:
        seq = (_read_seq(previous, prev_folder) or 0) + 1
    else:
        seq = 1

    # The previous publication's executables, each found by its length and hash beside its descriptor
    # or in OUT: what is kept, and what a new one must match.
    prev_entries = {cpu: previous_updater(previous, cpu, prev_folder) for cpu in CPUS} if previous else {}
    found: dict[str, Path | None] = {}

    def previous_file(entry: Entry) -> Path | None:
        if entry.file not in found:
            found[entry.file] = None
            for folder in (prev_folder, target):
                candidate = folder / entry.file
                if candidate.is_file() and candidate.stat().st_size == entry.length \
                        and entry.sha256 in (None, sha256_file(candidate)):
                    found[entry.file] = candidate
                    break
        return found[entry.file]

    given = {X86: (updater_path, updater_name), X64: (updater_x64_path, updater_x64_name)}
    if updater_version is not None and updater_path is None and updater_x64_path is None:
        raise PublishError("--updater-version without an executable (--updater or --updater-x64): the previous "
                           "publication's executables keep their versions")
    entries: dict[Cpu, Entry] = {}  # without rollouts yet
    images: dict[Cpu, bytes] = {}  # the new executables
    for cpu, (path, name) in given.items():
        if path is None:
            if name is not None:
                raise PublishError(f"{cpu.option}-name without {cpu.option}")
            entry, problem = prev_entries.get(cpu, (None, None))
            if entry is None:
                if cpu.x64 and problem is None:
                    continue  # none was ever published: the x64 tools take none
                raise PublishError(f"no {cpu.name} executable: give {cpu.option}, or publish from a previous "
                                   f"publication that has one" + (f" ({problem})" if problem else ""))
            source = previous_file(entry)
            if source is None:
                raise PublishError(f"no {cpu.name} executable: {entry.file} of the previous publication is not in "
                                   f"{prev_folder} or {target} with the length and SHA-256 its descriptor says; "
                                   f"give {cpu.option}")
            _executable(source, f"{cpu.name} executable")
            machine = pe_machine(source.read_bytes())
            if machine != cpu.machine:
                raise PublishError(f"no {cpu.name} executable: {entry.file} of the previous publication is built for "
                                   f"{machine_name(machine)}, and the {cpu.keys_text()} keys are for the "
                                   f"{cpu.name} one; give {cpu.option}")
            entries[cpu] = entry._replace(sha256=sha256_file(source), rollout=None)
            sources[entry.file] = source
        else:
            if not updater_version:
                raise PublishError("an executable needs its version (--updater-version)")
            path = Path(path)
            name = name or path.name
            length = _executable(path, f"{cpu.name} executable")
            images[cpu] = check_updater_image(path, updater_version, public_pem, private_key, cpu)
            entries[cpu] = Entry(updater_version, name, length)
            sources[name] = path
    _check_servers(images, given, prev_entries, previous_file, prev_folder, target)

    names = [data_name] + [entry.file for entry in entries.values()]
    for name in names:
        if problem := name_problem(name):
            raise PublishError(f"file name {name!r}: {problem}")
    # All land in one download folder on a Windows machine.
    lowered = [name.lower() for name in names]
    for i, name in enumerate(names):
        if lowered.index(lowered[i]) != i:
            raise PublishError(f"two files would both be published as {name!r}")

    hashes = {name: sha256_file(source) for name, source in sources.items()}
    for name in sources:
        for folder in [f for f in (target, prev_folder) if f is not None]:
            existing = folder / name
            if existing.exists() and (not existing.is_file() or sha256_file(existing) != hashes[name]):
                raise PublishError(f"{existing} exists with other bytes; publish under a new name")
    if (target / DESCRIPTOR).is_file():
        current = _read_seq(parse_descriptor((target / DESCRIPTOR).read_bytes()), target)
        if current is not None and current >= seq:
            raise PublishError(f"{target / DESCRIPTOR} already has {k.Sequence}={current}, not below {seq}; "
                               "give --previous or --previous-seq")

    # Shares: the one given, else the previous publication's for the same bytes (a 5 % rollout is
    # widened only on purpose), else none (everyone). A file not offered before is offered to 0 % now.
    offers = []
    if previous.get(k.DataSha256) == hashes[data_name]:
        kept = rollout_value(f"{prev_folder / DESCRIPTOR}: {k.DataRollout}", previous.get(k.DataRollout))
        now = 100 if kept is None else kept
    else:
        kept, now = None, 0
    data_rollout = kept if data_rollout is None else data_rollout
    offers.append(Offer(f"data package {data_name} (data {data_version})", "data",
                        ztfleet.data_version_text(data_version), now, 100 if data_rollout is None else data_rollout))
    for cpu, entry in entries.items():
        digest = hashes[entry.file]
        same = [e for e, _ in prev_entries.values() if e is not None and e.sha256 == digest]
        share = same[0].rollout if same and updater_rollout is None else updater_rollout
        entries[cpu] = entry._replace(sha256=digest, rollout=share)
        offers.append(Offer(f"{cpu.name} executable {entry.file} (version {entry.version})", "updater", entry.version,
                            (100 if same[0].rollout is None else same[0].rollout) if same else 0,
                            100 if share is None else share))
    raises = [offer for offer in offers if offer.new > offer.now]
    if raises:
        _check_fleet(raises, fleet_logs, fleet_max_failure, fleet_min_reports, force, say)

    plain = entries[X86]
    unsigned = descriptor_text(data_version, data_time, data_desc, data_name, data_length, plain.version, plain.file,
                               plain.length, data_sha256=hashes[data_name], updater_sha256=plain.sha256, seq=seq,
                               data_rollout=data_rollout, updater_rollout=plain.rollout,
                               updater_x64=entries.get(X64))
    signed = sign(unsigned, private_key, passphrase)
    if not _verifies_with(signed, public_pem):
        raise PublishError("the signed descriptor does not verify with the key's own public half")

    # The files first and the descriptor last, each through a temporary name: a server copying the
    # folder meanwhile never finds a descriptor naming a file that is not there yet.
    target.mkdir(parents=True, exist_ok=True)
    for name, source in sources.items():
        if not (target / name).exists():
            tmp = target / f".{name}.tmp"
            shutil.copyfile(source, tmp)
            os.replace(tmp, target / name)
        if sha256_file(target / name) != hashes[name]:
            raise PublishError(f"{target / name}: written bytes differ from {source}")
    report = target / REPORT_NAME
    if not report.is_file() or report.stat().st_size != 0:
        tmp = target / f".{REPORT_NAME}.tmp"
        tmp.write_bytes(b"")
        os.replace(tmp, report)
    tmp = target / f".{DESCRIPTOR}.tmp"
    tmp.write_bytes(signed)
    os.replace(tmp, target / DESCRIPTOR)
    if (target / DESCRIPTOR).read_bytes() != signed:
        raise PublishError(f"{target / DESCRIPTOR}: reads back other bytes than were written")
    return target


def _check_servers(images, given, prev_entries, previous_file, prev_folder, target) -> None:
    """Refuses a new executable that would talk to another update server than the one it replaces:
    the previous publication's executable for the same processor, else its other one. A build without
    the mark is refused only when the one it replaces has it; with no mark on either, nothing is known."""
    if not images:
        return
    previous: dict[int, tuple[str, bytes]] = {}  # machine -> (file, image)
    for entry, _ in prev_entries.values():
        if entry is None:
            continue
        source = previous_file(entry)
        if source is None:
            raise PublishError(f"cannot check which update server the new executable talks to: {entry.file} of the "
                               f"previous publication is not in {prev_folder} or {target} as its descriptor says")
        image = source.read_bytes()
        previous.setdefault(pe_machine(image), (entry.file, image))
    marks = {}
    for cpu, image in images.items():
        path = given[cpu][0]
        try:
            marks[cpu] = mark = server_mark(image)
        except PublishError as e:
            raise PublishError(f"{cpu.name} executable {path}: {e}") from None
        replaced = previous.get(cpu.machine) or next(iter(previous.values()), None)
        if replaced is None:
            continue
        old = server_mark(replaced[1])
        if old is None:
            continue
        if mark is None:
            raise PublishError(f"{cpu.name} executable {path}: carries no update-server mark, though {replaced[0]}, "
                               f"which it replaces, names {old} (a build older than that one?)")
        if (server_origin(mark) or mark) != (server_origin(old) or old):
            raise PublishError(f"{cpu.name} executable {path}: talks to the update server {mark}, but {replaced[0]}, "
                               f"which it replaces, to {old}: installed tools would move to another server")
    if len(images) == 2 and None not in marks.values() \
            and len({server_origin(m) or m for m in marks.values()}) == 2:
        raise PublishError(f"the x86 and x64 executables talk to different update servers ({marks[X86]}, "
                           f"{marks[X64]})")


# --- checking a live server -------------------------------------------------------------------

def server_base(url: str) -> str:
    """The autoupdate folder's URL on a server named as the tool's setting names it."""
    origin = server_origin(url)
    if origin is None:
        raise PublishError(f"--verify {url!r}: not host[:port], http://host[:port] or https://host[:port]")
    return origin + "/autoupdate/"


def _fetch(url: str, timeout: float) -> tuple[bytes | None, str]:
    """(the body, "") of a 200 answer, or (None, why not)."""
    request = urllib.request.Request(url, headers={"User-Agent": "ztpublish-verify", "Cache-Control": "no-cache"})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            if answer.status != 200:
                return None, f"answered {answer.status}"
            body = answer.read(MAX_FILE + 1)
            return body, ""
    except urllib.error.HTTPError as e:
        return None, f"answered {e.code}"
    except (urllib.error.URLError, OSError) as e:
        return None, f"not fetched: {getattr(e, 'reason', e)}"


def verify_served(url: str, public_keys: list, out_dir: str | os.PathLike | None = None,
                  timeout: float = 60) -> list[tuple[bool, str]]:
    """What a server serves under /autoupdate/, checked as a tool would take it: (ok, "name: why") for
    version.txt, each file it names and the report file."""
    k = keys()
    base = server_base(url)
    for public_key in public_keys:
        try:
            _openssl(["pkey", "-pubin", "-in", str(public_key), "-noout"])
        except PublishError:
            raise PublishError(f"--public-key {public_key}: not a public key openssl reads") from None
    body, why = _fetch(base + DESCRIPTOR, timeout)
    if body is None:
        return [(False, f"{DESCRIPTOR}: {why}")]
    problems = []
    signers = [str(public_key) for public_key in public_keys if verify(body, public_key)]
    if not signers:
        problems.append("its signature does not verify with " + " or ".join(str(p) for p in public_keys))
    try:
        values = parse_descriptor(body)
    except PublishError as e:
        return [(False, f"{DESCRIPTOR}: {e}")]
    seq = values.get(k.Sequence, "")
    if not re.fullmatch(r"[0-9]{1,18}", seq):
        problems.append(f"{k.Sequence} {seq!r} is not a number")
    elif out_dir is not None:
        local = _descriptor_folder(Path(out_dir)) / DESCRIPTOR
        try:
            local_seq = _read_seq(parse_descriptor(local.read_bytes()), local)
        except OSError as e:
            raise PublishError(f"{local}: {e.strerror}") from None
        if local_seq is not None and int(seq) < local_seq:
            problems.append(f"{k.Sequence}={seq} is below the {local_seq} of {local}")
    lines = [(not problems, f"{DESCRIPTOR}: " + ("; ".join(problems) if problems else
                                                 f"signature verified with {signers[0]}, {k.Sequence}={seq}"))]

    groups = [(False, k.DataFile, k.DataLength, k.DataSha256, k.DataRollout)]
    groups += [(True, *updater_keys(x64)[1:]) for x64 in (False, True)
               if x64 is False or any(key in values for key in updater_keys(True))]
    for executable, file_key, length_key, digest_key, share_key in groups:
        name = values.get(file_key, "")
        # The placeholder name of earlier publications is fetched all the same: its length says more.
        if (name_problem(name) if name.lower() != exe_name().lower() else None):
            lines.append((False, f"{file_key}: {name!r} is not a file name to fetch"))
            continue
        problems = []
        length = values.get(length_key, "")
        if not re.fullmatch(r"[0-9]{1,10}", length):
            problems.append(f"{length_key} {length!r} is not a length")
        elif executable and int(length) == 0:
            problems.append(f"{length_key}=0: a tool of the earlier kind would take any body")
        elif int(length) > MAX_FILE:
            problems.append(f"{length_key}={length} is above the {MAX_FILE} bytes every tool accepts")
        digest = values.get(digest_key, "")
        if not re.fullmatch(r"[0-9a-f]{64}", digest):
            problems.append(f"no {digest_key}")
        if share_key in values:
            try:
                rollout_value(share_key, values[share_key])
            except PublishError as e:
                problems.append(str(e))
        content, why = _fetch(base + urllib.parse.quote(name), timeout)
        if content is None:
            problems.append(why)
        else:
            if length.isdigit() and len(content) != int(length):
                problems.append(f"{len(content)} bytes served, {length_key}={length}")
            if digest and hashlib.sha256(content).hexdigest() != digest:
                problems.append(f"its SHA-256 is not {digest_key}")
        share = f", offered to {values[share_key]} %" if share_key in values else ""
        lines.append((not problems, f"{name}: " + ("; ".join(problems) if problems else
                                                   f"{len(content)} bytes, SHA-256 as signed{share}")))
    content, why = _fetch(base + REPORT_NAME, timeout)
    lines.append((content is not None, f"{REPORT_NAME}: " + ("answered 200, so the tools' reports reach the access "
                                                             "log" if content is not None else why)))
    return lines
