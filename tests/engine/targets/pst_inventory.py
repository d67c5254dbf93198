#!/usr/bin/env python3
"""Lists which properties a PST's objects carry, for pst_inventory_test: one line per object,
its name and its property tags (id:type in hex), read with the structural checker pstcheck.py.

Usage: pst_inventory.py PSTCHECK_PY FILE

Objects: the special nodes (NIDs below the first user folder's), the message store, the fixed
folders, the template and receive folder tables' columns, and for messages, recipient rows and
attachments the tags every one of them carries (named properties left out: their IDs are each
file's own), with the columns of their tables."""
import contextlib, importlib.util, io, sys


def load(path):
    found = importlib.util.spec_from_file_location('pstcheck', path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def tags(props):
    return {f'{pid:04X}:{ptype:04X}' for pid, (ptype, _) in props.items() if pid < 0x8000}


def cells(row):
    return {f'{t >> 16:04X}:{t & 0xFFFF:04X}' for t in row if t >> 16 < 0x8000}


def every(sets):
    sets = list(sets)
    return set.intersection(*sets) if sets else set()


def main(pstcheck, path):
    ck = load(pstcheck).Checker(path)
    with contextlib.redirect_stdout(io.StringIO()):
        if not ck.header(): sys.exit('not a PST the checker reads')
        ck.map_pages(); ck.btrees(); ck.blocks()
    nodes = ck.nodes
    obj = lambda nid: ck.obj(nodes[nid][0], nodes[nid][1], f'nid {nid:#x}')
    out = {'nodes': {f'{n:#x}' for n in nodes if n >> 5 < 0x404 and n & 0x1F not in (4, 8)}}
    out['store'] = tags(obj(0x21).props)
    for name, nid in (('root', 0x122), ('ipm-subtree', 0x8022), ('search-root', 0x8042),
                      ('deleted-items', 0x8062), ('spam-search-folder', 0x2223)):
        if nid in nodes: out[f'folder:{name}'] = tags(obj(nid).props)
    for name, nid in (('hierarchy', 0x60D), ('contents', 0x60E), ('fai-contents', 0x60F),
                      ('search-contents', 0x610), ('attachments', 0x671), ('recipients', 0x692),
                      ('receive-folders', 0x62B)):
        if nid in nodes: out[f'columns:{name}'] = cells(obj(nid).cols or {})
    messages, rows, rcols, atts, acols = [], [], set(), [], set()
    for nid in sorted(n for n in nodes if n & 0x1F == 4):
        m = obj(nid)
        messages.append(tags(m.props))
        subs = m.subs or {}
        table = ck.obj(*subs[0x692], 'recipients')
        rcols |= cells(table.cols)
        rows += [cells(r) for r in table.rows.values()]
        if 0x671 in subs:
            acols |= cells(ck.obj(*subs[0x671], 'attachments').cols)
            atts += [tags(ck.obj(*subs[a], 'attachment').props) for a in subs if a & 0x1F == 5]
    out['message'], out['recipient'], out['attachment'] = every(messages), every(rows), every(atts)
    out['columns:message-recipients'], out['columns:message-attachments'] = rcols, acols
    for name in sorted(out):
        print(name, *sorted(out[name]))


if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2])
