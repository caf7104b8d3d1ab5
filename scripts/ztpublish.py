"""Signed publications of the update folder: the descriptor version.txt and the files it names.

The tool reads version.txt as GBK `key=value` lines ending CR LF. A signed one ends with
`zt_sig=<base64 of r||s>`, an ECDSA P-256 signature over the SHA-256 of every byte before that line.
Signing and verifying go through the openssl command line; everything else is the standard library.
A private key may be encrypted (PKCS#8, AES-256): its passphrase reaches openssl through a pipe, never
on a command line.
"""
from __future__ import annotations

import base64
import binascii
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

SIG_KEY = b"zt_sig="
DESCRIPTOR = "version.txt"
# What a tool without a published executable is told: its own version (the one res/version.h gives
# the build), a name nothing is served under and length 0, which a tool of any other version refuses
# as "not a length".
VERSION_HEADER = Path(__file__).resolve().parents[1] / "res" / "version.h"
PLACEHOLDER_UPDATER_FILE = "ZT_AutoUpdate.exe"
# Share of installations, in percent, an offer applies to; a descriptor without the key offers to all.
ROLLOUT_KEYS = ("data_rollout", "updater_rollout")
PASSPHRASE_ENV = "ZT_PUBLISH_PASSPHRASE"
# openssl reads at most 1023 bytes of a passphrase from a descriptor and drops the rest unsaid.
MAX_PASSPHRASE = 1000
# The tool reads lengths into a signed 32-bit int and data versions into an unsigned one.
MAX_LENGTH = 2**31 - 1
MAX_DATA_VERSION = 2**32 - 1
# DER SubjectPublicKeyInfo of a P-256 key, up to the 65-byte point.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")


class PublishError(Exception):
    """A refusal; its text is the one-line reason."""


def tool_version(header: Path = VERSION_HEADER) -> str:
    """The version the tool is built as now: ZT_VERSION_TEXT of res/version.h, as scripts/release reads it."""
    try:
        text = header.read_text(encoding="utf-8")
    except OSError as e:
        raise PublishError(f"{header}: {e.strerror} (it gives the tool's version)") from None
    found = re.search(r'^#define ZT_VERSION_TEXT "([^"\r\n]+)"\r?$', text, re.M)
    if not found:
        raise PublishError(f"{header}: no #define ZT_VERSION_TEXT \"major.minor\"")
    return found.group(1)


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
    """Why the tool would refuse `name` as a file to fetch, or None when it accepts it."""
    if not re.fullmatch(r"[A-Za-z0-9._-]{1,100}", name):
        return "only ASCII letters, digits, '.', '_' and '-', 1 to 100 characters"
    if name.startswith(".") or name.endswith(".") or ".." in name:
        return "must not start or end with '.' or hold '..'"
    if name.lower() in (DESCRIPTOR, "delete.bat"):
        return "the tool uses that name itself"
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


def descriptor_text(data_version: str, data_time: str, data_desc: str, data_file: str, data_length: int,
                    updater_version: str, updater_file: str, updater_length: int,
                    data_sha256: str | None = None, updater_sha256: str | None = None,
                    seq: int | None = None, data_rollout: int | None = None,
                    updater_rollout: int | None = None) -> bytes:
    """The GBK bytes of the unsigned descriptor, CR LF line ends; a rollout of None writes no key."""
    lines = [("data_version", data_version), ("data_time", data_time), ("data_desc", data_desc),
             ("data_file", data_file), ("data_length", str(data_length)),
             ("updater_version", updater_version), ("updater_file", updater_file),
             ("updater_length", str(updater_length))]
    for key, digest in (("data_sha256", data_sha256), ("updater_sha256", updater_sha256)):
        if digest is not None:
            if not re.fullmatch(r"[0-9a-f]{64}", digest):
                raise PublishError(f"{key} {digest!r}: not 64 lowercase hex digits")
            lines.append((key, digest))
    if seq is not None:
        lines.append(("zt_seq", str(seq)))
    for key, share in zip(ROLLOUT_KEYS, (data_rollout, updater_rollout)):
        if share is not None:
            lines.append((key, str(rollout_value(key, share))))
    return b"".join(key.encode("ascii") + b"=" + _check_value(key, value) + b"\r\n" for key, value in lines)


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
    if SIG_KEY in unsigned:
        raise PublishError("descriptor already holds a zt_sig= line")
    if not unsigned.endswith(b"\r\n"):
        raise PublishError("descriptor must end with CR LF before it is signed")
    public_key_pem(private_key_path, passphrase)
    raw = der_to_raw(_openssl(["dgst", "-sha256", "-sign", str(private_key_path)], unsigned,
                              passphrase=_passin(private_key_path, passphrase)))
    return unsigned + SIG_KEY + base64.b64encode(raw) + b"\r\n"


