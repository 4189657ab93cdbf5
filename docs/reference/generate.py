#!/usr/bin/env python3
"""Writes help/NAME.maxhelp and docs/refpages/NAME.maxref.xml for every external from one
source: the documentation table docs/reference/NAME.json beside this script, what the built
class registers (`tilde info NAME --json`), and the help recipes below.

    python3 docs/reference/generate.py path/to/tilde [--only NAME] [--out DIR]
"""
import argparse, json, re, subprocess, sys
from pathlib import Path
from xml.sax.saxutils import escape, quoteattr

ROOT = Path(__file__).resolve().parents[2]
HOST_CALLED = {"dsp64", "dsp", "assist", "inletinfo"}

# How each help patcher drives its external: creation text, sources per signal inlet
# ("noise", "sine F", "sig V", "phasor F"), message boxes ("K: text" for inlet K; "load"
# ones are sent by loadbang), and where the outlets go ("dac" or "print").
RECIPES = {
    "recur~": {"args": "0.5", "in": {0: "noise"}, "msgs": ["1: 0.9", "1: 0.5", "clear", "set 0"]},
    "fwdtap~": {"args": "0.5", "in": {0: "noise"}, "msgs": ["1: -0.9", "1: 0.5", "clear", "set 0"]},
    "backtap~": {"args": "0.5", "in": {0: "noise"}, "msgs": ["1: 0.9", "1: 0.5", "clear", "set 0"]},
    "cxrecur~": {"args": "0.9 0.1", "in": {0: "noise"}, "msgs": ["clear", "set 0 0"]},
    "cxfwdtap~": {"args": "0.5 0.5", "in": {0: "noise"}, "msgs": ["clear", "set 0 0"]},
    "cxbacktap~": {"args": "0.8 0.2", "in": {0: "noise"}, "msgs": ["clear", "set 0 0"]},
    "highcut~": {"args": "1000", "in": {0: "noise"}, "msgs": ["1: 500", "1: 2000", "clear"]},
    "lowcut~": {"args": "1000", "in": {0: "noise"}, "msgs": ["1: 500", "1: 2000", "clear"]},
    "bandres~": {"args": "1000 10", "in": {0: "noise"}, "msgs": ["1: 440", "1: 2000", "2: 5", "2: 30", "clear"]},
    "sosect~": {"args": "0.3 -0.2 0.5 0.2 0.1", "in": {0: "noise"}, "msgs": ["0.5 -0.25 0.4 0.1 0.05", "clear"]},
    "sweepres~": {"args": "1000 5", "in": {0: "noise"}, "msgs": ["1: 800", "1: 2000", "2: 8", "2: 30"]},
    "modalfilt~": {"args": "bp2", "in": {0: "noise"}, "msgs": ["1: 0.2 load", "1: 0.05", "2: 2 load", "2: 8"]},
    "ladder~": {"args": "", "in": {0: "noise", 1: "sig 800", 2: "sig 0.5"}, "msgs": ["reset"]},
    "latchsig~": {"args": "", "in": {0: "sine 220", 1: "phasor 5"}, "msgs": ["set 0.5", "reset"]},
    "slidevec~": {"args": "", "in": {0: "noise"}, "msgs": []},
    "levelmeter~": {"args": "", "in": {0: "noise"}, "msgs": [], "out": "number"},
    "blocktick~": {"args": "", "in": {}, "msgs": [], "out": "button"},
    "cutroute": {"args": "0.5", "in": {}, "msgs": ["0.2, 0.8 load", "1: 0.7", "0.6"], "out": "print"},
    "tanrecip~": {"args": "", "in": {0: "sig 1000"}, "msgs": [], "gain": 0.01},
    "stereosquash~": {"args": "", "in": {0: "noise", 1: "sine 220"},
                      "msgs": ["thresh -20", "ratio 4", "attack 10", "release 100", "knee 6", "makeup 0", "Bypass 0"]},
    "noisedoor~": {"args": "", "in": {0: "noise", 1: "sine 220"}, "msgs": ["thresh -40", "attack 1", "release 100", "Bypass 0"]},
    "brickwall~": {"args": "", "in": {0: "noise", 1: "sine 220"}, "msgs": ["thresh -6", "ceiling -0.3", "release 100", "Bypass 0"]},
    "tribandsquash~": {"args": "", "in": {0: "noise"}, "msgs": ["locut 200", "hicut 3000", "master 0"]},
    "peakguard~": {"args": "", "in": {0: "noise"}, "msgs": ["Threshold -6", "Release 100", "InputGain 0", "Bypass 0"]},
    "rangetamer~": {"args": "", "in": {0: "noise"}, "msgs": ["Threshold -20", "Ratio 4", "Attack 10", "Release 100", "Bypass 0"]},
    "tonebands~": {"args": "", "in": {0: "noise"}, "msgs": ["master 0", "Bypass 0", "reset"]},
    "thirdbands~": {"args": "", "in": {0: "noise"}, "msgs": ["master 0", "Bypass 0", "reset"]},
    "headdelay~": {"args": "", "in": {0: "noise"}, "msgs": ["Angle 45", "Angle 135", "Object_dist 200", "Ears_dist 17"]},
    "stereoplace~": {"args": "", "in": {0: "noise", 1: "sine 220"}, "msgs": ["pan 0.5", "pan 0", "int_time 10"]},
    "bowedstring~": {"args": "", "in": {}, "msgs": ["velocity 0.5 load", "pressure 0.5", "pos 0.1", "OutGain 0.5", "setDefault",
                                                     "clearall"]},
    "calibrator": {"args": "", "in": {}, "msgs": ["bang load", "interval 200", "smooth 0.5", "500", "300", "800"], "out": "print"},
}

