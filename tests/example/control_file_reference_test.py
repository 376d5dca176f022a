#!/usr/bin/env python3
"""Checks that docs/control-file.md names everything the model reads from its
control file, so that the reference cannot fall behind the readers.

The names are taken from the sources of the model's folders: the section
headers written as "[name]" literals, the sections that sub-models name in
their constructors, the modules that the driver adopts, the keys that the
key = value readers look for, and the labels with which the readers of
positional lines name a value in their messages. Each is expected in the
reference: a section as "[name]", a key or module name as `name`, a label as
its text. The sections of the example's control file must be there too,
since it is the worked case.

  check    the reference names every section, module, key and label
  gaps     a copy of the reference without a section, a module name, a key
           or a label fails the check, which names just what was taken out
"""

import argparse
import os
import re
import sys
import tempfile

# Folders whose sources read the control file.
SOURCE_FOLDERS = ("config", "core", "submodel", "meteo", "vertical", "snow", "soil",
                  "lateral", "routing", "driver")

# Bracketed literals that are not section headers: the unit columns of the
# reservoir balance file.
NOT_SECTIONS = {"m3", "mm", "m3s"}

NAME = r"[A-Za-z_][A-Za-z0-9_]*"
QUOTED = r'"(' + NAME + r')"'

# A "[name]" literal; "%d" stands for a number the reader fills in.
SECTION_LITERAL = re.compile(r'"\[([A-Za-z_][A-Za-z0-9_]*(?:%d[A-Za-z0-9_]*)?)\]"')
# A numbered section: "[abstraction_rule_reservoir_" + std::to_string(n) + "]".
NUMBERED_SECTION = re.compile(r'"\[(' + NAME + r'_)" \+ std::to_string\(\w+\) \+ "\]"')
# A sub-model names its section in its constructor.
SUBMODEL_SECTION = re.compile(r'teilmodellklasse\(\w+, ' + QUOTED)
ADOPTED_MODULE = re.compile(r'adopt<\w+>\(' + QUOTED)

# The ways the readers look for a key, each a pattern whose groups hold keys.
KEY_PATTERNS = [
    # parameter tables and rule blocks: e.numbers("LAI", n), reader.word(block, "kind")
    re.compile(r'\.(?:has|number|numbers|word|integer|integers|registeredGrid)\('
               r'(?:\w+, )?' + QUOTED),
    # checks and helpers that take the table entry first: constant(e, "RootDist", ...)
    re.compile(r'\b(?:perLayer|Entry::require\w+)\(' + QUOTED),
    re.compile(r'\b\w+\((?:e|entry), ' + QUOTED),
    # tables of keys: {LanduseParameter::LAI, "LAI", ...}
    re.compile(r'\{\w+::\w+, ' + QUOTED),
    # reservoir and hydraulic-connection blocks: valueOf(text, "V0"), value("ChannelWidth")
    re.compile(r'\bvalueOf\(\w+, ' + QUOTED),
    re.compile(r'\bvalue\(' + QUOTED + r'\)'),
    # keys found in a line of the section: line.find("TargetCap"), and
    # keywords that open a block: text.find("HydraulicConnection")
    re.compile(r'\bline\.find\(' + QUOTED + r'\)'),
    re.compile(r'\btext\.find\("([A-Z]\w+)"\)'),
    # the words of a mode: {"intern", AL_class::intern}
    re.compile(r'\{' + QUOTED + r', \w+::\w+\}'),
    # routing description keywords: text.expect("OL", ...)
    re.compile(r'\bexpect\(' + QUOTED),
    # the tracer records: readNumber(*diag, line, "min_conc", k, ...)
    re.compile(r'\b(?:readNumber|readCode|readWord|looseKeyValue)\([^,]+, line, ' + QUOTED),
    re.compile(r'\bfindLooseKey\(' + QUOTED),
    re.compile(r'\breadFlag\(line, ' + QUOTED + r', ' + QUOTED),
    # grid keys read from the rest of a line: find("periodicity", value)
    re.compile(r'\bfind\(' + QUOTED + r', \w+\)'),
    # a key whose absence is reported by name: controlFileKeyNotFound("Key = ", ...)
    re.compile(r'\bcontrolFileKeyNotFound\("(' + NAME + r') ='),
]
# The label of a positional value, as the messages quote it: the last
# argument of readControlValue(file, "%d", target, "label") and of
# readControlValuePair, the description of a section reader's value
# (section.readInt("label"), lines.next("label")), and the labels that the
# modules hand their own output and table readers. A literal that a label
# only begins ("name of the " + name) is no label of its own.
LABEL = r'"((?:[^"\\]|\\.)+)"(?!\s*\+)'
LABEL_PATTERNS = [
    re.compile(r'\breadControlValue(?:Pair)?\(\w+,\s*"[^"]*"(?:,\s*[\w.\[\]]+)+,\s*' + LABEL
               + r'\)'),
    re.compile(r'\.read(?:Int|Long|Double|Word)\(' + LABEL + r'\)'),
    re.compile(r'\blines\.next\(' + LABEL + r'\)'),
    re.compile(r'\breadOutput\([^,()]+, ' + LABEL + r',\s*' + LABEL + r',\s*' + LABEL + r'\)'),
    re.compile(r'\b(?:readValues|readMonthlyTable)\([^"()]*' + LABEL + r'\)'),
]
# Tables of labels: an array whose element is the label of a positional
# value (readControlValue(file, "%lf", target, parameterLabels[k])), or that
# is handed whole to a module's line reader (readOutputLines(basicOutputLines)).
LABEL_TABLE_USES = [
    re.compile(r'\breadControlValue(?:Pair)?\(\w+,\s*"[^"]*"(?:,\s*[^,"]+?)+?,\s*(\w+)\[\w+\]'),
    re.compile(r'\bread\w*\((\w+Lines)\)'),
]
# Lists of keys: allowKeys(block, {"grid", "file"}) and arrays named ...Keys.
KEY_LISTS = [
    re.compile(r'\ballowKeys\(\w+, \{([^}]*)\}'),
    re.compile(r'const char\* const \w*[Kk]eys\[[^\]]*\] = \{([^}]*)\}'),
]