def split_signed(signed: bytes) -> tuple[bytes, bytes] | None:
    """(signed part, r||s) of a signed descriptor, or None when it has no well-formed last zt_sig= line."""
    body = signed.rstrip(b"\r\n")
    start = body.rfind(b"\n") + 1
    line = body[start:]
    if start == 0 or not line.startswith(SIG_KEY) or not signed[:start].endswith(b"\r\n"):
        return None
    if SIG_KEY in signed[:start]:
        return None
    text = line[len(SIG_KEY):]
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


def file_version(image: bytes) -> tuple[int, int] | None:
    """(major, minor) of a PE image's version resource (VS_FIXEDFILEINFO's file version), or None when
    the image has no version resource. A malformed image raises PublishError."""

    def u16(buf: bytes, pos: int) -> int:
        if pos < 0 or pos + 2 > len(buf):
            raise PublishError("malformed PE image: a header runs past the end")
        return struct.unpack_from("<H", buf, pos)[0]

    def u32(buf: bytes, pos: int) -> int:
        if pos < 0 or pos + 4 > len(buf):
            raise PublishError("malformed PE image: a header runs past the end")
        return struct.unpack_from("<I", buf, pos)[0]

    if image[:2] != b"MZ":
        raise PublishError("not an executable image (no MZ header)")
    pe = u32(image, 0x3C)
    if image[pe:pe + 4] != b"PE\0\0":
        raise PublishError("not a PE image (no PE signature where the MZ header points)")
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


def check_updater_image(path: Path, version: str, public_pem: bytes, private_key: str | os.PathLike) -> None:
    """Refuses an executable whose version resource is not `version`, or which would not trust the key
    this publication is signed with (a test build, say)."""
    image = path.read_bytes()
    try:
        found = file_version(image)
    except PublishError as e:
        raise PublishError(f"executable {path}: {e}") from None
    if found is None:
        raise PublishError(f"executable {path}: has no version resource, so its version cannot be checked")
    if f"{found[0]}.{found[1]}" != version:
        raise PublishError(f"executable {path}: its version resource says {found[0]}.{found[1]}, "
                           f"not --updater-version {version}")
    if not carries_public_key(image, public_pem):
        raise PublishError(f"executable {path}: does not carry the public key of {private_key}, so it would "
                           "refuse what this key signs (a build trusting another key?)")


# --- publishing -------------------------------------------------------------------------------

def _descriptor_folder(folder: Path) -> Path:
    """A publication folder given either as the autoupdate folder itself or as its parent."""
    return folder if (folder / DESCRIPTOR).is_file() else folder / "autoupdate"


def _read_seq(values: dict[str, str], where: Path) -> int | None:
    seq = values.get("zt_seq")
    if seq is None:
        return None
    if not re.fullmatch(r"[0-9]{1,18}", seq):
        raise PublishError(f"{where}: zt_seq {seq!r} is not a number")
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
    if size > MAX_LENGTH:
        raise PublishError(f"{what} {path}: larger than the tool accepts ({MAX_LENGTH} bytes)")
    return size


def _verifies_with(signed: bytes, public_pem: bytes) -> bool:
    with tempfile.TemporaryDirectory() as tmp:
        pub = Path(tmp, "public.pem")
        pub.write_bytes(public_pem)
        return verify(signed, pub)


def _kept_rollout(key: str, given: int | None, previous: dict[str, str], where: Path | None, same_file: bool):
    """The rollout to write: the one given, else the previous publication's when it offered the same
    file (a 5 % rollout is widened only on purpose), else none (everyone)."""
    if given is not None or not same_file:
        return given
    return rollout_value(f"{where / DESCRIPTOR}: {key}", previous.get(key))