# Inlets and outlets of the host's own objects used in help patchers: (inlets, outlet types).
HOST = {"noise~": (1, ["signal"]), "cycle~": (2, ["signal"]), "phasor~": (2, ["signal"]), "sig~": (1, ["signal"]),
        "*~": (2, ["signal"]), "+~": (2, ["signal"]), "loadbang": (1, ["bang"]), "print": (1, []), "message": (2, [""]),
        "comment": (1, []), "flonum": (1, ["", "bang"]), "button": (1, ["bang"])}


def info(tilde, name):
    out = subprocess.run([tilde, "info", name, "--json"], capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def table(name):
    return json.loads((ROOT / "docs/reference" / (name.replace("~", "_tilde") + ".json")).read_text())


# Words that belong to the implementation, not to a patcher's view of the object: a
# documentation table that uses them is refused, so that the pages stay readable.
IMPLEMENTATION_WORDS = ("perform", "dsp_add", "record", "deliverable", "proxy", "routine", "x->", "A_FLOAT", "A_LONG",
                        "A_GIMME", "A_CANT", "outlet_", "sysmem", "object_", "post(", "struct", "pointer", "registration",
                        "instance field", "the frame", "SDK", "callback", "malloc", "NULL")


def lint(name, t):
    """Returns the problems of a documentation table: missing keys or implementation words."""
    problems = []
    for key in ("digest", "description", "arguments", "methods"):
        if key not in t:
            problems.append("%s: no '%s'" % (name, key))
    texts = [("digest", t.get("digest", "")), ("description", t.get("description", ""))]
    for i, a in enumerate(t.get("arguments", [])):
        if not isinstance(a, dict) or not {"name", "type", "digest"} <= a.keys():
            problems.append("%s: argument %d needs name, type and digest" % (name, i + 1))
            continue
        texts += [("argument %s" % a["name"], a.get("digest", "") + " " + str(a.get("default", "")))]
    for sel, m in t.get("methods", {}).items():
        if not isinstance(m, dict) or "digest" not in m:
            problems.append("%s: method '%s' needs a digest" % (name, sel))
            continue
        texts += [("method " + sel, " ".join(str(m.get(k, "")) for k in ("digest", "description", "range")))]
        for a in m.get("args", []):
            texts.append(("method %s argument" % sel, a.get("name", "") + " " + a.get("units", "")))
    selectors = sorted(t.get("methods", {}), key=len, reverse=True)
    for where, text in texts:
        for sel in selectors:  # a message's own name may contain one of the words (Object_dist)
            text = text.replace(sel, "")
        for w in IMPLEMENTATION_WORDS:
            if w.lower() in text.lower():
                problems.append("%s: %s says '%s'" % (name, where, w))
    if len(t.get("digest", "")) > 160:
        problems.append("%s: the digest is longer than 160 characters" % name)
    return problems


class Patcher:
    def __init__(self):
        self.boxes, self.lines, self.n = [], [], 0

    def box(self, maxclass, text, x, y, w, inlets, outlettypes, **extra):
        self.n += 1
        b = {"id": "obj-%d" % self.n, "maxclass": maxclass, "numinlets": inlets, "numoutlets": len(outlettypes),
             "outlettype": outlettypes, "patching_rect": [x, y, w, 22.0]}
        if text is not None:
            b["text"] = text
        b.update(extra)
        self.boxes.append({"box": b})
        return b["id"]

    def obj(self, text, x, y, inlets=None, outlettypes=None, w=None):
        name = text.split()[0]
        if inlets is None:
            inlets, outlettypes = HOST[name]
        return self.box("newobj", text, x, y, w or max(40.0, 7.5 * len(text) + 14), inlets, outlettypes)

    def message(self, text, x, y):
        return self.box("message", text, x, y, max(30.0, 7.5 * len(text) + 12), 2, [""])

    def comment(self, text, x, y, w=300.0):
        return self.box("comment", text, x, y, w, 1, [])

    def connect(self, a, outlet, b, inlet):
        self.lines.append({"patchline": {"source": [a, outlet], "destination": [b, inlet]}})

    def json(self, width, height=560.0):
        return {"patcher": {"fileversion": 1, "appversion": {"major": 8, "minor": 5, "revision": 0},
                            "classnamespace": "box", "rect": [80.0, 80.0, width, height], "openinpresentation": 0,
                            "default_fontsize": 12.0, "gridsize": [15.0, 15.0], "boxes": self.boxes, "lines": self.lines}}


def source(p, form, x, y):
    kind, *rest = form.split()
    if kind == "noise":
        a = p.obj("noise~", x, y)
        b = p.obj("*~ 0.3", x, y + 30)
        p.connect(a, 0, b, 0)
        return b
    if kind == "sine":
        a = p.obj("cycle~ " + rest[0], x, y)
        b = p.obj("*~ 0.3", x, y + 30)
        p.connect(a, 0, b, 0)
        return b
    if kind == "phasor":
        return p.obj("phasor~ " + rest[0], x, y)
    return p.obj("sig~ " + rest[0], x, y)


def range_note(t, selector):
    """A short note for the comment beside a message box in a help patcher."""
    m = t["methods"].get(selector, {})
    return m.get("range") or m.get("digest", "")


def comment_height(text, width):
    """The height a comment of this width needs for its text, wrapped as Max wraps it (about
    6.5 pixels a character, 15 a line)."""
    per_line = max(1, int((width - 10) / 6.5))
    lines = sum(max(1, -(-len(part) // per_line)) for part in text.split("\n"))
    return 15.0 * lines + 7.0


def help_patch(name, inf, t):
    r = RECIPES[name]
    inst = inf["instance"]
    nin, nsig_out, nctl_out = inst["inlets"], inst["signal_outlets"], inst["control_outlets"]
    outtypes = ["signal"] * nsig_out + [""] * nctl_out
    p = Patcher()
    p.comment(name, 20.0, 10.0, 200.0)
    p.box("comment", t["digest"], 20.0, 32.0, 640.0, 1, [], patching_rect=[20.0, 32.0, 640.0, comment_height(t["digest"], 640.0)])
    # sources along the top, one column per signal inlet
    col = lambda k: 20.0 + 150.0 * k
    source_cols = max([k + 1 for k in r["in"]] + [1])
    # messages in a column right of the sources, each with its range or effect beside it
    msg_x = max(300.0, col(source_cols) + 20.0)
    note_w = 820.0 - msg_x - 170.0
    lb = None
    y = 110.0
    pending = []
    for m in r["msgs"]:
        load = m.endswith(" load")
        m = m[:-5] if load else m
        inlet = 0
        if re.match(r"^\d+: ", m):
            inlet, m = int(m.split(":")[0]), m.split(": ", 1)[1]
        msg = p.message(m, msg_x, y)
        sel = m.split()[0]
        sel = sel if not re.match(r"^-?[\d.]", sel) else ("list" if len(m.split()) > 1 else "float")
        note = range_note(t, sel) if sel not in ("float", "list") else (inst["assist"]["inlets"][inlet] or "")
        h = 22.0
        if note:
            h = max(h, comment_height(note, note_w))
            p.box("comment", note, msg_x + 160.0, y, note_w, 1, [], patching_rect=[msg_x + 160.0, y, note_w, h])
        pending.append((msg, inlet))
        if load:
            if lb is None:
                lb = p.obj("loadbang", msg_x, 75.0)
            p.connect(lb, 0, msg, 0)
        y += h + 8.0
    main_x, main_y = 20.0, max(180.0, y + 20.0)
    text = (name + " " + r["args"]).strip()
    ext = p.obj(text, main_x, main_y, nin, outtypes, w=max(160.0, 150.0 * (nin - 1) + 40))
    for k, form in sorted(r["in"].items()):
        s = source(p, form, col(k), 70.0)
        p.connect(s, 0, ext, k)
    for msg, inlet in pending:
        p.connect(msg, 0, ext, inlet)
    # outlets: signals to the dac (scaled where the object can be loud), numbers to print
    out = r.get("out", "dac")
    if nsig_out:
        gain = r.get("gain")
        dac = p.obj("dac~ 1 2", main_x, main_y + 110.0, 2, [])
        for j in range(min(nsig_out, 2)):
            src, port = ext, j
            if gain:
                src = p.obj("*~ %g" % gain, main_x + 80.0 * j, main_y + 60.0)
                p.connect(ext, j, src, 0)
                port = 0
            p.connect(src, port, dac, j)
            if nsig_out == 1:
                p.connect(src, port, dac, 1)
    for j in range(nctl_out):
        k = nsig_out + j
        x = main_x + 150.0 * j
        label = (inst["assist"]["outlets"][k] or "out %d" % k) if k < len(inst["assist"]["outlets"]) else "out %d" % k
        if out == "print":
            dst = p.obj("print %s-%d" % (name.rstrip("~"), j), x, main_y + 110.0)
        elif out == "number":
            dst = p.box("flonum", None, x, main_y + 110.0, 60.0, 1, ["", "bang"])
        else:
            dst = p.box("button", None, x, main_y + 110.0, 24.0, 1, ["bang"])
        p.connect(ext, k, dst, 0)
        p.comment(label, x, main_y + 140.0 + 22.0 * j, 400.0)
    return p.json(820.0, main_y + 200.0 + 22.0 * nctl_out)


TYPES = {"A_LONG": "int", "A_DEFLONG": "int", "A_FLOAT": "float", "A_DEFFLOAT": "float", "A_SYM": "symbol",
         "A_DEFSYM": "symbol", "A_GIMME": "list"}


def refpage(name, inf, t):
    inst = inf["instance"]
    a = inst["assist"]
    e = lambda s: escape(s or "")
    L = ['<?xml version="1.0" encoding="utf-8" standalone="yes"?>',
         '<c74object name=%s module=%s category=%s>' % (quoteattr(name), quoteattr(t["module"]), quoteattr(t["category"])),
         "  <digest>%s</digest>" % e(t["digest"]),
         "  <description>%s</description>" % e(t["description"]),
         "  <inletlist>"]
    for k in range(inst["inlets"]):
        typ = "signal" if k < inst["signal_inlets"] else "float"
        text = a["inlets"][k] if k < len(a["inlets"]) else None
        L.append('    <inlet id="%d" type="%s"><digest>%s</digest></inlet>' % (k, typ, e(text or "(no description)")))
    L.append("  </inletlist>")
    L.append("  <outletlist>")
    for k in range(inst["signal_outlets"] + inst["control_outlets"]):
        typ = "signal" if k < inst["signal_outlets"] else "float"
        text = a["outlets"][k] if k < len(a["outlets"]) else None
        L.append('    <outlet id="%d" type="%s"><digest>%s</digest></outlet>' % (k, typ, e(text or "(no description)")))
    L.append("  </outletlist>")
    L.append("  <objarglist>")
    if not t["arguments"]:
        L.append('    <objarg name="none" optional="1" type="list"><digest>%s</digest></objarg>' %
                 ("Takes no creation arguments." if not inf["creation_types"] else "Creation arguments are accepted and ignored."))
    for arg in t["arguments"]:
        details = []
        if arg.get("units"):
            details.append("In %s." % arg["units"])
        if "default" in arg:
            details.append("Default: %s." % arg["default"])
        L.append('    <objarg name=%s optional="%d" type=%s><digest>%s</digest><description>%s</description></objarg>' % (
            quoteattr(arg["name"]), 0 if arg.get("required") else 1, quoteattr(arg["type"]), e(arg["digest"]),
            e(" ".join(details))))
    L.append("  </objarglist>")
    L.append("  <methodlist>")
    seen = set()
    for m in inf["methods"]:
        sel = m["selector"]
        if sel in HOST_CALLED or sel in seen:
            continue
        seen.add(sel)
        doc = t["methods"].get(sel)
        if doc is None:
            raise SystemExit("%s: the documentation table has no entry for its message '%s'" % (name, sel))
        if "args" in doc:
            args = [(x["name"], x["type"], x.get("optional", 0), x.get("units", "")) for x in doc["args"]]
        else:
            args = [("value%d" % (i + 1), TYPES.get(x, "list"), 1 if x.startswith("A_DEF") or x == "A_GIMME" else 0, "")
                    for i, x in enumerate(m["types"]) if x != "A_CANT"]
        argxml = "".join('<arg name=%s type=%s optional="%d"%s/>' % (
            quoteattr(n), quoteattr(ty), 1 if opt else 0, (" units=%s" % quoteattr(u)) if u else "") for n, ty, opt, u in args)
        text = doc.get("description", "")
        if doc.get("range"):
            text = (text + " Range: " + doc["range"]).strip()
        L.append('    <method name=%s><arglist>%s</arglist><digest>%s</digest><description>%s</description></method>' % (
            quoteattr(sel), argxml, e(doc["digest"]), e(text)))
    L.append("  </methodlist>")
    L.append("  <seealsolist>")
    for other in t.get("seealso", []):
        L.append('    <seealso name=%s/>' % quoteattr(other))
    L.append("  </seealsolist>")
    L.append("</c74object>")
    return "\n".join(L) + "\n"


def main():
    parser = argparse.ArgumentParser(description="Writes the help patchers, reference pages and example patches.")
    parser.add_argument("tilde", help="the tilde command of a 64-bit build")
    parser.add_argument("--only", action="append", default=[], help="one external (repeatable); checks and writes only it")
    parser.add_argument("--out", type=Path, default=ROOT, help="where help/ and docs/refpages/ go (default: the repository)")
    args = parser.parse_args()
    tables = {n: table(n) for n in RECIPES}
    problems = [p for n, t in tables.items() if not args.only or n in args.only for p in lint(n, t)]
    if problems:
        sys.exit("\n".join(problems))
    for n, t in tables.items():
        t["seealso"] = [o for o, u in tables.items() if o != n and u["group"] == t["group"]] or \
                       [o for o, u in tables.items() if o != n and u["category"] == t["category"]][:4]
    (args.out / "help").mkdir(parents=True, exist_ok=True)
    (args.out / "docs/refpages").mkdir(parents=True, exist_ok=True)
    names = args.only or list(tables)
    for n in names:
        inf = info(args.tilde, n)
        (args.out / "help" / (n + ".maxhelp")).write_text(json.dumps(help_patch(n, inf, tables[n]), indent=2) + "\n")
        (args.out / "docs/refpages" / (n + ".maxref.xml")).write_text(refpage(n, inf, tables[n]))
    if not args.only:
        examples()
    print("wrote %d help patchers and %d reference pages" % (len(names), len(names)))




def examples():
    """Patches that chain several externals, installed with the package as examples/."""
    out = ROOT / "package" / "examples"
    out.mkdir(parents=True, exist_ok=True)

    # a resonant noise band placed in stereo, compressed and limited: the demo chain as a patch
    p = Patcher()
    p.comment("Noise through bandres~, placed by stereoplace~, squashed and limited", 20.0, 10.0, 600.0)
    n = source(p, "noise", 20.0, 50.0)
    lfo = p.obj("cycle~ 0.25", 200.0, 50.0)
    depth = p.obj("*~ 600", 200.0, 80.0)
    centre = p.obj("+~ 900", 200.0, 110.0)
    p.connect(lfo, 0, depth, 0)
    p.connect(depth, 0, centre, 0)
    band = p.obj("bandres~ 900 12", 20.0, 150.0, 3, ["signal"], 200.0)
    p.connect(n, 0, band, 0)
    p.connect(centre, 0, band, 1)
    place = p.obj("stereoplace~", 20.0, 190.0, 2, ["signal", "signal"], 150.0)
    p.connect(band, 0, place, 0)
    p.connect(band, 0, place, 1)
    squash = p.obj("stereosquash~", 20.0, 230.0, 3, ["signal"] * 3, 200.0)
    p.connect(place, 0, squash, 0)
    p.connect(place, 1, squash, 1)
    wall = p.obj("brickwall~", 20.0, 270.0, 2, ["signal"] * 3, 150.0)
    p.connect(squash, 0, wall, 0)
    p.connect(squash, 1, wall, 1)
    lb = p.obj("loadbang", 400.0, 50.0)
    for i, m in enumerate(["pan 0.3", "thresh -24", "ratio 4", "thresh -3"]):
        msg = p.message(m, 400.0, 90.0 + 30.0 * i)
        p.connect(lb, 0, msg, 0)
        p.connect(msg, 0, place if m.startswith("pan") else squash if i < 3 else wall, 0)
    dac = p.obj("dac~ 1 2", 20.0, 320.0, 2, [])
    p.connect(wall, 0, dac, 0)
    p.connect(wall, 1, dac, 1)
    (out / "noise-band-chain.maxpat").write_text(json.dumps(p.json(700.0), indent=2) + "\n")

    # a voice chain for the input: cut rumble and hiss, limit peaks, watch the level
    p = Patcher()
    p.comment("adc~ through lowcut~ and highcut~ into peakguard~; levelmeter~ shows the level", 20.0, 10.0, 600.0)
    adc = p.obj("adc~ 1", 20.0, 50.0, 1, ["signal"])
    lo = p.obj("lowcut~ 80", 20.0, 90.0, 2, ["signal"], 120.0)
    hi = p.obj("highcut~ 8000", 20.0, 130.0, 2, ["signal"], 120.0)
    guard = p.obj("peakguard~", 20.0, 170.0, 1, ["signal", "signal"], 120.0)
    meter = p.obj("levelmeter~", 200.0, 210.0, 1, [""], 100.0)
    num = p.box("flonum", None, 200.0, 250.0, 60.0, 1, ["", "bang"])
    p.connect(adc, 0, lo, 0)
    p.connect(lo, 0, hi, 0)
    p.connect(hi, 0, guard, 0)
    p.connect(guard, 0, meter, 0)
    p.connect(meter, 0, num, 0)
    lb = p.obj("loadbang", 300.0, 50.0)
    msg = p.message("Threshold -6", 300.0, 90.0)
    p.connect(lb, 0, msg, 0)
    p.connect(msg, 0, guard, 0)
    dac = p.obj("dac~ 1 2", 20.0, 250.0, 2, [])
    p.connect(guard, 0, dac, 0)
    p.connect(guard, 0, dac, 1)
    (out / "input-cleanup.maxpat").write_text(json.dumps(p.json(600.0), indent=2) + "\n")

    # a sensor stream calibrated and split at a threshold
    p = Patcher()
    p.comment("A metro stands in for a sensor; calibrator learns its range, cutroute splits it", 20.0, 10.0, 600.0)
    lb = p.obj("loadbang", 20.0, 50.0)
    start = p.message("bang", 20.0, 80.0)
    met = p.obj("metro 20", 120.0, 80.0, 2, ["bang"])
    reading = p.message("512", 120.0, 110.0)
    cal = p.obj("calibrator", 20.0, 160.0, 3, ["", "", "", ""], 160.0)
    route = p.obj("cutroute 0.5", 20.0, 200.0, 2, ["", ""], 120.0)
    lowp = p.obj("print below", 20.0, 240.0)
    highp = p.obj("print above", 140.0, 240.0)
    p.connect(lb, 0, start, 0)
    p.connect(lb, 0, met, 0)
    p.connect(start, 0, cal, 0)
    p.connect(met, 0, reading, 0)
    p.connect(reading, 0, cal, 0)
    p.connect(cal, 0, route, 0)
    p.connect(route, 0, lowp, 0)
    p.connect(route, 1, highp, 0)
    (out / "sensor-split.maxpat").write_text(json.dumps(p.json(600.0), indent=2) + "\n")


if __name__ == "__main__":
    main()
