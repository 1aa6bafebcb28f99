#!/usr/bin/env python3
"""Generates src/parser/unicode_lower_table.cpp: the Unicode lower-case data
that model-name normalisation uses.

    tools/gen_unicode_lower.py [OUTPUT]

OUTPUT defaults to src/parser/unicode_lower_table.cpp in this repository.
The output depends only on the interpreter's Unicode data version (named in
the generated comment), so the same interpreter reproduces the committed file
byte for byte; a unit test checks exactly that.

Where the data comes from:

* Lower-case mapping: str.lower() of each code point alone.  Python applies
  the full mapping (including multi-code-point results such as U+0130 ->
  U+0069 U+0307).  The only context-dependent rule, final sigma, cannot be
  seen per code point; C++ applies it, so capital sigma maps to U+03C3 here.

* Case classes for the final-sigma rule: the rule skips Case_Ignorable
  characters and then asks whether the next character is Cased.  Python's
  unicodedata does not expose Cased (which needs Other_Lowercase and
  Other_Uppercase) or Case_Ignorable, but str.lower() applies the very same
  rule using both properties, so each code point is classified exactly by
  two probes:
      ("A" + c + SIGMA).lower() ends in final sigma  <=>  ignorable or cased
      (c + SIGMA).lower()       ends in final sigma  <=>  not ignorable, cased
  A character that is both Case_Ignorable and Cased (e.g. modifier letters)
  is classed as ignorable: the rule skips such characters before it looks
  at cased-ness, so their cased-ness never matters.  The results are
  cross-checked against the general categories that the two properties
  must contain.
"""

import os
import sys
import unicodedata

SIGMA = "\u03a3"
FINAL_SIGMA = "\u03c2"
MAX_LOWER_LENGTH = 3  # must match kMaxLowerLength in unicode_lower.h

OTHER, CASED, IGNORABLE = 0, 1, 2


def is_scalar(cp):
    return not 0xD800 <= cp <= 0xDFFF


def case_class(cp):
    if not is_scalar(cp):
        return OTHER
    c = chr(cp)
    if (c + SIGMA).lower()[-1] == FINAL_SIGMA:
        return CASED
    if ("A" + c + SIGMA).lower()[-1] == FINAL_SIGMA:
        return IGNORABLE
    return OTHER


def check_class(cp, klass):
    category = unicodedata.category(chr(cp))
    if category in ("Mn", "Me", "Cf", "Lm", "Sk") and klass != IGNORABLE:
        sys.exit(f"U+{cp:04X} ({category}) is not classed case-ignorable")
    if category in ("Lu", "Ll", "Lt") and klass == OTHER:
        sys.exit(f"U+{cp:04X} ({category}) is classed neither cased nor ignorable")


def lower_data():
    """Returns (singles, specials): singles maps a code point to its one-code-
    point lower case, specials to a longer tuple."""
    singles, specials = {}, {}
    for cp in range(0x110000):
        if not is_scalar(cp):
            continue
        lower = chr(cp).lower()
        if lower == chr(cp):
            continue
        if len(lower) == 1:
            singles[cp] = ord(lower)
        else:
            if len(lower) > MAX_LOWER_LENGTH:
                sys.exit(f"U+{cp:04X} lower-cases to {len(lower)} code points")
            specials[cp] = tuple(ord(x) for x in lower)
    return singles, specials


def lower_ranges(singles):
    """Packs the one-code-point mappings into runs (first, span, step, delta):
    every code point first + k*step, k*step <= span, maps to itself + delta.
    Runs of step 2 cover the alternating upper/lower pairs of many scripts."""
    cps = sorted(singles)
    runs = []
    i = 0
    while i < len(cps):
        first = cps[i]
        delta = singles[first] - first
        best_end, best_step = i, 1
        for step in (1, 2):
            j = i
            while (
                j + 1 < len(cps)
                and cps[j + 1] == cps[j] + step
                and singles[cps[j + 1]] - cps[j + 1] == delta
                and cps[j + 1] - first <= 0xFFFF
            ):
                j += 1
            if j > best_end:
                best_end, best_step = j, step
        span = cps[best_end] - first
        runs.append((first, span, best_step if span else 1, delta))
        i = best_end + 1
    return runs


def class_starts():
    """Boundaries of the case classes: (first, class) for each maximal run of
    equal class, the first run starting at U+0000."""
    starts = []
    previous = None
    for cp in range(0x110000):
        klass = case_class(cp)
        if is_scalar(cp):
            check_class(cp, klass)
        if klass != previous:
            starts.append((cp, klass))
            previous = klass
    return starts


def rows(items, per_line):
    lines = []
    for i in range(0, len(items), per_line):
        lines.append("    " + " ".join(items[i : i + per_line]))
    return "\n".join(lines)


def render():
    singles, specials = lower_data()
    runs = lower_ranges(singles)
    starts = class_starts()
    version = unicodedata.unidata_version

    special_items = []
    for cp in sorted(specials):
        to = specials[cp]
        padded = list(to) + [0] * (MAX_LOWER_LENGTH - len(to))
        special_items.append("{0x%04X, {%s}, %d}," % (cp, ", ".join("0x%04X" % x for x in padded), len(to)))
    run_items = ["{0x%05X, %d, %d, %d}," % run for run in runs]
    start_items = ["0x%07X," % ((cp << 2) | klass) for cp, klass in starts]

    return f"""\
// Generated by tools/gen_unicode_lower.py from Unicode {version} data.
// Do not edit: change the script and run it again.
#include "parser/unicode_lower.h"

namespace ledgerly::parser::unicode {{

const LowerSpecial kLowerSpecials[] = {{
{rows(special_items, 1)}
}};
const std::size_t kLowerSpecialCount = {len(special_items)};

const LowerRange kLowerRanges[] = {{
{rows(run_items, 4)}
}};
const std::size_t kLowerRangeCount = {len(run_items)};

const std::uint32_t kCaseClassStarts[] = {{
{rows(start_items, 8)}
}};
const std::size_t kCaseClassStartCount = {len(start_items)};

}}  // namespace ledgerly::parser::unicode
"""


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "src", "parser", "unicode_lower_table.cpp")
    text = render()
    with open(output, "w", encoding="ascii", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main()