def publish(out_dir: str | os.PathLike, data_path: str | os.PathLike, *, data_version: str, data_time: str,
            data_desc: str, private_key: str | os.PathLike, updater_path: str | os.PathLike | None = None,
            updater_version: str | None = None, previous_dir: str | os.PathLike | None = None,
            previous_seq: int | None = None, data_name: str | None = None,
            updater_name: str | None = None, data_rollout: str | int | None = None,
            updater_rollout: str | int | None = None, passphrase: bytes | None = None) -> Path:
    """Writes OUT/autoupdate/ (the files, then the signed version.txt) and returns that folder."""
    data_path = Path(data_path)
    target = Path(out_dir) / "autoupdate"
    if previous_dir is not None and previous_seq is not None:
        raise PublishError("give the previous publication's folder or its sequence number, not both")
    if not re.fullmatch(r"[0-9]{1,10}", data_version) or int(data_version) > MAX_DATA_VERSION:
        raise PublishError(f"data version {data_version!r}: must be a decimal number below 2^32")
    data_rollout = rollout_value("--data-rollout", data_rollout)
    updater_rollout = rollout_value("--updater-rollout", updater_rollout)
    # First, so a wrong passphrase or key ends the run before anything is read or written.
    public_pem = public_key_pem(private_key, passphrase)

    data_name = data_name or data_path.name
    data_length = _executable(data_path, "data package")
    files = {data_name: data_path}  # published name -> source

    previous: dict[str, str] = {}
    prev_folder = None
    seq = 1 if previous_seq is None else previous_seq + 1
    if previous_dir is not None:
        prev_folder = _descriptor_folder(Path(previous_dir))
        try:
            prev_text = (prev_folder / DESCRIPTOR).read_bytes()
        except OSError:
            raise PublishError(f"{previous_dir}: no {DESCRIPTOR} of a previous publication") from None
        if SIG_KEY in prev_text and not _verifies_with(prev_text, public_pem):
            raise PublishError(f"{prev_folder / DESCRIPTOR}: its signature does not verify with this key")
        previous = parse_descriptor(prev_text)
        seq = (_read_seq(previous, prev_folder) or 0) + 1

    if updater_path is not None:
        if not updater_version:
            raise PublishError("an executable needs its version (--updater-version)")
        updater_path = Path(updater_path)
        updater_name = updater_name or updater_path.name
        updater_length = _executable(updater_path, "executable")
        check_updater_image(updater_path, updater_version, public_pem, private_key)
        files[updater_name] = updater_path
    elif updater_name is not None:
        raise PublishError("--updater-name without an executable")
    elif prev_folder is not None:
        if updater_version is not None:
            raise PublishError("without an executable the previous publication's updater keys are kept; "
                               "leave out --updater-version")
        updater_version, updater_name, length = (previous.get(k, "") for k in
                                                 ("updater_version", "updater_file", "updater_length"))
        if not (updater_version and updater_name and re.fullmatch(r"[0-9]{1,10}", length)):
            raise PublishError(f"{prev_folder / DESCRIPTOR}: no complete updater_version/file/length to keep")
        updater_length = int(length)
        if updater_length > 0:
            source = prev_folder / updater_name
            if not source.is_file() or source.stat().st_size != updater_length:
                raise PublishError(f"{source}: missing or not {updater_length} bytes as its descriptor says")
            digest = sha256_file(source)
            if previous.get("updater_sha256", digest) != digest:
                raise PublishError(f"{source}: does not match the updater_sha256 of its descriptor")
            files[updater_name] = source
    else:
        updater_version = updater_version or tool_version()
        updater_name, updater_length = PLACEHOLDER_UPDATER_FILE, 0
    if updater_length == 0 and updater_rollout is not None:
        raise PublishError("--updater-rollout: this publication offers no executable to roll out")

    for name in (data_name, updater_name):
        if problem := name_problem(name):
            raise PublishError(f"file name {name!r}: {problem}")
    # Both land in one download folder on a Windows machine.
    if data_name.lower() == updater_name.lower():
        raise PublishError(f"data package and executable would both be published as {data_name!r}")

    hashes = {name: sha256_file(source) for name, source in files.items()}
    for name in files:
        for folder in [f for f in (target, prev_folder) if f is not None]:
            existing = folder / name
            if existing.exists() and (not existing.is_file() or sha256_file(existing) != hashes[name]):
                raise PublishError(f"{existing} exists with other bytes; publish under a new name")
    if (target / DESCRIPTOR).is_file():
        current = _read_seq(parse_descriptor((target / DESCRIPTOR).read_bytes()), target)
        if current is not None and current >= seq:
            raise PublishError(f"{target / DESCRIPTOR} already has zt_seq={current}, not below {seq}; "
                               "give --previous or --previous-seq")

    data_rollout = _kept_rollout("data_rollout", data_rollout, previous, prev_folder,
                                 previous.get("data_sha256") == hashes[data_name])
    updater_rollout = _kept_rollout("updater_rollout", updater_rollout, previous, prev_folder,
                                    updater_length > 0 and previous.get("updater_sha256") == hashes[updater_name])
    unsigned = descriptor_text(data_version, data_time, data_desc, data_name, data_length, updater_version,
                               updater_name, updater_length, data_sha256=hashes[data_name],
                               updater_sha256=hashes.get(updater_name), seq=seq, data_rollout=data_rollout,
                               updater_rollout=updater_rollout)
    signed = sign(unsigned, private_key, passphrase)
    if not _verifies_with(signed, public_pem):
        raise PublishError("the signed descriptor does not verify with the key's own public half")

    # The files first and the descriptor last, each through a temporary name: a server copying the
    # folder meanwhile never finds a descriptor naming a file that is not there yet.
    target.mkdir(parents=True, exist_ok=True)
    for name, source in files.items():
        if not (target / name).exists():
            tmp = target / f".{name}.tmp"
            shutil.copyfile(source, tmp)
            os.replace(tmp, target / name)
        if sha256_file(target / name) != hashes[name]:
            raise PublishError(f"{target / name}: written bytes differ from {source}")
    tmp = target / f".{DESCRIPTOR}.tmp"
    tmp.write_bytes(signed)
    os.replace(tmp, target / DESCRIPTOR)
    if (target / DESCRIPTOR).read_bytes() != signed:
        raise PublishError(f"{target / DESCRIPTOR}: reads back other bytes than were written")
    return target
