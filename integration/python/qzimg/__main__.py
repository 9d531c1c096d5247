"""python3 -m qzimg [--json] FILE...: a line per file with what qzidecode --info prints.

The exit status is 0, or the library's result code of the first file that failed."""
import json
import os
import sys

import qzimg


NAMES = {104: "BMP", 109: "PVR", 110: "DDS", 111: "KTX", 112: "KTX2", 113: "ASTC", 114: "PKM"}


def counts(texture):
    if texture.format_id == 104:
        return ""
    parts = [f", {texture.levels} level{'s' if texture.levels != 1 else ''}"]
    for n, one in ((texture.faces, "face"), (texture.layers, "layer"), (texture.slices, "slice")):
        if n > 1:
            parts.append(f", {n} {one}s")
    if texture.hdr:
        parts.append(", HDR")
    return "".join(parts)


def bits(texture):
    # As qzidecode prints hundredths: 4, 3.56, 0.89.
    value = round(texture.bits_per_pixel, 2)
    return int(value) if value.is_integer() else value


def facts_line(path, texture, facts):
    # A variant name of several words ("PVR v3 ASTC 6x6 sRGB") reads better set off by a comma.
    gap = " " if texture.format == NAMES.get(texture.format_id, "unknown") else ", "
    colour = "colour space unstated" if texture.color_space == "unstated" else texture.color_space
    line = (f"{path}: {texture.format}{gap}{texture.width}x{texture.height}{counts(texture)}, "
            f"{bits(texture)} bits per pixel{', palette' if facts['palette'] else ''}, "
            f"{'alpha' if facts['alpha'] else 'no alpha'}{' (premultiplied)' if texture.premultiplied else ''}, "
            f"{colour}")
    if facts["frames"] != 1:
        line += f", {facts['frames']} frames"
    return line


def json_name(path):
    # The name's bytes as UTF-8, each ill-formed part one U+FFFD, as qzidecode writes them.
    return os.fsencode(path).decode("utf-8", "replace")


def json_line(record):
    # Non-ASCII characters as they are, but U+FFFD escaped so that a replaced byte shows, as qzidecode.
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False).replace("\ufffd", "\\ufffd")


def facts_json(path, texture, facts):
    return json_line({"file": json_name(path), "result": 0, "format": NAMES.get(texture.format_id, "unknown"),
                       "format_id": texture.format_id, "description": texture.format, "width": texture.width,
                       "height": texture.height, "bits_per_pixel": bits(texture),
                       "palette": facts["palette"], "alpha": facts["alpha"], "color_space": texture.color_space,
                       "premultiplied": texture.premultiplied, "frames": facts["frames"],
                       "levels": texture.levels, "faces": texture.faces, "layers": texture.layers,
                       "depth": texture.slices, "hdr": texture.hdr})


def main(argv):
    as_json = "--json" in argv
    paths = [a for a in argv if a != "--json"]
    if not paths or any(p in ("-h", "--help") for p in paths):
        print(__doc__.strip(), file=sys.stderr if not paths else sys.stdout)
        return 2 if not paths else 0
    # File names go out as the bytes they are, as qzidecode prints them.
    sys.stdout.reconfigure(errors="surrogateescape")
    sys.stderr.reconfigure(errors="surrogateescape")
    status = 0
    for path in paths:
        try:
            with qzimg.open(path) as texture:
                facts = texture._facts()
                print(facts_json(path, texture, facts) if as_json else facts_line(path, texture, facts), flush=True)
        except qzimg.Error as e:
            print(f"qzimg: {path}: {e.reason} ({e.code})", file=sys.stderr)
            if as_json:
                print(json_line({"file": json_name(path), "result": e.code, "error": e.text, "reason": e.reason}))
            status = status or e.code
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
