#!/usr/bin/env python3
"""Where a program's instructions go, per function, from qemu's block counts.

Reads logs of qemu-mipsel runs made with the block-count plugin, -strace and -d page,plugin: the
page dump tells where the program and its loader sit, the traced openat and mmap2 calls where
each library went, and the plugin's lines (pc, translations, instructions, executions) what ran.
Each block's instructions times its executions go to the function that holds its first address.

    block_symbols.py --sysroot DIR --nm NM --readelf READELF --program PATH --rounds N \
        LABEL:FEW.log:MANY.log [LABEL:FEW.log:MANY.log...]

For each label: instructions per round by function and by file (MANY minus FEW over N rounds);
for each label after the first, what it adds to the first, by function.
"""
import argparse
import bisect
import collections
import os
import re
import subprocess

# open("path",...) from musl, openat(AT_FDCWD,"path",...) from others.
OPEN = re.compile(r'^\d+ open(?:at)?\((?:[^,"]*,)?"([^"]*)",.*\) = (\d+)$')
MMAP = re.compile(r'^\d+ mmap2\([^,]*,\d+,[^,]*,[^,]*,(\d+),0\)')
RESULT = re.compile(r'^ = (0x[0-9a-f]+)$')
SAME_LINE = re.compile(r'\) = (0x[0-9a-f]+)$')
BLOCK = re.compile(r'^0x([0-9a-f]+), (\d+), (\d+), (\d+)$')


class Image:
    """One ELF file's load segments and function symbols."""

    def __init__(self, path, tools):
        self.path = path
        self.name = os.path.basename(path)
        headers = subprocess.run([tools.readelf, '-hlW', path], capture_output=True, text=True,
                                 check=True).stdout
        self.entry = int(re.search(r'Entry point address:\s+(0x[0-9a-f]+)', headers).group(1), 16)
        loads = [line.split() for line in headers.splitlines() if line.strip().startswith('LOAD')]
        # LOAD offset vaddr paddr filesz memsz flags... ; flags holds E for code.
        self.code_start = min(int(f[2], 16) for f in loads if 'E' in ''.join(f[6:-1]))
        self.span = max(int(f[2], 16) + int(f[5], 16) for f in loads)
        symbols = {}
        for args in (['-C', '--defined-only'], ['-C', '-D', '--defined-only']):
            out = subprocess.run([tools.nm] + args + [path], capture_output=True, text=True).stdout
            for line in out.splitlines():
                f = line.split(maxsplit=2)
                if len(f) == 3 and f[1] in 'tTwWi':
                    address, name = int(f[0], 16), f[2].split('@')[0]
                    # Of two names for one address, the one that is not a section marker.
                    if address not in symbols or symbols[address].startswith('_'):
                        symbols[address] = name
        self.starts = sorted(symbols)
        self.names = [symbols[a] for a in self.starts]

    def function(self, offset):
        i = bisect.bisect_right(self.starts, offset) - 1
        return self.names[i] if i >= 0 else '?'


class Tools:
    def __init__(self, args):
        self.nm, self.readelf, self.sysroot = args.nm, args.readelf, args.sysroot


def guest_file(path, sysroot):
    """The file a guest path names: qemu -L looks in the sysroot first."""
    inside = os.path.join(sysroot, path.lstrip('/'))
    return inside if path.startswith('/') and os.path.exists(inside) else path


def interpreter(program, tools):
    headers = subprocess.run([tools.readelf, '-lW', program], capture_output=True, text=True,
                             check=True).stdout
    m = re.search(r'program interpreter: ([^\]]+)\]', headers)
    return guest_file(m.group(1), tools.sysroot) if m else None


def read_log(path, program, tools, images):
    """Returns the modules as (base, image) and the blocks as (pc, instructions run)."""
    fds, modules, blocks = {}, [], []
    pending = None  # the file of an mmap2 whose result the page dump has not yet given
    start_code = entry = None
    with open(path, errors='replace') as log:
        for line in log:
            line = line.rstrip('\n')
            if m := BLOCK.match(line):
                blocks.append((int(m.group(1), 16), int(m.group(3)) * int(m.group(4))))
            elif m := OPEN.match(line):
                fds[m.group(2)] = guest_file(m.group(1), tools.sysroot)
            elif (m := MMAP.match(line)) and m.group(1) in fds:
                if r := SAME_LINE.search(line):
                    modules.append((int(r.group(1), 16), fds[m.group(1)]))
                else:
                    pending = fds[m.group(1)]
            elif pending and (m := RESULT.match(line)):
                modules.append((int(m.group(1), 16), pending))
                pending = None
            elif line.startswith('start_code') and start_code is None:
                start_code = int(line.split()[1], 16)
            elif line.startswith('entry') and entry is None:
                entry = int(line.split()[1], 16)

    def image(p):
        if p not in images:
            images[p] = Image(p, tools)
        return images[p]

    if start_code is None:
        raise SystemExit(f'{path}: no page dump (run with -d page,plugin)')
    main = image(program)
    placed = [(start_code - main.code_start, main)]
    interp = interpreter(program, tools)
    if interp:
        placed.append((entry - image(interp).entry, image(interp)))
    for base, p in modules:
        if os.path.exists(p) and p not in (program, interp) and open(p, 'rb').read(4) == b'\x7fELF':
            placed.append((base, image(p)))
    return sorted(placed, key=lambda b: b[0]), blocks


def by_function(path, program, tools, images):
    placed, blocks = read_log(path, program, tools, images)
    bases = [b for b, _ in placed]
    totals = collections.Counter()
    for pc, n in blocks:
        i = bisect.bisect_right(bases, pc) - 1
        if i >= 0 and pc - bases[i] < placed[i][1].span:
            base, img = placed[i]
            totals[(img.name, img.function(pc - base))] += n
        else:
            totals[('?', '?')] += n
    return totals


def per_round(few, many, rounds):
    keys = set(few) | set(many)
    return {k: (many[k] - few[k]) / rounds for k in keys}


def show(title, table, top):
    total = sum(table.values())
    print(f'{title}: {total:,.0f} instructions per round')
    files = collections.Counter()
    for (name, _), n in table.items():
        files[name] += n
    print('  by file: ' + ', '.join(f'{name} {n:,.0f}' for name, n in files.most_common()
                                    if abs(n) >= 0.005 * abs(total)))
    for (name, function), n in sorted(table.items(), key=lambda kv: -abs(kv[1]))[:top]:
        function = function if len(function) <= 90 else function[:87] + '...'
        print(f'  {n:12,.0f}  {function} ({name})')


def main():
    ap = argparse.ArgumentParser()
    for option in ('--sysroot', '--nm', '--readelf', '--program'):
        ap.add_argument(option, required=True)
    ap.add_argument('--rounds', type=int, required=True)
    ap.add_argument('--top', type=int, default=25)
    ap.add_argument('runs', nargs='+')
    args = ap.parse_args()
    tools, images, tables = Tools(args), {}, []
    for run in args.runs:
        label, few, many = run.split(':')
        tables.append((label, per_round(by_function(few, args.program, tools, images),
                                        by_function(many, args.program, tools, images),
                                        args.rounds)))
    for label, table in tables:
        show(label, table, args.top)
    first_label, first = tables[0]
    for label, table in tables[1:]:
        added = {k: table.get(k, 0) - first.get(k, 0) for k in set(table) | set(first)}
        show(f'{label} over {first_label}', added, args.top)


if __name__ == '__main__':
    main()