def without_comments(source):
    """The source with its comments blanked; string and character literals
    stay, so that a "//" inside a string is kept."""
    out = []
    i, n = 0, len(source)
    while i < n:
        c = source[i]
        if source.startswith("//", i):
            end = source.find("\n", i)
            i = n if end < 0 else end
        elif source.startswith("/*", i):
            end = source.find("*/", i + 2)
            i = n if end < 0 else end + 2
            out.append(" ")
        elif c in "\"'":
            j = i + 1
            while j < n and source[j] != c:
                j += 2 if source[j] == "\\" else 1
            out.append(source[i:j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def source_files(root):
    """The sources of the folders; the readers of state files, whose keys
    are no part of the control file, are left out."""
    for folder in SOURCE_FOLDERS:
        for base, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if name.endswith((".cpp", ".h")) and "_state_file." not in name:
                    yield os.path.join(base, name)


def label_text(literal):
    """A label as the reference writes it: escaped line ends and runs of
    blanks become one blank, blanks at the ends are dropped."""
    return " ".join(literal.replace("\\n", " ").split())


def names_in_code(root):
    """Sections, modules, keys and labels, each mapped to a file that uses
    it."""
    sections, modules, keys, labels = {}, {}, {}, {}
    for path in source_files(root):
        with open(path, encoding="utf-8") as f:
            code = without_comments(f.read())
        where = os.path.relpath(path, root)
        for name in SECTION_LITERAL.findall(code) + SUBMODEL_SECTION.findall(code):
            if name not in NOT_SECTIONS:
                sections.setdefault(name, where)
        for prefix in NUMBERED_SECTION.findall(code):
            sections.setdefault(prefix + "%d", where)
        for name in ADOPTED_MODULE.findall(code):
            modules.setdefault(name, where)
        for pattern in KEY_PATTERNS:
            for found in pattern.findall(code):
                for name in found if isinstance(found, tuple) else (found,):
                    keys.setdefault(name, where)
        for pattern in KEY_LISTS:
            for listed in pattern.findall(code):
                for name in re.findall(QUOTED, listed):
                    keys.setdefault(name, where)
        literals = []
        for pattern in LABEL_PATTERNS:
            for found in pattern.findall(code):
                literals += found if isinstance(found, tuple) else [found]
        for table in {name for pattern in LABEL_TABLE_USES for name in pattern.findall(code)}:
            initialiser = r'\b' + table + r'(?:\[[^\]]*\])?\s*=\s*\{(.*?)\};'
            for block in re.findall(initialiser, code, re.S):
                literals += re.findall(r'"((?:[^"\\]|\\.)+)"', block)
        for literal in literals:
            if label_text(literal):
                labels.setdefault(label_text(literal), where)
    return sections, modules, keys, labels


def sections_of_control_file(path):
    with open(path, encoding="utf-8") as f:
        return {m.group(1) for m in re.finditer(r"^\[(" + NAME + r")\]", f.read(), re.M)}


def section_in_doc(name):
    return "[" + name.replace("%d", "<n>") + "]"


def missing_names(doc, sections, modules, keys, labels):
    """What the reference lacks, one line each."""
    missing = []
    text = " ".join(doc.split())
    for name, where in sorted(sections.items()):
        if section_in_doc(name) not in doc:
            missing.append("section %s (read in %s)" % (section_in_doc(name), where))
    for kind, names in (("module", modules), ("key", keys)):
        for name, where in sorted(names.items()):
            if "`" + name + "`" not in doc:
                missing.append("%s `%s` (read in %s)" % (kind, name, where))
    for label, where in sorted(labels.items()):
        if label not in text:
            missing.append('label "%s" (read in %s)' % (label, where))
    return missing


def read_names(args):
    sections, modules, keys, labels = names_in_code(args.source)
    control_file = os.path.join(args.source, "examples", "catchment", "catchment.ctl")
    for name in sections_of_control_file(control_file):
        sections.setdefault(name, "examples/catchment/catchment.ctl")
    return sections, modules, keys, labels


def read_doc(args):
    with open(os.path.join(args.source, "docs", "control-file.md"), encoding="utf-8") as f:
        return f.read()


def command_check(args):
    names = read_names(args)
    sections, modules, keys, labels = names
    # An extraction that finds next to nothing has lost its patterns, and would
    # pass any reference.
    if len(sections) < 30 or len(modules) < 8 or len(keys) < 100 or len(labels) < 80:
        print("the sources gave only %d sections, %d modules, %d keys and %d labels; "
              "have the readers changed their idioms?"
              % (len(sections), len(modules), len(keys), len(labels)))
        return 1
    missing = missing_names(read_doc(args), *names)
    for line in missing:
        print("docs/control-file.md does not name " + line)
    print("%d sections, %d modules, %d keys, %d labels; %d missing"
          % (len(sections), len(modules), len(keys), len(labels), len(missing)))
    return 1 if missing else 0


def without(doc, text):
    return doc.replace(text, "")


def command_gaps(args):
    """Removes one name of each kind from a copy of the reference and expects
    the check to name exactly that one."""
    names = read_names(args)
    doc = read_doc(args)
    failures = 0
    probes = [("section", section_in_doc("abstraction_rule_reservoir_%d")),
              ("section", section_in_doc("unsatzon_model")),
              ("module", "`precicorrclass`"),
              ("key", "`Par_n`"), ("key", "`TargetCap`"), ("key", "`half_time`"),
              ("key", "`cells`"), ("key", "`V0`"), ("key", "`dTModLamIce`"),
              ("label", "methode of correction for"),
              ("label", "fh-parameter for HAUDE-evaporation"),
              ("label", "Writegrid of the snow age grid for")]
    for kind, text in probes:
        spoilt = without(doc, text)
        if spoilt == doc:
            print("the reference does not hold %s %s to remove" % (kind, text))
            failures += 1
            continue
        missing = missing_names(spoilt, *names)
        expected = "%s %s " % (kind, text) if kind != "label" else 'label "%s" ' % text
        if [m for m in missing if not m.startswith(expected)] or \
                not any(m.startswith(expected) for m in missing):
            print("without %s %s the check reports %s" % (kind, text, missing))
            failures += 1
    with tempfile.TemporaryDirectory() as folder:
        # A section added to the example's control file must be documented.
        example = os.path.join(folder, "catchment.ctl")
        with open(example, "w", encoding="utf-8") as f:
            f.write("[output_interval]\n24\n\n[not_a_documented_section]\n1\n")
        found = sections_of_control_file(example)
        if found != {"output_interval", "not_a_documented_section"}:
            print("the sections of a control file read as %s" % sorted(found))
            failures += 1
    print("%d of %d probes failed" % (failures, len(probes) + 1))
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("command", choices=("check", "gaps"))
    parser.add_argument("--source", required=True, help="the source tree")
    args = parser.parse_args()
    return command_check(args) if args.command == "check" else command_gaps(args)


if __name__ == "__main__":
    sys.exit(main())
