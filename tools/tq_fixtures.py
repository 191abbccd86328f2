#!/usr/bin/env python3
"""Writes test fixtures for tq_core.

Subcommands:

  manifest DIR    a manifest.json built from a base template plus overrides, or
                  verbatim text (duplicate keys, odd values, broken JSON)
  bundle DIR      a bundle directory: manifest plus member files, under either
                  member naming layout
  imx OUT         an IMX v2 container described by JSON, with overrides that
                  make broken containers (bad header, lying TOC, truncation)

Families in tools/fixtures/ add more subcommands, among them
  pi-reference, contour-reference   numpy second opinions of the compose alpha
                                    and the lip contour (teeth_geometry.py)

The helper functions are importable (``import tq_fixtures``) so further
subcommands can reuse them.

Member payloads of a given size use a deterministic pattern: byte i of a
member with seed s is (i + s) % 251.
"""

import argparse
import json
import os
import struct
import sys

# ---------------------------------------------------------------- content

BASE_MANIFEST = {
    "format": "tq-bundle-v0",
    "agent": "fixture",
    "NT": 4,
    "H": 64,
    "W": 96,
    "M_src_w": 96,
    "M_src_h": 64,
    "crop": 32,
    "amount": 1.3,
    "sigma": 2.0,
    "ksize": 13,
    "frames": 8,
}

_PATTERN_PERIOD = 251


def pattern_bytes(size, seed=0):
    """size bytes where byte i is (i + seed) % 251."""
    if size <= 0:
        return b""
    cycle = bytes((i + seed) % _PATTERN_PERIOD for i in range(_PATTERN_PERIOD))
    reps, rest = divmod(size, _PATTERN_PERIOD)
    return cycle * reps + cycle[:rest]


def _write_bytes(path, data):
    parent = os.path.dirname(path)
    if parent:
        os.makedirs(parent, exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- manifest


def manifest_text(overrides=None, drop=(), raw_values=None):
    """The base manifest with `overrides` merged in (a None value removes the
    key), keys in `drop` removed, and keys in `raw_values` written with their
    value text verbatim (key order: base keys first, then new ones)."""
    obj = dict(BASE_MANIFEST)
    for k, v in (overrides or {}).items():
        if v is None:
            obj.pop(k, None)
        else:
            obj[k] = v
    for k in drop:
        obj.pop(k, None)
    raw_values = dict(raw_values or {})
    for k in raw_values:
        obj.setdefault(k, None)
    parts = []
    for k, v in obj.items():
        value = raw_values[k] if k in raw_values else json.dumps(v)
        parts.append("  %s: %s" % (json.dumps(k), value))
    return "{\n" + ",\n".join(parts) + "\n}\n"


def write_manifest(directory, overrides=None, drop=(), raw_values=None, raw=None):
    """Writes DIR/manifest.json; `raw` (str or bytes) is written verbatim."""
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "manifest.json")
    if raw is not None:
        data = raw.encode("utf-8") if isinstance(raw, str) else raw
    else:
        data = manifest_text(overrides, drop, raw_values).encode("utf-8")
    _write_bytes(path, data)
    return path


# ---------------------------------------------------------------- bundle

# Second naming layout of the members that have one.
SECOND_LAYOUT = {
    "P.f16": "source_frames.f16",
    "P_hevc.mov": "source_frames.hevc",
    "a2x_enc_stream.onnx": "audio_motion_encoder.onnx",
    "a2x_dec.onnx": "audio_motion_decoder.onnx",
    "M.f32": "paste_transform.f32",
    "mask_512.u8": "paste_mask.u8",
    "pooled64.f16": "pooled_features.f16",
    "fs_red.f16": "feature_synth.f16",
    "xs_target.bin": "target_keypoints.bin",
}
_DRIVE_STEMS = {"xs": "source_keypoints", "xd": "driven_keypoints", "si": "source_index"}


