#!/usr/bin/env python3
"""Reads a public header and prints it as Doxygen sees it.

The headers keep plain C comments, readable in any editor: the comment above a declaration
documents it, a comment after a field documents the field, and the first comment of a file
describes the file. This filter turns them into Doxygen comments and puts the file's
declarations into the reference's group for what an application does with them, so that the
headers need no markup of their own and a new header is documented the same way.
"""
import os
import re
import sys

# Which group of the reference each header's declarations belong to (docs/groups.dox).
GROUPS = {
    "init.h": "startstop", "export.h": "startstop", "tarvo.h": "startstop",
    "dev.h": "devices", "hotplug.h": "devices", "drv.h": "devices", "offline.h": "devices",
    "cap.h": "capture", "frame.h": "capture", "frame_time.h": "capture", "stream.h": "capture",
    "frame_image.h": "images", "pcl.h": "images", "lens.h": "images", "cmap.h": "images",
    "vecmath.h": "images", "filter.h": "images",
    "frame_file.h": "files",
    "epc_calib.h": "calibration", "epc_gray.h": "calibration",
    "transfer.h": "firmware",
    "log.h": "logging",
    "ll.h": "lowlevel",
    "epc_api.h": "epc", "epc_calc.h": "epc", "epc_config.h": "epc", "epc_drv.h": "epc",
}
# Parameter and register access sits in dev.h beside opening and closing.
# An explicit @ingroup outranks the file's group.
PARAMETER_DOC = re.compile(
    r"(/\*\*(?:(?!\*/).)*?)\*/(\s*TARVO_API[^;]*?\b(?:tarvo_param_batch_|tarvo_reg_batch_))",
    re.DOTALL)

TRAILING = re.compile(r"(\S.*?)(\s*)/\*(?![*!])")
LEADING = re.compile(r"^(\s*)/\*(?![*!])")


SECTION_RULE = re.compile(r"^\s*/\*\s*-{3,}")


def convert_comments(lines):
    """Plain comments become Doxygen comments; section rules stay plain."""
    out = []
    first_comment = True
    in_comment = False
    for line in lines:
        if not in_comment:
            lead = LEADING.match(line)
            if lead and SECTION_RULE.match(line):
                pass
            elif lead and first_comment:
                line = LEADING.sub(r"\1/** @file\n * ", line, count=1)
                first_comment = False
            elif lead:
                line = LEADING.sub(r"\1/**", line, count=1)
            elif not line.lstrip().startswith("#") or line.startswith("#define"):
                line = TRAILING.sub(r"\1\2/**<", line, count=1)
            in_comment = "/*" in line and "*/" not in line.split("/*", 1)[1]
        elif "*/" in line:
            in_comment = False
        out.append(line)
    return out


def share_comments(lines):
    """A comment above a run of declarations (no blank line between them) documents each of
    them: every declaration of the run without a comment of its own gets a copy."""
    out = []
    i = 0
    comment_start = None
    while i < len(lines):
        line = lines[i]
        out.append(line)
        if LEADING.match(line) or line.lstrip().startswith("/**"):
            comment_start = len(out) - 1
        if (comment_start is not None and line.rstrip().endswith("*/") and
                not line.lstrip().startswith("#")):
            comment = out[comment_start:]
            comment_start = None
            j = i + 1
            while (j < len(lines) and lines[j].strip() and
                   not lines[j].lstrip().startswith(("/*", "#if", "#endif", "#include"))):
                j += 1
            run = lines[i + 1:j]
            if any("{" in line or "}" in line for line in run):
                i += 1
                continue
            previous_ended = False
            for k, decl in enumerate(run):
                starts = decl.startswith(("TARVO_API", "#define")) or previous_ended
                if k > 0 and starts and "/**<" not in decl and "/*" not in decl:
                    out.extend(comment)
                out.append(decl)
                previous_ended = decl.rstrip().endswith(";") or decl.startswith("#define")
            i = j
            continue
        elif comment_start is not None and "*/" in line:
            comment_start = None
        i += 1
    return out


def convert(lines, group):
    text = "".join(share_comments(convert_comments(lines)))
    if group:
        # Open the group after the file comment, close it at the end.
        end = text.find("*/") + 2 if text.lstrip().startswith("/**") else 0
        text = (text[:end] + "\n/** @addtogroup %s\n * @{ */\n" % group + text[end:] +
                "\n/** @} */\n")
        if group == "devices":
            text = PARAMETER_DOC.sub(r"\1 @ingroup params */\2", text)
    return text


def main():
    path = sys.argv[1]
    with open(path, encoding="utf-8") as f:
        lines = f.readlines()
    sys.stdout.write(convert(lines, GROUPS.get(os.path.basename(path), "")))


if __name__ == "__main__":
    main()