def second_layout_name(name):
    """The member's name under the second layout (the name itself if none)."""
    if name in SECOND_LAYOUT:
        return SECOND_LAYOUT[name]
    if len(name) > 12 and name.startswith("model_b") and name.endswith(".onnx"):
        batch, _, variant = name[len("model_b"):-len(".onnx")].partition("_")
        return "render_model.batch" + batch + ("." + variant if variant else "") + ".onnx"
    if name.startswith("drive/"):
        stem, dot, ext = name[len("drive/"):].partition(".")
        return "idle_loop/" + _DRIVE_STEMS.get(stem, stem) + dot + ext
    return name


def write_bundle(directory, members=None, layout="first", manifest=True,
                 manifest_overrides=None):
    """A bundle directory. `members` maps a member name (first layout) to a
    size in bytes (pattern content, seed 0), a str (text) or bytes."""
    os.makedirs(directory, exist_ok=True)
    if manifest:
        write_manifest(directory, manifest_overrides)
    for name, content in (members or {}).items():
        if isinstance(content, int):
            data = pattern_bytes(content)
        elif isinstance(content, str):
            data = content.encode("utf-8")
        else:
            data = bytes(content)
        on_disk = second_layout_name(name) if layout == "second" else name
        _write_bytes(os.path.join(directory, on_disk), data)
    return directory


# ---------------------------------------------------------------- imx


def _member_payload(m):
    if "text" in m:
        data = m["text"].encode("utf-8")
    elif "hex" in m:
        data = bytes.fromhex(m["hex"])
    elif "file" in m:
        with open(m["file"], "rb") as f:
            data = f.read()
    else:
        data = pattern_bytes(int(m.get("size", 0)), int(m.get("seed", 0)))
    if "pad_to" in m:
        fill = bytes.fromhex(m.get("pad_hex", "20"))
        data += fill * (int(m["pad_to"]) - len(data))
    return data


def _member_name(m):
    if "name_hex" in m:
        return bytes.fromhex(m["name_hex"])
    return m.get("name", "").encode("utf-8")


def build_imx(desc):
    """Container bytes and a layout list from a description:

    {"magic_hex": "494d5800", "version": 2, "count": <default len(members)>,
     "members": [{"name" | "name_hex", one of "text" | "hex" | "file" | "size"
                  (+ "seed"), optional "pad_to" (+ "pad_hex", default
                  spaces) extending the content to that many bytes,
                  optional "name_len", "offset", "size_field" overriding
                  the TOC fields, "no_payload": true}],
     "gap": bytes between TOC and first payload, "truncate": file length}

    Payloads follow the TOC in member order."""
    members = desc.get("members", [])
    magic = bytes.fromhex(desc.get("magic_hex", "494d5800"))
    version = int(desc.get("version", 2))
    count = int(desc.get("count", len(members)))
    names = [_member_name(m) for m in members]
    payloads = [b"" if m.get("no_payload") else _member_payload(m) for m in members]

    toc_len = sum(2 + len(n) + 16 for n in names)
    pos = len(magic) + 4 + toc_len + int(desc.get("gap", 0))
    layout = []
    toc = bytearray()
    for m, name, data in zip(members, names, payloads):
        entry_pos = len(magic) + 4 + len(toc)
        offset = int(m.get("offset", pos))
        size = int(m.get("size_field", len(data)))
        toc += struct.pack("<H", int(m.get("name_len", len(name)))) + name
        toc += struct.pack("<QQ", offset % (1 << 64), size % (1 << 64))
        layout.append({"name": name.decode("utf-8", "replace"), "toc_pos": entry_pos,
                       "payload_pos": pos, "offset": offset, "size": size})
        pos += len(data)

    out = bytearray(magic + struct.pack("<HH", version, count) + toc)
    out += b"\0" * int(desc.get("gap", 0))
    for data in payloads:
        out += data
    if "truncate" in desc:
        del out[int(desc["truncate"]):]
    return bytes(out), layout


def write_imx(path, desc):
    data, layout = build_imx(desc)
    _write_bytes(path, data)
    return layout


# ---------------------------------------------------------------- command line


def _json_arg(text, what):
    try:
        return json.loads(text)
    except ValueError as e:
        raise SystemExit("tq_fixtures: bad JSON for %s: %s" % (what, e))


def _key_value(text):
    key, sep, value = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError("expected NAME=VALUE, got %r" % text)
    return key, value


def cmd_manifest(a):
    raw = None
    if a.raw is not None:
        raw = a.raw
    elif a.raw_file is not None:
        with open(a.raw_file, "rb") as f:
            raw = f.read()
    overrides = _json_arg(a.set, "--set") if a.set else None
    write_manifest(a.dir, overrides, a.drop, dict(a.raw_value or []), raw)


def cmd_bundle(a):
    members = {}
    for name, size in a.member or []:
        members[name] = int(size)
    for name, text in a.text or []:
        members[name] = text
    overrides = _json_arg(a.manifest_set, "--manifest-set") if a.manifest_set else None
    write_bundle(a.dir, members, a.layout, not a.no_manifest, overrides)


def cmd_imx(a):
    if a.desc is not None:
        desc = _json_arg(a.desc, "--desc")
    else:
        with open(a.desc_file) as f:
            desc = _json_arg(f.read(), "--desc-file")
    layout = write_imx(a.out, desc)
    if a.print_layout:
        json.dump(layout, sys.stdout)
        sys.stdout.write("\n")


def _register_families(sub):
    """Fixture families (graphs, movies, identity arrays, ...) live in
    tools/fixtures/<family>.py; each adds its subcommands through register(sub)."""
    import importlib
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")
    if not os.path.isdir(here):
        return
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    for f in sorted(os.listdir(here)):
        if f.endswith(".py") and not f.startswith("_"):
            mod = importlib.import_module("fixtures." + f[:-3])
            if hasattr(mod, "register"):
                mod.register(sub)


def main(argv=None):
    p = argparse.ArgumentParser(prog="tq_fixtures", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)

    m = sub.add_parser("manifest", help="write DIR/manifest.json")
    m.add_argument("dir")
    m.add_argument("--set", help="JSON object merged into the base; null removes a key")
    m.add_argument("--drop", nargs="*", default=[], help="keys to remove")
    m.add_argument("--raw-value", action="append", type=_key_value, metavar="KEY=TEXT",
                   help="write KEY with TEXT as its value, verbatim")
    g = m.add_mutually_exclusive_group()
    g.add_argument("--raw", help="write this text verbatim as the whole manifest")
    g.add_argument("--raw-file", help="copy this file verbatim as the manifest")
    m.set_defaults(func=cmd_manifest)

    b = sub.add_parser("bundle", help="write a bundle directory")
    b.add_argument("dir")
    b.add_argument("--layout", choices=["first", "second"], default="first")
    b.add_argument("--member", action="append", type=_key_value, metavar="NAME=SIZE",
                   help="member with SIZE pattern bytes (first-layout name)")
    b.add_argument("--text", action="append", type=_key_value, metavar="NAME=TEXT",
                   help="member holding TEXT")
    b.add_argument("--manifest-set", help="JSON overrides for the manifest")
    b.add_argument("--no-manifest", action="store_true")
    b.set_defaults(func=cmd_bundle)

    x = sub.add_parser("imx", help="write an IMX v2 container")
    x.add_argument("out")
    g = x.add_mutually_exclusive_group(required=True)
    g.add_argument("--desc", help="JSON description (see build_imx)")
    g.add_argument("--desc-file")
    x.add_argument("--print-layout", action="store_true",
                   help="print each entry's TOC and payload positions as JSON")
    x.set_defaults(func=cmd_imx)

    # The families import numpy and onnx, which costs more than most fixtures
    # take to write: load them only when the subcommand is not one of the above.
    args = sys.argv[1:] if argv is None else argv
    if not args or args[0] not in ("manifest", "bundle", "imx"):
        _register_families(sub)

    a = p.parse_args(argv)
    a.func(a)
    return 0


if __name__ == "__main__":
    sys.exit(main())
